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

TEST(ResolvePortNumber, ANumberWithBlanksIsTakenAsTheNumber)
{
    EXPECT_EQ(ResolvePortNumber("  8080 ", " tcp"), 8080);
    EXPECT_EQ(nettest::Raised([] { ResolvePortNumber("no-such-service", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
}
