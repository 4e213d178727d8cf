// The terminal's data paths on the loopback plug: received bytes in lines
// and batches, sends with their escapes and on a held line, TXEN switched
// on DTR, a port that vanishes.

#include "DecodeText.h"
#include "InterlinkFrames.h"
#include "LoopbackPair.h"
#include "Pty.h"
#include "TerminalFixture.h"

#include <QTest>

#include <numeric>
#include <thread>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

class DataPath : public NeutralFixture {
protected:
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


size_t Sum(const std::vector<size_t>& v) { return std::accumulate(v.begin(), v.end(), size_t{0}); }

// Collects the Interlink frames a peer socket receives.
struct FrameCollector {
    explicit FrameCollector(net::TWSocket& socket)
    {
        socket.OnDataAvailable = [this, &socket](rtl::TObject*, uint16_t) {
            stream += socket.ReceiveAvailable();
            while (stream.size() >= 3) {
                size_t total = static_cast<unsigned char>(stream[1]) + 256u * static_cast<unsigned char>(stream[2]);
                if (stream[0] != 'L' || total < 3 || stream.size() < total)
                    break;
                payloads.push_back(stream.substr(3, total - 3));
                stream.erase(0, total);
            }
        };
    }
    // Data bytes of every payload of a kind, in order.
    std::string DataOf(const std::string& kind) const
    {
        std::string data;
        for (const std::string& p : payloads)
            if (p.compare(0, 4, kind) == 0)
                data += p.substr(4 + terminal::InterlinkTimeStamp().size());
        return data;
    }
    size_t CountOf(const std::string& kind) const
    {
        return std::count_if(payloads.begin(), payloads.end(), [&](auto& p) { return p.compare(0, 4, kind) == 0; });
    }
    std::string stream;
    std::vector<std::string> payloads;
};

// DataPath with an Interlink peer attached.
class DataPathRules : public DataPath {
protected:
    // A connected socket pair whose client end the window takes as an
    // Interlink peer; the frames it is sent arrive at the returned collector.
    FrameCollector& AttachPeer()
    {
        link = std::make_unique<nettest::LoopbackPair>();
        EXPECT_TRUE(link->Connect());
        peer = std::make_unique<FrameCollector>(*link->Server);
        InterlinkPeers.push_back(link->Client.get());
        return *peer;
    }

    std::unique_ptr<nettest::LoopbackPair> link;
    std::unique_ptr<FrameCollector> peer;
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

// No settings file: the window as a first start has it (300 bit/s, CR LF
// appended).
class FirstStartDataPath : public TerminalFixture {};

TEST_F(FirstStartDataPath, ALineOfTwoSecondsOnTheWireIsSentWhole)
{
    TForm1& f = Form();
    ASSERT_EQ(f.Com->Baudrate(), br300);
    f.Com->SetDeviceName("loopback");
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen());
    const std::string line(60, 'w');
    f.MemoOut->SetText("");
    f.EditSend->setText(QString::fromStdString(line));
    f.CmdSend->click();
    EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{line + "<13><10>"});
    ASSERT_TRUE(PumpUntil([&] { return Sum(BatchCounts(Lines(f.MemoIn))) >= line.size() + 2; }));
    EXPECT_EQ(Sum(BatchCounts(Lines(f.MemoIn))), line.size() + 2);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FirstStartDataPath, OutputHeldWithXonStaysHeldOverAReopenButNotIntoTheNextSession)
{
    TestPty pty(true);
    ASSERT_TRUE(pty.Ok());
    {
        TForm1& f = Form();
        f.Com->SetDeviceName(pty.SlavePath());
        f.CmdOpen->click();
        ASSERT_TRUE(f.Com->PortIsOpen());
        f.CheckXon->setChecked(true);
        f.CheckXon->setChecked(false); // as if XOFF had been received
        f.ReOpenCom();
        f.Com->SetWriteTimeout(100);
        f.MemoOut->SetText("");
        f.SendText("held");
        EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{"Fehler beim Senden"});
    }
    form.reset(); // the program ends with the line's output stopped

    TForm1& f = Form();
    ASSERT_FALSE(f.CheckXon->isChecked());
    f.Com->SetDeviceName(pty.SlavePath());
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen());
    pty.Drain();
    pty.Forget();
    f.MemoOut->SetText("");
    f.EditSend->setText("free");
    f.CmdSend->click();
    EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{"free<13><10>"});
    ASSERT_TRUE(PumpUntil([&] {
        pty.Drain();
        return pty.Transmitted().size() >= 6;
    }));
    EXPECT_EQ(pty.Transmitted(), "free\r\n");
    EXPECT_TRUE(boxes.empty()) << boxes.front();
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
    ASSERT_TRUE(PumpUntil([&] { return !f.CheckTXEN->isChecked(); }));
    EXPECT_FALSE(Dtr());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Empfangen)"));
    EXPECT_EQ(Lines(f.MemoOut), (std::vector<std::string>{"AB", "TXempty / Sendebuffer leer"}));
    // Released only once the last stop bit was out.
    loopback::Trace trace = loopback::CurrentTrace();
    ASSERT_FALSE(trace.lineChanges.empty());
    EXPECT_FALSE(trace.lineChanges.back().dtr);
    EXPECT_GE(trace.lineChanges.back().at, trace.lastStopBitOut);
}

// A busy window must not hold the bus: the device lets TXEN go at the last
// stop bit of a user send while the window is still blocked (inverted
// polarity: DTR goes up), and the box follows when the window gets to it.
// A write the user's send did not key (a remote SEND) is released by the
// window's own transmit-empty handler, as before. A hand switch during the
// send leaves the line as the box shows it.
TEST_F(DataPath, TheDeviceLetsTxenGoWhileTheWindowIsBusyAndTheBoxFollows)
{
    OpenWithDtrReleased(br9600);
    TForm1& f = Form();
    f.CheckInvTXEN->setChecked(true);
    f.CheckSwitchTXENOnTXEmpty->setChecked(true);
    f.CheckCRNL->setChecked(false);
    EXPECT_TRUE(Dtr()) << "inverted receive: DTR asserted";
    f.EditSend->setText("frame");
    f.CmdSend->click();
    EXPECT_FALSE(Dtr());
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // the window busy; 5.2 ms on the wire
    EXPECT_TRUE(Dtr()) << "let go by the device";
    EXPECT_TRUE(f.CheckTXEN->isChecked()) << "the box waits for the window";
    ASSERT_TRUE(PumpUntil([&] { return !f.CheckTXEN->isChecked(); }));
    EXPECT_TRUE(Dtr());

    f.CheckTXEN->setChecked(true);
    f.SendText("remote");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(Dtr()) << "not keyed by a user send: the window releases it";
    ASSERT_TRUE(PumpUntil([&] { return !f.CheckTXEN->isChecked(); }));
    EXPECT_TRUE(Dtr());

    f.EditSend->setText(QString(40, QLatin1Char('x')));
    f.CmdSend->click(); // returns with 16 characters still to go out
    f.CheckTXEN->setChecked(false);
    f.CheckTXEN->setChecked(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_FALSE(Dtr()) << "the hand switch has the last word over the device";
    ASSERT_TRUE(PumpUntil([&] { return !f.CheckTXEN->isChecked(); }));
    EXPECT_EQ(Dtr(), f.CheckTXEN->isChecked() != f.CheckInvTXEN->isChecked());
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
    // Without "automatisch wieder verbinden": the port does not wait.
    f.CheckReconnect->setChecked(false);
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

// Data far faster than any serial line must not pile up without bound: the
// arrival that brings the pending bytes to the cap shows them at once,
// without waiting for a timer; one byte less waits for the timers as usual.
TEST_F(DataPath, AnArrivalThatReachesThePendingCapShowsTheBatchAtOnce)
{
    TForm1& f = Form();
    const struct {
        size_t pending;
        bool atOnce;
    } rows[] = {{TForm1::kMaxPendingRx - 1, false}, {TForm1::kMaxPendingRx, true}, {TForm1::kMaxPendingRx + 1, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pending);
        f.MemoIn->SetText("");
        PendingRxText = std::string(row.pending, 'c');
        // The port is closed: the arrival reads nothing more.
        f.ComRxChar(f.Com.get(), 0);
        if (row.atOnce) {
            EXPECT_TRUE(PendingRxText.empty());
            EXPECT_EQ(Sum(BatchCounts(Lines(f.MemoIn))), row.pending);
            EXPECT_FALSE(f.TimerUpdateMemoIn->isActive());
            EXPECT_FALSE(f.TimerUpdateFinally->isActive());
        } else {
            EXPECT_EQ(PendingRxText.size(), row.pending);
            EXPECT_EQ(f.MemoIn->Text(), "");
            EXPECT_TRUE(f.TimerUpdateMemoIn->isActive());
            EXPECT_TRUE(f.TimerUpdateFinally->isActive());
            f.TimerUpdateMemoInTimer(f.TimerUpdateMemoIn);
            EXPECT_EQ(Sum(BatchCounts(Lines(f.MemoIn))), row.pending);
        }
    }
}


// A full pane drops its oldest whole lines and says so once per pane and
// session; the peers still get every byte, and the log goes on when it fills.
TEST_F(DataPathRules, AFullPaneDropsOldLinesAndSaysSoOnceWhileThePeersGetEveryByte)
{
    FrameCollector& peer = AttachPeer();
    TForm1& f = Form();
    f.MemoIn->SetCapacity(1u << 20);
    f.MemoOut->SetCapacity(1u << 20);
    f.MemoOut->SetText("");
    std::string all;
    for (int i = 0; i < 120; ++i) {
        PendingRxText = std::string(10000, static_cast<char>('a' + i % 26));
        all += PendingRxText;
        f.TimerUpdateMemoInTimer(f.TimerUpdateMemoIn);
    }
    EXPECT_LE(f.MemoIn->Content().Size(), 1u << 20);
    const std::vector<std::string> lines = Lines(f.MemoIn);
    // Whole lines left: the first one kept is a whole batch line.
    EXPECT_EQ(lines.front().size(), 10021u);
    EXPECT_EQ(lines.front().compare(0, 21, "10000 Byte empfangen:"), 0);
    EXPECT_TRUE(f.MemoIn->AtEnd());
    EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{"Empfangsfenster voll: \xe4lteste Zeilen entfernt"});
    ASSERT_TRUE(PumpUntil([&] { return peer.DataOf("RCVD").size() >= all.size(); }));
    EXPECT_TRUE(peer.DataOf("RCVD") == all);

    for (int i = 0; i < 30; ++i)
        f.LogOut(std::string(50000, 'l'));
    const std::string log = f.MemoOut->Text();
    EXPECT_EQ(log.find("Protokollfenster voll"), log.rfind("Protokollfenster voll"));
    EXPECT_NE(log.find("Protokollfenster voll: \xe4lteste Zeilen entfernt\r\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 7), "lllll\r\n");
}

TEST_F(DataPathRules, EveryByteValueReachesThePaneAndTheNotificationUnchanged)
{
    FrameCollector& peer = AttachPeer();
    OpenLoopback();
    Form().CheckDecode->setChecked(true);
    Form().MemoIn->SetText("");

    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    Echo(all);
    ASSERT_TRUE(PumpUntil([&] { return peer.DataOf("RCVD").size() >= all.size(); }));

    EXPECT_EQ(peer.DataOf("RCVD"), all);
    // Rewritten in the pane, counted raw.
    std::string shown;
    for (const std::string& line : Lines(Form().MemoIn))
        shown += line.substr(line.find(':') + 1);
    EXPECT_EQ(shown, terminal::DecodeText(all));
    EXPECT_EQ(Sum(BatchCounts(Lines(Form().MemoIn))), 256u);
}

TEST_F(DataPathRules, ZeroByteIsShownAsEscapeEitherWay)
{
    Form().MemoIn->SetText("");
    PendingRxText = std::string(1, '\0');
    Form().TimerUpdateMemoInTimer(nullptr);
    Form().CheckDecode->setChecked(true);
    PendingRxText = std::string("\x1f \x7e\x7f\xff", 5);
    Form().TimerUpdateMemoInTimer(nullptr);
    Form().CheckDecode->setChecked(false);
    PendingRxText = "\r";
    Form().TimerUpdateMemoInTimer(nullptr);
    EXPECT_EQ(Form().MemoIn->Text(), "1 Byte empfangen:<0>\r\n5 Byte empfangen:<31> ~<127><255>\r\n1 Byte empfangen:\r\r\n");
    EXPECT_TRUE(PendingRxText.empty());
}

TEST_F(DataPathRules, SteadyStreamMakesALineAboutEvery200ms)
{
    OpenLoopback(br115200);
    Form().MemoIn->SetText("");
    size_t sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1200) {
        Echo("x");
        ++sent;
        PumpFor(10);
    }
    ASSERT_TRUE(PumpUntil([&] { return Sum(BatchCounts(Lines(Form().MemoIn))) == sent; }));
    size_t lines = BatchCounts(Lines(Form().MemoIn)).size();
    // Six deadlines fit in 1.2 s; a stalled machine may merge or split one.
    EXPECT_GE(lines, 4u);
    EXPECT_LE(lines, 9u);
}

TEST_F(DataPathRules, EnterSendsWithEscapesAndKeepsTheText)
{
    OpenLoopback();
    Form().MemoOut->SetText("");
    Form().MemoIn->SetText("");
    Form().CheckDecode->setChecked(true);
    Form().CheckCRNL->setChecked(true);
    Form().EditSend->setText("<13");
    Form().EditSend->setFocus();
    QTest::keyClick(Form().EditSend, Qt::Key_Return);
    QTest::keyClick(Form().EditSend, Qt::Key_Enter);
    EXPECT_EQ(Form().EditSend->text(), QStringLiteral("<13"));
    EXPECT_EQ(Lines(Form().MemoOut), (std::vector<std::string>{"<13><13><10>", "<13><13><10>"}));
    ASSERT_TRUE(PumpUntil([&] { return Sum(BatchCounts(Lines(Form().MemoIn))) == 6; }));
}

TEST_F(DataPathRules, SendOpensAClosedPortFirst)
{
    Form().Com->SetDeviceName("loopback");
    Form().MemoOut->SetText("");
    Form().SendText("hi");
    EXPECT_TRUE(Form().Com->PortIsOpen());
    EXPECT_FALSE(Form().CmdOpen->isEnabled());
    EXPECT_EQ(Lines(Form().MemoOut), (std::vector<std::string>{"Port 1 offen.", "hi"}));
}

TEST_F(DataPathRules, FailedOpenSendsNothingAndLogsOnlyWhy)
{
    Form().Com->SetDeviceName(dir.File("missing"));
    Form().MemoOut->SetText("");
    Form().EditSend->setText("x");
    Form().CmdSend->click();
    EXPECT_EQ(Lines(Form().MemoOut),
              std::vector<std::string>{"COM1: Ger\xe4t " + dir.File("missing") +
                                       " nicht vorhanden \x96 Adapter eingesteckt, Programm f\xfcr den Port gestartet?"});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\nInvalid port number (COM1)");
}

TEST_F(DataPathRules, AHeldPortAndARefusedSettingAreExplainedInTheLog)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    TForm1& f = Form();
    f.Com->SetDeviceName(pty.SlavePath());
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen());
    f.MemoOut->SetText("");
    // A pty carries no parity: the device refuses "Even" while open.
    f.ComboParity->setCurrentIndex(0);
    emit f.ComboParity->activated(0);
    EXPECT_EQ(Lines(f.MemoOut),
              std::vector<std::string>{"COM1: Einstellung nicht unterst\xfctzt \x96 Parit\xe4t Even"});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Die Port-Einstellungen werden nicht unterst\xfctzt. (Databits, Stopbits etc.)");

    // A second window on the same device: held by this process.
    TVaComm other;
    other.SetDeviceName(pty.SlavePath());
    other.SetPortNum(1);
    f.Com->ClosePort();
    other.OpenPort();
    f.MemoOut->SetText("");
    boxes.clear();
    f.CmdOpen->click();
    ASSERT_FALSE(f.Com->PortIsOpen());
    EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{"COM1: belegt von Prozess " + std::to_string(getpid()) +
                                                         " (tests_terminal)"});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\nCan't open device COM1");
}

TEST_F(DataPathRules, LongEntryGoesOutInOneWrite)
{
    FrameCollector& peer = AttachPeer();
    OpenLoopback(br256000);
    Form().Com->SetWriteTimeout(20000);
    std::string text(100000, 'q');
    Form().EditSend->setText(QString::fromStdString(text));
    ASSERT_EQ(Form().EditSend->text().size(), 100000);
    Form().MemoOut->SetText("");
    Form().CmdSend->click();
    // Compared without printing 100 kB when they differ.
    EXPECT_TRUE(Lines(Form().MemoOut) == std::vector<std::string>{text});
    ASSERT_TRUE(PumpUntil([&] { return peer.DataOf("SENT").size() >= text.size(); }));
    EXPECT_TRUE(peer.DataOf("SENT") == text);
    EXPECT_GE(peer.CountOf("SENT"), 2u); // too long for one frame
}

TEST_F(DataPathRules, CtrlTTogglesTxenFromAnyControl)
{
    OpenWithDtrReleased();
    TForm1& f = Form();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    size_t changes = loopback::CurrentTrace().lineChanges.size();
    f.MemoIn->setFocus();
    QTest::keyClick(f.MemoIn, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(f.CheckTXEN->isChecked());
    EXPECT_TRUE(Dtr());
    f.ComboBaud->setFocus();
    QTest::keyClick(f.ComboBaud, Qt::Key_T, Qt::ControlModifier);
    EXPECT_FALSE(f.CheckTXEN->isChecked());
    EXPECT_FALSE(Dtr());
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Empfangen)"));
    EXPECT_EQ(loopback::CurrentTrace().lineChanges.size(), changes + 2);
}

TEST_F(DataPathRules, BreakReopensOnlyAnOpenPort)
{
    TForm1& f = Form();
    f.Com->SetDeviceName("loopback");
    f.MemoOut->SetText("");
    f.CheckBreak->setChecked(true);
    f.CheckBreak->setChecked(false);
    EXPECT_EQ(f.MemoOut->Text(), "");
    OpenLoopback();
    f.MemoOut->SetText("");
    f.CheckBreak->setChecked(true);
    EXPECT_EQ(Lines(f.MemoOut), (std::vector<std::string>{"Port geschlossen", "Port 1 offen."}));
    EXPECT_TRUE(f.Com->PortIsOpen());
    EXPECT_TRUE(f.CmdClose->isEnabled());
}

TEST_F(DataPathRules, ReceivedBreakIsNotedInTheReceivePane)
{
    OpenLoopback(br9600);
    Form().MemoIn->SetText("");
    Form().Com->SetBreakLine(true);
    PumpFor(20); // longer than one character at 9600 bit/s
    Form().Com->SetBreakLine(false);
    ASSERT_TRUE(PumpUntil([&] { return Form().MemoIn->Text().find("Break-Event") != std::string::npos; }));
}
