// The comm API on Linux: handles and events, opening ttys, and the mapping of
// control blocks onto termios2 and the modem lines. Ptys stand in for serial
// devices; SimulatedUart gives them modem lines and real frame formats where
// the kernel's pty cannot show what was asked for.

#include "CommApi.h"
#include "CommTesting.h"
#include "Pty.h"
#include "SimulatedUart.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

using namespace win;
using namespace testsupport;

namespace {

// ---- Handles, events, errors -------------------------------------------------

TEST(CommApiEvents, ManualResetEventStaysSignalledUntilResetAutoResetReleasesOneWait)
{
    HANDLE event = CreateEvent(true, false);
    ASSERT_NE(event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));

    HANDLE signalled = CreateEvent(true, true);
    EXPECT_EQ(WaitForSingleObject(signalled, 0), WAIT_OBJECT_0);
    CloseHandle(signalled);

    HANDLE automatic = CreateEvent(false, true);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    CloseHandle(automatic);
}

TEST(CommApiEvents, SetEventFromAnotherThreadEndsAnInfiniteWait)
{
    HANDLE event = CreateEvent(true, false);
    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(event);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
    setter.join();
    CloseHandle(event);
}

TEST(CommApiEvents, WaitTimesOutAfterTheGivenTime)
{
    HANDLE event = CreateEvent(true, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    CloseHandle(event);
}

TEST(CommApiHandles, ClosedHandlesAreRefusedAndNeverComeBack)
{
    HANDLE first = CreateEvent(true, false);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = CreateEvent(true, false);
    EXPECT_NE(second, first);

    SetLastError(0);
    EXPECT_EQ(Failure(SetEvent(first)), DWORD(EBADF));
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(first));
    // A file descriptor is not a handle.
    EXPECT_FALSE(SetEvent(0));
    EXPECT_FALSE(SetEvent(1));
    CloseHandle(second);
}

TEST(CommApiHandles, DeviceFunctionsRefuseEventsAndUnknownHandles)
{
    HANDLE event = CreateEvent(true, false);
    DCB dcb;
    EXPECT_EQ(Failure(GetCommState(event, dcb)), DWORD(EBADF));
    EXPECT_EQ(Failure(SetCommMask(INVALID_HANDLE_VALUE, 0)), DWORD(EBADF));
    EXPECT_FALSE(PurgeComm(event + 1000, PURGE_RXCLEAR));
    CloseHandle(event);
}

TEST(CommApiErrors, LastErrorBelongsToTheThread)
{
    SetLastError(EINVAL);
    DWORD seenByOther = 1234;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(EIO);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), DWORD(EINVAL));
}

TEST(CommApiErrors, FormatMessageGivesTheSystemTextOrNothing)
{
    EXPECT_EQ(FormatMessage(EINVAL), "Invalid argument");
    EXPECT_EQ(FormatMessage(ENOTTY), "Inappropriate ioctl for device");
    EXPECT_EQ(FormatMessage(ERROR_FILE_NOT_FOUND), "No such file or directory");
    EXPECT_FALSE(FormatMessage(ERROR_IO_PENDING).empty());
    EXPECT_EQ(FormatMessage(123456), "");
    EXPECT_EQ(FormatMessage(0xFFFFFFFF), "");
}

// ---- Opening -----------------------------------------------------------------

class CommApiPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }
    void TearDown() override
    {
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
    }
    void Open()
    {
        device = CreateFile(pty.SlavePath());
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << FormatMessage(GetLastError());
    }
    // The error with which opening the pty fails.
    DWORD OpenFailure() { return Failure(CreateFile(pty.SlavePath()) != INVALID_HANDLE_VALUE); }

    TestPty pty;
    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(CommApiPty, MissingDevicesAndThingsThatAreNoTtyCannotBeOpened)
{
    for (const char* path : {"/dev/tarrowin-no-such-device", ""})
        EXPECT_EQ(Failure(CreateFile(path) != INVALID_HANDLE_VALUE), ERROR_FILE_NOT_FOUND) << path;
    EXPECT_EQ(Failure(CreateFile("/dev/null") != INVALID_HANDLE_VALUE), DWORD(ENOTTY));

    // A port without a UART (its modem status read fails) counts as missing.
    SimulatedUart uart(pty.SlavePath());
    uart.FailModemStatus(EIO);
    EXPECT_EQ(OpenFailure(), ERROR_FILE_NOT_FOUND);
}

TEST_F(CommApiPty, OpeningIsExclusiveUntilTheHandleIsClosed)
{
    // Another program holding the device's lock.
    ASSERT_EQ(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenFailure(), DWORD(EWOULDBLOCK));
    ASSERT_EQ(flock(pty.Observer(), LOCK_UN), 0);

    Open();
    // Our own second open, and any other program's lock, are refused.
    EXPECT_EQ(OpenFailure(), DWORD(EWOULDBLOCK));
    EXPECT_NE(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0);

    ASSERT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    EXPECT_EQ(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0);
    flock(pty.Observer(), LOCK_UN);
    Open();
}

TEST_F(CommApiPty, OpeningPutsTheTtyIntoRawMode)
{
    // A fresh pty is cooked: line editing, echo, signals, CR/NL mapping.
    ASSERT_TRUE(pty.Settings().canonical);
    Open();
    TtySettings s = pty.Settings();
    const std::pair<const char*, bool> processing[] = {
        {"canonical", s.canonical}, {"echo", s.echo},     {"signalKeys", s.signalKeys}, {"extendedInput", s.extendedInput},
        {"outputProcessing", s.outputProcessing},         {"crToNl", s.crToNl},         {"nlToCr", s.nlToCr},
        {"ignoreCr", s.ignoreCr},   {"stripHighBit", s.stripHighBit}};
    for (auto [name, on] : processing)
        EXPECT_FALSE(on) << name;
    EXPECT_TRUE(s.localLine);
    EXPECT_TRUE(s.receiverOn);
    EXPECT_EQ(s.vmin, 0);
    EXPECT_EQ(s.vtime, 0);
}

TEST_F(CommApiPty, ClosedDeviceHandleIsRefused)
{
    Open();
    ASSERT_TRUE(CloseHandle(device));
    DCB dcb;
    EXPECT_EQ(Failure(GetCommState(device, dcb)), DWORD(EBADF));
    EXPECT_FALSE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
}

// ---- Control block onto termios2 ---------------------------------------------

TEST_F(CommApiPty, FrameAndRateReachTheTty)
{
    Open();
    DCB dcb = PlainDcb(1200);
    dcb.Flags |= fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12);
    ASSERT_TRUE(SetCommState(device, dcb)) << FormatMessage(GetLastError());
    EXPECT_TRUE(pty.Settings().customSpeed);
    EXPECT_FALSE(pty.Settings().canonical);
    EXPECT_EQ(LineSummary(pty.Settings()), "1200 8N1 rtscts");

    // Rates that are no standard termios speed.
    for (DWORD rate : {14400u, 56000u, 128000u, 256000u}) {
        ASSERT_TRUE(SetCommState(device, PlainDcb(rate)));
        EXPECT_EQ(LineSummary(pty.Settings()), std::to_string(rate) + " 8N1");
    }

    dcb = PlainDcb();
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_TRUE(pty.Settings().twoStopBits);
}

TEST_F(CommApiPty, XonXoffUsesTheGivenCharacters)
{
    Open();
    DCB dcb = PlainDcb();
    dcb.Flags |= fOutX;
    dcb.XonChar = 0x05;
    dcb.XoffChar = 0x06;
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_EQ(LineSummary(pty.Settings()), "9600 8N1 ixon");
    EXPECT_EQ(pty.Settings().startChar, 0x05);
    EXPECT_EQ(pty.Settings().stopChar, 0x06);

    dcb.Flags = (dcb.Flags & ~fOutX) | fInX | fParity;
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_EQ(LineSummary(pty.Settings()), "9600 8N1 ixoff inpck");
}

TEST_F(CommApiPty, ImpossibleSettingsAreRefusedWithoutTouchingTheTty)
{
    Open();
    ASSERT_TRUE(SetCommState(device, PlainDcb(4800)));

    struct Case {
        const char* what;
        void (*change)(DCB&);
    } cases[] = {
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"2 stop bits with 5 data bits", [](DCB& d) { d.ByteSize = 5; d.StopBits = TWOSTOPBITS; }},
        {"unknown stop bits", [](DCB& d) { d.StopBits = 3; }},
        {"unknown parity", [](DCB& d) { d.Parity = 5; }},
        {"rate 0", [](DCB& d) { d.BaudRate = 0; }},
        {"DSR output flow", [](DCB& d) { d.Flags |= fOutxDsrFlow; }},
        {"DTR handshake",
         [](DCB& d) { d.Flags = (d.Flags & ~fDtrControlMask) | (DTR_CONTROL_HANDSHAKE << 4); }},
        {"DSR sensitivity", [](DCB& d) { d.Flags |= fDsrSensitivity; }},
        {"XON equal to XOFF", [](DCB& d) { d.Flags |= fOutX | fInX; d.XoffChar = d.XonChar; }},
        {"text mode", [](DCB& d) { d.Flags &= ~fBinary; }},
        // The pty drops parity: what the driver did not take is refused.
        {"even parity on a pty", [](DCB& d) { d.BaudRate = 19200; d.Parity = EVENPARITY; }},
        {"7 data bits on a pty", [](DCB& d) { d.BaudRate = 19200; d.ByteSize = 7; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb = PlainDcb(4800);
        c.change(dcb);
        SetLastError(0);
        EXPECT_EQ(Failure(SetCommState(device, dcb)), DWORD(EINVAL));
        EXPECT_EQ(LineSummary(pty.Settings()), "4800 8N1");
    }
}

TEST_F(CommApiPty, StateReadBackIsTheLastSetMergedWithTheTty)
{
    Open();
    DCB set = PlainDcb(19200);
    set.Flags |= fAbortOnError | fNull | fOutX;
    set.XonLim = 100;
    set.XoffLim = 200;
    set.ErrorChar = '?';
    set.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(device, set));

    DCB got;
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.BaudRate, 19200u);
    EXPECT_EQ(got.Flags, set.Flags);
    EXPECT_EQ(got.XonLim, 100);
    EXPECT_EQ(got.XoffLim, 200);
    EXPECT_EQ(got.ErrorChar, '?');
    EXPECT_EQ(got.EvtChar, '\n');
    EXPECT_EQ(got.ByteSize, 8);
    EXPECT_EQ(got.StopBits, ONESTOPBIT);

    // Setting what was read back changes nothing.
    ASSERT_TRUE(SetCommState(device, got));
    EXPECT_EQ(pty.Settings().outputSpeed, 19200u);
    EXPECT_TRUE(pty.Settings().xonOutput);

    // What the tty holds wins over what was set when someone else changed it.
    pty.SetSpeed(2400);
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.BaudRate, 2400u);
    EXPECT_EQ(got.XonLim, 100);
}

TEST_F(CommApiPty, StateBeforeAnySetDescribesTheOpenedTty)
{
    pty.SetSpeed(38400);
    Open();
    DCB got;
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.BaudRate, 38400u);
    EXPECT_EQ(got.ByteSize, 8);
    EXPECT_EQ(got.Parity, NOPARITY);
    EXPECT_TRUE(got.Flags & fBinary);
    // The kernel raised DTR and RTS when the tty was opened.
    EXPECT_EQ((got.Flags & fDtrControlMask) >> 4, DTR_CONTROL_ENABLE);
    EXPECT_EQ((got.Flags & fRtsControlMask) >> 12, RTS_CONTROL_ENABLE);
    EXPECT_TRUE(SetCommState(device, got));
}

// ---- With a simulated UART ---------------------------------------------------

class CommApiUart : public CommApiPty {
protected:
    void SetUp() override
    {
        CommApiPty::SetUp();
        uart = std::make_unique<SimulatedUart>(pty.SlavePath());
        Open();
    }
    void TearDown() override
    {
        CommApiPty::TearDown();
        uart.reset();
    }
    std::unique_ptr<SimulatedUart> uart;
};

TEST_F(CommApiUart, ParityAndDataBitsMapOntoTheFrameFlags)
{
    struct Case {
        BYTE parity;
        const char* line;
    } cases[] = {
        {ODDPARITY, "9600 7O1"}, {EVENPARITY, "9600 7E1"}, {MARKPARITY, "9600 7M1"}, {SPACEPARITY, "9600 7S1"},
    };
    for (const Case& c : cases) {
        DCB dcb = PlainDcb();
        dcb.ByteSize = 7;
        dcb.Parity = c.parity;
        ASSERT_TRUE(SetCommState(device, dcb)) << FormatMessage(GetLastError());
        EXPECT_EQ(LineSummary(uart->Settings()), c.line);
        DCB got;
        ASSERT_TRUE(GetCommState(device, got));
        EXPECT_EQ(got.Parity, c.parity);
    }
    ASSERT_TRUE(SetCommState(device, PlainDcb()));
    EXPECT_FALSE(uart->Settings().stickParity);
    EXPECT_EQ(LineSummary(uart->Settings()), "9600 8N1");
}

TEST_F(CommApiUart, OneAndAHalfStopBitsExistOnlyWithFiveDataBits)
{
    DCB dcb = PlainDcb();
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_EQ(LineSummary(uart->Settings()), "9600 5N2");
    DCB got;
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.StopBits, ONE5STOPBITS);

    dcb.ByteSize = 6;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(device, dcb));
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.StopBits, TWOSTOPBITS);
}

TEST_F(CommApiUart, ARateTheDriverCannotReachIsRefused)
{
    // A 16550 on a 1.8432 MHz clock: rates up to 115200, divisors only.
    uart->SetRateRule([](uint32_t rate) {
        uint32_t divisor = std::max<uint32_t>(1, (115200 + rate / 2) / rate);
        return 115200 / divisor;
    });
    ASSERT_TRUE(SetCommState(device, PlainDcb(9600)));

    // 56000 comes out as 57600 (2.9 % off): good enough for the far end.
    ASSERT_TRUE(SetCommState(device, PlainDcb(56000)));
    DCB got;
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.BaudRate, 56000u);

    EXPECT_EQ(Failure(SetCommState(device, PlainDcb(256000))), DWORD(EINVAL));
    EXPECT_EQ(uart->Settings().outputSpeed, 57600u);
}

TEST_F(CommApiUart, LineControlsSetDtrAndRts)
{
    auto withLines = [this](DWORD dtr, DWORD rts) {
        DCB dcb = PlainDcb();
        dcb.Flags = fBinary | (dtr << 4) | (rts << 12);
        if (rts == RTS_CONTROL_HANDSHAKE)
            dcb.Flags |= fOutxCtsFlow;
        return dcb;
    };
    struct Case {
        DWORD dtr, rts;
        bool dtrOn, rtsOn;
    } cases[] = {
        {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, true, true},
        // Toggle: RTS rests low between transmissions.
        {DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, true, false},
        // Under hardware flow control the kernel drives RTS; we leave it alone.
        {DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "dtr " << c.dtr << " rts " << c.rts);
        ASSERT_TRUE(SetCommState(device, withLines(c.dtr, c.rts)));
        EXPECT_EQ(uart->Dtr(), c.dtrOn);
        EXPECT_EQ(uart->Rts(), c.rtsOn);
    }
    EXPECT_TRUE(uart->Settings().hardwareFlow);
    uart->SetLines(false, true);
    ASSERT_TRUE(SetCommState(device, withLines(DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE)));
    EXPECT_TRUE(uart->Rts());
}

TEST_F(CommApiUart, EscapeFunctionsDriveTheLine)
{
    ASSERT_TRUE(SetCommState(device, PlainDcb()));
    struct Step {
        DWORD function;
        bool (SimulatedUart::*state)() const;
        bool on;
    } steps[] = {
        {CLRDTR, &SimulatedUart::Dtr, false},   {SETDTR, &SimulatedUart::Dtr, true},
        {CLRRTS, &SimulatedUart::Rts, false},   {SETRTS, &SimulatedUart::Rts, true},
        {SETBREAK, &SimulatedUart::BreakOn, true}, {CLRBREAK, &SimulatedUart::BreakOn, false},
        {SETXOFF, &SimulatedUart::OutputSuspended, true}, {SETXON, &SimulatedUart::OutputSuspended, false},
    };
    for (const Step& step : steps) {
        ASSERT_TRUE(EscapeCommFunction(device, step.function)) << step.function;
        EXPECT_EQ((uart.get()->*step.state)(), step.on) << step.function;
    }
    EXPECT_EQ(Failure(EscapeCommFunction(device, 7)), DWORD(EINVAL));

    // RTS belongs to the kernel under hardware flow control.
    DCB dcb = PlainDcb();
    dcb.Flags |= fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12);
    ASSERT_TRUE(SetCommState(device, dcb));
    EXPECT_EQ(Failure(EscapeCommFunction(device, CLRRTS)), DWORD(EINVAL));
    EXPECT_TRUE(uart->Rts());
}

// ---- Queues and lines on a bare pty --------------------------------------------

TEST_F(CommApiPty, ModemLineFunctionsFailOnAPty)
{
    Open();
    EXPECT_EQ(Failure(EscapeCommFunction(device, SETDTR)), DWORD(ENOTTY));
    EXPECT_EQ(Failure(EscapeCommFunction(device, CLRRTS)), DWORD(ENOTTY));
    // ...while the settings' line levels are moot there.
    EXPECT_TRUE(SetCommState(device, PlainDcb()));
}

TEST_F(CommApiPty, QueueCountAndPurge)
{
    Open();
    ASSERT_TRUE(SetCommState(device, PlainDcb()));
    ASSERT_EQ(write(pty.Master(), "hello", 5), 5);
    ASSERT_TRUE(WaitForInQueue(device, 5));
    COMSTAT stat;
    DWORD errors = 99;
    ASSERT_TRUE(ClearCommError(device, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(errors, 0u);

    // Clearing only the transmit side keeps what was received.
    ASSERT_TRUE(PurgeComm(device, PURGE_TXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(InQueue(device), 5u);
    ASSERT_TRUE(PurgeComm(device, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(device), 0u);
    EXPECT_EQ(Failure(PurgeComm(device, 0x10)), DWORD(EINVAL));
}

TEST_F(CommApiPty, StoredSettingsAreAccepted)
{
    Open();
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    EXPECT_TRUE(SetCommTimeouts(device, timeouts));
    EXPECT_TRUE(SetupComm(device, 4096, 2048));
    EXPECT_TRUE(SetCommMask(device, 0x1FF));
}

} // namespace
