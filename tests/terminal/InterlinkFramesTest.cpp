// Taking Interlink frames out of a byte stream that arrives in any pieces.

#include "InterlinkFrames.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <stdexcept>

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

// The time stamp's form: right-aligned with blanks to the width, never cut.
TEST(InterlinkFrames, MyStrRightAlignsToTheWidthAndNeverCuts)
{
    const struct {
        int32_t value;
        int width;
        const char* expected;
    } rows[] = {
        {5, 10, "         5"},
        {0, 10, "         0"},
        {-1, 10, "        -1"},
        {-123456789, 10, "-123456789"},   // exactly the width, negative
        {1234567890, 10, "1234567890"},   // exactly the width
        {-1234567890, 10, "-1234567890"}, // 11 characters: not cut
        {INT32_MIN, 10, "-2147483648"},
        {INT32_MAX, 10, "2147483647"},
        {42, 3, " 42"},
        {42, 2, "42"},
        {42, 0, "42"},
        {42, -4, "42"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MyStr(row.value, row.width), row.expected) << row.value << " in " << row.width;
}

// A notification is its kind, a 10-character time stamp (11 only for a
// negative ten-digit tick count) and the data.
TEST(InterlinkFrames, NotificationsCarryATenCharacterTimeStamp)
{
    const std::string stamp = InterlinkTimeStamp();
    ASSERT_EQ(stamp.size(), stamp[0] == '-' ? 11u : 10u) << '"' << stamp << '"';
    for (const char* kind : {"RCVD", "SENT"}) {
        for (const std::string& data : {std::string(), std::string("x\0y", 3)}) {
            const std::vector<std::string> payloads = MakeNotificationPayloads(kind, data);
            ASSERT_EQ(payloads.size(), 1u);
            EXPECT_EQ(payloads[0].substr(0, 4), kind);
            EXPECT_EQ(payloads[0].size(), 4 + stamp.size() + data.size());
            const std::string got = payloads[0].substr(4, stamp.size());
            EXPECT_EQ(got.find_first_not_of(' '), got.find_first_of("-0123456789")) << '"' << got << '"';
            EXPECT_EQ(got.back() >= '0' && got.back() <= '9', true);
            EXPECT_EQ(payloads[0].substr(4 + stamp.size()), data);
        }
    }
}

// The header: "L" and the total length with its three header bytes, low
// byte first.
TEST(InterlinkFrames, LengthBytesCountTheHeaderLowByteFirst)
{
    const struct {
        size_t payload;
        unsigned char low, high;
    } rows[] = {{0, 3, 0}, {1, 4, 0}, {252, 255, 0}, {253, 0, 1}, {300, 47, 1}, {kMaxPayloadLength, 255, 255}};
    for (const auto& row : rows) {
        const std::string frame = MakeInterlinkFrame(std::string(row.payload, 'p'));
        ASSERT_EQ(frame.size(), row.payload + 3) << row.payload;
        EXPECT_EQ(frame[0], 'L');
        EXPECT_EQ(static_cast<unsigned char>(frame[1]), row.low) << row.payload;
        EXPECT_EQ(static_cast<unsigned char>(frame[2]), row.high) << row.payload;
    }
    EXPECT_THROW(MakeInterlinkFrame(std::string(kMaxPayloadLength + 1, 'p')), std::length_error);
}

namespace {

// A peer of the walk: connected or not, counts what it is sent.
struct FakePeer {
    char name;
    bool connected;
    bool fails = false;
    int frames = 0;
    void SendString(const std::string&)
    {
        ++frames;
        if (fails)
            throw std::runtime_error(std::string("send to ") + name + " failed");
    }
};

std::string Names(const std::vector<FakePeer*>& peers)
{
    std::string names;
    for (const FakePeer* p : peers)
        names += p->name;
    return names;
}

} // namespace

// Every connected peer gets the frame exactly once; each unconnected one
// leaves the list, the last entry taking its place (and being examined in
// turn); the sockets of dropped peers are not touched.
TEST(InterlinkFrames, ThePeerWalkSendsOnceToEachConnectedPeerAndDropsTheOthers)
{
    const struct {
        const char* connected; // one letter per peer, upper case when connected
        const char* remaining;
    } rows[] = {
        {"", ""},       {"A", "A"},         {"a", ""},          {"aBC", "CB"},      {"AbC", "AC"},
        {"ABc", "AB"},  {"abC", "C"},       {"aBcD", "DB"},     {"abc", ""},        {"AbcDe", "AD"},
    };
    for (const auto& row : rows) {
        std::vector<FakePeer> all;
        for (const char* c = row.connected; *c; ++c)
            all.push_back({static_cast<char>(std::toupper(*c)), std::isupper(*c) != 0});
        std::vector<FakePeer*> peers;
        for (FakePeer& p : all)
            peers.push_back(&p);
        WalkPeers(peers, "frame", [](FakePeer* p) { return p->connected; });
        EXPECT_EQ(Names(peers), row.remaining) << row.connected;
        for (const FakePeer& p : all)
            EXPECT_EQ(p.frames, p.connected ? 1 : 0) << row.connected << ": " << p.name;
    }
}

// A send that fails keeps the frame from no later peer; the first failure
// comes out once the walk is done.
TEST(InterlinkFrames, APeerWhoseSendFailsKeepsTheFrameFromNoOther)
{
    std::vector<FakePeer> all{{'A', true, true}, {'B', false}, {'C', true, true}, {'D', true}};
    std::vector<FakePeer*> peers;
    for (FakePeer& p : all)
        peers.push_back(&p);
    try {
        WalkPeers(peers, "frame", [](FakePeer* p) { return p->connected; });
        ADD_FAILURE() << "the failure was lost";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "send to A failed");
    }
    EXPECT_EQ(Names(peers), "ADC");
    EXPECT_EQ(all[0].frames, 1);
    EXPECT_EQ(all[1].frames, 0);
    EXPECT_EQ(all[2].frames, 1);
    EXPECT_EQ(all[3].frames, 1);
}
