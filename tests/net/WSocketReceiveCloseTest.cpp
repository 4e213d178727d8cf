// Receiving and closing: the receive loop, a handler that destroys its own
// object, line mode, connection outcomes and the closing paths.
#include "LoopbackPair.h"

#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

TEST(WSocketClose, ARefusedConnectReportsTheRefusalThenClosesOnce)
{
    TWSocket S;
    std::vector<std::string> Seen;
    S.OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Seen.push_back("connected " + std::to_string(E)); };
    S.OnSessionClosed = [&](rtl::TObject*, uint16_t E) { Seen.push_back("closed " + std::to_string(E)); };
    AimAt(S, FreePort());
    S.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsClosed; }));
    PumpFor(50);
    EXPECT_EQ(Seen, (std::vector<std::string>{"connected 10061", "closed 0"}));
}

TEST(WSocketClose, PeerCloseOffersEveryUnreadByteThenClosesOnce)
{
    LoopbackPair P;
    P.Server->LingerOnOff = wsLingerOff; // graceful: every byte reaches the client
    ASSERT_TRUE(P.Connect());

    std::string Received;
    int OffersAfterClose = 0;
    int Closes = 0;
    P.Client->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        if (Closes)
            ++OffersAfterClose;
        char Buf[1000]; // less than arrives: the receive loop must come back
        int n = P.Client->ReceiveInto(Buf, sizeof Buf);
        if (n > 0)
            Received.append(Buf, static_cast<size_t>(n));
    };
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };

    std::string Sent;
    for (int i = 0; i < 50000; ++i)
        Sent += static_cast<char>(i % 256);
    P.Client->SuspendEvents(); // let it all pile up unread
    P.Server->SendString(Sent);
    P.Server->FlushSendQueue();
    P.Server->CloseSession();
    PumpFor(50);
    P.Client->ResumeEvents();

    ASSERT_TRUE(PumpUntil([&] { return P.Client->State() == wsClosed; }));
    PumpFor(100);
    EXPECT_EQ(Received.size(), Sent.size());
    EXPECT_TRUE(Received == Sent);
    EXPECT_EQ(Closes, 1);
    EXPECT_EQ(OffersAfterClose, 0);
}

TEST(WSocketClose, LocalCloseFiresSessionClosedOnceAndTheQueuedNotificationsAreStale)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Closes = 0;
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };
    P.Server->SendString("late data");
    PumpFor(20);
    P.Server->CloseSession();
    P.Client->CloseSession();
    P.Client->CloseSession();
    PumpFor(100);
    EXPECT_EQ(Closes, 1);
}

TEST(WSocketClose, AFailedBindLeavesNoHandleBehindAndTheNextListenStartsAfresh)
{
    auto Taken = MakeListener();
    const int HandlesBefore = winsock::OpenHandleCount();
    TWSocket S;
    AimAt(S, Taken->LocalBoundPort());
    EXPECT_ANY_THROW(S.BeginListen());
    EXPECT_EQ(S.State(), wsClosed);
    EXPECT_EQ(S.LastError(), 10048);
    EXPECT_EQ(winsock::OpenHandleCount(), HandlesBefore);

    AimAt(S, "0");
    S.BeginListen();
    EXPECT_EQ(S.State(), wsListening);
}

TEST(WSocketEvents, AHandlerThatReadsNothingDoesNotStallTheLoop)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Offers = 0;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { ++Offers; };
    P.Client->SendString("unread");
    ASSERT_TRUE(PumpUntil([&] { return Offers > 0; }));
    PumpFor(50);
    EXPECT_EQ(Offers, 1);
    // The bytes wait for whoever reads them next.
    EXPECT_EQ(P.Server->ReceiveAvailable(), "unread");
}

TEST(WSocketEvents, ReleaseLaterLetsAHandlerDestroyItsOwnObject)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    auto* Owner = new TNetComponent;
    auto* S = new TWSocket(Owner);
    AimAt(*S, P.Port);
    S->OnSessionConnected = [S](rtl::TObject*, uint16_t) {
        S->CloseSession();
        S->ReleaseLater();
    };
    S->BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return Owner->ComponentCount() == 0; }));
    delete Owner;
}

TEST(LineMode, OffersOneCompleteLinePerEventAcrossPieces)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::vector<std::string> Lines;
    P.Server->SetLineMode(true);
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        std::string L = P.Server->ReceiveAvailable();
        if (!L.empty())
            Lines.push_back(L);
    };
    P.Client->SendString("one\r\ntw");
    PumpFor(50);
    P.Client->SendString("o\r\nthree\r\nrest");
    ASSERT_TRUE(PumpUntil([&] { return Lines.size() == 3; }));
    PumpFor(50);
    EXPECT_EQ(Lines, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n"}));
}
