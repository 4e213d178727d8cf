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

// A peer that sends and then resets: its bytes are still readable when a
// send of ours meets the reset. They arrived whole and are data; the close
// is reported after the handler has had them, once.
TEST(WSocketSend, BytesReadableWhenASendMeetsAResetReachTheHandlerBeforeTheClose)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    std::vector<std::string> Seen;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    P.Server->OnSessionClosed = [&](rtl::TObject*, uint16_t E) {
        Seen.push_back("closed " + std::to_string(E) + " after '" + Got + "'");
    };
    P.Server->SuspendEvents(); // busy elsewhere: the bytes and the reset pile up
    P.Client->SendString("whole frame");
    P.Client->FlushSendQueue();
    P.Client->AbortSession();
    PumpFor(50);
    P.Server->SendString("relay"); // meets the reset
    P.Server->SendString("and more"); // nothing queues up behind it
    P.Server->ResumeEvents();

    ASSERT_TRUE(PumpUntil([&] { return P.Server->State() == wsClosed; }));
    PumpFor(100);
    EXPECT_EQ(Seen, (std::vector<std::string>{"closed 10054 after 'whole frame'"}));
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

TEST(WSocketSend, NothingToSendQueuesNothingAndAnEmptyCountStillEndsInDataSent)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int SendData = 0, DataSent = 0;
    P.Client->OnSendData = [&](rtl::TObject*, int) { ++SendData; };
    P.Client->OnDataSent = [&](rtl::TObject*, uint16_t E) { DataSent += E == 0; };
    EXPECT_EQ(P.Client->SendString(""), 0);
    PumpFor(30);
    EXPECT_EQ(DataSent, 0) << "an empty string does nothing at all";
    EXPECT_EQ(P.Client->SendBytes("x", 0), 0);
    EXPECT_EQ(DataSent, 0) << "never inside the call";
    ASSERT_TRUE(PumpUntil([&] { return DataSent == 1; }));
    EXPECT_EQ(SendData, 0);
    EXPECT_TRUE(P.Client->SendQueue().empty());
}

TEST(WSocketSend, WhenNotConnectedWithOnErrorBoundGivesMinusOneAndNoClose)
{
    TWSocket S;
    int Errors = 0, Closes = 0;
    S.OnError = [&](rtl::TObject*) { ++Errors; };
    S.OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };
    EXPECT_EQ(S.SendString("x"), -1);
    EXPECT_EQ(S.LastError(), 10057);
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(Closes, 0) << "it was closed already";
    EXPECT_TRUE(S.SendQueue().empty());
}

TEST(WSocketSend, SendFlagsTakeNormalOrUrgentAndRefuseTheRest)
{
    TWSocket S;
    EXPECT_EQ(S.SendFlags(), wsSendNormal);
    S.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(S.SendFlags(), wsSendUrgent);
    EXPECT_EQ(Raised([&] { S.SetSendFlags(static_cast<TSocketSendFlags>(2)); }), "Invalid SendFlags");
    EXPECT_EQ(S.SendFlags(), wsSendUrgent);
    S.SetSendFlags(wsSendNormal);
    EXPECT_EQ(S.SendFlags(), wsSendNormal);
}

// FlushSendQueue returns only once every queued byte has gone to the
// platform, running other handlers (here the reader's) meanwhile.
TEST(WSocketSend, FlushSendQueueReturnsWhenEverythingIsSent)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    ShrinkKernelBuffers(*P.Client, *P.Server);
    std::string Got;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    const std::string Data = Pattern(2 * 1024 * 1024, 6);
    P.Client->SendString(Data);
    ASSERT_FALSE(P.Client->AllSent());
    P.Client->FlushSendQueue();
    EXPECT_TRUE(P.Client->AllSent());
    EXPECT_GT(Got.size(), 0u) << "the reader ran inside the flush";
    ASSERT_TRUE(PumpUntil([&] { return Got.size() == Data.size(); }));
    EXPECT_TRUE(Got == Data);
}

TEST(WSocketSend, ADatagramGoesStraightToItsAddressAndTheSenderIsKnown)
{
    TWSocket Rx;
    Rx.SetProto("udp");
    AimAt(Rx, "0");
    Rx.BeginListen();
    ASSERT_EQ(Rx.State(), wsConnected);
    TWSocket Tx;
    Tx.SetProto("udp");
    AimAt(Tx, Rx.LocalBoundPort());
    Tx.SetLocalAddr("127.0.0.1");
    Tx.BeginConnect();
    std::vector<int> Sent;
    Tx.OnSendData = [&](rtl::TObject*, int n) { Sent.push_back(n); };
    winsock::SOCKADDR_IN To{};
    int Len = 0;
    ASSERT_EQ(Rx.LocalSockAddr(To, Len), 0);
    EXPECT_EQ(Tx.SendDatagramTo(To, sizeof To, "ping", 4), 4);
    EXPECT_EQ(Sent, std::vector<int>{4});
    EXPECT_TRUE(Tx.SendQueue().empty()) << "past the queue";
    char Buf[16] = {};
    winsock::SOCKADDR_IN From{};
    int FromLen = sizeof From;
    ASSERT_TRUE(PumpUntil([&] { return Rx.RcvdCount() > 0; }));
    EXPECT_EQ(Rx.ReceiveDatagramFrom(Buf, sizeof Buf, From, FromLen), 4);
    EXPECT_EQ(std::string(Buf, 4), "ping");
    EXPECT_EQ(std::to_string(winsock::ntohs(From.sin_port)), Tx.LocalPort());
    EXPECT_EQ(Rx.ReadCount(), 4);
    EXPECT_EQ(Rx.ReceiveDatagramFrom(Buf, sizeof Buf, From, FromLen), -1) << "nothing more there";
    EXPECT_EQ(Rx.LastError(), 10035);
}

// After a drain the queue keeps its one block and fills it again from the
// start: every byte reaches the peer once, in order.
TEST(WSocketSend, TheDrainedBlockIsFilledAgainAndEveryByteArrivesOnce)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    int DataSent = 0;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    P.Client->OnDataSent = [&](rtl::TObject*, uint16_t) { ++DataSent; };
    ASSERT_EQ(P.Client->SendString("first"), 5);
    ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 5; }));
    PumpFor(50);
    ASSERT_TRUE(Got == "first") << Got.size() << " bytes arrived";
    ASSERT_EQ(DataSent, 1);
    ASSERT_EQ(P.Client->SendQueue().size(), 1u);
    EXPECT_EQ(P.Client->SendQueue().front()->Unsent(), 0);
    ASSERT_EQ(P.Client->SendString("second"), 6);
    ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 11; }));
    PumpFor(50);
    EXPECT_TRUE(Got == "firstsecond") << Got.size() << " bytes arrived";
    EXPECT_EQ(DataSent, 2);
    EXPECT_EQ(P.Client->SendQueue().size(), 1u);
}
