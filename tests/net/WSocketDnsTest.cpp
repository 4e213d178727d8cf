// Name look-ups, where an answer that is no longer wanted must never reach
// the object that asked, and the conversion of port texts.
#include "LookupSupport.h"
#include "LoopbackPair.h"

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
    EXPECT_EQ(L.Done, std::vector<int>{0});
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

TEST(WSocketDns, ANameGivesEveryAddressInItsOrderAndAnUnknownOneItsCode)
{
    FakeResolver R({winsock::htonl(0x0a000005), winsock::htonl(0x0a000006)});
    Looker L;
    L.S.StartNameLookup("two.example");
    EXPECT_TRUE(L.Done.empty()) << "the answer comes from the queue";
    ASSERT_TRUE(PumpUntil([&] { return L.Done.size() == 1; }));
    EXPECT_EQ(L.Done[0], 0);
    EXPECT_EQ(L.S.DnsResult(), "10.0.0.5");
    EXPECT_EQ(L.S.DnsResultList(), (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));
    L.S.StartNameLookup("nowhere");
    EXPECT_EQ(L.S.DnsResult(), "") << "a new look-up forgets the last answer";
    ASSERT_TRUE(PumpUntil([&] { return L.Done.size() == 2; }));
    EXPECT_EQ(L.Done[1], 11001);
    EXPECT_TRUE(L.S.DnsResultList().empty());
}

TEST(WSocketDns, ANumericHostIsAnsweredAtOnceAndAnEmptyOneIsRefused)
{
    FakeResolver R;
    Looker L;
    L.S.StartNameLookup("127.0.0.1");
    EXPECT_EQ(L.Done, std::vector<int>{0});
    EXPECT_EQ(L.S.DnsResult(), "127.0.0.1");
    EXPECT_TRUE(L.S.DnsResultList().empty());
    EXPECT_TRUE(R.Names().empty());
    EXPECT_EQ(Raised([&] { L.S.StartNameLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_EQ(Raised([&] { L.S.StartAddressLookup(""); }), "ReverseDnsLookup: Invalid host name.");
    EXPECT_EQ(Raised([&] { L.S.StartAddressLookup(std::string(257, '1')); }), "ReverseDnsLookup: Invalid host name.");
    // With OnError bound the refusal is also a finished look-up.
    int Errors = 0;
    L.S.OnError = [&](rtl::TObject*) { ++Errors; };
    L.Done.clear();
    L.S.StartNameLookup("");
    L.S.StartAddressLookup("");
    EXPECT_EQ(Errors, 2);
    EXPECT_EQ(L.Done, (std::vector<int>{10022, 10022}));
}

TEST(WSocketDns, AnAddressGivesItsNameOrTheResolversCode)
{
    struct Resolver {
        Resolver()
        {
            winsock::detail::SetHostAddrResolver([](uint32_t Address, std::string& Name) {
                if (Address != winsock::htonl(0x0a000009))
                    return winsock::WSAHOST_NOT_FOUND;
                Name = "nine.example";
                return 0;
            });
        }
        ~Resolver()
        {
            winsock::detail::SetHostAddrResolver(nullptr);
            SettleLookups();
        }
    } R;
    Looker L;
    L.S.StartAddressLookup("10.0.0.9");
    ASSERT_TRUE(PumpUntil([&] { return L.Done.size() == 1; }));
    EXPECT_EQ(L.Done[0], 0);
    EXPECT_EQ(L.S.DnsResult(), "nine.example");
    EXPECT_EQ(L.S.DnsResultList(), std::vector<std::string>{"nine.example"});
    L.S.StartAddressLookup("10.0.0.8");
    ASSERT_TRUE(PumpUntil([&] { return L.Done.size() == 2; }));
    EXPECT_EQ(L.Done[1], 11001);
    EXPECT_EQ(L.S.DnsResult(), "");
}
