// Send buffering: the block queue, OnSendData, OnDataSent, resumption on
// write readiness, and a connection lost while sending.
#include "LoopbackPair.h"

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

// Collects everything that arrives on S.
void Collect(TWSocket& S, std::string& Into)
{
    S.OnDataAvailable = [&S, &Into](rtl::TObject*, uint16_t) { Into += S.ReceiveAvailable(); };
}

} // namespace

TEST(WSocketSend, FourThousandBytesGoAsThreeBlocksAndOneDataSentFollows)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    Collect(*P.Server, Got);
    std::vector<int> Sends;
    int DataSent = 0;
    uint16_t DataSentError = 0xffff;
    P.Client->OnSendData = [&](rtl::TObject*, int n) { Sends.push_back(n); };
    P.Client->OnDataSent = [&](rtl::TObject*, uint16_t E) {
        ++DataSent;
        DataSentError = E;
    };

    const std::string Data = Pattern(4000, 1);
    EXPECT_EQ(P.Client->SendString(Data), 4000);
    EXPECT_EQ(Sends, (std::vector<int>{1460, 1460, 1080}));
    EXPECT_EQ(DataSent, 0); // never inside SendString
    EXPECT_EQ(P.Client->SendQueue().size(), 1u); // drained blocks but the last are freed
    EXPECT_TRUE(P.Client->AllSent());

    ASSERT_TRUE(PumpUntil([&] { return Got.size() == Data.size() && DataSent > 0; }));
    PumpFor(50);
    EXPECT_EQ(DataSent, 1);
    EXPECT_EQ(DataSentError, 0);
    EXPECT_TRUE(Got == Data);
}

TEST(WSocketSend, PartialSendsResumeInOrderUnderASlowReader)
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
    EXPECT_FALSE(P.Client->AllSent());
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
    ASSERT_FALSE(P.Client->AllSent()); // still sending
    // The server's default linger (on, 0 seconds) closes with a reset.
    P.Server->CloseSession();

    ASSERT_TRUE(PumpUntil([&] { return P.Client->State() == wsClosed; }));
    PumpFor(100);
    EXPECT_EQ(Closes, (std::vector<uint16_t>{10054}));
}

TEST(WSocketSend, SendOnAResetConnectionClosesOnceWith10054)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::vector<uint16_t> Closes;
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t E) { Closes.push_back(E); };
    P.Server->CloseSession(); // linger (on, 0): a reset; nobody has looked yet
    P.Client->SendString("into the void");
    EXPECT_EQ(P.Client->State(), wsClosed);
    PumpFor(100);
    EXPECT_EQ(Closes, (std::vector<uint16_t>{10054}));
}

TEST(WSocketSend, EmptyStringSendsNothingAndReportsNothing)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Events = 0;
    P.Client->OnSendData = [&](rtl::TObject*, int) { ++Events; };
    P.Client->OnDataSent = [&](rtl::TObject*, uint16_t) { ++Events; };
    EXPECT_EQ(P.Client->SendString(""), 0);
    PumpFor(50);
    EXPECT_EQ(Events, 0);
}

TEST(WSocketSend, ZeroBytesWithNothingPendingStillReportDataSent)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int DataSent = 0;
    P.Client->OnDataSent = [&](rtl::TObject*, uint16_t) { ++DataSent; };
    EXPECT_EQ(P.Client->SendBytes("x", 0), 0);
    EXPECT_EQ(DataSent, 0);
    ASSERT_TRUE(PumpUntil([&] { return DataSent == 1; }));
}

TEST(WSocketSend, WhenNotConnectedRaises10057OrWithOnErrorBoundReturnsMinusOne)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.SendString("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(S.LastError(), 10057);
    TWSocket Quiet;
    int Errors = 0;
    Quiet.OnError = [&](rtl::TObject*) { ++Errors; };
    EXPECT_EQ(Quiet.SendString("x"), -1);
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(Quiet.LastError(), 10057);
}

TEST(WSocketSend, SendFlagsMapUrgentToOutOfBand)
{
    TWSocket S;
    EXPECT_EQ(S.SendFlags(), wsSendNormal);
    S.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(S.SendFlags(), wsSendUrgent);
    EXPECT_EQ(Raised([&] { S.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    EXPECT_EQ(S.SendFlags(), wsSendUrgent);
}
