// Connecting, binding, listening, accepting and taking over handles: the
// guards and messages, the options set on the handle, TCP and UDP.
#include "AsNobody.h"
#include "LoopbackPair.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::ExitCodeAsNobody;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

int IntOption(winsock::SOCKET S, int Level, int Name)
{
    int V = -12345;
    int Len = sizeof V;
    if (winsock::getsockopt(S, Level, Name, reinterpret_cast<char*>(&V), &Len) != 0)
        return -99999;
    return V;
}

winsock::LINGER LingerOf(winsock::SOCKET S)
{
    winsock::LINGER Li{9, 9};
    int Len = sizeof Li;
    EXPECT_EQ(winsock::getsockopt(S, winsock::SOL_SOCKET, winsock::SO_LINGER, reinterpret_cast<char*>(&Li), &Len), 0);
    return Li;
}

// The state changes of the sockets it watches, as "old>new ". Declared
// before them: a socket reports its close as it goes.
struct StateLog {
    void Watch(TWSocket& S)
    {
        S.OnChangeState = [this](rtl::TObject*, TSocketState O, TSocketState N) {
            Text += std::to_string(O) + ">" + std::to_string(N) + " ";
        };
    }
    std::string Text;
};

std::unique_ptr<TWSocket> Udp(const std::string& Addr, const std::string& Port)
{
    auto S = std::make_unique<TWSocket>();
    S->SetProto("udp");
    S->SetAddr(Addr);
    S->SetPort(Port);
    return S;
}

// Endpoint texts for a guard test; nullptr leaves one unassigned.
struct Endpoint {
    const char* Addr;
    const char* Port;
    const char* Proto;
    const char* Message;
};

void Assign(TWSocket& S, const Endpoint& E)
{
    if (E.Addr)
        S.SetAddr(E.Addr);
    if (E.Port)
        S.SetPort(E.Port);
    if (E.Proto)
        S.SetProto(E.Proto);
}

} // namespace

// ---------------------------------------------------------------------------
// BeginConnect

TEST(BeginConnect, SetsReuseAddrLingerAndKeepAliveAndNoDelayOnlyWhenAsked)
{
    auto L = MakeListener();
    TWSocket S, Fast;
    Fast.ComponentOptions.Include(wsoTcpNoDelay);
    for (TWSocket* Each : {&S, &Fast}) {
        AimAt(*Each, L->LocalBoundPort());
        Each->BeginConnect();
    }
    EXPECT_EQ(S.State(), wsConnecting);
    EXPECT_EQ(IntOption(S.Handle(), winsock::SOL_SOCKET, winsock::SO_REUSEADDR), 1);
    EXPECT_EQ(IntOption(S.Handle(), winsock::SOL_SOCKET, winsock::SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(S.Handle(), winsock::IPPROTO_TCP, winsock::TCP_NODELAY), 0);
    EXPECT_EQ(IntOption(Fast.Handle(), winsock::IPPROTO_TCP, winsock::TCP_NODELAY), 1);
    const winsock::LINGER Li = LingerOf(S.Handle());
    EXPECT_EQ(Li.l_onoff, 1);
    EXPECT_EQ(Li.l_linger, 0);
    EXPECT_EQ(S.LocalPort(), "0"); // BindLocal would have written the bound port here
}

TEST(BeginConnect, OnAConnectedObjectIsSocketAlreadyInUseAndLeavesTheConnectionAlone)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    const winsock::SOCKET Before = P.Client->Handle();
    EXPECT_EQ(Raised([&] { P.Client->BeginConnect(); }), "Connect: Socket already in use");
    EXPECT_EQ(P.Client->State(), wsConnected);
    EXPECT_EQ(P.Client->Handle(), Before);
    std::string Got;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    P.Client->SendString("still here");
    ASSERT_TRUE(PumpUntil([&] { return Got == "still here"; }));
}

TEST(BeginConnect, RefusesWhatIsMissingOrCannotBeConvertedAndStaysClosed)
{
    for (const Endpoint& E : {Endpoint{"127.0.0.1", "1", " ", "Connect: No Protocol Specified"},
                              Endpoint{"127.0.0.1", "no-such-service", nullptr,
                                       "connect: WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004"}}) {
        TWSocket S;
        Assign(S, E);
        EXPECT_EQ(Raised([&] { S.BeginConnect(); }), E.Message);
        EXPECT_EQ(S.State(), wsClosed) << E.Message;
        EXPECT_EQ(S.Handle(), winsock::INVALID_SOCKET) << E.Message;
    }
}

TEST(BeginConnect, ALocalAddrBindsTheLocalEndAndLocalPortReadsItBack)
{
    auto L = MakeListener();
    TWSocket S;
    AimAt(S, L->LocalBoundPort());
    S.SetLocalAddr("127.0.0.1");
    S.BeginConnect();
    EXPECT_NE(S.LocalPort(), "0");
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }));
    EXPECT_EQ(S.LocalBoundPort(), S.LocalPort());
}

TEST(BeginConnect, ATakenLocalPortIsABindFailure)
{
    auto L = MakeListener();
    TWSocket S;
    AimAt(S, L->LocalBoundPort());
    S.SetLocalAddr("127.0.0.1");
    S.SetLocalPort(L->LocalBoundPort());
    EXPECT_EQ(Raised([&] { S.BeginConnect(); }), "winsock.bind failed, error #10048");
}

TEST(BeginConnect, ARefusedConnectionIsNoFailureOfTheCall)
{
    int Outcome = -1;
    TWSocket S;
    S.OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Outcome = E; };
    AimAt(S, FreePort());
    S.BeginConnect();
    EXPECT_EQ(S.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return Outcome != -1; }));
    EXPECT_EQ(Outcome, 10061);
}

// ---------------------------------------------------------------------------
// BeginListen

TEST(BeginListen, PassesThroughBoundToListening)
{
    StateLog Seen;
    TWSocket S;
    Seen.Watch(S);
    AimAt(S, "0");
    S.BeginListen();
    EXPECT_EQ(Seen.Text, "7>2 2>6 ");
    EXPECT_EQ(S.State(), wsListening);
}

TEST(BeginListen, BelowPort1024WithoutRightsReports10013)
{
    int Start = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> Start;
    if (Start <= 1)
        GTEST_SKIP() << "every port is unprivileged on this machine";
    const std::string Port = std::to_string(Start - 1);
    // Root may bind there: the attempt runs as nobody, and the exit code
    // tells what it saw.
    EXPECT_EQ(ExitCodeAsNobody([&] {
                  try {
                      TWSocket S;
                      AimAt(S, Port);
                      try {
                          S.BeginListen();
                          return 12; // it was allowed
                      } catch (const ESocketException& E) {
                          if (E.Message != "Error 10013 in function Bind\r\nPermission denied")
                              return 13;
                          return S.State() != wsClosed || S.LastError() != 10013 ? 14 : 0;
                      }
                  } catch (...) {
                      return 15;
                  }
              }),
              0);
}

TEST(BeginListen, RefusesWhatIsMissingOrCannotBeConverted)
{
    for (const Endpoint& E :
         {Endpoint{nullptr, "0", nullptr, "Error 10022 in function listen: address not assigned\r\nInvalid argument"},
          Endpoint{"127.0.0.1", nullptr, nullptr, "Error 10022 in function listen: port not assigned\r\nInvalid argument"},
          Endpoint{"127.0.0.1", "0", "", "Error 10022 in function listen: protocol not assigned\r\nInvalid argument"},
          Endpoint{"127.0.0.1", "0", "bogus", "listen: WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004"}}) {
        TWSocket S;
        Assign(S, E);
        EXPECT_EQ(Raised([&] { S.BeginListen(); }), E.Message);
        EXPECT_EQ(S.State(), wsClosed) << E.Message;
        if (std::string(E.Message).rfind("Error 10022", 0) == 0) {
            EXPECT_EQ(S.LastError(), 10022) << E.Message;
        }
    }
}

// ---------------------------------------------------------------------------
// AcceptPending, AttachHandle

TEST(AcceptPending, OnASocketThatIsNotListeningIsRefusedOrWithOnErrorGivesInvalidSocket)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.AcceptPending(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
    TWSocket Quiet;
    Quiet.OnError = [](rtl::TObject*) {};
    EXPECT_EQ(Quiet.AcceptPending(), winsock::INVALID_SOCKET);
    EXPECT_EQ(Quiet.LastError(), 10022);
}

TEST(AttachHandle, NoHandleIsRefusedAsDup)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.AttachHandle(winsock::INVALID_SOCKET); }), "Error 10022 in function Dup\r\nInvalid argument");
    EXPECT_EQ(Raised([&] { S.AttachHandle(0); }), "Error 10022 in function Dup\r\nInvalid argument");
}

TEST(AttachHandle, OnAFreshObjectConnectsWithoutSessionConnectedAndWithItsOwnLinger)
{
    StateLog Seen;
    int Connected = 0;
    auto L = MakeListener();
    TWSocket Taker;
    Taker.LingerOnOff = wsLingerOff;
    Taker.OnSessionConnected = [&](rtl::TObject*, uint16_t) { ++Connected; };
    Seen.Watch(Taker);
    L->OnSessionAvailable = [&](rtl::TObject*, uint16_t) { Taker.AttachHandle(L->AcceptPending()); };
    TWSocket C;
    AimAt(C, L->LocalBoundPort());
    C.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return Taker.State() == wsConnected; }));
    EXPECT_EQ(LingerOf(Taker.Handle()).l_onoff, 0);
    PumpFor(30);
    EXPECT_EQ(Seen.Text, "7>4 ");
    EXPECT_EQ(Connected, 0);
}

TEST(AttachHandle, OnAConnectedObjectClosesTheOldHandleFirst)
{
    StateLog Seen;
    int ClientCloses = 0;
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    const winsock::SOCKET Old = P.Server->Handle();
    Seen.Watch(*P.Server);
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++ClientCloses; };
    TWSocket Second;
    AimAt(Second, P.Port);
    Second.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return P.Server->Handle() != Old; }));
    EXPECT_EQ(Seen.Text, "4>7 7>4 ");
    EXPECT_EQ(winsock::DescriptorOf(Old), -1);
    EXPECT_EQ(P.Server->State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return ClientCloses == 1; })); // the first peer lost its connection
}

// ---------------------------------------------------------------------------
// UDP

TEST(BeginConnectUdp, LocalPortZeroReadsBackThePortChosen)
{
    int Connected = -1;
    auto S = Udp("127.0.0.1", "9");
    S->SetLocalAddr("127.0.0.1");
    S->OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Connected = E; };
    S->BeginConnect();
    EXPECT_EQ(S->State(), wsConnected);
    EXPECT_EQ(Connected, 0);
    EXPECT_NE(S->LocalPort(), "0");
    EXPECT_GT(ParseLeadingNumber(S->LocalPort()), 0);
    EXPECT_EQ(S->LocalPort(), S->LocalBoundPort());
}

TEST(BeginConnectUdp, OnlyTheBroadcastAddressSwitchesBroadcastOn)
{
    for (const char* Addr : {"255.255.255.255", "127.0.0.1"}) {
        auto S = Udp(Addr, "9");
        S->BeginConnect();
        EXPECT_EQ(IntOption(S->Handle(), winsock::SOL_SOCKET, winsock::SO_BROADCAST),
                  std::string(Addr) == "255.255.255.255" ? 1 : 0)
            << Addr;
    }
}

TEST(BeginConnectUdp, AMulticastTimeToLiveIsSetOnTheHandle)
{
    auto S = Udp("239.255.0.1", "9");
    S->MultiCast = true;
    S->MultiCastIpTTL = 5;
    S->BeginConnect();
    EXPECT_EQ(IntOption(S->Handle(), winsock::IPPROTO_IP, winsock::IP_MULTICAST_TTL), 5);
}

TEST(BeginListenUdp, PassesThroughListeningToConnectedWithSessionConnected)
{
    StateLog Seen;
    int Connected = -1;
    auto S = Udp("127.0.0.1", "0");
    Seen.Watch(*S);
    S->OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Connected = E; };
    S->BeginListen();
    EXPECT_EQ(Seen.Text, "7>2 2>6 6>4 ");
    EXPECT_EQ(Connected, 0);
}

TEST(BeginListenUdp, ReuseAddrIsSetOnlyWhenAskedFor)
{
    for (bool Reuse : {false, true}) {
        auto S = Udp("127.0.0.1", "0");
        S->ReuseAddr = Reuse;
        S->BeginListen();
        EXPECT_EQ(IntOption(S->Handle(), winsock::SOL_SOCKET, winsock::SO_REUSEADDR), Reuse ? 1 : 0);
    }
}

// Whether this machine lets a socket join a group on the default interface
// (MulticastProbe.cpp): a fresh network namespace has no route for
// multicast, and the join fails there for every program, not just ours.
bool MachineCanJoinMulticast();

TEST(BeginListenUdp, MulticastJoinsTheGroupAndRefusesAnAddressThatIsNoGroup)
{
    if (!MachineCanJoinMulticast())
        GTEST_SKIP() << "no multicast route on this machine (a fresh network namespace has none)";
    auto S = Udp("0.0.0.0", "0");
    S->MultiCast = true;
    S->MultiCastAddrStr = "239.255.0.1";
    S->BeginListen();
    EXPECT_EQ(S->State(), wsConnected);

    auto Bad = Udp("0.0.0.0", "0");
    Bad->MultiCast = true;
    Bad->MultiCastAddrStr = "10.1.2.3";
    const std::string Message = Raised([&] { Bad->BeginListen(); });
    EXPECT_EQ(Message.rfind("Error ", 0), 0u) << Message;
    EXPECT_NE(Message.find(" in function setsockopt(IP MULTICAST)\r\n"), std::string::npos) << Message;
    EXPECT_EQ(Bad->State(), wsBound);
}

// With OnError bound nothing is raised: each guard reports once and the
// operation ends there, leaving no handle behind.
TEST(BeginConnect, WithOnErrorBoundAGuardReportsOnceAndEndsTheCall)
{
    for (const Endpoint& E : {Endpoint{"127.0.0.1", nullptr, nullptr, "no port"},
                              Endpoint{nullptr, "1", nullptr, "no address"},
                              Endpoint{"127.0.0.1", "1", " ", "no protocol"},
                              Endpoint{"127.0.0.1", "1", "bogus", "unknown protocol"}}) {
        TWSocket S;
        int Errors = 0;
        S.OnError = [&](rtl::TObject*) { ++Errors; };
        Assign(S, E);
        S.BeginConnect();
        EXPECT_EQ(Errors, 1) << E.Message;
        EXPECT_EQ(S.State(), wsClosed) << E.Message;
        EXPECT_EQ(S.Handle(), winsock::INVALID_SOCKET) << E.Message;
        S.BeginListen();
        EXPECT_EQ(Errors, 2) << E.Message;
        EXPECT_EQ(S.Handle(), winsock::INVALID_SOCKET) << E.Message;
    }
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Errors = 0;
    P.Client->OnError = [&](rtl::TObject*) { ++Errors; };
    P.Client->BeginConnect();
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(P.Client->State(), wsConnected);
}

// The second copy of the program finding the Interlink port taken, with
// OnError bound: one report, the code in LastError, nothing left open, and
// a later listen elsewhere works.
TEST(BeginListen, WithOnErrorBoundATakenPortReportsOnceAndLeavesNothingOpen)
{
    auto L = MakeListener();
    TWSocket S;
    int Errors = 0, Closes = 0;
    S.OnError = [&](rtl::TObject*) { ++Errors; };
    S.OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };
    AimAt(S, L->LocalBoundPort());
    const int Before = winsock::OpenHandleCount();
    S.BeginListen();
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(S.LastError(), 10048);
    EXPECT_EQ(S.State(), wsClosed);
    EXPECT_EQ(S.Handle(), winsock::INVALID_SOCKET);
    EXPECT_EQ(winsock::OpenHandleCount(), Before);
    AimAt(S, "0");
    S.BeginListen();
    EXPECT_EQ(S.State(), wsListening);
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(Closes, 0);
}

TEST(AttachHandle, WhenTheOldHandleCannotBeClosedNothingIsTakenOver)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    auto L = MakeListener(); // takes no connection; the kernel completes it
    TWSocket Other;
    AimAt(Other, L->LocalBoundPort());
    Other.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return Other.State() == wsConnected; }));
    const winsock::SOCKET Spare = Other.Handle();
    ASSERT_EQ(winsock::closesocket(P.Client->Handle()), 0);
    EXPECT_EQ(Raised([&] { P.Client->AttachHandle(Spare); }),
              "Error 10038 in function Dup (closesocket)\r\nSocket operation on non-socket");
    EXPECT_EQ(P.Client->Handle(), winsock::INVALID_SOCKET);
    EXPECT_EQ(Other.Handle(), Spare) << "the offered handle stays its owner's";
}

// A handle that is no socket (any more): with OnError bound, the linger and
// the notification request are each reported and the object never counts
// as connected.
TEST(AttachHandle, AHandleThatIsNoSocketNeverConnects)
{
    winsock::WSADATA D;
    winsock::WSAStartup(0x0101, &D);
    const winsock::SOCKET Stale = winsock::socket(winsock::AF_INET, winsock::SOCK_STREAM, 0);
    winsock::closesocket(Stale);
    winsock::WSACleanup();
    TWSocket S;
    std::vector<int> Codes;
    S.OnError = [&](rtl::TObject*) { Codes.push_back(S.LastError()); };
    S.AttachHandle(Stale);
    EXPECT_EQ(Codes, (std::vector<int>{10038, 10038}));
    EXPECT_NE(S.State(), wsConnected);
}

// A process out of descriptors: neither a connect nor a listen gets a
// handle, each says why, and both objects stay closed.
TEST(BeginConnect, WithNoDescriptorLeftConnectAndListenSayTooManyOpenFiles)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "needs every descriptor, and the sanitizers need some of their own";
#endif
    TWSocket C, L;
    AimAt(C, "1");
    AimAt(L, "0");
    std::string ConnectMessage, ListenMessage;
    {
        DescriptorShortage None(0);
        ASSERT_TRUE(None.Filled());
        ConnectMessage = Raised([&] { C.BeginConnect(); });
        ListenMessage = Raised([&] { L.BeginListen(); });
    }
    EXPECT_EQ(ConnectMessage, "Error 10024 in function Connect (socket)\r\nToo many open files");
    EXPECT_EQ(ListenMessage, "Error 10024 in function socket\r\nToo many open files");
    EXPECT_EQ(C.State(), wsClosed);
    EXPECT_EQ(L.State(), wsClosed);
    EXPECT_EQ(C.LastError(), 10024);
}
