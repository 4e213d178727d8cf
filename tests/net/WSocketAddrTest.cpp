// Endpoint texts: the setters and their guards, the dotted-quad rule, the
// conversions of host, port and protocol texts, and the address queries.
#include "LookupSupport.h"
#include "LoopbackPair.h"

#include <gtest/gtest.h>

#include <string>

using namespace net;
using namespace nettest;

namespace {

// The message of the ESocketException F raises; "" when it raises none.
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

} // namespace

// ---------------------------------------------------------------------------
// IsDottedQuad, ParseLeadingNumber

TEST(IsDottedQuad, AcceptsFourNumbersUpTo255)
{
    for (const char* Text : {"127.0.0.1", " 10.0.0.1 ", "0.0.0.0", "255.255.255.255", "010.1.1.1", "1.2.3.4   "})
        EXPECT_TRUE(IsDottedQuad(Text)) << '"' << Text << '"';
}

TEST(IsDottedQuad, RefusesEverythingElse)
{
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

TEST(ResolveHostAddress, ADottedQuadNeverAsksTheResolver)
{
    FakeResolver R;
    EXPECT_EQ(ResolveHostAddress("127.0.0.1"), winsock::htonl(0x7f000001));
    EXPECT_EQ(ResolveHostAddress(" 10.0.0.1 "), winsock::htonl(0x0a000001));
    EXPECT_TRUE(R.Names().empty());
}

TEST(ResolveHostAddress, AllOnesIsTheBroadcastAddress)
{
    EXPECT_EQ(ResolveHostAddress("255.255.255.255"), winsock::INADDR_BROADCAST);
}

TEST(ResolveHostAddress, ANumberAbove255IsNotADottedQuadAndGoesToTheResolver)
{
    FakeResolver R;
    EXPECT_EQ(ResolveHostAddress("300.1.1.1"), winsock::htonl(0x0a000001));
    EXPECT_EQ(R.Names(), std::vector<std::string>{"300.1.1.1"});
}

TEST(ResolveHostAddress, ANameGivesTheFirstAddressOfItsEntry)
{
    FakeResolver R({winsock::htonl(0x0a000005), winsock::htonl(0x0a000006)});
    EXPECT_EQ(ResolveHostAddress(" some.host "), winsock::htonl(0x0a000005));
    EXPECT_EQ(R.Names(), std::vector<std::string>{"some.host"}); // trimmed
}

TEST(ResolveHostAddress, AnUnknownNameIsRefusedWithTheResolversError)
{
    FakeResolver R;
    EXPECT_EQ(Raised([] { ResolveHostAddress("nowhere"); }),
              "WSocketResolveHost: Cannot convert host address 'nowhere', Error #11001");
}

TEST(ResolveHostAddress, EmptyOrOverlongHostIsAnInvalidHostname)
{
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

TEST(ResolvePortNumber, ThirtyTwoCharactersOrAnEmptyTextAreInvalid)
{
    EXPECT_EQ(Raised([] { ResolvePortNumber(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(Raised([] { ResolvePortNumber("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ResolvePortNumber(std::string(31, '0') , "tcp"), 0);
}

TEST(ResolvePortNumber, AnEmptyOrOverlongProtocolIsInvalid)
{
    EXPECT_EQ(Raised([] { ResolvePortNumber("666", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(Raised([] { ResolvePortNumber("666", std::string(32, 't')); }), "WSocketResolvePort: Invalid Proto.");
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

TEST(ResolvePortNumber, AnUnknownServiceIsRefused)
{
    EXPECT_EQ(Raised([] { ResolvePortNumber("no-such-service", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
}

TEST(ResolveProtocolNumber, NamesAndNumbers)
{
    EXPECT_EQ(ResolveProtocolNumber("tcp"), 6);
    EXPECT_EQ(ResolveProtocolNumber(" udp "), 17);
    EXPECT_EQ(ResolveProtocolNumber("17"), 17);
}

TEST(ResolveProtocolNumber, EmptyOrOverlongIsInvalid)
{
    EXPECT_EQ(Raised([] { ResolveProtocolNumber(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(Raised([] { ResolveProtocolNumber(std::string(32, 'x')); }), "WSocketResolveProto: Invalid Protocol.");
}

TEST(ResolveProtocolNumber, AnUnknownNameIsRefused)
{
    EXPECT_EQ(Raised([] { ResolveProtocolNumber(" bogus "); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

// ---------------------------------------------------------------------------
// Setters

TEST(WSocketSetters, AddrIsStoredTrimmed)
{
    TWSocket S;
    S.SetAddr("  127.0.0.1 ");
    EXPECT_EQ(S.Addr(), "127.0.0.1");
}

TEST(WSocketSetters, AddrOfSpacesOnlyLeavesItUnassigned)
{
    TWSocket S;
    S.SetAddr("   ");
    S.SetPort("1");
    EXPECT_EQ(Raised([&] { S.BeginConnect(); }), "Connect: No IP Address Specified");
}

TEST(WSocketSetters, TheSameAddrWhileConnectedChangesNothingAndReportsNothing)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client->SetAddr("127.0.0.1");
    P.Client->SetPort(P.Port);
    P.Client->SetProto("tcp");
    EXPECT_EQ(P.Client->State(), wsConnected);
}

TEST(WSocketSetters, AnotherAddrWhileConnectedIsRefused)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    EXPECT_EQ(Raised([&] { P.Client->SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(P.Client->Addr(), "127.0.0.1");
}

TEST(WSocketSetters, EveryOtherSetterIsGuardedWhileNotClosed)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    EXPECT_EQ(Raised([&] { P.Client->SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(Raised([&] { P.Client->SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(Raised([&] { P.Client->SetLocalPort("0"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(Raised([&] { P.Client->SetLocalAddr("0.0.0.0"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(P.Client->Port(), P.Port);
    EXPECT_EQ(P.Client->Proto(), "tcp");
}

TEST(WSocketSetters, ALocalAddrIsStoredInItsCanonicalForm)
{
    TWSocket S;
    S.SetLocalAddr("127.000.000.001");
    EXPECT_EQ(S.LocalAddr(), "127.0.0.1");
    S.SetLocalAddr("");
    EXPECT_EQ(S.LocalAddr(), "0.0.0.0");
}

TEST(WSocketSetters, AnInvalidLocalAddrIsRefused)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.SetLocalAddr("not an address"); }), "SetLocalAddr(): Invalid IP address");
}

TEST(WSocketSetters, AnInvalidLocalAddrWithOnErrorBoundLeavesAllOnes)
{
    TWSocket S;
    int Errors = 0;
    S.OnError = [&](rtl::TObject*) { ++Errors; };
    S.SetLocalAddr("not an address");
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(S.LocalAddr(), "255.255.255.255");
}

TEST(WSocketSetters, LocalPortIsStoredAsGiven)
{
    TWSocket S;
    S.SetLocalPort(" 5 ");
    EXPECT_EQ(S.LocalPort(), " 5 ");
}

// ---------------------------------------------------------------------------
// Queries

TEST(WSocketQueries, PeerOfASocketThatIsNotConnectedIsError)
{
    TWSocket S;
    EXPECT_EQ(S.PeerAddr(), "error");
    EXPECT_EQ(S.PeerPort(), "error");
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

TEST(WSocketQueries, LocalEndIsErrorUntilBound)
{
    TWSocket S;
    EXPECT_EQ(S.LocalBoundAddr(), "error");
    EXPECT_EQ(S.LocalBoundPort(), "error");
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
