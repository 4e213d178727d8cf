// The loopback plug through the comm API: lines wired across, flow control
// holding the transmitter, the transmitter running empty and RTS toggle on
// the last stop bit, and one program at a time holding the plug.

#include "CommApi.h"
#include "CommTesting.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

using namespace win;
using loopback::Clock;
using namespace testsupport;

namespace {

// The wire time of one character at `rate`, given its bits times two.
std::chrono::nanoseconds CharTime(int bitsPerCharacterTimesTwo, DWORD rate)
{
    return std::chrono::nanoseconds(int64_t(bitsPerCharacterTimesTwo) * 500'000'000LL / rate);
}

class Loopback : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseOwnLoopbackLock();
        device = OpenPlain("loopback");
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
    }

    // Events until `wanted` has been seen (or the patience is over).
    DWORD EventsUntil(DWORD wanted)
    {
        DWORD seen = 0;
        auto start = Clock::now();
        while ((seen & wanted) != wanted && Clock::now() - start < std::chrono::milliseconds(Patience))
            seen |= NextEvents(device);
        return seen;
    }

    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(Loopback, TransmitterEmptyComesWhenTheLastStopBitIsOut)
{
    ASSERT_TRUE(SetCommState(device, PlainDcb(9600)));
    ASSERT_TRUE(SetCommMask(device, EV_TXEMPTY | EV_RXCHAR));
    auto before = Clock::now();
    WriteAll(device, std::string(40, 'a')); // a 16-character FIFO: completes 24 characters early
    DWORD seen = EventsUntil(EV_TXEMPTY);
    auto reported = Clock::now();
    EXPECT_TRUE(seen & EV_TXEMPTY);
    loopback::Trace trace = loopback::CurrentTrace();
    EXPECT_GE(trace.lastStopBitOut, before + CharTime(20, 9600) * 40);
    EXPECT_GE(reported, trace.lastStopBitOut) << "never before the last stop bit";
    EXPECT_EQ(InQueue(device), 40u);
}

TEST_F(Loopback, RtsToggleFramesEachTransmission)
{
    DCB dcb = PlainDcb(4800);
    dcb.Flags = fBinary | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_TOGGLE << 12);
    ASSERT_TRUE(SetCommState(device, dcb));
    ASSERT_TRUE(SetCommMask(device, EV_TXEMPTY));
    EXPECT_FALSE(loopback::CurrentTrace().rts);
    auto before = Clock::now();
    WriteAll(device, "frame");
    EXPECT_TRUE(EventsUntil(EV_TXEMPTY) & EV_TXEMPTY);
    loopback::Trace trace = loopback::CurrentTrace();
    ASSERT_GE(trace.lineChanges.size(), 2u);
    const loopback::LineChange& up = trace.lineChanges[trace.lineChanges.size() - 2];
    const loopback::LineChange& down = trace.lineChanges.back();
    EXPECT_TRUE(up.rts);
    EXPECT_FALSE(down.rts);
    EXPECT_GE(up.at, before);
    EXPECT_LE(up.at + CharTime(20, 4800) * 5, trace.lastStopBitOut) << "raised before the first start bit";
    EXPECT_EQ(down.at, trace.lastStopBitOut) << "dropped when the last stop bit is out";
}

TEST_F(Loopback, DtrComesBackAsDsrAndDcdRtsAsCts)
{
    ASSERT_TRUE(SetCommMask(device, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    ASSERT_TRUE(EscapeCommFunction(device, CLRDTR));
    EXPECT_EQ(NextEvents(device), DWORD(EV_DSR | EV_RLSD));
    ASSERT_TRUE(EscapeCommFunction(device, CLRRTS));
    EXPECT_EQ(NextEvents(device), DWORD(EV_CTS));
    // Setting a line to the level it has changes nothing.
    ASSERT_TRUE(EscapeCommFunction(device, CLRRTS));
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    EXPECT_EQ(NextEvents(device), DWORD(EV_DSR | EV_RLSD));
}

TEST_F(Loopback, CtsLowHoldsTheTransmitterAndACancelledWriteNeverGoesOut)
{
    DCB dcb = PlainDcb(115200);
    dcb.Flags = fBinary | fOutxCtsFlow | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_DISABLE << 12);
    ASSERT_TRUE(SetCommState(device, dcb));

    Overlapped write;
    DWORD done = 0xDEAD;
    ASSERT_FALSE(WriteFile(device, "held", 4, &done, &write.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(write.Completed(50));
    ASSERT_TRUE(CancelIo(device, &write.ov));
    EXPECT_EQ(Failure(GetOverlappedResult(device, &write.ov, &done, false)), DWORD(ECANCELED));

    // CTS up: the withdrawn bytes stay withdrawn; the next write goes.
    dcb.Flags = fBinary | fOutxCtsFlow | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_ENABLE << 12);
    ASSERT_TRUE(SetCommState(device, dcb));
    WriteAll(device, "next");
    ASSERT_TRUE(WaitForInQueue(device, 4));
    EXPECT_EQ(ReadWaiting(device), "next");
    EXPECT_EQ(loopback::CurrentTrace().charactersLooped, 4u);
}

TEST_F(Loopback, ThePlugIsHeldLikeAPort)
{
    EXPECT_EQ(Failure(CreateFile("loopback") != INVALID_HANDLE_VALUE), DWORD(EWOULDBLOCK));
    ASSERT_TRUE(CloseHandle(device));
    device = CreateFile("loopback");
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
}

} // namespace
