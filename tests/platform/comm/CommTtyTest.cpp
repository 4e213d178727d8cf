// The comm API on a tty (a pty stands in for the serial device): event
// waits and how they end, reads, writes and their cancelling, what must hold
// when the device is held elsewhere, refuses settings, carries any byte, has
// no modem lines, or goes away.

#include "CommApi.h"
#include "CommDevice.h"
#include "CommTesting.h"
#include "ProcessProbes.h"
#include "Pty.h"
#include "TransmitDrain.h"
#include "TtyParking.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace win;
using namespace testsupport;

namespace {

class CommTty : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        device = OpenPlain(pty.SlavePath());
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
    }

    void Send(const std::string& bytes)
    {
        ASSERT_EQ(write(pty.Master(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // What the far end receives until the line has been quiet for a while
    // (and at least `atLeast` bytes, within the patience).
    std::string DrainMaster(size_t atLeast, int quietMs = 100)
    {
        std::string got;
        char buffer[4096];
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            pollfd p{pty.Master(), POLLIN, 0};
            bool enough = got.size() >= atLeast;
            if (poll(&p, 1, enough ? quietMs : 20) > 0) {
                ssize_t n = read(pty.Master(), buffer, sizeof buffer);
                if (n > 0)
                    got.append(buffer, size_t(n));
            } else if (enough || std::chrono::steady_clock::now() - start > std::chrono::milliseconds(Patience)) {
                return got;
            }
        }
    }

    TestPty pty;
    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(CommTty, ASecondOpenIsRefusedUntilTheHandleIsClosed)
{
    EXPECT_EQ(Failure(CreateFile(pty.SlavePath()) != INVALID_HANDLE_VALUE), DWORD(EWOULDBLOCK));
    EXPECT_NE(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0) << "other programs see the lock";

    ASSERT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    device = CreateFile(pty.SlavePath());
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
}

TEST_F(CommTty, ARefusedControlBlockGivesEinvalAndLeavesTheTtyAsItWas)
{
    ASSERT_TRUE(SetCommState(device, PlainDcb(4800)));
    struct Case {
        const char* what;
        void (*change)(DCB&);
    } cases[] = {
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"DSR output flow", [](DCB& d) { d.Flags |= fOutxDsrFlow; }},
        // The pty drops parity: what the driver did not take is refused.
        {"even parity on a pty", [](DCB& d) { d.Parity = EVENPARITY; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb = PlainDcb(4800);
        c.change(dcb);
        EXPECT_EQ(Failure(SetCommState(device, dcb)), DWORD(EINVAL));
        EXPECT_EQ(pty.Settings().line, "4800 8N1");
    }
}

TEST_F(CommTty, EveryByteValueCrossesUnchangedBothWays)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));

    ASSERT_EQ(write(pty.Master(), all.data(), all.size()), ssize_t(all.size()));
    std::string got;
    for (int i = 0; i < 1000 && got.size() < all.size(); ++i) {
        ASSERT_TRUE(WaitForInQueue(device, 1));
        got += ReadWaiting(device);
    }
    EXPECT_EQ(got, all);

    WriteAll(device, all);
    EXPECT_EQ(DrainMaster(all.size()), all);
}

TEST_F(CommTty, ACancelledWaitNeverCompletesLater)
{
    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR));
    auto wait = std::make_unique<Overlapped>();
    auto events = std::make_unique<DWORD>(0xDEAD);
    ASSERT_FALSE(WaitCommEvent(device, events.get(), &wait->ov));
    ASSERT_TRUE(CancelIo(device, &wait->ov));
    // Freed at once: under AddressSanitizer a late completion would be a
    // use after free.
    wait.reset();
    events.reset();
    ASSERT_EQ(write(pty.Master(), "x", 1), 1);
    EXPECT_EQ(NextEvents(device), DWORD(EV_RXCHAR));
}

// ---- Event waits ----------------------------------------------------------------

TEST_F(CommTty, AWaitPendsUntilBytesArriveAndKeepsWhatCameMeanwhile)
{
    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR | EV_TXEMPTY));
    Overlapped wait;
    DWORD events = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(device, &events, &wait.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(wait.Completed(30));
    DWORD done = 0;
    EXPECT_EQ(Failure(GetOverlappedResult(device, &wait.ov, &done, false)), ERROR_IO_INCOMPLETE);

    Send("abc");
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(events, EV_RXCHAR);
    EXPECT_TRUE(GetOverlappedResult(device, &wait.ov, &done, false));

    // Bytes that come while nobody waits are reported by the next wait at once.
    Send("d");
    ASSERT_TRUE(WaitForInQueue(device, 4));
    Overlapped again;
    events = 0;
    EXPECT_TRUE(WaitCommEvent(device, &events, &again.ov));
    EXPECT_EQ(events, EV_RXCHAR);
    EXPECT_TRUE(again.Completed(0)) << "an immediate completion sets the event too";
    EXPECT_EQ(ReadWaiting(device), "abcd");
}

TEST_F(CommTty, EventsOutsideTheMaskAreNotReported)
{
    ASSERT_TRUE(SetCommMask(device, EV_RXFLAG));
    DCB dcb;
    ASSERT_TRUE(GetCommState(device, dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(device, dcb));
    Send("no flag here");
    Overlapped wait;
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(device, &events, &wait.ov));
    EXPECT_FALSE(wait.Completed(30));
    Send("line\n");
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(events, EV_RXFLAG);
    EXPECT_EQ(ReadWaiting(device), "no flag hereline\n");
}

TEST_F(CommTty, AChangedMaskOrAClosedHandleEndsAPendingWait)
{
    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR));
    Overlapped wait;
    DWORD events = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(device, &events, &wait.ov));
    // A second wait while one is pending is refused.
    Overlapped second;
    DWORD other = 0;
    EXPECT_EQ(Failure(WaitCommEvent(device, &other, &second.ov)), DWORD(EINVAL));

    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR | EV_BREAK));
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(events, 0u);

    win::ResetEvent(wait.ov.hEvent);
    events = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(device, &events, &wait.ov));
    ASSERT_TRUE(CloseHandle(device));
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(events, 0u);
    device = INVALID_HANDLE_VALUE;
}

// ---- Reads and line errors ----------------------------------------------------------

TEST_F(CommTty, ReadsCompleteAtOnceWithWhatIsThere)
{
    EXPECT_EQ(ReadWaiting(device), "");
    Send(std::string("a\xff" "b\0c", 5));
    ASSERT_TRUE(WaitForInQueue(device, 5));
    // The kernel doubles a real \377 to tell it from its error marks; the
    // queue counts and returns it once.
    EXPECT_EQ(InQueue(device), 5u);
    char two[2];
    Overlapped read;
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(device, two, 2, &done, &read.ov));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(std::string(two, 2), "a\xff");
    EXPECT_TRUE(read.Completed(0));
    EXPECT_TRUE(GetOverlappedResult(device, &read.ov, &done, false));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(ReadWaiting(device), std::string("b\0c", 3));
}

TEST_F(CommTty, NullStrippingDropsNullsFromTheQueue)
{
    DCB dcb;
    ASSERT_TRUE(GetCommState(device, dcb));
    dcb.Flags |= fNull;
    ASSERT_TRUE(SetCommState(device, dcb));
    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR));
    Send(std::string("\0a\0b", 4));
    std::string got;
    for (int i = 0; i < 100 && got.size() < 2; ++i) {
        NextEvents(device);
        got += ReadWaiting(device);
    }
    EXPECT_EQ(got, "ab");
}

// ---- Writes ---------------------------------------------------------------------------

TEST_F(CommTty, AWriteCompletesAndTheTransmitterRunsEmptyAfterIt)
{
    ASSERT_TRUE(SetCommMask(device, EV_TXEMPTY));
    Overlapped write;
    DWORD done = 0;
    if (!WriteFile(device, "hello", 5, &done, &write.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    ASSERT_TRUE(write.Completed());
    ASSERT_TRUE(GetOverlappedResult(device, &write.ov, &done, false));
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(NextEvents(device), EV_TXEMPTY);
    EXPECT_EQ(DrainMaster(5), "hello");

    // A write of nothing completes at once.
    Overlapped empty;
    EXPECT_TRUE(WriteFile(device, "", 0, &done, &empty.ov));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(empty.Completed(0));
}

TEST_F(CommTty, ACancelledWriteIsWithdrawnNotSentLater)
{
    // Nobody reads the master: the pty takes some kilobytes, then the write
    // has to wait.
    std::vector<char> big(256 * 1024, 'x');
    Overlapped write;
    DWORD done = 0xDEAD;
    ASSERT_FALSE(WriteFile(device, big.data(), DWORD(big.size()), &done, &write.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(write.Completed(50));
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(device, nullptr, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);

    ASSERT_TRUE(CancelIo(device, &write.ov));
    EXPECT_TRUE(write.Completed(0));
    EXPECT_EQ(Failure(GetOverlappedResult(device, &write.ov, &done, false)), DWORD(ECANCELED));
    EXPECT_EQ(done, 0u) << "nothing is counted into the caller's counter";

    // What the kernel had taken goes out; the rest never does, also not
    // ahead of the next write.
    std::string got = DrainMaster(1);
    ASSERT_LT(got.size(), big.size());
    EXPECT_EQ(got, std::string(got.size(), 'x'));
    WriteAll(device, "END");
    EXPECT_EQ(DrainMaster(3), "END");
}

// ---- A device that goes away ------------------------------------------------------------

TEST_F(CommTty, AVanishedDeviceEndsItsWaitAndFailsQuietly)
{
    ASSERT_TRUE(SetCommMask(device, EV_RXCHAR | EV_TXEMPTY | EV_CTS));
    Overlapped wait;
    DWORD events = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(device, &events, &wait.ov));

    // The far side hangs up, as a USB adapter does when pulled out.
    pty.CloseMaster();
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(events, 0u);
    DWORD done = 0;
    EXPECT_EQ(Failure(GetOverlappedResult(device, &wait.ov, &done, false)), DWORD(EIO));

    Overlapped again;
    EXPECT_EQ(Failure(WaitCommEvent(device, &events, &again.ov)), DWORD(EIO));
    char buffer[4];
    EXPECT_EQ(Failure(ReadFile(device, buffer, 4, &done, &again.ov)), DWORD(EIO));
    EXPECT_EQ(Failure(WriteFile(device, "x", 1, &done, &again.ov)), DWORD(EIO));
    // Its queues went with it: purging them is no error.
    EXPECT_TRUE(PurgeComm(device, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));

    // The watcher must sleep now, not spin on the hung-up descriptor.
    double before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(CpuSeconds() - before, 0.15) << "spinning on the hung-up descriptor";

    EXPECT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
}

// A pty has no modem lines, like some CDC-ACM and rfcomm ports: the line
// operations succeed and change nothing, as on a virtual port elsewhere,
// while the refusals that have nothing to do with missing lines stay.
TEST_F(CommTty, WithoutModemLinesTheLineOperationsSucceedAndChangeNothing)
{
    COMMPROP properties;
    ASSERT_TRUE(GetCommProperties(device, properties));
    EXPECT_EQ(properties.dwProvCapabilities & (PCF_DTRDSR | PCF_RTSCTS), 0u);

    for (DWORD function : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(device, function)) << function << ": " << FormatMessage(GetLastError());
    DCB lines = PlainDcb(9600);
    lines.Flags = fBinary | (DTR_CONTROL_DISABLE << 4) | (RTS_CONTROL_TOGGLE << 12);
    EXPECT_TRUE(SetCommState(device, lines)) << FormatMessage(GetLastError());
    WriteAll(device, "toggled");
    EXPECT_EQ(DrainMaster(7), "toggled");

    DCB ctsFlow = PlainDcb(9600);
    ctsFlow.Flags |= fOutxCtsFlow;
    ASSERT_TRUE(SetCommState(device, ctsFlow));
    EXPECT_EQ(Failure(EscapeCommFunction(device, SETRTS)), DWORD(EINVAL)) << "RTS belongs to the handshake";
}

// RTS handshake is input flow control; output must not wait for a CTS that
// an adapter may not even have wired.
TEST_F(CommTty, RtsHandshakeWithoutCtsFlowLeavesOutputFreeAndRtsToTheDevice)
{
    DCB handshake = PlainDcb(9600);
    handshake.Flags = fBinary | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_HANDSHAKE << 12);
    ASSERT_TRUE(SetCommState(device, handshake));
    EXPECT_EQ(pty.Settings().line, "9600 8N1");
    EXPECT_EQ(Failure(EscapeCommFunction(device, SETRTS)), DWORD(EINVAL));

    handshake.Flags |= fOutxCtsFlow;
    ASSERT_TRUE(SetCommState(device, handshake));
    EXPECT_EQ(pty.Settings().line, "9600 8N1 rtscts");
}

TEST_F(CommTty, XonReleasesOutputHeldByAReceivedXoff)
{
    DCB xonXoff = PlainDcb(115200);
    xonXoff.Flags |= fOutX;
    ASSERT_TRUE(SetCommState(device, xonXoff));
    ASSERT_EQ(write(pty.Master(), "\x13", 1), 1);
    // The line discipline takes the XOFF in on its own time.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    Overlapped write;
    DWORD done = 0;
    bool atOnce = WriteFile(device, "held", 4, &done, &write.ov);
    EXPECT_FALSE(atOnce) << "a write held by XOFF is not done";
    EXPECT_EQ(DrainMaster(0), "");

    ASSERT_TRUE(EscapeCommFunction(device, SETXON)) << FormatMessage(GetLastError());
    EXPECT_EQ(DrainMaster(4), "held");
    EXPECT_TRUE(write.Completed());
}

// The kernel keeps a tty's output stopped across closing and opening: a
// session that ended held would leave every send of the next one failing.
TEST_F(CommTty, OutputStoppedByAnEarlierSessionIsReleasedByTheNextOpen)
{
    struct Case {
        const char* what;
        bool byHand;  // else stopped from outside while no handle was open
        bool parked;  // reopened while the closed descriptor is still kept
    };
    for (Case c : {Case{"XOFF by hand, reopened at once", true, true},
                   Case{"XOFF by hand, reopened later", true, false},
                   Case{"stopped from outside", false, false}}) {
        SCOPED_TRACE(c.what);
        if (c.byHand) {
            ASSERT_TRUE(EscapeCommFunction(device, SETXOFF));
        }
        ASSERT_TRUE(CloseHandle(device));
        device = INVALID_HANDLE_VALUE;
        if (!c.parked)
            detail::ttyparking::ReleaseAll();
        if (!c.byHand) {
            ASSERT_EQ(tcflow(pty.Observer(), TCOOFF), 0);
        }
        device = OpenPlain(pty.SlavePath());
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        WriteAll(device, "free");
        EXPECT_EQ(DrainMaster(4), "free");
    }
}

TEST_F(CommTty, ExclusivityStaysWithItsHolderAndAClosedPortIsKeptAMomentThenLeftAtB0)
{
    EXPECT_EQ(CreateFile(pty.SlavePath()), INVALID_HANDLE_VALUE);
    int exclusive = 0;
    ASSERT_EQ(ioctl(pty.Observer(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "the refused open took the holder's TIOCEXCL away";

    // Closed, the device is kept a moment for a reopen, which then moves
    // nothing: no pass through B0, which would raise DTR in the kernel.
    ASSERT_TRUE(CloseHandle(device));
    device = CreateFile(pty.SlavePath());
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(pty.Settings().line, "115200 8N1");
    ASSERT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    const int threadsWhileParked = ThreadCount();

    // Then it is let go for good: B0 left behind, so that the next open
    // raises no modem line, and the exclusivity cleared.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience);
    while (pty.Settings().outputSpeed != 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pty.Settings().outputSpeed, 0u);
    ASSERT_EQ(ioctl(pty.Observer(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0) << "the lock went with the descriptor";
    flock(pty.Observer(), LOCK_UN);
    // Nothing is parked any more, so the thread that kept watch has ended.
    while (ThreadCount() >= threadsWhileParked && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ThreadCount(), threadsWhileParked - 1);
    device = OpenPlain(pty.SlavePath());
    EXPECT_EQ(pty.Settings().line, "115200 8N1");
}

// A driver that keeps bytes in its kernel queue (a UART held by XOFF or
// CTS, a USB adapter not yet reached), played through the seam a pty
// cannot show it on: the write is done when the queue count reads 0.
TEST_F(CommTty, AWriteIsDoneOnlyOnceTheKernelHasPassedItsBytesOn)
{
    struct HeldQueue final : detail::DrainProbe {
        explicit HeldQueue(std::atomic<int>& q) : queued(q) {}
        int QueuedBytes() override { return queued; }
        std::optional<bool> TransmitterEmpty() override { return std::nullopt; }
        std::atomic<int>& queued;
    };
    static std::atomic<int> queued;
    queued = 5; // the test ends with it at 0; a repeated run starts afresh
    detail::SetTtyDrainProbeForTests([](int) { return std::make_unique<HeldQueue>(queued); });
    CloseHandle(device);
    device = OpenPlain(pty.SlavePath());
    detail::SetTtyDrainProbeForTests(nullptr);
    ASSERT_TRUE(SetCommMask(device, EV_TXEMPTY));

    Overlapped write;
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(device, "hello", 5, &done, &write.ov));
    EXPECT_FALSE(write.Completed(200)) << "done while the kernel still held its bytes";
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(device, nullptr, &stat));
    EXPECT_EQ(stat.cbOutQue, 5u);

    queued = 0;
    ASSERT_TRUE(write.Completed());
    EXPECT_TRUE(GetOverlappedResult(device, &write.ov, &done, false));
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(NextEvents(device), DWORD(EV_TXEMPTY));
}

} // namespace

// A user's own entry may name anything: what is no tty fails to open with a
// reason, and leaves nothing locked or open behind.
TEST(CommTtyOpen, WhatIsNoTtyFailsToOpenAndHoldsNothing)
{
    char folder[] = "/tmp/tarrowin-notty-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/plain-file";
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {std::string(folder) + "/gone", ERROR_FILE_NOT_FOUND},
        {file, DWORD(ENOTTY)},
        {folder, DWORD(EISDIR)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CreateFile(c.path), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    int fd = open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the refused open let its lock go";
    close(fd);
    std::remove(file.c_str());
    rmdir(folder);
}

TEST_F(CommTty, SettingsThePtyKeepsAreAppliedAndReadBackAsTheyWereAsked)
{
    struct Case {
        const char* line;
        void (*change)(DCB&);
    } cases[] = {
        {"9600 8N2", [](DCB& d) { d.StopBits = TWOSTOPBITS; }},
        {"123457 8N1", [](DCB& d) { d.BaudRate = 123457; }},
        {"9600 8N1 ixoff", [](DCB& d) { d.Flags |= fInX; d.XonChar = 0x11; d.XoffChar = 0x13; }},
        {"9600 8N1 ixon ixoff", [](DCB& d) { d.Flags |= fOutX | fInX; d.XonChar = 'Q'; d.XoffChar = 'S'; }},
        {"9600 8N1 inpck", [](DCB& d) { d.Flags |= fParity; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        DCB asked = PlainDcb(9600);
        c.change(asked);
        ASSERT_TRUE(SetCommState(device, asked)) << FormatMessage(GetLastError());
        EXPECT_EQ(pty.Settings().line, c.line);
        DCB got;
        ASSERT_TRUE(GetCommState(device, got));
        EXPECT_EQ(got.BaudRate, asked.BaudRate);
        EXPECT_EQ(got.StopBits, asked.StopBits);
        EXPECT_EQ(got.Flags & (fOutX | fInX | fParity), asked.Flags & (fOutX | fInX | fParity));
        if (asked.Flags & (fOutX | fInX)) {
            EXPECT_EQ(got.XonChar, asked.XonChar);
            EXPECT_EQ(got.XoffChar, asked.XoffChar);
        }
    }
}

// Another program (stty, say) changing the tty under the open port: the
// read-back tells what the tty now does.
TEST_F(CommTty, SettingsChangedBehindTheProgramsBackShowInTheReadBack)
{
    ASSERT_TRUE(SetCommState(device, PlainDcb(9600)));
    pty.SetSpeed(4800);
    DCB got;
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_EQ(got.BaudRate, 4800u);

    auto setHardwareFlow = [&](bool on) {
        termios t{};
        ASSERT_EQ(tcgetattr(pty.Observer(), &t), 0);
        t.c_cflag = on ? (t.c_cflag | CRTSCTS) : (t.c_cflag & ~CRTSCTS);
        ASSERT_EQ(tcsetattr(pty.Observer(), TCSANOW, &t), 0);
    };
    setHardwareFlow(true);
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_TRUE(got.Flags & fOutxCtsFlow);
    EXPECT_EQ((got.Flags & fRtsControlMask) >> 12, DWORD(RTS_CONTROL_HANDSHAKE));

    DCB flow = PlainDcb(9600);
    flow.Flags |= fOutxCtsFlow;
    ASSERT_TRUE(SetCommState(device, flow));
    setHardwareFlow(false);
    ASSERT_TRUE(GetCommState(device, got));
    EXPECT_FALSE(got.Flags & fOutxCtsFlow);
}

// Bytes received but not read are gone after a purge; what comes after it
// is read as usual.
TEST_F(CommTty, APurgeDropsWhatWasReceivedAndNotYetRead)
{
    Send("stale");
    ASSERT_TRUE(WaitForInQueue(device, 5));
    ASSERT_TRUE(PurgeComm(device, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT));
    EXPECT_EQ(InQueue(device), 0u);
    Send("fresh");
    ASSERT_TRUE(WaitForInQueue(device, 5));
    EXPECT_EQ(ReadWaiting(device), "fresh");
    ASSERT_TRUE(PurgeComm(device, PURGE_TXCLEAR));
    WriteAll(device, "out");
    EXPECT_EQ(DrainMaster(3), "out");
}

TEST_F(CommTty, XoffByHandHoldsOutputUntilXonAndAnUnknownFunctionIsRefused)
{
    ASSERT_TRUE(EscapeCommFunction(device, SETXOFF)) << FormatMessage(GetLastError());
    Overlapped write;
    DWORD done = 0;
    WriteFile(device, "held", 4, &done, &write.ov);
    EXPECT_EQ(DrainMaster(0), "");
    ASSERT_TRUE(EscapeCommFunction(device, SETXON)) << FormatMessage(GetLastError());
    EXPECT_EQ(DrainMaster(4), "held");
    EXPECT_TRUE(write.Completed());
    EXPECT_EQ(Failure(EscapeCommFunction(device, 99)), DWORD(EINVAL));
}
