// The comm API on a tty (a pty stands in for the serial device): what must
// hold when the device is held elsewhere, refuses settings, carries any byte,
// has work withdrawn, or goes away.

#include "CommApi.h"
#include "CommTesting.h"
#include "ProcessProbes.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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

    // What the far end receives until the line has been quiet for a while
    // (and at least `atLeast` bytes, within the patience).
    std::string DrainMaster(size_t atLeast)
    {
        std::string got;
        char buffer[4096];
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            pollfd p{pty.Master(), POLLIN, 0};
            bool enough = got.size() >= atLeast;
            if (poll(&p, 1, enough ? 100 : 20) > 0) {
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

    ASSERT_TRUE(CancelIo(device, &write.ov));
    EXPECT_TRUE(write.Completed(0));
    EXPECT_EQ(Failure(GetOverlappedResult(device, &write.ov, &done, false)), DWORD(ECANCELED));

    // What the kernel had taken goes out; the rest never does, also not
    // ahead of the next write.
    std::string got = DrainMaster(1);
    ASSERT_LT(got.size(), big.size());
    EXPECT_EQ(got, std::string(got.size(), 'x'));
    WriteAll(device, "END");
    EXPECT_EQ(DrainMaster(3), "END");
}

TEST_F(CommTty, AVanishedDeviceEndsItsWaitWithEioAndTheWatcherSleeps)
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
    EXPECT_EQ(Failure(WriteFile(device, "x", 1, &done, &again.ov)), DWORD(EIO));

    double before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(CpuSeconds() - before, 0.15) << "spinning on the hung-up descriptor";
    EXPECT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
}

} // namespace
