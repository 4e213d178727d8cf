// Endpoint texts: the setters and their guards, the dotted-quad rule, the
// conversions of host, port and protocol texts, and the address queries.
#include "LookupSupport.h"
#include "LoopbackPair.h"

#include <gtest/gtest.h>

#include <string>

using namespace net;
using namespace nettest;

// ---------------------------------------------------------------------------
// IsDottedQuad, ParseLeadingNumber

TEST(IsDottedQuad, AcceptsFourNumbersUpTo255AndNothingElse)
{
    for (const char* Text : {"127.0.0.1", " 10.0.0.1 ", "0.0.0.0", "255.255.255.255", "010.1.1.1", "1.2.3.4   "})
        EXPECT_TRUE(IsDottedQuad(Text)) << '"' << Text << '"';
    for (const char* Text : {"1.2.3", "1.2.3.4.5", "1.2.3.256", "256.1.1.1", ".1.2.3", "1.2.3.", "1..2.3", "1.2.3.4x",
                             "", "   ", "1.2.3.4 x", "a.b.c.d", "1.2.3.4.", "1000.1.1.1"})
        EXPECT_FALSE(IsDottedQuad(Text)) << '"' << Text << '"';
}

TEST(ParseLeadingNumber, ReadsTheDigitsAfterLeadingSpaces)
{
    EXPECT_EQ(ParseLeadingNumber("666"), 666);
    EXPECT_EQ(ParseLeadingNumber("12ab"), 12);
    EXPECT_EQ(ParseLeadingNumber("  7 8"), 7);
    EXPECT_EQ(ParseLeadingNumber(""), 0);
    EXPECT_EQ(ParseLeadingNumber("x1"), 0);
}

// ---------------------------------------------------------------------------
// The resolvers

TEST(ResolveHostAddress, OnlyWhatIsNoDottedQuadGoesToTheResolver)
{
    FakeResolver R({winsock::htonl(0x0a000005), winsock::htonl(0x0a000006)});
    EXPECT_EQ(ResolveHostAddress("127.0.0.1"), winsock::htonl(0x7f000001));
    EXPECT_EQ(ResolveHostAddress(" 10.0.0.1 "), winsock::htonl(0x0a000001));
    EXPECT_EQ(ResolveHostAddress("255.255.255.255"), winsock::INADDR_BROADCAST);
    EXPECT_TRUE(R.Names().empty());
    // A number above 255 makes no dotted quad; a name gives the first
    // address of its entry.
    EXPECT_EQ(ResolveHostAddress("300.1.1.1"), winsock::htonl(0x0a000005));
    EXPECT_EQ(ResolveHostAddress(" some.host "), winsock::htonl(0x0a000005));
    EXPECT_EQ(R.Names(), (std::vector<std::string>{"300.1.1.1", "some.host"})); // trimmed
}

TEST(ResolveHostAddress, RefusesUnknownEmptyAndOverlongHosts)
{
    FakeResolver R;
    EXPECT_EQ(Raised([] { ResolveHostAddress("nowhere"); }),
              "WSocketResolveHost: Cannot convert host address 'nowhere', Error #11001");
    EXPECT_EQ(Raised([] { ResolveHostAddress(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    const std::string Long(257, 'a');
    EXPECT_EQ(Raised([&] { ResolveHostAddress(Long); }), "WSocketResolveHost: '" + Long + "' Invalid Hostname.");
}

TEST(ResolvePortNumber, ANumberNeedsNoLookup)
{
    EXPECT_EQ(ResolvePortNumber("666", "tcp"), 666);
    EXPECT_EQ(ResolvePortNumber("0", "udp"), 0);
    EXPECT_EQ(ResolvePortNumber("65535", "tcp"), 65535);
    // A local port is taken as typed; blanks around it are no service name.
    EXPECT_EQ(ResolvePortNumber("  8080 ", " tcp"), 8080);
    EXPECT_EQ(ResolvePortNumber(std::string(31, '0'), "tcp"), 0);
}

TEST(ResolvePortNumber, AboveTheRangeIsARangeFailure)
{
    try {
        ResolvePortNumber("65536", "tcp");
        FAIL() << "no exception";
    } catch (const ESocketException&) {
        FAIL() << "a range failure, not a socket failure";
    } catch (const rtl::Exception& E) {
        EXPECT_EQ(E.Message, "Range check error");
    }
}

TEST(ResolvePortNumber, RefusesInvalidTextsAndUnknownServices)
{
    EXPECT_EQ(Raised([] { ResolvePortNumber(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(Raised([] { ResolvePortNumber("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(Raised([] { ResolvePortNumber("666", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(Raised([] { ResolvePortNumber("666", std::string(32, 't')); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(Raised([] { ResolvePortNumber("no-such-service", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
}

TEST(ResolvePortNumber, AServiceNameIsLookedUp)
{
    winsock::WSADATA D;
    winsock::WSAStartup(0x0101, &D);
    const bool Known = winsock::getservbyname("http", "tcp") != nullptr;
    winsock::WSACleanup();
    if (!Known)
        GTEST_SKIP() << "this machine has no services database";
    EXPECT_EQ(ResolvePortNumber(" http ", " tcp "), 80);
}

TEST(ResolveProtocolNumber, TakesNamesAndNumbersAndRefusesTheRest)
{
    EXPECT_EQ(ResolveProtocolNumber("tcp"), 6);
    EXPECT_EQ(ResolveProtocolNumber(" udp "), 17);
    EXPECT_EQ(ResolveProtocolNumber("17"), 17);
    EXPECT_EQ(Raised([] { ResolveProtocolNumber(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(Raised([] { ResolveProtocolNumber(std::string(32, 'x')); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(Raised([] { ResolveProtocolNumber(" bogus "); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

// ---------------------------------------------------------------------------
// Setters

TEST(WSocketSetters, AddrIsTrimmedAndOfSpacesOnlyLeftUnassignedButLocalPortIsKeptAsGiven)
{
    TWSocket S;
    S.SetAddr("  127.0.0.1 ");
    EXPECT_EQ(S.Addr(), "127.0.0.1");
    S.SetLocalPort(" 5 ");
    EXPECT_EQ(S.LocalPort(), " 5 ");
    TWSocket Blank;
    Blank.SetAddr("   ");
    Blank.SetPort("1");
    EXPECT_EQ(Raised([&] { Blank.BeginConnect(); }), "Connect: No IP Address Specified");
}

TEST(WSocketSetters, WhileConnectedTheSameTextsChangeNothingAndReportNothing)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    // The same texts change nothing and report nothing.
    P.Client->SetAddr("127.0.0.1");
    P.Client->SetPort(P.Port);
    P.Client->SetProto("tcp");
    EXPECT_EQ(P.Client->State(), wsConnected);
    EXPECT_EQ(P.Client->Addr(), "127.0.0.1");
    EXPECT_EQ(P.Client->Port(), P.Port);
    EXPECT_EQ(P.Client->Proto(), "tcp");
}

namespace {

// A setting the socket keeps unchanged unless it is closed: the refusal's
// text, a change to a value it does not hold, and how to read it back.
struct Guarded {
    const char* Message;
    void (*Change)(TWSocket&);
    std::string (*Value)(TWSocket&);
};

const Guarded kGuarded[] = {
    {"Cannot change Addr if not closed", [](TWSocket& S) { S.SetAddr("127.0.0.2"); },
     [](TWSocket& S) { return S.Addr(); }},
    {"Cannot change Port if not closed", [](TWSocket& S) { S.SetPort("1"); }, [](TWSocket& S) { return S.Port(); }},
    {"Cannot change Proto if not closed", [](TWSocket& S) { S.SetProto("udp"); },
     [](TWSocket& S) { return S.Proto(); }},
    {"Cannot change LocalPort if not closed", [](TWSocket& S) { S.SetLocalPort("1"); },
     [](TWSocket& S) { return S.LocalPort(); }},
    {"Cannot change LocalAddr if not closed", [](TWSocket& S) { S.SetLocalAddr("127.0.0.3"); },
     [](TWSocket& S) { return S.LocalAddr(); }},
    {"Can't change socks server if not closed", [](TWSocket& S) { S.SetSocksServer(""); },
     [](TWSocket& S) { return S.SocksServer(); }},
    {"Can't change socks port if not closed", [](TWSocket& S) { S.SetSocksPort("1080"); },
     [](TWSocket& S) { return S.SocksPort(); }},
    {"Can't change socks level if not closed", [](TWSocket& S) { S.SetSocksLevel("4"); },
     [](TWSocket& S) { return S.SocksLevel(); }},
};

// Each guarded setting, refused on S in its present state: raised with its
// own text, or with OnError bound reported there and nothing raised; the
// value stays either way.
void ExpectEveryChangeRefused(TWSocket& S, const char* Where)
{
    for (const Guarded& G : kGuarded) {
        SCOPED_TRACE(std::string(Where) + ": " + G.Message);
        const std::string Before = G.Value(S);
        EXPECT_EQ(Raised([&] { G.Change(S); }), G.Message);
        EXPECT_EQ(G.Value(S), Before);
        int Errors = 0;
        S.OnError = [&](rtl::TObject*) { ++Errors; };
        EXPECT_EQ(Raised([&] { G.Change(S); }), "");
        S.OnError = nullptr;
        EXPECT_EQ(Errors, 1);
        EXPECT_EQ(G.Value(S), Before);
    }
}

} // namespace

// Not only a connected socket: one whose connect has only been started, one
// left half set up by a failed local bind, and a listener hold their
// settings too. Once closed, every change is taken.
TEST(WSocketSetters, EveryGuardedSettingIsRefusedUntilTheSocketIsClosed)
{
    auto L = MakeListener();
    ExpectEveryChangeRefused(*L, "listening");

    TWSocket Connecting;
    AimAt(Connecting, L->LocalBoundPort());
    Connecting.BeginConnect(); // its outcome arrives only once messages are pumped
    ASSERT_EQ(Connecting.State(), wsConnecting);
    ExpectEveryChangeRefused(Connecting, "connecting");

    TWSocket Opened;
    AimAt(Opened, L->LocalBoundPort());
    Opened.SetLocalAddr("127.0.0.1");
    Opened.SetLocalPort(L->LocalBoundPort());
    EXPECT_EQ(Raised([&] { Opened.BeginConnect(); }), "winsock.bind failed, error #10048");
    ASSERT_EQ(Opened.State(), wsOpened);
    ExpectEveryChangeRefused(Opened, "opened");

    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    ExpectEveryChangeRefused(*P.Client, "connected");
    ExpectEveryChangeRefused(*P.Server, "attached");

    P.Client->CloseSession();
    ASSERT_EQ(P.Client->State(), wsClosed);
    for (const Guarded& G : kGuarded) {
        EXPECT_EQ(Raised([&] { G.Change(*P.Client); }), "") << G.Message;
    }
    EXPECT_EQ(P.Client->Addr(), "127.0.0.2");
    EXPECT_EQ(P.Client->Port(), "1");
    EXPECT_EQ(P.Client->Proto(), "udp");
    EXPECT_EQ(P.Client->LocalPort(), "1");
    EXPECT_EQ(P.Client->LocalAddr(), "127.0.0.3");
    EXPECT_EQ(P.Client->SocksPort(), "1080");
    EXPECT_EQ(P.Client->SocksLevel(), "4");
}

TEST(WSocketSetters, ALocalAddrIsStoredInItsCanonicalFormOrRefused)
{
    TWSocket S;
    S.SetLocalAddr("127.000.000.001");
    EXPECT_EQ(S.LocalAddr(), "127.0.0.1");
    S.SetLocalAddr("");
    EXPECT_EQ(S.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(Raised([&] { S.SetLocalAddr("not an address"); }), "SetLocalAddr(): Invalid IP address");
    // With OnError bound the failed conversion's all-ones is left behind.
    TWSocket Quiet;
    int Errors = 0;
    Quiet.OnError = [&](rtl::TObject*) { ++Errors; };
    Quiet.SetLocalAddr("not an address");
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(Quiet.LocalAddr(), "255.255.255.255");
}

// ---------------------------------------------------------------------------
// Queries

TEST(WSocketQueries, AnUnconnectedUnboundSocketHasNoEnds)
{
    TWSocket S;
    EXPECT_EQ(S.PeerAddr(), "error");
    EXPECT_EQ(S.PeerPort(), "error");
    EXPECT_EQ(S.LocalBoundAddr(), "error");
    EXPECT_EQ(S.LocalBoundPort(), "error");
    winsock::SOCKADDR_IN A{};
    int Len = 0;
    EXPECT_EQ(S.PeerSockAddr(A, Len), winsock::SOCKET_ERROR);
}

TEST(WSocketQueries, PeerOfAConnectedSocketIsTheOtherEnd)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    EXPECT_EQ(P.Client->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(P.Client->PeerPort(), P.Port);
    EXPECT_EQ(P.Server->PeerPort(), P.Client->LocalBoundPort());
}

TEST(WSocketQueries, LocalEndOfAListenerIsItsAddressAndPort)
{
    auto L = MakeListener();
    EXPECT_EQ(L->LocalBoundAddr(), "127.0.0.1");
    EXPECT_NE(L->LocalBoundPort(), "0");
    winsock::SOCKADDR_IN A{};
    int Len = 0;
    ASSERT_EQ(L->LocalSockAddr(A, Len), 0);
    EXPECT_EQ(std::to_string(winsock::ntohs(A.sin_port)), L->LocalBoundPort());
}
