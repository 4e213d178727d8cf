// The port as the user picks, opens, reopens and closes it: the buttons and
// the log lines of the port's open and close events, on ptys listed as
// COM7 and COM8 and on the loopback plug.

#include "Pty.h"
#include "TerminalFixture.h"

#include <algorithm>
#include <functional>

#include <unistd.h>

namespace {

class PortConfig : public TerminalFixture {
protected:
    void SetUp() override
    {
        TerminalFixture::SetUp();
        ASSERT_TRUE(com7.Ok() && com8.Ok());
        WriteRegistry(testsupport::NeutralSettings() + "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n\"" +
                      com7.SlavePath() + "\"=\"COM7\"\r\n\"" + com8.SlavePath() + "\"=\"COM8\"\r\n\r\n");
    }

    // A pick in the port list, as the user makes it.
    void Pick(const QString& port)
    {
        const int at = Form().ComboPort->findText(port);
        ASSERT_GE(at, 0) << port.toStdString();
        Form().ComboPort->setCurrentIndex(at);
        emit Form().ComboPort->activated(at);
    }
    // Another entry of a line-setting list, as the user picks it.
    static void PickEntry(QComboBox* list, int at)
    {
        list->setCurrentIndex(at);
        emit list->activated(at);
    }
    void ExpectButtons(bool open)
    {
        EXPECT_EQ(Form().CmdOpen->isEnabled(), !open);
        EXPECT_EQ(Form().CmdClose->isEnabled(), open);
        EXPECT_EQ(Form().Com->PortIsOpen(), open);
    }
    // The log lines since the last call.
    std::vector<std::string> NewLog()
    {
        std::vector<std::string> lines = Lines(Form().MemoOut);
        Form().MemoOut->SetText("");
        return lines;
    }

    TestPty com7, com8;
};

const std::string kNoLines7 = "COM7: keine Steuerleitungen (DTR/RTS ohne Wirkung)";
const std::string kNoLines8 = "COM8: keine Steuerleitungen (DTR/RTS ohne Wirkung)";

} // namespace

// A pty has no modem lines: the log says so once for each port the user
// picks, right behind its "offen" line, and not at the reopens of that port.
// Through every reopen the buttons stay those of an open port.
TEST_F(PortConfig, APortWithoutControlLinesIsToldOncePerPick)
{
    TForm1& f = Form();
    Pick("COM7");
    ExpectButtons(false);
    f.CmdOpen->click();
    ExpectButtons(true);
    EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port 7 offen.", kNoLines7}));

    PickEntry(f.ComboBaud, 6); // a settings change reopens
    ExpectButtons(true);
    f.CheckBreak->setChecked(true); // so does a break, on and off
    f.CheckBreak->setChecked(false);
    ExpectButtons(true);
    Pick("COM7"); // the same port picked again
    ExpectButtons(true);
    const std::vector<std::string> reopened = NewLog();
    ASSERT_FALSE(reopened.empty());
    EXPECT_EQ(std::ranges::count(reopened, kNoLines7), 0) << testing::PrintToString(reopened);
    EXPECT_EQ(reopened.back(), "Port 7 offen.");

    // A pick runs the port step twice, so each pick reopens twice.
    Pick("COM8");
    EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port geschlossen", "Port 8 offen.", kNoLines8, "Port geschlossen",
                                                  "Port 8 offen."}));
    Pick("COM7");
    EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port geschlossen", "Port 7 offen.", kNoLines7, "Port geschlossen",
                                                  "Port 7 offen."}));

    // The loopback plug has its lines.
    const int plug = f.ComboPort->count() - 1;
    ASSERT_EQ(f.ComboPort->itemData(plug, Qt::ToolTipRole).toString().left(8), QStringLiteral("loopback"));
    Pick(f.ComboPort->itemText(plug));
    const std::string plugOpen = "Port " + std::to_string(f.Com->PortNum()) + " offen.";
    EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port geschlossen", plugOpen, "Port geschlossen", plugOpen}));
    ExpectButtons(true);
    f.CmdClose->click();
    ExpectButtons(false);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// A line setting the device refuses while the port is open: the fixed text
// is shown, the port stays open on its old device settings, and the list and
// the port object hold the new value. The next reopen (a break) applies that
// value, fails and leaves the port closed, the buttons showing it.
TEST_F(PortConfig, ARefusedSettingKeepsThePortOpenAndTheNextReopenLeavesItClosed)
{
    const std::string refused = "Die Port-Einstellungen werden nicht unterst\xfctzt. (Databits, Stopbits etc.)";
    struct Row {
        const char* what;
        QComboBox* Ui::TForm1::*list;
        int bad, good;
        std::function<bool(TVaComm&)> holdsBad;
        std::string why; // the log's line
    };
    const Row rows[] = {
        {"4 data bits", &Ui::TForm1::ComboDatabits, 0, 4, [](TVaComm& c) { return c.Databits() == db4; },
         "COM7: Einstellung nicht unterst\xfctzt \x96 Datenbits 4"},
        {"1.5 stop bits with 8 data bits", &Ui::TForm1::ComboStopbits, 1, 0,
         [](TVaComm& c) { return c.Stopbits() == sb15; },
         "COM7: Einstellung nicht unterst\xfctzt \x96 Stoppbits 1,5 mit Datenbits 8"},
    };
    TForm1& f = Form();
    Pick("COM7");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QComboBox* list = f.*row.list;
        f.CmdOpen->click();
        ExpectButtons(true);
        NewLog();
        boxes.clear();

        PickEntry(list, row.bad);
        EXPECT_EQ(boxes, std::vector<std::string>{refused});
        ExpectButtons(true);
        EXPECT_EQ(NewLog(), std::vector<std::string>{row.why}) << "no reopen after the refusal";
        EXPECT_EQ(list->currentIndex(), row.bad);
        EXPECT_TRUE(row.holdsBad(*f.Com));
        EXPECT_EQ(com7.Settings().line.substr(0, 8), "115200 8") << "the device keeps what it had";

        f.CheckBreak->setChecked(true);
        EXPECT_EQ(boxes, (std::vector<std::string>{refused, refused}));
        ExpectButtons(false);
        EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port geschlossen", row.why}));

        // Closed: the good value is only stored, and the next open works.
        f.CheckBreak->setChecked(false);
        PickEntry(list, row.good);
        EXPECT_EQ(NewLog(), std::vector<std::string>{});
        ExpectButtons(false);
        f.CmdOpen->click();
        ExpectButtons(true);
        f.CmdClose->click();
        EXPECT_EQ(boxes.size(), 2u);
    }
}

// A reopen whose device has gone (a setting change, a break, a pick of the
// same or another port) leaves the port closed: the error is shown once,
// the log has the close and no open, Open is enabled and Close is not; once
// the device is back the Open button opens it.
TEST_F(PortConfig, AReopenWhoseDeviceHasGoneLeavesThePortClosed)
{
    const std::string link = dir.File("ttyGONE");
    ASSERT_EQ(::symlink(com8.SlavePath().c_str(), link.c_str()), 0);
    WriteRegistry(testsupport::NeutralSettings() + "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n\"" +
                  com7.SlavePath() + "\"=\"COM7\"\r\n\"" + link + "\"=\"COM9\"\r\n\r\n");
    struct Row {
        const char* what;
        const char* openFirst;
        std::function<void()> trigger;
    };
    const Row rows[] = {
        {"a setting change", "COM9", [this] { PickEntry(Form().ComboBaud, 6); }},
        {"a break", "COM9", [this] { Form().CheckBreak->setChecked(true); }},
        {"the same port picked again", "COM9", [this] { Pick("COM9"); }},
        {"a pick of that port", "COM7", [this] { Pick("COM9"); }},
    };
    TForm1& f = Form();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Pick(row.openFirst);
        f.CmdOpen->click();
        ExpectButtons(true);
        NewLog();
        boxes.clear();

        ASSERT_EQ(::unlink(link.c_str()), 0);
        row.trigger();
        EXPECT_EQ(boxes, std::vector<std::string>{"Es trat ein Ausnahmefehler auf:\r\nInvalid port number (COM9)"});
        ExpectButtons(false);
        EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port geschlossen",
                                                      "COM9: Ger\xe4t " + link + " nicht vorhanden \x96 Adapter "
                                                      "eingesteckt, Programm f\xfcr den Port gestartet?"}));
        EXPECT_EQ(f.Com->PortNum(), 9);

        ASSERT_EQ(::symlink(com8.SlavePath().c_str(), link.c_str()), 0);
        f.CheckBreak->setChecked(false);
        f.CmdOpen->click();
        ExpectButtons(true);
        EXPECT_EQ(NewLog().at(0), "Port 9 offen.");
        f.CmdClose->click();
        EXPECT_EQ(boxes.size(), 1u);
    }
}

// Picking a port that another program holds, while a port is open: the old
// port is closed, the new one cannot be opened, and the buttons show the
// port closed; once the other program lets go, Open opens the picked port.
TEST_F(PortConfig, PickingAPortAnotherProgramHoldsLeavesThePortClosed)
{
    TForm1& f = Form();
    Pick("COM7");
    f.CmdOpen->click();
    ExpectButtons(true);
    NewLog();
    auto other = std::make_unique<TVaComm>(nullptr);
    other->SetDeviceName(com8.SlavePath());
    other->OpenPort();
    ASSERT_TRUE(other->PortIsOpen());

    Pick("COM8");
    ASSERT_EQ(boxes.size(), 1u) << "the second run of the pick does not happen";
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\nCan't open device COM8");
    ExpectButtons(false);
    // The holder here is this very process.
    EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port geschlossen", "COM8: belegt von Prozess " +
                                                                          std::to_string(getpid()) + " (tests_terminal)"}));

    other.reset();
    f.CmdOpen->click();
    ExpectButtons(true);
    EXPECT_EQ(NewLog().at(0), "Port 8 offen.");
}

// The first start on a virtual port, no settings of the user's own: the
// port the list shows first opens, and every reopen (a setting, a break on
// and off) keeps it open under the first-start line settings (RTS/CTS flow,
// DTR released, TXEN inverted and ticked), nothing reported.
TEST_F(PortConfig, FirstStartSettingsReopenAVirtualPortWithoutComplaint)
{
    WriteRegistry(UserPorts("\"" + com7.SlavePath() + "\"=\"COM7\"\r\n\r\n"));
    TForm1& f = Form();
    ASSERT_EQ(f.ComboPort->currentText(), QStringLiteral("COM7"));
    NewLog();
    f.CmdOpen->click();
    ExpectButtons(true);
    PickEntry(f.ComboBaud, 6);
    ExpectButtons(true);
    f.CheckBreak->setChecked(true);
    f.CheckBreak->setChecked(false);
    ExpectButtons(true);
    EXPECT_EQ(NewLog(), (std::vector<std::string>{"Port 7 offen.", kNoLines7, "Port geschlossen", "Port 7 offen.",
                                                  "Port geschlossen", "Port 7 offen.", "Port geschlossen",
                                                  "Port 7 offen."}));
    EXPECT_EQ(com7.Settings().line, "9600 8N1 rtscts");
    EXPECT_TRUE(f.CheckTXEN->isChecked());
    EXPECT_EQ(boxes, std::vector<std::string>{});
}

// An entry whose text holds no port number: the conversion fails, the port
// number stays, and a port that was open has been closed by then and stays
// closed, the buttons showing it. The second run of the pick never happens.
TEST_F(PortConfig, AnEntryWithoutANumberLeavesThePortNumberAndAnOpenPortClosed)
{
    const std::pair<QString, std::string> rows[] = {
        {QStringLiteral("CO"), "''"}, {QStringLiteral("COMx"), "'x'"}, {QStringLiteral("COM7a"), "'7a'"}};
    TForm1& f = Form();
    for (const auto& [entry, shown] : rows) {
        SCOPED_TRACE(entry.toStdString());
        f.ComboPort->addItem(entry);
        for (bool open : {false, true}) {
            Pick("COM7");
            if (open)
                f.CmdOpen->click();
            ExpectButtons(open);
            NewLog();
            boxes.clear();
            Pick(entry);
            EXPECT_EQ(boxes, std::vector<std::string>{"Es trat ein Ausnahmefehler auf:\r\n" + shown +
                                                      " ist kein g\xfcltiger Integerwert"});
            EXPECT_EQ(f.Com->PortNum(), 7);
            ExpectButtons(false);
            EXPECT_EQ(NewLog(), open ? std::vector<std::string>{"Port geschlossen"} : std::vector<std::string>{});
        }
    }
}
