// The monitor on the loopback plug, journal and all: a far end answers our
// requests in pieces, with pauses just under and just over the line's idle
// gap, at 9600 and 115200 bit/s; and an answer still arriving when we send
// again is cut there. The plug stamps each character exactly, so that what
// is tested is the cutting, not how busy the machine is (the benchmark
// measures the stamps themselves).

#include "BusMonitor.h"
#include "CommTesting.h"
#include "Loopback.h"
#include "MonitorTesting.h"
#include "OwnLoopbackLock.h"

#include <gtest/gtest.h>

#include <thread>

using namespace win;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

class MonitorOnThePlug : public ::testing::TestWithParam<DWORD> {
protected:
    void SetUp() override
    {
        loopback::SetExactReceiveTimes(true);
        device = OpenOwnPlug(GetParam());
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        charNs = 10 * 1'000'000'000LL / GetParam();
        threshold = std::chrono::nanoseconds(GetParam() > 19200 ? 1'750'000 : charNs * 7 / 2);
        ASSERT_TRUE(journal::Start(device));
        monitor.PortOpened(journal::Clock::now(), "loopback", charNs, GetParam());
    }
    void TearDown() override
    {
        loopback::SetFarEnd({});
        loopback::SetExactReceiveTimes(false);
        CloseHandle(device);
    }

    // Feeds the monitor until `bytes` have come back and the line has been
    // quiet long enough for the last frame to end.
    void RunUntilReceived(size_t bytes)
    {
        std::vector<journal::Record> records;
        size_t received = 0;
        auto deadline = journal::Clock::now() + 5s;
        while (received < bytes && journal::Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
            records.clear();
            journal::Take(device, records);
            for (const journal::Record& r : records)
                received += r.kind == journal::Kind::Received ? r.bytes.size() : 0;
            monitor.Feed(records);
            monitor.Tick(journal::Clock::now());
        }
        std::this_thread::sleep_for(threshold + 5ms);
        monitor.Tick(journal::Clock::now());
    }

    // The received frames that are not our echo, as their bytes.
    std::vector<std::string> Answers() const
    {
        std::vector<std::string> frames;
        const monitor::RowStore& rows = monitor.Rows();
        for (uint64_t seq = rows.FirstSeq(); seq < rows.EndSeq(); ++seq) {
            const monitor::Row& row = rows.At(seq);
            if (row.kind == monitor::RowKind::Rx && !(row.flags & monitor::FlagEcho))
                frames.emplace_back(rows.Bytes(row));
        }
        return frames;
    }

    HANDLE device = INVALID_HANDLE_VALUE;
    int64_t charNs = 0;
    std::chrono::nanoseconds threshold{};
    monitor::BusMonitor monitor;
};

TEST_P(MonitorOnThePlug, FramesEndAtAnIdleGapOfTheThresholdAndNotBefore)
{
    // Two thirds of the gap keeps a frame whole; one and a half cut it.
    const auto under = threshold * 2 / 3;
    const auto over = threshold * 3 / 2;
    loopback::SetFarEnd({3ms, [](const std::string&) { return std::string("ABCDEFGH"); },
                         [&](size_t index) { return index == 3 ? under : index == 6 ? over : 0ns; }});
    WriteAll(device, "req");
    RunUntilReceived(3 + 8);
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABCDEF", "GH"}));

    // Back to back: a second request right after the answer, answered at
    // once with no pause of its own inside.
    loopback::SetFarEnd({3ms, [](const std::string&) { return std::string("IJ"); }, {}});
    WriteAll(device, "again");
    RunUntilReceived(5 + 2);
    EXPECT_EQ(Answers(), (std::vector<std::string>{"ABCDEF", "GH", "IJ"}));

    const monitor::Summary& summary = monitor.GetSummary();
    EXPECT_EQ(summary.echoFrames, 2u) << "each request's echo is one frame of its own";
    EXPECT_EQ(summary.reply.Count(), 2u);
    // Without automatic TXEN the reply runs from our computed last stop
    // bit; the far end waited 3 ms after its true moment both times.
    EXPECT_GE(summary.reply.Min(), 3'000'000 - 100'000);
    EXPECT_LT(summary.reply.Min(), 3'000'000 + 3'000'000);
}

TEST_P(MonitorOnThePlug, OurTransmissionEndsTheFrameThatIsComingIn)
{
    const std::string answer(30, 'a');
    loopback::SetFarEnd({1ms, [&](const std::string& request) { return request == "?" ? answer : std::string(); }, {}});
    WriteAll(device, "?");
    // Ten characters into the answer, we send.
    std::this_thread::sleep_for(std::chrono::nanoseconds(charNs * 11) + 1ms);
    WriteAll(device, "!");
    RunUntilReceived(1 + 30 + 1);
    std::vector<std::string> frames = Answers();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_LT(frames[0].size(), answer.size()) << "cut where our write started";
    size_t total = 0;
    for (const std::string& frame : frames)
        total += frame.size();
    EXPECT_GE(total, answer.size()) << "nothing of the answer lost";
    EXPECT_EQ(monitor.GetSummary().collisions, 1u) << "our '!' came back among the answer's bytes";
}

INSTANTIATE_TEST_SUITE_P(Rates, MonitorOnThePlug, ::testing::Values(9600u, 115200u));

} // namespace
