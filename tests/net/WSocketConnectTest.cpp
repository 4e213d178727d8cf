// Connecting, binding, listening, accepting and taking over handles: the
// guards and messages, the options set on the handle, TCP and UDP.
#include "LoopbackPair.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

template <class F>
std::string Raised(F&& f)
{
    try {
        f();
    } catch (const ESocketException& E) {
        return E.Message;
    }
    return "";
}

int IntOption(winsock::SOCKET S, int Level, int Name)
{
    int V = -12345;
    int Len = sizeof V;
    if (winsock::getsockopt(S, Level, Name, reinterpret_cast<char*>(&V), &Len) != 0)
        return -99999;
    return V;
}

std::string StateChanges(std::vector<std::pair<TSocketState, TSocketState>>& Seen)
{
    std::string S;
    for (auto [Old, New] : Seen)
        S += std::to_string(Old) + ">" + std::to_string(New) + " ";
    return S;
}

std::unique_ptr<TWSocket> Udp(const std::string& Addr, const std::string& Port)
{
    auto S = std::make_unique<TWSocket>();
    S->SetProto("udp");
    S->SetAddr(Addr);
    S->SetPort(Port);
    return S;
}

} // namespace

// ---------------------------------------------------------------------------
// BeginConnect

TEST(BeginConnect, SetsReuseAddrLingerAndKeepAliveAndLeavesTheLocalEndUnbound)
{
    auto L = MakeListener();
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort(L->LocalBoundPort());
    S.BeginConnect();
    EXPECT_EQ(S.State(), wsConnecting);
    EXPECT_EQ(IntOption(S.Handle(), winsock::SOL_SOCKET, winsock::SO_REUSEADDR), 1);
    EXPECT_EQ(IntOption(S.Handle(), winsock::SOL_SOCKET, winsock::SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(S.Handle(), winsock::IPPROTO_TCP, winsock::TCP_NODELAY), 0);
    winsock::LINGER Li{};
    int Len = sizeof Li;
    ASSERT_EQ(winsock::getsockopt(S.Handle(), winsock::SOL_SOCKET, winsock::SO_LINGER, reinterpret_cast<char*>(&Li), &Len), 0);
    EXPECT_EQ(Li.l_onoff, 1);
    EXPECT_EQ(Li.l_linger, 0);
    EXPECT_EQ(S.LocalPort(), "0"); // BindLocal would have written the bound port here
}

TEST(BeginConnect, TheNoDelayOptionReachesTheHandle)
{
    auto L = MakeListener();
    TWSocket S;
    S.ComponentOptions.Include(wsoTcpNoDelay);
    S.SetAddr("127.0.0.1");
    S.SetPort(L->LocalBoundPort());
    S.BeginConnect();
    EXPECT_EQ(IntOption(S.Handle(), winsock::IPPROTO_TCP, winsock::TCP_NODELAY), 1);
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

TEST(BeginConnect, AfterACloseWithoutAssigningThePortAgainIsNoPortSpecified)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client->CloseSession();
    P.Client->SetAddr("127.0.0.1");
    EXPECT_EQ(Raised([&] { P.Client->BeginConnect(); }), "Connect: No Port Specified");
    EXPECT_EQ(P.Client->State(), wsClosed);
}

TEST(BeginConnect, WithoutAProtocolIsNoProtocolSpecified)
{
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort("1");
    S.SetProto(" ");
    EXPECT_EQ(Raised([&] { S.BeginConnect(); }), "Connect: No Protocol Specified");
}

TEST(BeginConnect, AFailedConversionIsReportedAfterConnectColon)
{
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort("no-such-service");
    EXPECT_EQ(Raised([&] { S.BeginConnect(); }),
              "connect: WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
    EXPECT_EQ(S.State(), wsClosed);
    EXPECT_EQ(S.Handle(), winsock::INVALID_SOCKET);
}

TEST(BeginConnect, ALocalAddrBindsTheLocalEndAndLocalPortReadsItBack)
{
    auto L = MakeListener();
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort(L->LocalBoundPort());
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
    S.SetAddr("127.0.0.1");
    S.SetPort(L->LocalBoundPort());
    S.SetLocalAddr("127.0.0.1");
    S.SetLocalPort(L->LocalBoundPort());
    EXPECT_EQ(Raised([&] { S.BeginConnect(); }), "winsock.bind failed, error #10048");
}

TEST(BeginConnect, ARefusedConnectionIsNoFailureOfTheCall)
{
    std::string Port;
    {
        auto L = MakeListener();
        Port = L->LocalBoundPort();
    }
    int Outcome = -1;
    TWSocket S;
    S.OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Outcome = E; };
    S.SetAddr("127.0.0.1");
    S.SetPort(Port);
    S.BeginConnect();
    EXPECT_EQ(S.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return Outcome != -1; }));
    EXPECT_EQ(Outcome, 10061);
}

// ---------------------------------------------------------------------------
// BeginListen

TEST(BeginListen, PassesThroughBoundToListening)
{
    std::vector<std::pair<TSocketState, TSocketState>> Seen; // outlives S, which reports its close
    TWSocket S;
    S.OnChangeState = [&](rtl::TObject*, TSocketState O, TSocketState N) { Seen.emplace_back(O, N); };
    S.SetAddr("127.0.0.1");
    S.SetPort("0");
    S.BeginListen();
    EXPECT_EQ(StateChanges(Seen), "7>2 2>6 ");
    EXPECT_EQ(S.State(), wsListening);
}

TEST(BeginListen, OnATakenPortReports10048InBindAndStaysClosed)
{
    auto Taken = MakeListener();
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort(Taken->LocalBoundPort());
    EXPECT_EQ(Raised([&] { S.BeginListen(); }), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(S.State(), wsClosed);
    EXPECT_EQ(S.LastError(), 10048);
}

TEST(BeginListen, BelowPort1024WithoutRightsReports10013)
{
    int Start = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> Start;
    if (Start <= 1)
        GTEST_SKIP() << "every port is unprivileged on this machine";
    const passwd* Nobody = getpwnam("nobody");
    ASSERT_NE(Nobody, nullptr);
    const uid_t Uid = Nobody->pw_uid;
    const gid_t Gid = Nobody->pw_gid;
    const std::string Port = std::to_string(Start - 1);

    // Root may bind there: the attempt runs in a child that has become
    // "nobody", and its exit code tells what it saw.
    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        alarm(30);
        if (setgroups(0, nullptr) != 0 || setgid(Gid) != 0 || setuid(Uid) != 0)
            _exit(10);
        int Code = 11;
        try {
            TWSocket S;
            S.SetAddr("127.0.0.1");
            S.SetPort(Port);
            try {
                S.BeginListen();
                Code = 12; // it was allowed
            } catch (const ESocketException& E) {
                if (E.Message != "Error 10013 in function Bind\r\nPermission denied")
                    Code = 13;
                else if (S.State() != wsClosed || S.LastError() != 10013)
                    Code = 14;
                else
                    Code = 0;
            }
        } catch (...) {
            Code = 15;
        }
        _exit(Code);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
}

TEST(BeginListen, WithoutAnAddressReports10022)
{
    TWSocket S;
    S.SetPort("0");
    EXPECT_EQ(Raised([&] { S.BeginListen(); }), "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    EXPECT_EQ(S.LastError(), 10022);
}

TEST(BeginListen, WithoutAPortReports10022)
{
    TWSocket S;
    S.SetAddr("127.0.0.1");
    EXPECT_EQ(Raised([&] { S.BeginListen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST(BeginListen, WithoutAProtocolReports10022)
{
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort("0");
    S.SetProto("");
    EXPECT_EQ(Raised([&] { S.BeginListen(); }),
              "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
}

TEST(BeginListen, AFailedConversionIsReportedAfterListenColon)
{
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort("0");
    S.SetProto("bogus");
    EXPECT_EQ(Raised([&] { S.BeginListen(); }),
              "listen: WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

// ---------------------------------------------------------------------------
// AcceptPending, AttachHandle

TEST(AcceptPending, OnASocketThatIsNotListeningIsRefused)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.AcceptPending(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
}

TEST(AcceptPending, WithOnErrorBoundGivesInvalidSocket)
{
    TWSocket S;
    S.OnError = [](rtl::TObject*) {};
    EXPECT_EQ(S.AcceptPending(), winsock::INVALID_SOCKET);
    EXPECT_EQ(S.LastError(), 10022);
}

TEST(AttachHandle, NoHandleIsRefusedAsDup)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.AttachHandle(winsock::INVALID_SOCKET); }), "Error 10022 in function Dup\r\nInvalid argument");
    EXPECT_EQ(Raised([&] { S.AttachHandle(0); }), "Error 10022 in function Dup\r\nInvalid argument");
}

TEST(AttachHandle, OnAFreshObjectConnectsWithoutSessionConnected)
{
    std::vector<std::pair<TSocketState, TSocketState>> Seen;
    int Connected = 0;
    auto L = MakeListener();
    TWSocket Taker;
    Taker.OnSessionConnected = [&](rtl::TObject*, uint16_t) { ++Connected; };
    Taker.OnChangeState = [&](rtl::TObject*, TSocketState O, TSocketState N) { Seen.emplace_back(O, N); };
    L->OnSessionAvailable = [&](rtl::TObject*, uint16_t) { Taker.AttachHandle(L->AcceptPending()); };
    TWSocket C;
    C.SetAddr("127.0.0.1");
    C.SetPort(L->LocalBoundPort());
    C.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return Taker.State() == wsConnected; }));
    PumpFor(30);
    EXPECT_EQ(StateChanges(Seen), "7>4 ");
    EXPECT_EQ(Connected, 0);
}

TEST(AttachHandle, OnAConnectedObjectClosesTheOldHandleFirst)
{
    std::vector<std::pair<TSocketState, TSocketState>> Seen;
    int ClientCloses = 0;
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    const winsock::SOCKET Old = P.Server->Handle();
    P.Server->OnChangeState = [&](rtl::TObject*, TSocketState O, TSocketState N) { Seen.emplace_back(O, N); };
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++ClientCloses; };
    TWSocket Second;
    Second.SetAddr("127.0.0.1");
    Second.SetPort(P.Port);
    Second.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return P.Server->Handle() != Old; }));
    EXPECT_EQ(StateChanges(Seen), "4>7 7>4 ");
    EXPECT_EQ(winsock::DescriptorOf(Old), -1);
    EXPECT_EQ(P.Server->State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return ClientCloses == 1; })); // the first peer lost its connection
}

TEST(AttachHandle, TheHandleGetsTheObjectsOwnLinger)
{
    auto L = MakeListener();
    TWSocket Taker;
    Taker.LingerOnOff = wsLingerOff;
    L->OnSessionAvailable = [&](rtl::TObject*, uint16_t) { Taker.AttachHandle(L->AcceptPending()); };
    TWSocket C;
    C.SetAddr("127.0.0.1");
    C.SetPort(L->LocalBoundPort());
    C.BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return Taker.State() == wsConnected; }));
    winsock::LINGER Li{9, 9};
    int Len = sizeof Li;
    ASSERT_EQ(winsock::getsockopt(Taker.Handle(), winsock::SOL_SOCKET, winsock::SO_LINGER, reinterpret_cast<char*>(&Li), &Len), 0);
    EXPECT_EQ(Li.l_onoff, 0);
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

TEST(BeginConnectUdp, TheBroadcastAddressSwitchesBroadcastOn)
{
    auto S = Udp("255.255.255.255", "9");
    S->BeginConnect();
    EXPECT_EQ(IntOption(S->Handle(), winsock::SOL_SOCKET, winsock::SO_BROADCAST), 1);
}

TEST(BeginConnectUdp, AnOrdinaryAddressLeavesBroadcastOff)
{
    auto S = Udp("127.0.0.1", "9");
    S->BeginConnect();
    EXPECT_EQ(IntOption(S->Handle(), winsock::SOL_SOCKET, winsock::SO_BROADCAST), 0);
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
    std::vector<std::pair<TSocketState, TSocketState>> Seen;
    int Connected = -1;
    auto S = Udp("127.0.0.1", "0");
    S->OnChangeState = [&](rtl::TObject*, TSocketState O, TSocketState N) { Seen.emplace_back(O, N); };
    S->OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Connected = E; };
    S->BeginListen();
    EXPECT_EQ(StateChanges(Seen), "7>2 2>6 6>4 ");
    EXPECT_EQ(Connected, 0);
}

TEST(BeginListenUdp, ReuseAddrIsSetOnlyWhenAskedFor)
{
    auto Plain = Udp("127.0.0.1", "0");
    Plain->BeginListen();
    EXPECT_EQ(IntOption(Plain->Handle(), winsock::SOL_SOCKET, winsock::SO_REUSEADDR), 0);
    auto Reusing = Udp("127.0.0.1", "0");
    Reusing->ReuseAddr = true;
    Reusing->BeginListen();
    EXPECT_EQ(IntOption(Reusing->Handle(), winsock::SOL_SOCKET, winsock::SO_REUSEADDR), 1);
}

TEST(BeginListenUdp, MulticastJoinsTheGroup)
{
    auto S = Udp("0.0.0.0", "0");
    S->MultiCast = true;
    S->MultiCastAddrStr = "239.255.0.1";
    S->BeginListen();
    EXPECT_EQ(S->State(), wsConnected);
}

TEST(BeginListenUdp, AGroupThatIsNoMulticastAddressIsRefused)
{
    auto S = Udp("0.0.0.0", "0");
    S->MultiCast = true;
    S->MultiCastAddrStr = "10.1.2.3";
    const std::string Message = Raised([&] { S->BeginListen(); });
    EXPECT_EQ(Message.rfind("Error ", 0), 0u) << Message;
    EXPECT_NE(Message.find(" in function setsockopt(IP MULTICAST)\r\n"), std::string::npos) << Message;
    EXPECT_EQ(S->State(), wsBound);
}

TEST(BeginListenUdp, DatagramsArriveAtTheListeningEnd)
{
    std::string Got;
    auto In = Udp("127.0.0.1", "0");
    In->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        char Buf[100];
        winsock::SOCKADDR_IN From{};
        int Len = sizeof From;
        int n = In->ReceiveDatagramFrom(Buf, sizeof Buf, From, Len);
        if (n > 0)
            Got.append(Buf, static_cast<size_t>(n));
    };
    In->BeginListen();
    auto Out = Udp("127.0.0.1", In->LocalBoundPort());
    Out->BeginConnect();
    Out->SendString("ping");
    ASSERT_TRUE(PumpUntil([&] { return Got == "ping"; }));
}
