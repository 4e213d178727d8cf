#include "MonitorTesting.h"

#include <gtest/gtest.h>

using namespace monitor;
using namespace monitortest;
using Rows = std::vector<std::string>;

namespace {

// Two received frames, the second starting `idleNs` after the first's last
// stop bit; then the line stays quiet long enough for Tick to close all.
Rows TwoFrames(int64_t charNs, uint32_t bitRate, int64_t idleNs, MonitorConfig config = {})
{
    BusMonitor monitor;
    monitor.Configure(config);
    monitor.PortOpened(At(kT0 - 1000), "COM1", charNs, bitRate);
    monitor.Feed(Received(kT0, "\x01\x02\x03", charNs));
    const int64_t end = kT0 + 3 * charNs;
    monitor.Feed(Received(end + idleNs, "\x04\x05", charNs));
    monitor.Tick(At(end + idleNs + 1000000000));
    Rows rows = Describe(monitor.Rows());
    rows.erase(rows.begin()); // the port's row
    return rows;
}

const Rows kOne = {"RX 01 02 03 04 05"};
const Rows kTwo = {"RX 01 02 03", "RX 04 05"};

} // namespace

// 3.5 characters at 9600 bit/s; a fixed 1.75 ms above 19200, whether the
// rate is told or only the character time is known; the user's own gap. An
// idle time of exactly the gap ends the frame.
TEST(MonitorFrameCutting, GapJustUnderAndOverTheThreshold)
{
    const int64_t gap9600 = kChar9600 * 7 / 2;
    EXPECT_EQ(TwoFrames(kChar9600, 9600, gap9600 - 1000), kOne);
    EXPECT_EQ(TwoFrames(kChar9600, 9600, gap9600), kTwo);
    EXPECT_EQ(TwoFrames(kChar9600, 9600, gap9600 + 1000), kTwo);

    EXPECT_EQ(TwoFrames(kChar115200, 115200, 1750000 - 1000), kOne);
    EXPECT_EQ(TwoFrames(kChar115200, 115200, 1750000 + 1000), kTwo);
    EXPECT_EQ(TwoFrames(kChar115200, 0, 1750000 - 1000), kOne);
    EXPECT_EQ(TwoFrames(kChar115200, 0, 1750000 + 1000), kTwo);

    // 19200 bit/s 8N1 is not "above 19200" even when the rate is not told:
    // 3.5 characters (1.823 ms), not 1.75 ms.
    const int64_t char19200 = 520833;
    EXPECT_EQ(TwoFrames(char19200, 0, 1800000), kOne);
    EXPECT_EQ(TwoFrames(char19200, 0, char19200 * 7 / 2 + 1000), kTwo);

    MonitorConfig user;
    user.userGapNs = 10000000;
    EXPECT_EQ(TwoFrames(kChar115200, 115200, 9990000, user), kOne);
    EXPECT_EQ(TwoFrames(kChar115200, 115200, 10010000, user), kTwo);
}

// Back to back in one read, frames still part where the line was idle, and
// the gap column gives that idle time (end of one to the start of the next).
TEST(MonitorFrameCutting, BackToBackFramesAndTheirGap)
{
    BusMonitor monitor;
    monitor.PortOpened(At(kT0 - 1000), "COM1", kChar9600, 9600);
    Record r = Received(kT0, "\x01\x02", kChar9600);
    monitor.Feed(r);
    const int64_t secondStart = kT0 + 2 * kChar9600 + 4 * kChar9600;
    monitor.Feed(Received(secondStart, "\x03", kChar9600));
    monitor.Feed(Received(secondStart + kChar9600, "\x04", kChar9600)); // no gap at all
    monitor.Tick(At(secondStart + kChar9600 * 20));
    EXPECT_EQ(Describe(monitor.Rows()), (Rows{"Port geöffnet: COM1", "RX 01 02", "RX 03 04"}));
    FormatOptions options;
    EXPECT_EQ(Cell(monitor.Rows(), Last(monitor.Rows()), Column::Gap, options), "4.167");
    EXPECT_EQ(Cell(monitor.Rows(), Last(monitor.Rows(), 1), Column::Gap, options), "");
    EXPECT_EQ(Cell(monitor.Rows(), Last(monitor.Rows()), Column::Length, options), "2");
}

// Tick ends a frame only past its gap plus the hold for bytes still on their
// way off the device; before that, a late byte still joins it.
TEST(MonitorFrameCutting, TickClosesAfterGapAndHold)
{
    BusMonitor monitor;
    monitor.PortOpened(At(kT0 - 1000), "COM1", kChar9600, 9600);
    monitor.Feed(Received(kT0, "\x01", kChar9600));
    const int64_t closeAt = kT0 + kChar9600 + kChar9600 * 7 / 2 + monitor.Config().receiveHoldNs;
    monitor.Tick(At(closeAt - 1));
    EXPECT_EQ(monitor.Rows().Size(), 1u);
    monitor.Feed(Received(kT0 + 3 * kChar9600, "\x02", kChar9600));
    // The frame now ends two characters later, and so does its wait.
    monitor.Tick(At(closeAt + 3 * kChar9600 - 1));
    EXPECT_EQ(monitor.Rows().Size(), 1u);
    monitor.Tick(At(closeAt + 3 * kChar9600));
    EXPECT_EQ(Describe(monitor.Rows()).back(), "RX 01 02");
}

// Our transmission ends a received frame at once, even mid-gap; TXEN going
// on already does.
TEST(MonitorFrameCutting, OurTransmissionCutsAFrame)
{
    BusMonitor monitor;
    monitor.PortOpened(At(kT0 - 1000), "COM1", kChar9600, 9600);
    monitor.Feed(Received(kT0, "\x01\x02", kChar9600));
    const int64_t write = kT0 + 3 * kChar9600; // one character of idle
    monitor.Feed(Sent(write, "\x09", kChar9600));
    monitor.Feed(Received(write + 5 * kChar9600, "\x03", kChar9600));
    monitor.Feed(Lines(write + 8 * kChar9600, true));
    monitor.Feed(Lines(write + 9 * kChar9600, false));
    monitor.Tick(At(write + 100 * kChar9600));
    EXPECT_EQ(Describe(monitor.Rows()),
              (Rows{"Port geöffnet: COM1", "RX 01 02", "TX 09", "RX 03", "TXEN an", "TXEN aus"}));
}
