// The listening server and its client objects.
#include "AsNobody.h"
#include "LoopbackPair.h"
#include "WSocketS.h"
#include "WinSockInternal.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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
    explicit Peer(const std::string& Port, TSocketLingerOnOff Linger = wsLingerOn)
    {
        S.LingerOnOff = Linger;
        nettest::AimAt(S, Port);
        S.OnDataAvailable = [this](rtl::TObject*, uint16_t) { Got += S.ReceiveAvailable(); };
        S.OnSessionClosed = [this](rtl::TObject*, uint16_t) { ++Closes; };
        S.OnSessionConnected = [this](rtl::TObject*, uint16_t E) { ConnectError = E; };
        S.BeginConnect();
    }
    bool Greeted() { return PumpUntil([&] { return Got.size() >= kBanner.size(); }); }

    std::string Got;
    int Closes = 0;
    int ConnectError = -1;
    TWSocket S; // last, so it goes first and its handlers find the rest alive
};

class MyClient : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;
};

} // namespace

// ---------------------------------------------------------------------------
// Greeting

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

TEST(WSocketServer, AnEmptyBannerGreetsWithNothing)
{
    auto Srv = StartServer();
    Srv->Banner = "";
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 1 && P.S.State() == wsConnected; }));
    Srv->ClientByIndex(0)->SendString("first");
    ASSERT_TRUE(PumpUntil([&] { return P.Got.size() >= 5; }));
    EXPECT_EQ(P.Got, "first");
}

TEST(WSocketServer, AShellClientIsGreeted)
{
    const QString Socat = QStandardPaths::findExecutable("socat");
    if (Socat.isEmpty())
        GTEST_SKIP() << "socat is not installed";
    auto Srv = StartServer();
    QProcess Shell;
    Shell.start(Socat, {"-", QString::fromStdString("TCP:127.0.0.1:" + Srv->LocalBoundPort())});
    ASSERT_TRUE(Shell.waitForStarted());
    QByteArray Out;
    ASSERT_TRUE(PumpUntil([&] {
        Out += Shell.readAllStandardOutput();
        return Out.size() >= 19;
    }));
    EXPECT_EQ(Out.toStdString(), kBanner);
    Shell.closeWriteChannel();
    ASSERT_TRUE(PumpUntil([&] { return Shell.state() == QProcess::NotRunning; }));
}

// ---------------------------------------------------------------------------
// Client objects: names, count, events

TEST(WSocketServer, ClientsAreNamedByTheirSerialNumberWhichIsNeverReused)
{
    std::vector<std::string> Names;
    auto Srv = StartServer();
    Srv->OnClientConnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t) { Names.push_back(C->Name()); };
    const std::string Port = Srv->LocalBoundPort();
    auto P1 = std::make_unique<Peer>(Port);
    ASSERT_TRUE(P1->Greeted());
    Peer P2(Port);
    ASSERT_TRUE(P2.Greeted());
    P1.reset();
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 1; }));
    Peer P3(Port);
    ASSERT_TRUE(P3.Greeted());
    EXPECT_EQ(Names, (std::vector<std::string>{"ServerClient1", "ServerClient2", "ServerClient3"}));
    EXPECT_EQ(Srv->CountClients(), 2);
    EXPECT_EQ(Srv->ClientSerial(), 3);
    EXPECT_EQ(Srv->ClientByIndex(0)->Name(), "ServerClient2");
    EXPECT_EQ(Srv->ClientByIndex(1)->Name(), "ServerClient3");
    EXPECT_EQ(Srv->ClientByIndex(2), nullptr);
    EXPECT_EQ(Srv->ClientByIndex(-1), nullptr);
}

TEST(WSocketServer, WithMaxClientsOneASecondPeerGetsTheBusyBannerAndIsClosed)
{
    int Connects = 0, Disconnects = 0;
    auto Srv = StartServer();
    Srv->MaxClients = 1;
    Srv->OnClientConnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Connects; };
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Disconnects; };
    Peer First(Srv->LocalBoundPort());
    ASSERT_TRUE(First.Greeted());
    Peer Second(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Second.Closes == 1; }));
    EXPECT_EQ(Second.Got, "Sorry, too many clients\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Disconnects == 1; }));
    EXPECT_EQ(Connects, 2);
    EXPECT_EQ(Srv->CountClients(), 1);
    EXPECT_EQ(First.S.State(), wsConnected);
    EXPECT_EQ(First.Closes, 0);
    EXPECT_EQ(First.Got, kBanner);
}

// The peer's address and port stay readable during OnClientDisconnect.
TEST(WSocketServer, PeerCloseGivesTheDataThenOnClientDisconnectThenTheCountDrops)
{
    std::vector<std::string> Seen;
    auto Srv = StartServer();
    Srv->OnClientConnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t) {
        C->OnDataAvailable = [&Seen, C](rtl::TObject*, uint16_t) {
            std::string Data = C->ReceiveAvailable();
            if (!Data.empty())
                Seen.push_back("data " + Data);
        };
        C->OnSessionClosed = [&Seen](rtl::TObject*, uint16_t) { Seen.push_back("closed"); };
    };
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t E) {
        Seen.push_back("disconnect " + C->Name() + " " + C->PeerAddr() + ":" + C->PeerPort() + " error " +
                       std::to_string(E) + " count " + std::to_string(Srv->CountClients()));
    };
    Peer P(Srv->LocalBoundPort(), wsLingerOff);
    ASSERT_TRUE(P.Greeted());
    const std::string PeerPort = P.S.LocalBoundPort();
    P.S.SendString("bye");
    P.S.CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 0; }));
    PumpFor(30);
    EXPECT_EQ(Seen, (std::vector<std::string>{"data bye", "closed",
                                              "disconnect ServerClient1 127.0.0.1:" + PeerPort + " error 0 count 1"}));
}

// The clients are made of ClientObjectClass.
TEST(WSocketServer, OnClientCreateComesFirstThenOnClientConnectSeesAConnectedClientWithItsPeerAndBanner)
{
    std::vector<std::string> Seen;
    TCustomWSocketServer* Owner = nullptr;
    bool Mine = false;
    auto Srv = StartServer();
    Srv->ClientObjectClass = ClientClassOf<MyClient>();
    Srv->OnClientCreate = [&](rtl::TObject*, TWSocketClient* C) {
        Seen.push_back("create state " + std::to_string(C->State()) + " name '" + C->Name() + "' count " +
                       std::to_string(Srv->CountClients()));
    };
    Srv->OnClientConnect = [&](rtl::TObject* Sender, TWSocketClient* C, uint16_t E) {
        Owner = C->Server();
        Mine = dynamic_cast<MyClient*>(C);
        Seen.push_back(std::to_string(E) + " " + std::to_string(C->State()) + " " + C->PeerAddr() + ":" +
                       C->PeerPort() + " " + C->Banner + " " + (Sender == Srv.get() ? "server" : "?"));
    };
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    EXPECT_EQ(Seen, (std::vector<std::string>{"create state 7 name '' count 1",
                                              "0 4 127.0.0.1:" + P.S.LocalBoundPort() + " Welcome to TcpSrv server"}));
    EXPECT_EQ(Owner, Srv.get());
    EXPECT_TRUE(Mine);
}

TEST(WSocketServer, AHandlerBoundInOnClientConnectSeesEveryByte)
{
    std::string Got;
    auto Srv = StartServer();
    Srv->OnClientConnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t) {
        C->OnDataAvailable = [&Got, C](rtl::TObject*, uint16_t) { Got += C->ReceiveAvailable(); };
    };
    Peer P(Srv->LocalBoundPort());
    // Sent the moment the connection exists, before the server has even
    // taken it from the backlog.
    P.S.OnSessionConnected = [&](rtl::TObject*, uint16_t) { P.S.SendString("early"); };
    ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 5; }));
    EXPECT_EQ(Got, "early");
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

TEST(WSocketServer, AnExceptionInOnClientDisconnectStillDestroysTheClient)
{
    std::string Reported;
    auto Srv = StartServer();
    Srv->OnClientDisconnect = [](rtl::TObject*, TWSocketClient*, uint16_t) { throw ESocketException("handler failed"); };
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool& CanClose) {
        Reported = E.what();
        CanClose = false;
    };
    auto P = std::make_unique<Peer>(Srv->LocalBoundPort());
    ASSERT_TRUE(P->Greeted());
    P.reset();
    ASSERT_TRUE(PumpUntil([&] { return Srv->CountClients() == 0; }));
    EXPECT_EQ(Reported, "handler failed");
    EXPECT_EQ(Srv->State(), wsListening);
}

// ---------------------------------------------------------------------------
// Closing and destroying the server

// Each peer is announced by OnSessionAvailable; the listener itself never
// fires OnSessionConnected.
TEST(WSocketServer, DestroyingTheServerClosesItsClientsWithoutOnClientDisconnect)
{
    int Disconnects = 0, Connected = 0;
    std::vector<int> Available;
    auto Srv = StartServer();
    Srv->OnClientDisconnect = [&](rtl::TObject*, TWSocketClient*, uint16_t) { ++Disconnects; };
    Srv->OnSessionConnected = [&](rtl::TObject*, uint16_t) { ++Connected; };
    Srv->OnSessionAvailable = [&](rtl::TObject*, uint16_t E) { Available.push_back(E); };
    Peer P1(Srv->LocalBoundPort());
    Peer P2(Srv->LocalBoundPort());
    ASSERT_TRUE(P1.Greeted());
    ASSERT_TRUE(P2.Greeted());
    EXPECT_EQ(Connected, 0);
    EXPECT_EQ(Available, (std::vector<int>{0, 0}));
    Srv.reset();
    ASSERT_TRUE(PumpUntil([&] { return P1.Closes == 1 && P2.Closes == 1; }));
    PumpFor(30);
    EXPECT_EQ(Disconnects, 0);
}

TEST(WSocketServer, ClosingTheServerClosesOnlyTheListeningHandle)
{
    auto Srv = StartServer();
    const std::string Port = Srv->LocalBoundPort();
    Peer P(Port);
    ASSERT_TRUE(P.Greeted());
    Srv->CloseSession();
    EXPECT_EQ(Srv->State(), wsClosed);
    EXPECT_EQ(Srv->CountClients(), 1);
    Srv->ClientByIndex(0)->SendString("still");
    ASSERT_TRUE(PumpUntil([&] { return P.Got.size() >= kBanner.size() + 5; }));
    EXPECT_EQ(P.Got, kBanner + "still");
    Peer Late(Port);
    ASSERT_TRUE(PumpUntil([&] { return Late.ConnectError != -1; }));
    EXPECT_EQ(Late.ConnectError, 10061);
}

// ---------------------------------------------------------------------------
// The accept filter

TEST(WSocketServer, ARefusedConnectionNeverBecomesAClientAndTheNextAdmittedPeerIsClientOne)
{
    int Calls = 0, Creates = 0;
    std::string Name;
    auto Srv = StartServer();
    Srv->AcceptFilter = [&](rtl::TObject*, winsock::SOCKET, const winsock::SOCKADDR_IN&) { return ++Calls > 1; };
    Srv->OnClientCreate = [&](rtl::TObject*, TWSocketClient*) { ++Creates; };
    Srv->OnClientConnect = [&](rtl::TObject*, TWSocketClient* C, uint16_t) { Name = C->Name(); };
    Peer Refused(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Refused.Closes == 1; }));
    EXPECT_EQ(Refused.Got, "");
    EXPECT_EQ(Creates, 0);
    EXPECT_EQ(Srv->ClientSerial(), 0);
    EXPECT_EQ(Srv->CountClients(), 0);
    EXPECT_EQ(Srv->State(), wsListening);
    Peer Admitted(Srv->LocalBoundPort());
    ASSERT_TRUE(Admitted.Greeted());
    EXPECT_EQ(Name, "ServerClient1");
}

TEST(WSocketServer, TheFilterRunsBeforeTheClientObjectWithTheAcceptedHandle)
{
    std::vector<std::string> Seen;
    auto Srv = StartServer();
    Srv->AcceptFilter = [&](rtl::TObject*, winsock::SOCKET H, const winsock::SOCKADDR_IN& Peer) {
        winsock::SOCKADDR_IN Other{};
        int Len = sizeof Other;
        const bool Usable = winsock::getpeername(H, reinterpret_cast<winsock::SOCKADDR*>(&Other), &Len) == 0 &&
                            Other.sin_port == Peer.sin_port;
        Seen.push_back(std::string("filter ") + winsock::inet_ntoa(Peer.sin_addr) + (Usable ? " usable" : " ?") +
                       " count " + std::to_string(Srv->CountClients()));
        return true;
    };
    Srv->OnClientCreate = [&](rtl::TObject*, TWSocketClient*) { Seen.push_back("create"); };
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    EXPECT_EQ(Seen, (std::vector<std::string>{"filter 127.0.0.1 usable count 0", "create"}));
}

TEST(WSocketServer, AnExceptionFromTheFilterRefusesAndReachesTheServersHandling)
{
    std::string Reported;
    auto Srv = StartServer();
    Srv->AcceptFilter = [](rtl::TObject*, winsock::SOCKET, const winsock::SOCKADDR_IN&) -> bool {
        throw ESocketException("filter failed");
    };
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool& CanClose) {
        Reported = E.what();
        CanClose = false;
    };
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return P.Closes == 1; }));
    EXPECT_EQ(Reported, "filter failed");
    EXPECT_EQ(Srv->CountClients(), 0);
    EXPECT_EQ(Srv->State(), wsListening);
}

TEST(WSocketServer, AFilterCanAdmitOnlyPeersOfTheSameUser)
{
    const uid_t Uid = testsupport::NobodyUid();
    std::vector<long> Asked;
    auto Srv = StartServer();
    Srv->AcceptFilter = [&](rtl::TObject*, winsock::SOCKET H, const winsock::SOCKADDR_IN&) {
        Asked.push_back(winsock::PeerUserId(H));
        return Asked.back() == static_cast<long>(geteuid());
    };
    winsock::SOCKADDR_IN To{};
    To.sin_family = winsock::AF_INET;
    To.sin_port = winsock::htons(static_cast<winsock::u_short>(ParseLeadingNumber(Srv->LocalBoundPort())));
    To.sin_addr.s_addr = winsock::htonl(winsock::INADDR_LOOPBACK);

    // Another user's program: it must get no banner, only the end.
    EXPECT_EQ(testsupport::ExitCodeAsNobody([&] {
                  winsock::WSADATA D;
                  winsock::WSAStartup(0x0101, &D);
                  winsock::SOCKET C = winsock::socket(winsock::AF_INET, winsock::SOCK_STREAM, 0);
                  if (winsock::connect(C, reinterpret_cast<winsock::SOCKADDR*>(&To), sizeof To) != 0)
                      return 11;
                  char Buf[64];
                  return winsock::recv(C, Buf, sizeof Buf, 0) <= 0 ? 0 : 12;
              }),
              0);
    EXPECT_EQ(Srv->ClientSerial(), 0);

    Peer Own(Srv->LocalBoundPort());
    ASSERT_TRUE(Own.Greeted());
    EXPECT_EQ(Asked, (std::vector<long>{static_cast<long>(Uid), static_cast<long>(geteuid())}));
}

// ---------------------------------------------------------------------------
// Running out of descriptors

namespace {

// Uses up every descriptor the process may open but one, until Release();
// whatever happens, the descriptors and the limit are given back.
class DescriptorShortage {
public:
    DescriptorShortage()
    {
        getrlimit(RLIMIT_NOFILE, &Saved);
        // A low limit keeps the number of descriptors to fill small.
        rlimit Low = Saved;
        Low.rlim_cur = static_cast<rlim_t>(QDir("/proc/self/fd").count()) + 32;
        if (Low.rlim_cur < Saved.rlim_cur)
            setrlimit(RLIMIT_NOFILE, &Low);
        for (;;) {
            int Fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
            if (Fd < 0)
                break;
            Held.push_back(Fd);
        }
        // One left, for the peer's own socket.
        if (!Held.empty()) {
            close(Held.back());
            Held.pop_back();
        }
    }
    ~DescriptorShortage() { Release(); }
    void Release()
    {
        for (int Fd : Held)
            close(Fd);
        Held.clear();
        setrlimit(RLIMIT_NOFILE, &Saved);
    }
    bool Filled() const { return !Held.empty(); }

private:
    rlimit Saved{};
    std::vector<int> Held;
};

} // namespace

// Running out for real. The sanitizers' own checks need descriptors too
// (they probe memory through a pipe) and report false errors while none is
// left, so this one runs in the plain build only; the tests after it make
// accept fail on purpose and run everywhere.
TEST(WSocketServer, RunningOutOfDescriptorsPausesAcceptingAndTheListenerLivesOn)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "needs every descriptor, and the sanitizers need some of their own";
#endif
    std::vector<std::string> Reported;
    std::vector<bool> CanCloseOnEntry;
    bool PausedWhenReported = false;
    bool ListeningWhenReported = false;
    DescriptorShortage* Shortage = nullptr;
    auto Srv = StartServer();
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool& CanClose) {
        if (Shortage)
            Shortage->Release();
        Reported.push_back(E.what());
        CanCloseOnEntry.push_back(CanClose);
        PausedWhenReported = Srv->AcceptPaused();
        ListeningWhenReported = Srv->State() == wsListening;
    };
    std::unique_ptr<Peer> P;
    {
        DescriptorShortage Short;
        ASSERT_TRUE(Short.Filled());
        Shortage = &Short;
        P = std::make_unique<Peer>(Srv->LocalBoundPort()); // takes the last descriptor
        ASSERT_NE(P->S.Handle(), winsock::INVALID_SOCKET);
        ASSERT_TRUE(PumpUntil([&] { return !Reported.empty(); }));
        Shortage = nullptr;
    }
    EXPECT_EQ(Reported[0], "Error 10024 in function Accept\r\nToo many open files");
    EXPECT_FALSE(CanCloseOnEntry[0]);
    EXPECT_TRUE(PausedWhenReported);
    EXPECT_TRUE(ListeningWhenReported);
    EXPECT_EQ(Srv->LastError(), 10024);
    EXPECT_EQ(Srv->ClientSerial(), 0);
    // The peer waited in the backlog: once the pause is over it is taken and
    // greeted.
    ASSERT_TRUE(P->Greeted());
    EXPECT_EQ(P->Got, kBanner);
    EXPECT_EQ(Srv->CountClients(), 1);
    EXPECT_EQ(Srv->ClientSerial(), 1);
    EXPECT_FALSE(Srv->AcceptPaused());
}

namespace {

// Makes the server's next accepts fail; undone however the test ends.
struct FailingAccepts {
    FailingAccepts(int Count, int Error) { winsock::detail::FailNextAccepts(Count, Error); }
    ~FailingAccepts() { winsock::detail::FailNextAccepts(0, 0); }
};

} // namespace

TEST(WSocketServer, AcceptsThatKeepFailingForWantOfDescriptorsAreRetriedUntilOneWorks)
{
    std::vector<std::string> Reported;
    std::vector<bool> Paused;
    auto Srv = StartServer();
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool& CanClose) {
        Reported.push_back(std::string(E.what()) + (CanClose ? " close" : " keep"));
        Paused.push_back(Srv->AcceptPaused());
    };
    FailingAccepts Failing(3, 10024);
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(P.Greeted());
    const std::string Failure = "Error 10024 in function Accept\r\nToo many open files keep";
    EXPECT_EQ(Reported, (std::vector<std::string>{Failure, Failure, Failure}));
    EXPECT_EQ(Paused, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(Srv->State(), wsListening);
    EXPECT_EQ(Srv->CountClients(), 1);
    EXPECT_FALSE(Srv->AcceptPaused());
}

TEST(WSocketServer, AFailedAcceptIsReportedAndPausesOnlyForWantOfResources)
{
    struct Case {
        int Error;
        const char* Report; // nullptr: none
        bool Paused;
    };
    // 10035: there was nothing to take after all, which is no failure.
    for (const Case& C : {Case{10055, "Error 10055 in function Accept\r\nNo buffer space available", true},
                          Case{10053, "Error 10053 in function Accept\r\nConnection aborted", false},
                          Case{10035, nullptr, false}}) {
        std::vector<std::string> Reported;
        bool Paused = false;
        auto Srv = StartServer();
        Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) {
            Reported.push_back(E.what());
            Paused = Srv->AcceptPaused();
        };
        FailingAccepts Failing(1, C.Error);
        Peer P(Srv->LocalBoundPort());
        ASSERT_TRUE(P.Greeted()) << C.Error;
        EXPECT_EQ(Reported, C.Report ? std::vector<std::string>{C.Report} : std::vector<std::string>{});
        EXPECT_EQ(Paused, C.Paused) << C.Error;
        if (C.Report) {
            EXPECT_EQ(Srv->LastError(), C.Error);
        }
        EXPECT_EQ(Srv->CountClients(), 1) << C.Error;
    }
}

TEST(WSocketServer, ABgExceptionHandlerMayStopTheListenerOnAFailedAccept)
{
    int Reports = 0;
    auto Srv = StartServer();
    Srv->OnBgException = [&](rtl::TObject*, const std::exception&, bool& CanClose) {
        ++Reports;
        CanClose = true;
    };
    FailingAccepts Failing(1, 10024);
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return Reports == 1; }));
    EXPECT_EQ(Srv->State(), wsClosed);
    ASSERT_TRUE(PumpUntil([&] { return P.Closes == 1 || P.ConnectError > 0; }));
}

TEST(WSocketServer, AListeningHandleThatNoLongerWorksEndsTheListener)
{
    std::string Reported;
    auto Srv = StartServer();
    Srv->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) { Reported = E.what(); };
    FailingAccepts Failing(1, 10038);
    Peer P(Srv->LocalBoundPort());
    ASSERT_TRUE(PumpUntil([&] { return !Reported.empty(); }));
    EXPECT_EQ(Reported, "Error 10038 in function Accept\r\nSocket operation on non-socket");
    EXPECT_EQ(Srv->State(), wsClosed);
}
