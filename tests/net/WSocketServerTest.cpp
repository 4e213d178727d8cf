// The listening server and its client objects.
#include "LoopbackPair.h"
#include "WSocketS.h"
#include "WinSockInternal.h"

#include <memory>
#include <string>
#include <vector>

using namespace net;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

const std::string kBanner = "Welcome to TcpSrv\r\n";

// A server named "Server" listening on 127.0.0.1, port 0.
std::unique_ptr<TWSocketServer> StartServer()
{
    auto S = std::make_unique<TWSocketServer>();
    S->SetName("Server");
    nettest::AimAt(*S, "0");
    S->BeginListen();
    return S;
}

// The other end: a socket object that collects what arrives.
struct Peer {
    explicit Peer(const std::string& Port)
    {
        nettest::AimAt(S, Port);
        S.OnDataAvailable = [this](rtl::TObject*, uint16_t) { Got += S.ReceiveAvailable(); };
        S.OnSessionClosed = [this](rtl::TObject*, uint16_t) { ++Closes; };
        S.BeginConnect();
    }
    bool Greeted() { return PumpUntil([&] { return Got.size() >= kBanner.size(); }); }

    std::string Got;
    int Closes = 0;
    TWSocket S; // last, so it goes first and its handlers find the rest alive
};

// Counts its own destruction.
class CountedClient : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;
    ~CountedClient() override { ++Destroyed; }
    static inline int Destroyed = 0;
};

} // namespace

TEST(WSocketServer, APeerReceivesThe19ByteBannerBeforeAnyOtherData)
{
    auto Srv = StartServer();
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    EXPECT_EQ(P.Got, kBanner);
    ASSERT_EQ(Srv->CountClients(), 1);
    Srv->ClientByIndex(0)->SendString("next");
    ASSERT_TRUE(PumpUntil([&] { return P.Got.size() >= 23; }));
    EXPECT_EQ(P.Got, kBanner + "next");
}

TEST(WSocketServer, AClientIsDestroyedAfterItsPeerDisconnects)
{
    CountedClient::Destroyed = 0;
    int Disconnects = 0;
    auto Srv = StartServer();
    Srv->ClientObjectClass = ClientClassOf<CountedClient>();
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Disconnects; };
    auto P = std::make_unique<Peer>(Srv->LocalBoundPort());
    ASSERT_TRUE(P->Greeted());
    P.reset();
    ASSERT_TRUE(PumpUntil([&] { return CountedClient::Destroyed == 1; }));
    EXPECT_EQ(Disconnects, 1);
    EXPECT_EQ(Srv->CountClients(), 0);
    EXPECT_EQ(Srv->State(), wsListening);
}

TEST(WSocketServer, AClientClosedByItsOwnHandlerIsReleasedOnce)
{
    int Disconnects = 0;
    auto Srv = StartServer();
    Srv->OnClientConnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t) {
        C->OnDataAvailable = [C](rtl::TObject*, uint16_t) {
            C->ReceiveAvailable();
            C->CloseSession();
            C->CloseSession();
        };
    };
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Disconnects; };
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    P.S.SendString("close me");
    ASSERT_TRUE(PumpUntil([&] { return P.Closes == 1 && Srv->CountClients() == 0; }));
    PumpFor(30);
    EXPECT_EQ(Disconnects, 1);
}

TEST(WSocketServer, DestroyingTheServerClosesItsClientsWithoutOnClientDisconnect)
{
    int Disconnects = 0;
    auto Srv = StartServer();
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Disconnects; };
    Peer P1(Srv->LocalBoundPort());
    Peer P2(Srv->LocalBoundPort());
    ASSERT_TRUE(P1.Greeted());
    ASSERT_TRUE(P2.Greeted());
    Srv.reset();
    ASSERT_TRUE(PumpUntil([&] { return P1.Closes == 1 && P2.Closes == 1; }));
    PumpFor(30);
    EXPECT_EQ(Disconnects, 0);
}

TEST(WSocketServer, AConnectionTheFilterRefusesNeverBecomesAClient)
{
    int Calls = 0;
    int Creates = 0;
    auto Srv = StartServer();
    Srv->AcceptFilter = [&](rtl::TObject*, winsock::SOCKET, const winsock::SOCKADDR_IN&) { return ++Calls > 1; };
    Srv->OnClientCreate = [&](rtl::TObject*, TWSocketClient*) { ++Creates; };
    Peer Refused(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Refused.Closes == 1; }));
    EXPECT_EQ(Refused.Got, "");
    EXPECT_EQ(Creates, 0);
    Peer Admitted(Srv->LocalBoundPort());
    ASSERT_TRUE(Admitted.Greeted());
    EXPECT_EQ(Srv->CountClients(), 1);
}

// Over MaxClients a peer is greeted with the busy banner and let go; the
// peers within it get the normal greeting and stay.
TEST(WSocketServer, APeerOverMaxClientsGetsTheBusyGreetingAndIsClosed)
{
    auto Srv = StartServer();
    Srv->MaxClients = 1;
    Peer Admitted(Srv->LocalBoundPort());
    ASSERT_TRUE(Admitted.Greeted());
    EXPECT_EQ(Admitted.Got, kBanner);
    Peer Busy(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Busy.Closes == 1; }));
    EXPECT_EQ(Busy.Got, "Sorry, too many clients\r\n");
    PumpFor(30);
    EXPECT_EQ(Admitted.Closes, 0);
    EXPECT_EQ(Srv->CountClients(), 1);
}


// The sanitizers probe memory through a pipe and report false errors while
// no descriptor is left: plain build only.
TEST(WSocketServer, RunningOutOfDescriptorsPausesAcceptingAndTheListenerLivesOn)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "needs every descriptor, and the sanitizers need some of their own";
#endif
    std::vector<std::string> Reported;
    bool PausedWhenReported = false;
    bool ListeningWhenReported = false;
    nettest::DescriptorShortage* Shortage = nullptr;
    auto Srv = StartServer();
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) {
        if (Shortage)
            Shortage->Release();
        Reported.push_back(E.what());
        PausedWhenReported = Srv->AcceptPaused();
        ListeningWhenReported = Srv->State() == wsListening;
    };
    std::unique_ptr<Peer> P;
    {
        nettest::DescriptorShortage Short; // one left, for the peer's own socket
        ASSERT_TRUE(Short.Filled());
        Shortage = &Short;
        P = std::make_unique<Peer>(Srv->LocalBoundPort()); // takes the last descriptor
        ASSERT_NE(P->S.Handle(), winsock::INVALID_SOCKET);
        ASSERT_TRUE(PumpUntil([&] { return !Reported.empty(); }));
        Shortage = nullptr;
    }
    EXPECT_EQ(Reported[0], "Error 10024 in function Accept\r\nToo many open files");
    EXPECT_TRUE(PausedWhenReported);
    EXPECT_TRUE(ListeningWhenReported);
    // The peer waited in the backlog and is taken once the pause is over.
    ASSERT_TRUE(P->Greeted());
    EXPECT_EQ(P->Got, kBanner);
    EXPECT_EQ(Srv->CountClients(), 1);
    EXPECT_FALSE(Srv->AcceptPaused());
}

namespace {

// Makes the server's next accepts fail; undone however the test ends.
struct FailingAccepts {
    FailingAccepts(int Count, int Error) { winsock::detail::FailNextAccepts(Count, Error); }
    ~FailingAccepts() { winsock::detail::FailNextAccepts(0, 0); }
};

} // namespace

TEST(WSocketServer, AForcedAcceptFailureIsReportedAndListeningContinues)
{
    std::vector<std::string> Reported;
    auto Srv = StartServer();
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) { Reported.push_back(E.what()); };
    FailingAccepts Failing(1, 10053);
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    EXPECT_EQ(Reported, std::vector<std::string>{"Error 10053 in function Accept\r\nConnection aborted"});
    EXPECT_EQ(Srv->State(), wsListening);
    EXPECT_EQ(Srv->CountClients(), 1);
}

// A burst of peers connecting at once must all find room in the backlog: a
// connection the kernel had to drop would only be taken after its handshake
// is retried a second later.
TEST(WSocketServer, SixtyFourSimultaneousConnectsAllSucceed)
{
    auto Srv = StartServer();
    std::vector<std::unique_ptr<Peer>> Peers;
    for (int i = 0; i < 64; ++i)
        Peers.push_back(std::make_unique<Peer>(Srv->LocalBoundPort()));
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 64; }, 900)) << Srv->CountClients();
    for (auto& P : Peers)
        ASSERT_TRUE(P->Greeted());
}

TEST(WSocketServer, ClientsAreNumberedForTheServersLifeAndKnowTheirPeerAfterTheClose)
{
    auto Srv = StartServer();
    std::vector<std::string> Disconnected;
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t) {
        Disconnected.push_back(C->Name() + " " + C->PeerAddr() + ":" + C->PeerPort());
    };
    auto P1 = std::make_unique<Peer>(Srv->LocalBoundPort());
    ASSERT_TRUE(P1->Greeted());
    Peer P2(Srv->LocalBoundPort());
    ASSERT_TRUE(P2.Greeted());
    ASSERT_EQ(Srv->CountClients(), 2);
    EXPECT_EQ(Srv->ClientByIndex(0)->Name(), "ServerClient1");
    EXPECT_EQ(Srv->ClientByIndex(1)->Name(), "ServerClient2");
    EXPECT_EQ(Srv->ClientByIndex(1)->PeerPort(), P2.S.LocalBoundPort());
    EXPECT_EQ(Srv->ClientByIndex(-1), nullptr);
    EXPECT_EQ(Srv->ClientByIndex(2), nullptr);
    const std::string FirstPeer = "127.0.0.1:" + P1->S.LocalBoundPort();
    P1.reset();
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 1; }));
    EXPECT_EQ(Disconnected, std::vector<std::string>{"ServerClient1 " + FirstPeer});
    Peer P3(Srv->LocalBoundPort());
    ASSERT_TRUE(P3.Greeted());
    EXPECT_EQ(Srv->CountClients(), 2);
    EXPECT_EQ(Srv->ClientByIndex(1)->Name(), "ServerClient3");
}

TEST(WSocketServer, AnEmptyBannerGreetsWithNothing)
{
    auto Srv = StartServer();
    Srv->Banner = "";
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 1; }));
    Srv->ClientByIndex(0)->SendString("first");
    ASSERT_TRUE(PumpUntil([&] { return P.Got.size() >= 5; }));
    EXPECT_EQ(P.Got, "first");
}

namespace {

// How a server fares after a failure in accepting: what OnBgException was
// given, and whether it still listens.
struct ServerFailure {
    // With Keep the OnBgException handler clears CanClose.
    ServerFailure(TWSocketServer& Srv, bool Keep)
    {
        Srv.OnBgException = [this, Keep](rtl::TObject*, const std::exception& E, bool& CanClose) {
            Reported.push_back(E.what());
            if (Keep)
                CanClose = false;
        };
    }
    std::vector<std::string> Reported;
};

} // namespace

// A failure inside the accepting reaction (here a handler of
// OnClientConnect) goes to the server's OnBgException; the listener then
// closes unless the handler keeps it.
TEST(WSocketServer, AFailingClientConnectHandlerReachesBgExceptionAndEndsTheListenerUnlessKept)
{
    for (bool Keep : {false, true}) {
        SCOPED_TRACE(Keep ? "kept" : "not kept");
        auto Srv = StartServer();
        ServerFailure F(*Srv, Keep);
        Srv->OnClientConnect = [](rtl::TObject*, TWSocketClient*, uint16_t) { throw ESocketException("no room"); };
        Peer P(Srv->LocalBoundPort());
        ASSERT_TRUE(PumpUntil([&] { return !F.Reported.empty(); }));
        EXPECT_EQ(F.Reported, std::vector<std::string>{"no room"});
        EXPECT_EQ(Srv->State(), Keep ? wsListening : wsClosed);
        PumpFor(30);
        EXPECT_EQ(P.Got, "") << "no greeting after the failure";
    }
}

TEST(WSocketServer, AFailingClientDisconnectHandlerStillReleasesTheClient)
{
    CountedClient::Destroyed = 0;
    for (bool Keep : {false, true}) {
        SCOPED_TRACE(Keep ? "kept" : "not kept");
        auto Srv = StartServer();
        Srv->ClientObjectClass = ClientClassOf<CountedClient>();
        ServerFailure F(*Srv, Keep);
        Srv->OnClientDisconnect = [](rtl::TObject*, TWSocketClient*, uint16_t) { throw std::runtime_error("late"); };
        auto P = std::make_unique<Peer>(Srv->LocalBoundPort());
        ASSERT_TRUE(P->Greeted());
        P.reset();
        ASSERT_TRUE(PumpUntil([&] { return !F.Reported.empty(); }));
        EXPECT_EQ(F.Reported, std::vector<std::string>{"late"});
        EXPECT_EQ(Srv->CountClients(), 0);
        EXPECT_EQ(Srv->State(), Keep ? wsListening : wsClosed);
    }
    EXPECT_EQ(CountedClient::Destroyed, 2);
}

// A failure in OnClientCreate: the connection is let go, and whoever saw
// the client made also sees it go.
TEST(WSocketServer, AFailingClientCreateHandlerLetsTheConnectionGoAndTheClientEndsAsUsual)
{
    auto Srv = StartServer();
    ServerFailure F(*Srv, true);
    int Disconnects = 0;
    Srv->OnClientCreate = [](rtl::TObject*, TWSocketClient*) { throw ESocketException("create failed"); };
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Disconnects; };
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return P.Closes == 1 && Disconnects == 1; }));
    EXPECT_EQ(F.Reported, std::vector<std::string>{"create failed"});
    EXPECT_EQ(P.Got, "");
    EXPECT_EQ(Srv->CountClients(), 0);
    EXPECT_EQ(Srv->State(), wsListening);
}

// A listening handle that can no longer accept is reported as "Accept" and
// ends the listener unless OnBgException keeps it; a kept listener takes
// the waiting peer on the next try.
TEST(WSocketServer, AnAcceptThatCanNeverWorkEndsTheListenerUnlessKept)
{
    for (bool Keep : {false, true}) {
        SCOPED_TRACE(Keep ? "kept" : "not kept");
        auto Srv = StartServer();
        ServerFailure F(*Srv, Keep);
        FailingAccepts Failing(1, 10038);
        Peer P(Srv->LocalBoundPort());
        ASSERT_TRUE(PumpUntil([&] { return !F.Reported.empty(); }));
        EXPECT_EQ(F.Reported[0], "Error 10038 in function Accept\r\nSocket operation on non-socket");
        EXPECT_EQ(Srv->State(), Keep ? wsListening : wsClosed);
        if (Keep) {
            ASSERT_TRUE(P.Greeted());
        } else {
            ASSERT_TRUE(PumpUntil([&] { return P.Closes == 1; })) << "the waiting peer is let go";
        }
    }
}

// A failure of one connection never ends the listener on its own: without
// a handler it is only recorded; a handler may still ask for the close.
TEST(WSocketServer, AFailureOfOneConnectionEndsTheListenerOnlyWhenTheHandlerAsks)
{
    {
        auto Srv = StartServer();
        FailingAccepts Failing(1, 10053);
        Peer P(Srv->LocalBoundPort());
        ASSERT_TRUE(P.Greeted());
        EXPECT_EQ(Srv->LastError(), 10053);
        EXPECT_EQ(Srv->State(), wsListening);
    }
    auto Srv = StartServer();
    Srv->OnBgException = [](rtl::TObject*, const std::exception&, bool& CanClose) { CanClose = true; };
    FailingAccepts Failing(1, 10053);
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Srv->State() == wsClosed; }));
}

// A filter that fails refuses the connection it was asked about, and the
// failure reaches OnBgException like any other in the accepting reaction.
TEST(WSocketServer, AFailingAcceptFilterRefusesTheConnection)
{
    auto Srv = StartServer();
    ServerFailure F(*Srv, true);
    int Calls = 0;
    Srv->AcceptFilter = [&](rtl::TObject*, winsock::SOCKET, const winsock::SOCKADDR_IN&) -> bool {
        if (++Calls == 1)
            throw ESocketException("filter failed");
        return true;
    };
    Peer Refused(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Refused.Closes == 1; }));
    EXPECT_EQ(F.Reported, std::vector<std::string>{"filter failed"});
    EXPECT_EQ(Srv->CountClients(), 0);
    Peer Admitted(Srv->LocalBoundPort());
    ASSERT_TRUE(Admitted.Greeted());
}

TEST(WSocketServer, AClientClassThatMakesNothingGivesAPlainClient)
{
    auto Srv = StartServer();
    Srv->ClientObjectClass = [](TNetComponent*) -> TWSocketClient* { return nullptr; };
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    EXPECT_EQ(Srv->CountClients(), 1);
}

// Running short of descriptors again and again: every failed try is
// reported, accepting pauses longer each time, and the peer that waited is
// taken once a try works.
TEST(WSocketServer, AcceptingThatFailsAgainAndAgainPausesEachTimeAndThenTakesThePeer)
{
    auto Srv = StartServer();
    std::vector<std::string> Reported;
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) { Reported.push_back(E.what()); };
    FailingAccepts Failing(3, 10024);
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    EXPECT_EQ(Reported, std::vector<std::string>(3, "Error 10024 in function Accept\r\nToo many open files"));
    EXPECT_FALSE(Srv->AcceptPaused());
    EXPECT_EQ(Srv->CountClients(), 1);
}
