// Connection outcomes and the closing paths of the socket object.
#include "LoopbackPair.h"

#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

TEST(WSocketClose, RefusedConnectPassesThroughConnectedThenCloses)
{
    TWSocket S;
    std::vector<std::string> Seen;
    S.OnChangeState = [&](rtl::TObject*, TSocketState Old, TSocketState New) {
        Seen.push_back("state " + std::to_string(Old) + ">" + std::to_string(New));
    };
    S.OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Seen.push_back("connected " + std::to_string(E)); };
    S.OnSessionClosed = [&](rtl::TObject*, uint16_t E) { Seen.push_back("closed " + std::to_string(E)); };
    AimAt(S, FreePort());
    S.BeginConnect();
    EXPECT_EQ(S.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsClosed; }));
    PumpFor(50);

    const std::vector<std::string> Expected = {
        "state 7>1", "state 1>3",          // wsClosed > wsOpened > wsConnecting, inside BeginConnect
        "state 3>4", "connected 10061",    // the refusal arrives as a connect outcome
        "state 4>7", "closed 0",           // then the socket closes
    };
    EXPECT_EQ(Seen, Expected);
}

TEST(WSocketClose, AfterACloseAddrAndPortKeepTheirTextsButMustBeAssignedAgain)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client->CloseSession();
    EXPECT_EQ(P.Client->State(), wsClosed);
    EXPECT_EQ(P.Client->Addr(), "127.0.0.1");
    EXPECT_EQ(P.Client->Port(), P.Port);

    EXPECT_EQ(Raised([&] { P.Client->BeginConnect(); }), "Connect: No Port Specified");
    EXPECT_EQ(P.Client->State(), wsClosed);
    P.Client->SetPort(P.Port); // the same text is accepted again
    EXPECT_EQ(Raised([&] { P.Client->BeginConnect(); }), "Connect: No IP Address Specified");
    P.Client->SetAddr("127.0.0.1");
    P.Client->BeginConnect();
    EXPECT_EQ(P.Client->State(), wsConnecting);
}

TEST(WSocketClose, CloseRestoresTheOtherDefaults)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client->LingerTimeout = 5;
    P.Client->LingerOnOff = wsLingerNoSet;
    P.Client->FlushTimeout = 1;
    P.Client->CloseSession();
    EXPECT_EQ(P.Client->Proto(), "tcp");
    EXPECT_EQ(P.Client->LocalAddr(), "0.0.0.0");
    EXPECT_EQ(P.Client->LocalPort(), "0");
    EXPECT_EQ(P.Client->LingerOnOff, wsLingerOn);
    EXPECT_EQ(P.Client->LingerTimeout, 0);
    EXPECT_EQ(P.Client->FlushTimeout, 60);
    EXPECT_EQ(P.Client->ReadCount(), 0);
}

TEST(WSocketClose, DestroyingAConnectedObjectFiresNoSessionClosed)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Closes = 0;
    auto* Doomed = new TWSocket;
    Doomed->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };
    AimAt(*Doomed, P.Port);
    Doomed->BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return Doomed->State() == wsConnected; }));
    delete Doomed;
    PumpFor(50);
    EXPECT_EQ(Closes, 0);
}

TEST(WSocketClose, PeerGoneMidwayEndsInOneCloseAndLeavesTheListenerAlone)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int ServerCloses = 0;
    P.Server->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++ServerCloses; };
    P.Client->CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return P.Server->State() == wsClosed; }));
    PumpFor(50);
    EXPECT_EQ(ServerCloses, 1);
    EXPECT_EQ(P.Listener->State(), wsListening);
}

// A handle closed behind the object's back (as when the library is torn
// down under it): the refused close is reported with its code, the object
// keeps its state without a handle, and the next close ends it quietly.
TEST(WSocketClose, AHandleThatIsGoneIsReportedAndTheNextCloseEndsQuietly)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Closes = 0;
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };
    ASSERT_EQ(winsock::closesocket(P.Client->Handle()), 0);
    EXPECT_EQ(Raised([&] { P.Client->CloseSession(); }),
              "Error 10038 in function Disconnect (closesocket)\r\nSocket operation on non-socket");
    EXPECT_EQ(P.Client->LastError(), 10038);
    EXPECT_EQ(P.Client->Handle(), winsock::INVALID_SOCKET);
    EXPECT_EQ(P.Client->State(), wsConnected);
    P.Client->LingerTimeout = 9;
    P.Client->CloseSession();
    EXPECT_EQ(P.Client->State(), wsClosed);
    EXPECT_EQ(P.Client->LingerTimeout, 0) << "the defaults come back";
    PumpFor(30);
    EXPECT_EQ(Closes, 0);
}

namespace {

struct LingerProbe : TWSocket {
    using TWSocket::ApplyLinger;
};

} // namespace

TEST(WSocketClose, LingerNeedsAHandleAndATimeThatFitsSixteenBits)
{
    LingerProbe S;
    EXPECT_EQ(Raised([&] { S.ApplyLinger(); }), "Cannot set linger option at this time");
    S.LingerOnOff = wsLingerNoSet;
    EXPECT_EQ(Raised([&] { S.ApplyLinger(); }), "") << "nothing to apply";

    auto L = MakeListener();
    for (int Timeout : {-1, 65536}) {
        TWSocket C;
        AimAt(C, L->LocalBoundPort());
        C.LingerTimeout = Timeout;
        try {
            C.BeginConnect();
            ADD_FAILURE() << Timeout << " was applied";
        } catch (const ESocketException& E) {
            ADD_FAILURE() << E.Message;
        } catch (const rtl::Exception& E) {
            EXPECT_EQ(E.Message, "Range check error");
        }
        EXPECT_EQ(C.State(), wsOpened) << "left where the failure stopped it";
    }
}

// Sending before the connection stands is a failure of the connection: the
// handle goes, OnSessionClosed reports 10057 once, and the object is closed.
TEST(WSocketClose, SendingWhileStillConnectingClosesWith10057)
{
    auto L = MakeListener();
    TWSocket S;
    std::vector<uint16_t> Closes;
    S.OnSessionClosed = [&](rtl::TObject*, uint16_t E) { Closes.push_back(E); };
    AimAt(S, L->LocalBoundPort());
    S.BeginConnect();
    ASSERT_EQ(S.State(), wsConnecting);
    EXPECT_EQ(Raised([&] { S.SendString("early"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(S.State(), wsClosed);
    EXPECT_EQ(S.Handle(), winsock::INVALID_SOCKET);
    PumpFor(50);
    EXPECT_EQ(Closes, std::vector<uint16_t>{10057});
}

TEST(WSocketClose, AHandleThatIsGoneMakesTheReadableCountAFailure)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    ASSERT_EQ(winsock::closesocket(P.Client->Handle()), 0);
    EXPECT_EQ(Raised([&] { P.Client->RcvdCount(); }),
              "Error 10038 in function ioctlSocket\r\nSocket operation on non-socket");
    EXPECT_EQ(Raised([&] { P.Client->ReceiveAvailable(); }),
              "Error 10038 in function ioctlSocket\r\nSocket operation on non-socket");
    int Errors = 0;
    P.Client->OnError = [&](rtl::TObject*) { ++Errors; };
    EXPECT_EQ(P.Client->RcvdCount(), -1);
    EXPECT_EQ(P.Client->ReceiveAvailable(), "");
    EXPECT_EQ(Errors, 2);
}
