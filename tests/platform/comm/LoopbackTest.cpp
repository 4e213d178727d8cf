// The loopback plug through the comm API: bytes come back in their wire
// time, the modem lines are wired across, breaks come back, flow control
// holds the transmitter, the transmitter runs empty and RTS toggles on the
// last stop bit, settings are taken like a UART's, and one program at a
// time holds the plug.

#include "CommApi.h"
#include "CommTesting.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

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

    // Starts a write; true when it completed at once.
    bool StartWrite(Overlapped& write, const std::string& bytes, DWORD* done)
    {
        if (WriteFile(device, bytes.data(), DWORD(bytes.size()), done, &write.ov))
            return true;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return false;
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

// ---- Timing and frames ----------------------------------------------------------------

TEST_F(Loopback, BytesComeBackAfterTheirWireTime)
{
    struct Case {
        DWORD rate;
        BYTE size, parity, stop;
        int halfBits; // start + data + parity + stop, in half bits
        std::string sent, back;
    } cases[] = {
        {1200, 8, NOPARITY, ONESTOPBIT, 20, "\x81hello", "\x81hello"},
        {9600, 7, EVENPARITY, ONESTOPBIT, 20, "\xc1z", "Az"},
        {19200, 5, MARKPARITY, ONE5STOPBITS, 17, "\xff\x21", "\x1f\x01"},
        {2400, 6, SPACEPARITY, TWOSTOPBITS, 20, "\x7f", "\x3f"},
        {110, 8, NOPARITY, TWOSTOPBITS, 22, "ok", "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        DCB dcb = PlainDcb(c.rate);
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        ASSERT_TRUE(SetCommState(device, dcb)) << FormatMessage(GetLastError());
        auto before = Clock::now();
        WriteAll(device, c.sent);
        auto after = Clock::now();
        ASSERT_TRUE(WaitForInQueue(device, DWORD(c.back.size())));
        EXPECT_EQ(ReadWaiting(device), c.back);
        // The simulated line: the burst started between the two readings
        // and took exactly its characters' time.
        auto wire = CharTime(c.halfBits, c.rate) * c.sent.size();
        loopback::Trace trace = loopback::CurrentTrace();
        EXPECT_GE(trace.lastStopBitOut, before + wire);
        EXPECT_LE(trace.lastStopBitOut, after + wire);
    }
}

TEST_F(Loopback, OneReportHoldsWhatHappenedAtOneMoment)
{
    ASSERT_TRUE(SetCommMask(device, EV_TXEMPTY | EV_RXCHAR));
    WriteAll(device, "x");
    // The character comes back the moment its stop bit leaves.
    EXPECT_EQ(NextEvents(device), EV_RXCHAR | EV_TXEMPTY);
}

// ---- Lines and break -------------------------------------------------------------------

TEST_F(Loopback, ABreakComesBackAsABreak)
{
    ASSERT_TRUE(SetCommMask(device, EV_BREAK | EV_ERR));
    ASSERT_TRUE(EscapeCommFunction(device, SETBREAK));
    EXPECT_TRUE(loopback::CurrentTrace().breakOn);
    EXPECT_EQ(NextEvents(device), EV_BREAK);
    ASSERT_TRUE(EscapeCommFunction(device, CLRBREAK));
    DWORD errors = 0;
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(device, &errors, &stat));
    EXPECT_EQ(errors, CE_BREAK);
    // A UART reads the break as one null character.
    EXPECT_EQ(stat.cbInQue, 1u);
    EXPECT_EQ(ReadWaiting(device), std::string(1, '\0'));
    ASSERT_TRUE(ClearCommError(device, &errors, &stat));
    EXPECT_EQ(errors, 0u);
}

TEST_F(Loopback, ALineErrorStopsTransfersUntilItIsCleared)
{
    DCB dcb = PlainDcb(115200);
    dcb.Flags |= fAbortOnError;
    ASSERT_TRUE(SetCommState(device, dcb));
    ASSERT_TRUE(SetCommMask(device, EV_BREAK));
    ASSERT_TRUE(EscapeCommFunction(device, SETBREAK));
    EXPECT_EQ(NextEvents(device), EV_BREAK);
    ASSERT_TRUE(EscapeCommFunction(device, CLRBREAK));
    char buffer[4];
    DWORD done = 0;
    Overlapped read;
    EXPECT_EQ(Failure(ReadFile(device, buffer, 4, &done, &read.ov)), DWORD(ECANCELED));
    EXPECT_EQ(Failure(WriteFile(device, "x", 1, &done, &read.ov)), DWORD(ECANCELED));
    ASSERT_TRUE(ClearCommError(device, nullptr, nullptr));
    WriteAll(device, "x");
}

// ---- Flow control -----------------------------------------------------------------------

TEST_F(Loopback, XoffByHandHoldsAndXonReleases)
{
    ASSERT_TRUE(EscapeCommFunction(device, SETXOFF));
    Overlapped write;
    DWORD done = 0;
    ASSERT_FALSE(StartWrite(write, "wait", &done));
    EXPECT_FALSE(write.Completed(50));
    EXPECT_EQ(InQueue(device), 0u);
    ASSERT_TRUE(EscapeCommFunction(device, SETXON));
    ASSERT_TRUE(write.Completed());
    ASSERT_TRUE(WaitForInQueue(device, 4));
    EXPECT_EQ(ReadWaiting(device), "wait");
}

TEST_F(Loopback, AnXoffThatComesBackHoldsOurOwnOutput)
{
    DCB dcb = PlainDcb(115200);
    dcb.Flags |= fOutX;
    ASSERT_TRUE(SetCommState(device, dcb));
    WriteAll(device, "\x13");
    auto start = Clock::now();
    while (loopback::CurrentTrace().charactersLooped < 1 && Clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Overlapped write;
    DWORD done = 0;
    ASSERT_FALSE(StartWrite(write, std::string(20, 'h'), &done));
    EXPECT_FALSE(write.Completed(50)) << "16 characters fit the FIFO, but nothing is sent";
    EXPECT_EQ(InQueue(device), 0u) << "the driver keeps XON and XOFF out of the data";
    WriteAll(device, ""); // nothing to send, nothing changes
    ASSERT_TRUE(EscapeCommFunction(device, SETXON));
    ASSERT_TRUE(write.Completed());
    ASSERT_TRUE(WaitForInQueue(device, 20));
    EXPECT_EQ(ReadWaiting(device), std::string(20, 'h'));
}

TEST_F(Loopback, RtsHandshakeStopsTheSenderWhenTheQueueFills)
{
    ASSERT_TRUE(SetupComm(device, 64, 64));
    DCB dcb = PlainDcb(115200);
    dcb.Flags = fBinary | fOutxCtsFlow | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_HANDSHAKE << 12);
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_TRUE(loopback::CurrentTrace().rts);
    // RTS (wired to our own CTS) drops at three quarters of 64 bytes; what
    // the FIFO holds by then still arrives.
    Overlapped write;
    DWORD done = 0;
    ASSERT_FALSE(StartWrite(write, std::string(200, 'q'), &done));
    EXPECT_FALSE(write.Completed(100));
    EXPECT_FALSE(loopback::CurrentTrace().rts);
    DWORD queued = InQueue(device);
    EXPECT_GE(queued, 48u);
    EXPECT_LE(queued, 64u);
    // Reading makes room: RTS comes back up and the rest flows.
    std::string got;
    auto start = Clock::now();
    while (got.size() < 200 && Clock::now() - start < std::chrono::seconds(10)) {
        got += ReadWaiting(device);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(got, std::string(200, 'q'));
    EXPECT_TRUE(write.Completed(0));
}

// ---- Settings --------------------------------------------------------------------------

TEST_F(Loopback, SettingsAreTakenAndRefusedLikeTheTtys)
{
    for (BYTE size : {5, 6, 7, 8}) {
        for (BYTE parity : {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY}) {
            DCB dcb = PlainDcb(56000);
            dcb.ByteSize = size;
            dcb.Parity = parity;
            dcb.StopBits = size == 5 ? ONE5STOPBITS : TWOSTOPBITS;
            EXPECT_TRUE(SetCommState(device, dcb)) << int(size) << " " << int(parity);
            DCB got;
            ASSERT_TRUE(GetCommState(device, got));
            EXPECT_EQ(got.ByteSize, size);
            EXPECT_EQ(got.Parity, parity);
            EXPECT_EQ(got.StopBits, dcb.StopBits);
            EXPECT_EQ(got.BaudRate, 56000u);
        }
    }
    auto refused = [this](void (*change)(DCB&)) {
        DCB dcb = PlainDcb(9600);
        change(dcb);
        SetLastError(0);
        return !SetCommState(device, dcb) && GetLastError() == DWORD(EINVAL);
    };
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 4; }));
    EXPECT_TRUE(refused([](DCB& d) { d.StopBits = ONE5STOPBITS; }));
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 5; d.StopBits = TWOSTOPBITS; }));
    EXPECT_TRUE(refused([](DCB& d) { d.Flags |= fOutxDsrFlow; }));
    EXPECT_TRUE(refused([](DCB& d) { d.Flags = (d.Flags & ~fDtrControlMask) | (DTR_CONTROL_HANDSHAKE << 4); }));
    EXPECT_TRUE(refused([](DCB& d) { d.BaudRate = 0; }));

    // RTS belongs to the handshake: refused by hand.
    DCB dcb = PlainDcb(9600);
    dcb.Flags = fBinary | fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12);
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_EQ(Failure(EscapeCommFunction(device, SETRTS)), DWORD(EINVAL));
}

// ---- Holding the plug ------------------------------------------------------------------

TEST_F(Loopback, ClosingEndsPendingWorkAndStopsTheLine)
{
    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR));
    ASSERT_TRUE(EscapeCommFunction(device, SETXOFF));
    Overlapped write, wait;
    DWORD done = 0, events = 0xDEAD;
    ASSERT_FALSE(StartWrite(write, "never", &done));
    ASSERT_FALSE(WaitCommEvent(device, &events, &wait.ov));
    ASSERT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(write.Completed(0));
    EXPECT_TRUE(wait.Completed(0));
    EXPECT_EQ(events, 0u);
    EXPECT_FALSE(loopback::CurrentTrace().open);
}

} // namespace
