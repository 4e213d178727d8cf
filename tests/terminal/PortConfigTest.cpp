// The port as the user picks, opens, reopens and closes it: the buttons and
// the log lines of the port's open and close events, on ptys listed as
// COM7 and COM8 and on the loopback plug.

#include "Pty.h"
#include "TerminalFixture.h"

#include <algorithm>

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
