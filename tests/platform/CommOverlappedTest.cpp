// The comm API's overlapped side on a tty: event waits and how they end,
// reads, writes and their cancelling, and a device that goes away. Ptys
// stand in for serial devices.

#include "CommApi.h"
#include "CommTesting.h"
#include "ProcessProbes.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace win;
using namespace testsupport;

namespace {

class CommOverlapped : public ::testing::Test {
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

// ---- Event waits ----------------------------------------------------------------

TEST_F(CommOverlapped, AWaitPendsUntilBytesArriveAndKeepsWhatCameMeanwhile)
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

TEST_F(CommOverlapped, EventsOutsideTheMaskAreNotReported)
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

TEST_F(CommOverlapped, AChangedMaskOrAClosedHandleEndsAPendingWait)
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

TEST_F(CommOverlapped, ACancelledWaitNeverCompletesLater)
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
    Send("x");
    Overlapped next;
    DWORD word = 0;
    if (!WaitCommEvent(device, &word, &next.ov)) {
        ASSERT_TRUE(next.Completed());
    }
    EXPECT_EQ(word, EV_RXCHAR);
}

// ---- Reads and line errors ----------------------------------------------------------

TEST_F(CommOverlapped, ReadsCompleteAtOnceWithWhatIsThere)
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

TEST_F(CommOverlapped, NullStrippingDropsNullsFromTheQueue)
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

TEST_F(CommOverlapped, AWriteCompletesAndTheTransmitterRunsEmptyAfterIt)
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

TEST_F(CommOverlapped, ACancelledWriteIsWithdrawnNotSentLater)
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

TEST_F(CommOverlapped, AVanishedDeviceEndsItsWaitAndFailsQuietly)
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
    EXPECT_LT(CpuSeconds() - before, 0.15);

    EXPECT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
}

} // namespace
