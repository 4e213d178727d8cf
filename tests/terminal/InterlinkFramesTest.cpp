#include "InterlinkFrames.h"

#include <gtest/gtest.h>

using namespace terminal;

namespace {
struct TestPeer {
    bool connected = true;
    std::vector<std::string> sent;
    void SendString(const std::string& s) { sent.push_back(s); }
};
bool Connected(TestPeer* p)
{
    return p->connected;
}
} // namespace

TEST(InterlinkFrames, HeaderCarriesTotalLengthLowByteFirst)
{
    EXPECT_EQ(MakeInterlinkFrame(""), std::string("L\x03\x00", 3));
    std::string frame = MakeInterlinkFrame(std::string(300, 'x'));
    ASSERT_EQ(frame.size(), 303u);
    EXPECT_EQ(static_cast<unsigned char>(frame[1]), 47);
    EXPECT_EQ(static_cast<unsigned char>(frame[2]), 1);
    std::string longest = MakeInterlinkFrame(std::string(kMaxPayloadLength, '\0'));
    EXPECT_EQ(static_cast<unsigned char>(longest[1]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(longest[2]), 0xFF);
    EXPECT_THROW(MakeInterlinkFrame(std::string(kMaxPayloadLength + 1, 'x')), std::length_error);
}

TEST(InterlinkFrames, MyStrRightAlignsWithoutCutting)
{
    EXPECT_EQ(MyStr(5, 10), "         5");
    EXPECT_EQ(MyStr(-1, 10), "        -1");
    EXPECT_EQ(MyStr(-2147483647 - 1, 10), "-2147483648");
    EXPECT_EQ(MyStr(1234567890, 10), "1234567890");
    EXPECT_EQ(MyStr(42, 0), "42");
}

TEST(InterlinkFrames, LongNotificationIsSplitIntoFramableParts)
{
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data.push_back(static_cast<char>(i * 7));
    auto payloads = MakeNotificationPayloads("RCVD", data);
    ASSERT_GE(payloads.size(), 4u);
    std::string joined;
    for (const std::string& p : payloads) {
        ASSERT_LE(p.size(), kMaxPayloadLength);
        ASSERT_EQ(p.substr(0, 4), "RCVD");
        size_t header = 4 + InterlinkTimeStamp().size();
        joined += p.substr(header);
    }
    EXPECT_EQ(joined, data);

    auto empty = MakeNotificationPayloads("SENT", "");
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].size(), 4 + InterlinkTimeStamp().size());
}

TEST(InterlinkFrames, WalkDropsUnconnectedPeersAndReachesEveryOtherOnce)
{
    TestPeer a, b, c;
    a.connected = false;
    std::vector<TestPeer*> peers{&a, &b, &c};
    WalkPeers(peers, "F", Connected);
    EXPECT_EQ(peers.size(), 2u);
    EXPECT_TRUE(a.sent.empty());
    EXPECT_EQ(b.sent, std::vector<std::string>{"F"});
    EXPECT_EQ(c.sent, std::vector<std::string>{"F"});

    // The moved-in last entry is examined too.
    TestPeer d, e;
    d.connected = false;
    e.connected = false;
    std::vector<TestPeer*> dead{&d, &b, &e};
    WalkPeers(dead, "G", Connected);
    EXPECT_EQ(dead, std::vector<TestPeer*>{&b});

    std::vector<TestPeer*> none;
    WalkPeers(none, "H", Connected);
    EXPECT_TRUE(none.empty());
}

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

TEST(InterlinkFrames, TheGreetingIsTakenAsOneLineWhateverTheReads)
{
    const std::string frame = MakeInterlinkFrame("SENDx");
    // Cut anywhere, the greeting waits for its line end; what follows it is
    // left for the framing untouched.
    const std::string stream = "Welcome to TcpSrv\r\n" + frame;
    const size_t greetingLength = stream.size() - frame.size();
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string buffer = stream.substr(0, cut);
        const bool complete = cut >= greetingLength;
        ASSERT_EQ(TakeGreeting(buffer), complete) << cut;
        buffer += stream.substr(cut);
        if (!complete) {
            ASSERT_TRUE(TakeGreeting(buffer)) << cut;
        }
        EXPECT_EQ(buffer, frame) << cut;
    }
    // Input that never ends a line is no greeting and cannot grow without end.
    std::string garbage(kMaxGreetingLength, 'W');
    EXPECT_FALSE(TakeGreeting(garbage));
    garbage += 'W';
    EXPECT_TRUE(TakeGreeting(garbage));
    EXPECT_TRUE(garbage.empty());
}
