// The SOCKS settings, line mode and the synchronous waits.
#include "LoopbackPair.h"

#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

TEST(SocksSettings, SettingASocksServerIsRefusedPlainly)
{
    TWSocket S;
    EXPECT_EQ(Raised([&] { S.SetSocksServer("proxy.example"); }),
              "SOCKS proxy negotiation is not available; SocksServer must stay empty");
    EXPECT_EQ(S.SocksServer(), "");
    S.SetSocksServer(""); // empty is what it is anyway
}

TEST(SocksSettings, LevelMustBeFourFourAOrFive)
{
    TWSocket S;
    EXPECT_EQ(S.SocksLevel(), "5");
    S.SetSocksLevel("4a");
    EXPECT_EQ(S.SocksLevel(), "4A");
    EXPECT_EQ(Raised([&] { S.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(S.SocksLevel(), "4A");
}

TEST(LineMode, SwitchingOffReplaysWhatWasCollectedAndThenPassesBytesAsTheyCome)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    P.Server->SetLineMode(true);
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    P.Client->SendString("partial");
    PumpFor(100);
    EXPECT_EQ(Got, "");
    P.Server->SetLineMode(false);
    ASSERT_TRUE(PumpUntil([&] { return Got == "partial"; }));
    P.Client->SendString(" no line end");
    ASSERT_TRUE(PumpUntil([&] { return Got == "partial no line end"; }));
}

TEST(LineMode, EditTakesBackBytesBeforeTheLineIsOffered)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Line;
    P.Server->SetLineMode(true);
    P.Server->LineEdit = true;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Line += P.Server->ReceiveAvailable(); };
    P.Client->SendString("abx\bc\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !Line.empty(); }));
    EXPECT_EQ(Line, "abc\r\n");
}

TEST(LineMode, AnOverlongLineIsReportedAndDropped)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Reported = 0;
    std::string Got;
    P.Server->SetLineMode(true);
    P.Server->LineLimit = 10;
    P.Server->OnLineLimitExceeded = [&](rtl::TObject*, int, bool&) { ++Reported; };
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    P.Client->SendString("0123456789abcdef");
    ASSERT_TRUE(PumpUntil([&] { return Reported == 1; }));
    P.Client->SendString("ok\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !Got.empty(); }));
    EXPECT_EQ(Got, "ok\r\n");
}

TEST(SyncWait, WaitUntilDoneReturnsOnceTheFlagIsSet)
{
    LoopbackPair P;
    bool Connected = false;
    P.Client->OnSessionConnected = [&](rtl::TObject*, uint16_t) { Connected = true; };
    EXPECT_EQ(P.Client->RunAndWait([&] { P.Client->BeginConnect(); }, Connected), 0);
    EXPECT_EQ(P.Client->State(), wsConnected);
}

TEST(SyncWait, WaitUntilDoneGivesUpAfterItsTimeLimit)
{
    TWSocket S;
    S.Timeout = 20;
    bool Never = false;
    EXPECT_EQ(S.WaitUntilDone(Never), 12001);
}

// The peer's last line without a line end is still what it sent: it is
// offered before the close is reported. Until then it is not handed out.
TEST(LineMode, AnUnfinishedLastLineIsOfferedBeforeTheClose)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::vector<std::string> Seen;
    P.Server->SetLineMode(true);
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Seen.push_back(P.Server->ReceiveAvailable()); };
    P.Server->OnSessionClosed = [&](rtl::TObject*, uint16_t) { Seen.push_back("closed"); };
    P.Client->SendString("one\r\ntail");
    ASSERT_TRUE(PumpUntil([&] { return Seen.size() == 1; }));
    PumpFor(50);
    char Buf[16];
    EXPECT_EQ(P.Server->ReceiveInto(Buf, sizeof Buf), -1) << "an unfinished line is not handed out";
    EXPECT_EQ(P.Server->LastError(), 10035);
    P.Client->CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return Seen.size() == 3; }));
    EXPECT_EQ(Seen, (std::vector<std::string>{"one\r\n", "tail", "closed"}));
}

TEST(LineMode, EchoSendsBackWhatCameAndEditReachesIntoThePartOfTheLineAlreadyThere)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Line, Echoed;
    P.Server->SetLineMode(true);
    P.Server->LineEcho = true;
    P.Server->LineEdit = true;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Line += P.Server->ReceiveAvailable(); };
    P.Client->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Echoed += P.Client->ReceiveAvailable(); };
    P.Client->SendString("abx");
    ASSERT_TRUE(PumpUntil([&] { return Echoed == "abx"; }));
    P.Client->SendString("\x7f\bc\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !Line.empty(); }));
    EXPECT_EQ(Line, "ac\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Echoed == "abx\x7f\bc\r\n"; })) << "echoed as it came, unedited";
}

// Line mode with nobody reading drops the lines instead of hoarding them;
// without a line end every piece is a line of its own.
TEST(LineMode, LinesNobodyReadsAreDroppedAndWithoutALineEndEachPieceIsALine)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Server->SetLineMode(true);
    P.Client->SendString("lost\r\n");
    PumpFor(50);
    EXPECT_EQ(P.Server->RcvdCount(), 0);
    std::vector<std::string> Got;
    P.Server->LineEnd = "";
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got.push_back(P.Server->ReceiveAvailable()); };
    P.Client->SendString("piece");
    ASSERT_TRUE(PumpUntil([&] { return !Got.empty(); }));
    EXPECT_EQ(Got, std::vector<std::string>{"piece"});
}
