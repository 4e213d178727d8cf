// Asynchronous name look-ups of the socket object and OnDnsLookupDone.
#include "LookupSupport.h"
#include "LoopbackPair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpUntil;

namespace {

// A socket object that records every OnDnsLookupDone.
struct Looker {
    Looker()
    {
        S.OnDnsLookupDone = [this](rtl::TObject*, uint16_t E) { Done.push_back(E); };
    }
    TWSocket S;
    std::vector<int> Done;
};

} // namespace

TEST(WSocketDns, LocalhostArrivesThroughOnDnsLookupDone)
{
    Looker L;
    L.S.StartNameLookup("localhost");
    EXPECT_TRUE(L.Done.empty()); // the answer comes from the queue
    ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
    EXPECT_EQ(L.Done, std::vector<int>{0});
    EXPECT_EQ(L.S.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(L.S.DnsResultList().empty());
    EXPECT_EQ(L.S.DnsResultList().front(), "127.0.0.1");
}

TEST(WSocketDns, ALookupCancelledOrAbortedWithTheSessionNeverArrives)
{
    for (bool Abort : {false, true}) {
        FakeResolver R;
        Looker L;
        L.S.StartNameLookup("slow.example");
        if (Abort)
            L.S.AbortSession();
        else
            L.S.CancelNameLookup();
        EXPECT_EQ(L.Done, std::vector<int>{10004}) << Abort; // the cancel itself is reported
        R.Release();
        SettleLookups();
        EXPECT_EQ(L.Done, std::vector<int>{10004}) << Abort;
        EXPECT_EQ(L.S.DnsResult(), "") << Abort;
    }
}

TEST(WSocketDns, ASupersededLookupNeverArrives)
{
    FakeResolver R;
    Looker L;
    L.S.StartNameLookup("slow.example");
    L.S.StartNameLookup("quick.example");
    ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
    R.Release();
    SettleLookups();
    EXPECT_EQ(L.Done, std::vector<int>{0}); // the superseded one fired nothing
    EXPECT_EQ(L.S.DnsResult(), "10.0.0.1");
}

TEST(WSocketDns, DestroyingTheObjectCancelsSilently)
{
    FakeResolver R;
    int Done = 0;
    auto* S = new TWSocket;
    S->OnDnsLookupDone = [&](rtl::TObject*, uint16_t) { ++Done; };
    S->StartNameLookup("slow.example");
    delete S;
    R.Release();
    SettleLookups();
    EXPECT_EQ(Done, 0);
    EXPECT_EQ(winsock::PendingLookupCount(), 0);
}

TEST(WSocketDns, ANumericHostIsAnsweredAtOnceWithoutALookup)
{
    FakeResolver R;
    Looker L;
    L.S.StartNameLookup("127.0.0.1");
    EXPECT_EQ(L.Done, std::vector<int>{0});
    EXPECT_EQ(L.S.DnsResult(), "127.0.0.1");
    EXPECT_TRUE(L.S.DnsResultList().empty());
    EXPECT_TRUE(R.Names().empty());
}

TEST(WSocketDns, AnUnknownHostArrivesWithItsErrorAndNoResult)
{
    FakeResolver R;
    Looker L;
    L.S.StartNameLookup("nowhere");
    ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
    EXPECT_EQ(L.Done, std::vector<int>{11001});
    EXPECT_EQ(L.S.DnsResult(), "");
    EXPECT_TRUE(L.S.DnsResultList().empty());
}

TEST(WSocketDns, AllAddressesArriveInTheirOrderUpToTheFirst256)
{
    {
        FakeResolver R({winsock::htonl(0x0a000003), winsock::htonl(0x0a000001), winsock::htonl(0x0a000002)});
        Looker L;
        L.S.StartNameLookup("three.example");
        ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
        EXPECT_EQ(L.S.DnsResultList(), (std::vector<std::string>{"10.0.0.3", "10.0.0.1", "10.0.0.2"}));
        EXPECT_EQ(L.S.DnsResult(), "10.0.0.3");
    }
    std::vector<uint32_t> Many;
    for (uint32_t i = 0; i < 300; ++i)
        Many.push_back(winsock::htonl(0x0a000000 + i));
    FakeResolver R(Many);
    Looker L;
    L.S.StartNameLookup("crowd.example");
    ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
    EXPECT_EQ(L.Done, std::vector<int>{0});
    ASSERT_EQ(L.S.DnsResultList().size(), 256u);
    EXPECT_EQ(L.S.DnsResultList().front(), "10.0.0.0");
    EXPECT_EQ(L.S.DnsResultList().back(), "10.0.0.255");
}

TEST(WSocketDns, AnEmptyHostIsRefusedOrWithOnErrorBoundReports10022)
{
    Looker L;
    EXPECT_EQ(Raised([&] { L.S.StartNameLookup(""); }), "DNS lookup: invalid host name.");
    Looker Quiet;
    int Errors = 0;
    Quiet.S.OnError = [&](rtl::TObject*) { ++Errors; };
    Quiet.S.StartNameLookup("");
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(Quiet.Done, std::vector<int>{10022});
}

TEST(WSocketDns, CancelWithoutALookupDoesNothing)
{
    Looker L;
    L.S.CancelNameLookup();
    EXPECT_TRUE(L.Done.empty());
}

TEST(WSocketDns, AddressLookupGivesTheHostName)
{
    winsock::detail::SetHostAddrResolver([](uint32_t a, std::string& name) {
        name = a == winsock::htonl(0x7f000001) ? "localhost" : "";
        return name.empty() ? winsock::WSAHOST_NOT_FOUND : 0;
    });
    Looker L;
    L.S.StartAddressLookup("127.0.0.1");
    EXPECT_TRUE(L.Done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
    winsock::detail::SetHostAddrResolver(nullptr);
    EXPECT_EQ(L.Done, std::vector<int>{0});
    EXPECT_EQ(L.S.DnsResult(), "localhost");
    EXPECT_EQ(L.S.DnsResultList(), std::vector<std::string>{"localhost"});
}

TEST(WSocketDns, AddressLookupOfLoopbackAsksTheSystem)
{
    Looker L;
    L.S.StartAddressLookup("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return !L.Done.empty(); }));
    ASSERT_EQ(L.Done, std::vector<int>{0});
    EXPECT_FALSE(L.S.DnsResult().empty());
    EXPECT_EQ(L.S.DnsResultList(), std::vector<std::string>{L.S.DnsResult()});
}

TEST(WSocketDns, AnEmptyOrOverlongAddressIsRefused)
{
    Looker L;
    for (const std::string& Text : {std::string(), std::string(257, '1')})
        EXPECT_EQ(Raised([&] { L.S.StartAddressLookup(Text); }), "ReverseDnsLookup: Invalid host name.");
}
