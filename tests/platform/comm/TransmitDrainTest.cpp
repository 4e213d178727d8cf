// The transmit-empty moment per kind of device, against drivers played by
// a probe: a UART's exact status, an adapter without a status register, an
// FTDI chip's stale status, output held in the kernel, a network port's
// socket. Time is the test's own, so every figure is exact.

#include "TransmitDrain.h"

#include <gtest/gtest.h>

#include <functional>

using namespace win::detail;
using Clock = TransmitDrain::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

namespace {

// 9600 8N1: ten bits a character.
constexpr int64_t CharNs = 1'041'666;

// A driver whose answers depend on the time of the question.
struct ScriptedProbe final : DrainProbe {
    std::function<int(Clock::time_point)> queued = [](Clock::time_point) { return 0; };
    std::function<std::optional<bool>(Clock::time_point)> empty = [](Clock::time_point) { return std::nullopt; };
    Clock::time_point now{};
    int questions = 0;

    int QueuedBytes() override { ++questions; return queued(now); }
    std::optional<bool> TransmitterEmpty() override { ++questions; return empty(now); }
};

class TransmitDrainTest : public ::testing::Test {
protected:
    // Runs the checks as the device's watcher does, each at the time it
    // asked for, and returns when the transmitter was reported empty.
    Clock::time_point RunUntilEmpty(TransmitDrain& drain, ScriptedProbe& probe)
    {
        for (int i = 0; i < 100000; ++i) {
            probe.now = std::max(probe.now, drain.NextCheck());
            if (drain.Check(probe.now, probe))
                return probe.now;
        }
        ADD_FAILURE() << "never reported empty";
        return probe.now;
    }

    Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
};

nanoseconds Chars(int64_t n) { return nanoseconds(CharNs * n); }

TransmitDrain At9600(LineStatusKind kind, bool usb)
{
    TransmitDrain drain;
    drain.Configure(kind, usb);
    drain.SetCharacterTimes(CharNs, CharNs);
    return drain;
}

TEST_F(TransmitDrainTest, AnExactStatusIsBelievedButNeverBeforeTheWireEnd)
{
    TransmitDrain drain = At9600(LineStatusKind::Exact, false);
    ScriptedProbe probe;
    // A UART that says empty too early (its rate faster than asked) is not
    // taken at its word before the bytes' own time on the wire.
    probe.empty = [](Clock::time_point) { return true; };
    drain.Queued(t0, 10);
    EXPECT_EQ(RunUntilEmpty(drain, probe), t0 + Chars(10));

    // One that is still shifting out is waited for.
    Clock::time_point start = t0 + std::chrono::seconds(1);
    Clock::time_point really = start + Chars(10) + microseconds(700);
    probe.empty = [&](Clock::time_point now) { return now >= really; };
    drain.Queued(start, 10);
    Clock::time_point reported = RunUntilEmpty(drain, probe);
    EXPECT_GE(reported, really);
    EXPECT_LE(reported, really + TransmitDrain::PollInterval);
}

TEST_F(TransmitDrainTest, WithoutAStatusTheGuardRunsFromTheMomentTheKernelQueueIsEmpty)
{
    // A CH340: the kernel hands the bytes over USB 5 ms after the write;
    // only then does the chip start sending them.
    TransmitDrain drain = At9600(LineStatusKind::None, true);
    ScriptedProbe probe;
    probe.queued = [&](Clock::time_point now) { return now < t0 + milliseconds(5) ? 10 : 0; };
    drain.Queued(t0, 10);
    Clock::time_point reported = RunUntilEmpty(drain, probe);
    Clock::time_point lastStopBit = t0 + milliseconds(5) + Chars(10);
    EXPECT_GE(reported, lastStopBit + Chars(1) + TransmitDrain::UsbAllowance);
    // Found by polling: late by at most one quick poll, never by a guess.
    EXPECT_LE(reported, lastStopBit + Chars(1) + TransmitDrain::UsbAllowance + TransmitDrain::QuickPoll);
}

TEST_F(TransmitDrainTest, AStaleEmptyStatusOfAnFtdiChipIsNotTakenBeforeTheGuard)
{
    TransmitDrain drain = At9600(LineStatusKind::Cached, true);
    ScriptedProbe probe;
    // The last status packet came before the bytes did: "empty".
    probe.empty = [](Clock::time_point) { return true; };
    probe.queued = [&](Clock::time_point now) { return now < t0 + milliseconds(2) ? 4 : 0; };
    drain.Queued(t0, 4);
    EXPECT_GE(RunUntilEmpty(drain, probe), t0 + milliseconds(2) + Chars(5) + TransmitDrain::UsbAllowance);
}

TEST_F(TransmitDrainTest, AStatusThatNeverSaysEmptyReleasesTwoLatencyPeriodsAfterTheGuard)
{
    TransmitDrain drain = At9600(LineStatusKind::Cached, true);
    ScriptedProbe probe;
    probe.empty = [](Clock::time_point) { return false; };
    drain.Queued(t0, 3);
    Clock::time_point guard = t0 + Chars(4) + TransmitDrain::UsbAllowance;
    Clock::time_point reported = RunUntilEmpty(drain, probe);
    EXPECT_GE(reported, guard + 2 * TransmitDrain::StatusLatency);
    EXPECT_LE(reported, guard + 2 * TransmitDrain::StatusLatency + TransmitDrain::PollInterval);
}

TEST_F(TransmitDrainTest, OutputHeldInTheKernelIsNeverReportedEmptyAndIsAskedAboutEverLessOften)
{
    TransmitDrain drain = At9600(LineStatusKind::Exact, false);
    ScriptedProbe probe;
    Clock::time_point released = t0 + std::chrono::seconds(2);
    probe.queued = [&](Clock::time_point now) { return now < released ? 1 : 0; };
    probe.empty = [&](Clock::time_point now) { return now >= released + Chars(1); };
    drain.Queued(t0, 1);
    Clock::time_point reported = RunUntilEmpty(drain, probe);
    EXPECT_GE(reported, released + Chars(1));
    EXPECT_LE(reported, released + TransmitDrain::MaxHeldWait + Chars(1) + TransmitDrain::PollInterval);
    // Two seconds held: about one question per MaxHeldWait, not 10000 polls.
    EXPECT_LT(probe.questions, 100);
}

TEST_F(TransmitDrainTest, TheSlowerRateCountsAndAPurgeEndsTheWait)
{
    TransmitDrain drain;
    drain.Configure(LineStatusKind::None, false);
    // Asked for 9600, the driver's divisor gives 3 % less.
    drain.SetCharacterTimes(CharNs, CharNs * 103 / 100);
    EXPECT_EQ(drain.CharacterNs(), CharNs * 103 / 100);
    ScriptedProbe probe;
    drain.Queued(t0, 100);
    EXPECT_GE(RunUntilEmpty(drain, probe), t0 + nanoseconds(CharNs * 103 / 100 * 101));

    // Thrown away at once: no wire time is waited for what never went out.
    Clock::time_point start = t0 + std::chrono::seconds(5);
    drain.Queued(start, 1000);
    drain.Purged(start);
    EXPECT_LE(RunUntilEmpty(drain, probe), start + nanoseconds(CharNs * 103 / 100 * 2));
}

// A network port: the socket's queue count (not yet sent or not yet
// acknowledged) runs empty, then the whole burst's wire time at the port's
// rate, plus one character.
TEST_F(TransmitDrainTest, ANetworkPortGuardRunsTheWholeBurstFromTheAcknowledgement)
{
    // How late the end of the queue may be found: about a millisecond while
    // it moves, up to the longest poll step once it is held.
    struct Case {
        size_t bytes;
        milliseconds acknowledgedAfter;
        nanoseconds slack;
    } cases[] = {
        {1, milliseconds(0), milliseconds(2)},
        {8, milliseconds(3), milliseconds(2)},
        {2000, milliseconds(1), milliseconds(2)}, // far more than any chip's buffer: not capped
        {2000, milliseconds(5000), TransmitDrain::MaxHeldWait + milliseconds(2)}, // held on the far side
    };
    for (const Case& c : cases) {
        TransmitDrain drain;
        drain.ConfigureNetwork();
        drain.SetCharacterTimes(CharNs, CharNs);
        ScriptedProbe probe;
        probe.now = t0;
        const Clock::time_point acked = t0 + c.acknowledgedAfter;
        probe.queued = [&](Clock::time_point now) { return now < acked ? int(c.bytes) : 0; };
        drain.Queued(t0, c.bytes);
        const Clock::time_point empty = RunUntilEmpty(drain, probe);
        const Clock::time_point guard = acked + Chars(int64_t(c.bytes) + 1);
        EXPECT_GE(empty, guard) << c.bytes << " bytes";
        EXPECT_LE(empty, guard + c.slack) << c.bytes << " bytes";
    }
}

TEST_F(TransmitDrainTest, ALocalDeviceKindAfterANetworkPortKeepsItsCap)
{
    // Configure() for a tty after a network port: the burst is capped again.
    TransmitDrain drain;
    drain.ConfigureNetwork();
    drain.Configure(LineStatusKind::None, false);
    drain.SetCharacterTimes(CharNs, CharNs);
    ScriptedProbe probe;
    probe.now = t0;
    probe.queued = [](Clock::time_point) { return 0; };
    drain.Queued(t0, 2000);
    const Clock::time_point empty = RunUntilEmpty(drain, probe);
    // The wire end of 2000 bytes comes first; 128 held bytes from the
    // queue's end would be earlier.
    EXPECT_GE(empty, t0 + Chars(2000));
    EXPECT_LE(empty, t0 + Chars(2001) + milliseconds(1));
}

} // namespace
