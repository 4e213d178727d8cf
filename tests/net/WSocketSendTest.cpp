// Send buffering under a reader that cannot keep up, and a connection lost
// or closed while data is still unsent.
#include "LoopbackPair.h"

#include <chrono>
#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

std::string Pattern(size_t Size, int Seed)
{
    std::string s(Size, '\0');
    uint32_t x = static_cast<uint32_t>(Seed) * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// Fixed small kernel buffers (no autotuning), so that a few megabytes are
// enough to fill them.
void ShrinkKernelBuffers(TWSocket& Sender, TWSocket& Receiver)
{
    int Size = 16 * 1024;
    winsock::setsockopt(Sender.Handle(), winsock::SOL_SOCKET, winsock::SO_SNDBUF,
                        reinterpret_cast<const char*>(&Size), sizeof Size);
    winsock::setsockopt(Receiver.Handle(), winsock::SOL_SOCKET, winsock::SO_RCVBUF,
                        reinterpret_cast<const char*>(&Size), sizeof Size);
}

} // namespace

TEST(WSocketSend, DataQueuedWhileSendingArrivesCompleteAndInOrder)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int DataSent = 0;
    P.Client->OnDataSent = [&](rtl::TObject*, uint16_t) { ++DataSent; };

    ShrinkKernelBuffers(*P.Client, *P.Server);
    P.Server->SuspendEvents(); // the reader sleeps; the kernel buffers fill
    const std::string A = Pattern(3 * 1024 * 1024, 2);
    const std::string B = Pattern(1024 * 1024 + 17, 3);
    EXPECT_EQ(P.Client->SendString(A), static_cast<int>(A.size()));
    EXPECT_FALSE(P.Client->AllSent());
    EXPECT_EQ(P.Client->SendString(B), static_cast<int>(B.size())); // queued behind A
    PumpFor(50);
    EXPECT_EQ(DataSent, 0);

    // A slow reader: one small read per notification, no receive loop.
    std::string Got;
    P.Server->ComponentOptions.Include(wsoNoReceiveLoop);
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        char Buf[8192];
        int n = P.Server->ReceiveInto(Buf, sizeof Buf);
        if (n > 0)
            Got.append(Buf, static_cast<size_t>(n));
    };
    P.Server->ResumeEvents();
    ASSERT_TRUE(PumpUntil([&] { return Got.size() == A.size() + B.size(); }, 60000));
    PumpUntil([&] { return DataSent > 0; });
    PumpFor(50);
    EXPECT_TRUE(Got == A + B);
    EXPECT_TRUE(P.Client->AllSent());
    EXPECT_EQ(DataSent, 1);
}

TEST(WSocketSend, ResetByThePeerWhileSendingClosesOnceWith10054)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::vector<uint16_t> Closes;
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t E) { Closes.push_back(E); };

    ShrinkKernelBuffers(*P.Client, *P.Server);
    P.Server->SuspendEvents();
    P.Client->SendString(Pattern(4 * 1024 * 1024, 4));
    ASSERT_FALSE(P.Client->AllSent());
    // The server's default linger (on, 0 seconds) closes with a reset.
    P.Server->CloseSession();

    ASSERT_TRUE(PumpUntil([&] { return P.Client->State() == wsClosed; }));
    PumpFor(100);
    EXPECT_EQ(Closes, (std::vector<uint16_t>{10054}));
}

// The kernel's close() would wait out the linger time for a reader that
// never reads; the window must not freeze that long.
TEST(WSocketSend, ALingerCloseAboveZeroDoesNotBlock)
{
    LoopbackPair P;
    P.Client->LingerTimeout = 5;
    ASSERT_TRUE(P.Connect());
    ShrinkKernelBuffers(*P.Client, *P.Server);
    P.Server->SuspendEvents();
    P.Client->SendString(Pattern(1024 * 1024, 5));
    ASSERT_FALSE(P.Client->AllSent());

    const auto Start = std::chrono::steady_clock::now();
    P.Client->CloseSession();
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_LT(Took, std::chrono::seconds(1));
    EXPECT_EQ(P.Client->State(), wsClosed);
}

TEST(WSocketSend, WhenNotConnectedRaisesTheSocketErrorText)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.SendString("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(S.LastError(), 10057);
}
