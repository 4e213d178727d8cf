// The terminal's data paths on the loopback plug: received bytes in lines,
// a send on a held line, TXEN switched on DTR, a port that vanishes.

#include "Pty.h"
#include "TerminalFixture.h"

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

class DataPath : public NeutralFixture {
protected:
    void OpenLoopback(TVaBaudrate rate = br115200)
    {
        Form().Com->SetDeviceName("loopback");
        Form().Com->SetBaudrate(rate);
        Form().CmdOpen->click();
        ASSERT_TRUE(Form().Com->PortIsOpen()) << (boxes.empty() ? "" : boxes.back());
    }
    // Opens the plug with DTR released, as "dtrDisable" leaves it.
    void OpenWithDtrReleased(TVaBaudrate rate = br115200)
    {
        Form().Com->SetDTRControl(dtrDisable);
        OpenLoopback(rate);
        ASSERT_FALSE(Dtr());
    }
    // Writes bytes on the open port; they come back through the plug.
    void Echo(const std::string& bytes) { ASSERT_TRUE(Form().Com->WriteString(bytes)); }
    bool Dtr() const { return loopback::CurrentTrace().dtr; }
};

} // namespace

TEST_F(DataPath, ArrivalsCloseTogetherMakeOneLine)
{
    OpenLoopback(br115200);
    Form().MemoIn->SetText("");
    for (int i = 0; i < 10; ++i) {
        Echo(std::string(1, static_cast<char>('0' + i)));
        PumpFor(5);
    }
    ASSERT_TRUE(PumpUntil([&] { return !Lines(Form().MemoIn).empty(); }));
    PumpFor(300);
    EXPECT_EQ(Lines(Form().MemoIn), std::vector<std::string>{"10 Byte empfangen:0123456789"});
}

TEST_F(DataPath, HeldLineMakesTheSendFailCleanly)
{
    OpenLoopback();
    Form().Com->SetWriteTimeout(200);
    // As if XOFF had been received: the transmitter holds.
    Form().CheckXon->setChecked(true);
    Form().CheckXon->setChecked(false);
    Form().MemoOut->SetText("");
    Form().SendText(std::string(200, 'h'));
    EXPECT_EQ(Lines(Form().MemoOut), std::vector<std::string>{"Fehler beim Senden"});
    EXPECT_TRUE(boxes.empty());
}

TEST_F(DataPath, TxenPolarityFollowsBothBoxes)
{
    OpenWithDtrReleased();
    TForm1& f = Form();
    f.CheckInvTXEN->setChecked(true);
    EXPECT_TRUE(Dtr()); // receive state, inverted
    f.CheckTXEN->setChecked(true);
    EXPECT_FALSE(Dtr());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Senden)"));
    f.CheckInvTXEN->setChecked(false);
    EXPECT_TRUE(Dtr());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Senden)"));
    f.CheckTXEN->setChecked(false);
    EXPECT_FALSE(Dtr());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Empfangen)"));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(DataPath, AutoSwitchDrivesDtrAroundAUserSend)
{
    OpenWithDtrReleased(br9600);
    TForm1& f = Form();
    f.CheckSwitchTXENOnTXEmpty->setChecked(true);
    f.CheckTXEmpty->setChecked(true);
    f.MemoOut->SetText("");
    f.EditSend->setText("AB");
    f.CmdSend->click();
    // Switched to transmit before the write returned.
    EXPECT_TRUE(Dtr());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Senden)"));
    ASSERT_TRUE(PumpUntil([&] { return !Dtr(); }));
    EXPECT_FALSE(f.CheckTXEN->isChecked());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Empfangen)"));
    EXPECT_EQ(Lines(f.MemoOut), (std::vector<std::string>{"AB", "TXempty / Sendebuffer leer"}));
    // Released only once the last stop bit was out.
    loopback::Trace trace = loopback::CurrentTrace();
    ASSERT_FALSE(trace.lineChanges.empty());
    EXPECT_FALSE(trace.lineChanges.back().dtr);
    EXPECT_GE(trace.lineChanges.back().at, trace.lastStopBitOut);
}

// Nothing to transmit means no transmit-empty event to switch TXEN back:
// an empty send must not key the driver, or the bus stays blocked.
TEST_F(DataPath, AnEmptySendLeavesTxenWhereItWas)
{
    OpenWithDtrReleased();
    TForm1& f = Form();
    f.CheckSwitchTXENOnTXEmpty->setChecked(true);
    f.CheckCRNL->setChecked(false);
    f.EditSend->setText("");
    for (bool txen : {false, true}) {
        f.CheckTXEN->setChecked(txen);
        f.MemoOut->SetText("");
        f.CmdSend->click();
        EXPECT_EQ(f.CheckTXEN->isChecked(), txen);
        EXPECT_EQ(Dtr(), txen);
        // Logged as before: an empty line.
        EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{""});
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(DataPath, VanishingPortIsReportedOnceAndLeftClosed)
{
    TestPty gone;
    ASSERT_TRUE(gone.Ok());
    TForm1& f = Form();
    f.Com->SetDeviceName(gone.SlavePath());
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen());
    f.MemoOut->SetText("");
    gone.CloseMaster(); // the adapter is pulled out
    ASSERT_TRUE(PumpUntil([&] { return !f.Com->PortIsOpen(); }));
    PumpFor(300); // nothing more follows: no second report, no busy loop
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Es trat ein Ausnahmefehler auf:\r\nRead error (", 0), 0u) << boxes[0];
    EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{"Port geschlossen"});
    // The buttons show what happened: the port can be opened again at once.
    EXPECT_TRUE(f.CmdOpen->isEnabled());
    EXPECT_FALSE(f.CmdClose->isEnabled());

    // Another port opens as usual afterwards, from its button.
    OpenLoopback();
    EXPECT_FALSE(f.CmdOpen->isEnabled());
    EXPECT_TRUE(f.CmdClose->isEnabled());
}

TEST_F(DataPath, BatchesFarAboveSerialRatesAreShownInBoundedLines)
{
    Form().MemoIn->SetText("");
    PendingRxText = std::string(2 * TForm1::kMaxRxLine + 100, 'z');
    Form().TimerUpdateMemoInTimer(nullptr);
    EXPECT_EQ(BatchCounts(Lines(Form().MemoIn)),
              (std::vector<size_t>{TForm1::kMaxRxLine, TForm1::kMaxRxLine, 100}));
    EXPECT_TRUE(PendingRxText.empty());
}
