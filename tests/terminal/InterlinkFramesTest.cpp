// Taking Interlink frames out of a byte stream that arrives in any pieces.

#include "InterlinkFrames.h"

#include <gtest/gtest.h>

using namespace terminal;

TEST(InterlinkFrames, TakingFramesFromAStream)
{
    std::string buffer;
    std::string payload;
    const std::string frame = MakeInterlinkFrame("SENDAT#13");
    // One byte at a time: taken only when the last byte is there.
    for (size_t i = 0; i + 1 < frame.size(); ++i) {
        buffer.push_back(frame[i]);
        EXPECT_FALSE(TakeInterlinkFrame(buffer, payload));
    }
    buffer.push_back(frame.back());
    ASSERT_TRUE(TakeInterlinkFrame(buffer, payload));
    EXPECT_EQ(payload, "SENDAT#13");
    EXPECT_TRUE(buffer.empty());

    // Two frames in one read: both come out, in order.
    buffer = MakeInterlinkFrame("one") + MakeInterlinkFrame("") + "L";
    ASSERT_TRUE(TakeInterlinkFrame(buffer, payload));
    EXPECT_EQ(payload, "one");
    ASSERT_TRUE(TakeInterlinkFrame(buffer, payload));
    EXPECT_EQ(payload, "");
    EXPECT_FALSE(TakeInterlinkFrame(buffer, payload));
    EXPECT_EQ(buffer, "L");
}

TEST(InterlinkFrames, BadHeadsAreDiscardedWhole)
{
    std::string payload;
    // Anything but "L" at the head, even a frame behind it.
    std::string buffer = "Welcome to TcpSrv\r\n" + MakeInterlinkFrame("SENDx");
    EXPECT_FALSE(TakeInterlinkFrame(buffer, payload));
    EXPECT_TRUE(buffer.empty());
    // Length fields that cannot describe a frame.
    for (int len : {0, 1, 2}) {
        buffer = std::string("L") + static_cast<char>(len) + '\0' + "rest";
        EXPECT_FALSE(TakeInterlinkFrame(buffer, payload));
        EXPECT_TRUE(buffer.empty()) << len;
    }
    // The next frame works again.
    buffer = MakeInterlinkFrame("ok");
    ASSERT_TRUE(TakeInterlinkFrame(buffer, payload));
    EXPECT_EQ(payload, "ok");
}


TEST(InterlinkFrames, TheGreetingWaitsForItsLineEndAndCannotGrowWithoutEnd)
{
    std::string buffer = "Welcome to Tcp";
    EXPECT_FALSE(TakeGreeting(buffer));
    buffer += "Srv\r" + MakeInterlinkFrame("x");
    EXPECT_FALSE(TakeGreeting(buffer)) << "CR alone ends no line";
    buffer.insert(buffer.find('\r') + 1, "\n");
    ASSERT_TRUE(TakeGreeting(buffer));
    EXPECT_EQ(buffer, MakeInterlinkFrame("x"));

    // A server that greets with nothing starts with a frame.
    std::string ungreeted = MakeInterlinkFrame("x");
    ASSERT_TRUE(TakeGreeting(ungreeted));
    EXPECT_EQ(ungreeted, MakeInterlinkFrame("x"));

    std::string endless(kMaxGreetingLength + 1, 'W');
    EXPECT_TRUE(TakeGreeting(endless));
    EXPECT_TRUE(endless.empty());
}
