// TXEN let go by the device: on the loopback plug, DTR drops when the last
// stop bit is out and before the transmit-empty event; only after a write
// that was armed for; never when a hand switch or new settings came in
// between. On a tty whose driver says "empty" at once (the drain probe
// seam), the release still waits for the computed wire end.

#include "CommApi.h"
#include "CommDevice.h"
#include "CommTesting.h"
#include "LineRelease.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"
#include "PortJournal.h"
#include "Pty.h"
#include "TransmitDrain.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using namespace win;
using namespace testsupport;
using loopback::Clock;

namespace {

class LineReleaseOnThePlug : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = OpenOwnPlug(9600);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetCommMask(device, EV_TXEMPTY));
    }
    void TearDown() override { CloseHandle(device); }

    // Sends, waits for the transmitter to run empty; whether DTR was still
    // up when the event came.
    bool SendAndWait(const std::string& bytes, const std::function<void()>& meanwhile = {})
    {
        WriteAll(device, bytes);
        if (meanwhile)
            meanwhile();
        EXPECT_EQ(NextEvents(device), DWORD(EV_TXEMPTY));
        return loopback::CurrentTrace().dtr;
    }

    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(LineReleaseOnThePlug, DtrDropsAtTheLastStopBitBeforeTheEventAndOnlyWhenArmed)
{
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    ASSERT_TRUE(linerelease::ArmDtr(device, false));
    EXPECT_FALSE(SendAndWait("frame")) << "down before the event";
    loopback::Trace trace = loopback::CurrentTrace();
    EXPECT_FALSE(trace.lineChanges.back().dtr);
    EXPECT_GE(trace.lineChanges.back().at, trace.lastStopBitOut) << "never before the last stop bit";

    // Once: the next send is not armed; inverted polarity releases upwards.
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    EXPECT_TRUE(SendAndWait("again"));
    ASSERT_TRUE(EscapeCommFunction(device, CLRDTR));
    ASSERT_TRUE(linerelease::ArmDtr(device, true));
    EXPECT_TRUE(SendAndWait("inverted"));
}

TEST_F(LineReleaseOnThePlug, AHandSwitchOrNewSettingsDuringTheSendHaveTheLastWord)
{
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    ASSERT_TRUE(linerelease::ArmDtr(device, false));
    // 40 characters: the write returns with 16 still in the FIFO.
    EXPECT_TRUE(SendAndWait(std::string(40, 'x'), [&] {
        EscapeCommFunction(device, CLRDTR);
        EscapeCommFunction(device, SETDTR); // the user keys it again
    }));

    ASSERT_TRUE(linerelease::ArmDtr(device, false));
    EXPECT_TRUE(SendAndWait(std::string(40, 'x'), [&] { SetCommState(device, PlainDcb(9600)); }));
    EXPECT_FALSE(linerelease::ArmDtr(INVALID_HANDLE_VALUE, false));
}

// A driver whose queue and line status read "empty" at once: the release
// still comes no earlier than the bytes' own time on the wire.
TEST(LineReleaseOnATty, NeverBeforeTheComputedWireEnd)
{
    struct EmptyAtOnce final : detail::DrainProbe {
        int QueuedBytes() override { return 0; }
        std::optional<bool> TransmitterEmpty() override { return true; }
    };
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    detail::SetTtyDrainProbeForTests([](int) { return std::make_unique<EmptyAtOnce>(); });
    HANDLE device = OpenPlain(pty.SlavePath());
    detail::SetTtyDrainProbeForTests(nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommState(device, PlainDcb(9600)));
    ASSERT_TRUE(journal::Start(device));
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    ASSERT_TRUE(linerelease::ArmDtr(device, false));
    WriteAll(device, std::string(20, 'x')); // about 21 ms on the wire

    std::vector<journal::Record> records;
    Clock::time_point wireEnd{}, released{};
    auto until = Clock::now() + std::chrono::milliseconds(Patience);
    while (released == Clock::time_point{} && Clock::now() < until) {
        journal::Take(device, records);
        for (const journal::Record& r : records) {
            if (r.kind == journal::Kind::Sent)
                wireEnd = r.wireEnd;
            if (r.kind == journal::Kind::Lines && !r.dtr)
                released = r.at;
        }
        records.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_NE(released, Clock::time_point{}) << "never released";
    EXPECT_GE(released, wireEnd);
    CloseHandle(device);
}

} // namespace
