// The transmit-empty moment of a network port: the socket's queue count
// (not yet sent or not yet acknowledged) runs empty, then the whole burst's
// wire time at the port's rate, plus one character. Time is the test's own.

#include "TransmitDrain.h"

#include <gtest/gtest.h>

#include <functional>

using namespace win::detail;
using Clock = TransmitDrain::Clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

namespace {

constexpr int64_t CharNs = 1'041'666; // 9600 8N1

struct SocketQueue final : DrainProbe {
    std::function<int(Clock::time_point)> queued;
    Clock::time_point now{};
    int QueuedBytes() override { return queued(now); }
    std::optional<bool> TransmitterEmpty() override { return std::nullopt; }
};

Clock::time_point RunUntilEmpty(TransmitDrain& drain, SocketQueue& probe)
{
    for (int i = 0; i < 100000; ++i) {
        probe.now = std::max(probe.now, drain.NextCheck());
        if (drain.Check(probe.now, probe))
            return probe.now;
    }
    ADD_FAILURE() << "never reported empty";
    return probe.now;
}

nanoseconds Chars(int64_t n) { return nanoseconds(CharNs * n); }

TEST(TransmitDrainNetwork, GuardRunsTheWholeBurstFromTheAcknowledgement)
{
    const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
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
        SocketQueue probe;
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

TEST(TransmitDrainNetwork, ALocalDeviceKindAfterwardsKeepsItsCap)
{
    // Configure() for a tty after a network port: the burst is capped again.
    TransmitDrain drain;
    drain.ConfigureNetwork();
    drain.Configure(LineStatusKind::None, false);
    drain.SetCharacterTimes(CharNs, CharNs);
    SocketQueue probe;
    const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
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
