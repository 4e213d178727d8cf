// The port list while devices come and go, and an open port whose device
// goes away: on a pty behind a link (what `socat link=` makes), on a first
// start (only the user's port entry in the settings file), and on fixture
// ttys that appear and vanish while the window runs.

#include "DecodeText.h"
#include "PortListWatch.h"
#include "Pty.h"
#include "TerminalFixture.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testsupport::PumpFor;
using testsupport::PumpUntil;

const std::string kGone = "COM7: Ger\xe4t entfernt \x96 warte auf R\xfc" "ckkehr";
const std::string kBack = "COM7: wieder verbunden";

// The log pane shows the line as the first start's "umschreiben" box does.
bool HasLine(const TMemo* memo, const std::string& line)
{
    return memo->Text().find(terminal::DecodeText(line)) != std::string::npos;
}

class PortListFollows : public TerminalFixture {
protected:
    void SetUp() override
    {
        TerminalFixture::SetUp();
        link = dir.Path() + "/ttyV0";
        WriteRegistry(UserPorts("\"" + link + "\"=\"COM7\"\r\n\r\n"));
    }
    // What `socat link=` does: a new pty, reached through the same link.
    std::unique_ptr<TestPty> Plug()
    {
        auto pty = std::make_unique<TestPty>(true);
        fs::remove(link);
        fs::create_symlink(pty->SlavePath(), link);
        return pty;
    }
    // socat ending: the far end closes and the link goes.
    void Unplug(TestPty& pty)
    {
        pty.CloseMaster();
        fs::remove(link);
    }
    void OpenCom7()
    {
        TForm1& f = Form();
        const int at = f.ComboPort->findText(QStringLiteral("COM7"));
        ASSERT_GE(at, 0);
        f.ComboPort->setCurrentIndex(at);
        emit f.ComboPort->activated(at);
        f.CmdOpen->click();
        ASSERT_TRUE(f.Com->PortIsOpen()) << (boxes.empty() ? "" : boxes.back());
    }
    // A byte string each way: typed and sent, and from the far end.
    void ExpectBytesFlow(TestPty& pty, const std::string& tag)
    {
        TForm1& f = Form();
        f.EditSend->setText(QString::fromStdString("to " + tag));
        f.CmdSend->click();
        EXPECT_TRUE(PumpUntil([&] {
            pty.Drain();
            return pty.Transmitted().find("to " + tag) != std::string::npos;
        }, 5000)) << pty.Transmitted();
        ASSERT_TRUE(pty.Write("from " + tag));
        EXPECT_TRUE(PumpUntil([&] { return f.MemoIn->Text().find("from " + tag) != std::string::npos; }, 5000));
    }

    std::string link;
};

// The box ticked (as on a first start): no message box, the log says the
// device went, the port opens again by itself with the same line settings
// when the link is back, and bytes flow both ways. A second time, Close
// Port ends the wait: the returning link is then left alone.
TEST_F(PortListFollows, ThePortWaitsForItsDeviceAndOpensAgainWhenItIsBack)
{
    auto pty = Plug();
    TForm1& f = Form();
    ASSERT_TRUE(f.CheckReconnect->isChecked());
    OpenCom7();
    ExpectBytesFlow(*pty, "first");
    const std::string settings = pty->Settings().line;

    Unplug(*pty);
    ASSERT_TRUE(PumpUntil([&] { return HasLine(f.MemoOut, kGone); }, 5000)) << f.MemoOut->Text();
    EXPECT_TRUE(boxes.empty()) << boxes[0];
    EXPECT_FALSE(f.Com->PortIsOpen());
    EXPECT_TRUE(f.CmdOpen->isEnabled());
    EXPECT_TRUE(f.WaitingForDevice());
    EXPECT_EQ(f.ComboPort->currentText(), QStringLiteral("COM7 (fehlt)"));
    EXPECT_EQ(f.ChosenPortName(), "COM7");
    // A send while it waits fails as on a closed port (the device is not
    // there to be opened).
    f.EditSend->setText(QStringLiteral("lost"));
    f.CmdSend->click();
    const size_t boxesSoFar = boxes.size();

    pty = Plug();
    ASSERT_TRUE(PumpUntil([&] { return f.Com->PortIsOpen(); }, 3000)) << f.MemoOut->Text();
    EXPECT_TRUE(HasLine(f.MemoOut, kBack));
    EXPECT_FALSE(f.WaitingForDevice());
    EXPECT_FALSE(f.CmdOpen->isEnabled());
    EXPECT_TRUE(f.CmdClose->isEnabled());
    EXPECT_EQ(f.ComboPort->currentText(), QStringLiteral("COM7"));
    EXPECT_EQ(pty->Settings().line, settings);
    ExpectBytesFlow(*pty, "second");
    EXPECT_EQ(pty->Transmitted().find("lost"), std::string::npos);

    Unplug(*pty);
    ASSERT_TRUE(PumpUntil([&] { return f.WaitingForDevice(); }, 5000));
    f.CmdClose->click();
    EXPECT_FALSE(f.WaitingForDevice());
    EXPECT_TRUE(HasLine(f.MemoOut, "COM7: Warten beendet"));
    pty = Plug();
    PumpFor(3 * serialdevices::PortListWatch::kSettleMs + 300);
    EXPECT_FALSE(f.Com->PortIsOpen());
    EXPECT_EQ(boxes.size(), boxesSoFar);
}

// Unticked: as before, the failure is a message box and the port stays
// closed when the device is back.
TEST_F(PortListFollows, UntickedTheVanishedDeviceIsAnErrorAndThePortStaysClosed)
{
    auto pty = Plug();
    TForm1& f = Form();
    f.CheckReconnect->setChecked(false);
    OpenCom7();
    Unplug(*pty);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }, 5000));
    EXPECT_EQ(boxes[0].rfind("Es trat ein Ausnahmefehler auf:\r\nRead error (5)", 0), 0u) << boxes[0];
    EXPECT_FALSE(f.WaitingForDevice());
    EXPECT_FALSE(HasLine(f.MemoOut, kGone));
    pty = Plug();
    PumpFor(3 * serialdevices::PortListWatch::kSettleMs + 300);
    EXPECT_FALSE(f.Com->PortIsOpen());
    EXPECT_EQ(boxes.size(), 1u);
}

// Kernel ttys as the fixture's /sys and /dev show them.
class MachineFixture : public TerminalFixture {
protected:
    void Add(const std::string& name)
    {
        fs::create_directories(dir.Path() + "/sys/class/tty/" + name + "/device");
        std::ofstream(dir.Path() + "/dev/" + name);
    }
    void Remove(const std::string& name)
    {
        fs::remove(dir.Path() + "/dev/" + name);
        fs::remove_all(dir.Path() + "/sys/class/tty/" + name);
    }
    QStringList Listed()
    {
        QStringList out;
        for (int i = 0; i < Form().ComboPort->count(); ++i)
            out << Form().ComboPort->itemText(i);
        return out;
    }
    void SetUp() override
    {
        TerminalFixture::SetUp();
        fs::create_directories(dir.Path() + "/dev");
    }
};

// Adapters plugged in and pulled out while the window runs: the list
// follows without a restart, with the devices' lasting numbers, the chosen
// entry stays chosen as positions move, and the open port is not touched.
TEST_F(MachineFixture, TheListFollowsDevicesThatComeAndGo)
{
    Add("ttyUSB0");
    TForm1& f = Form();
    EXPECT_EQ(Listed(), (QStringList{"COM1", "COM2"})); // ttyUSB0, loopback
    const int loop = f.ComboPort->findText(QStringLiteral("COM2"));
    f.ComboPort->setCurrentIndex(loop);
    emit f.ComboPort->activated(loop);
    f.Com->SetBaudrate(br115200);
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen());
    const std::string logBefore = f.MemoOut->Text();

    Add("ttyACM0"); // sorts before ttyUSB0
    ASSERT_TRUE(PumpUntil([&] { return Listed().size() == 3; }, 2000)) << Listed().join(' ').toStdString();
    EXPECT_EQ(Listed(), (QStringList{"COM3", "COM1", "COM2"}));
    EXPECT_EQ(f.ChosenPortName(), "COM2");
    EXPECT_TRUE(f.Com->PortIsOpen());
    EXPECT_EQ(f.Com->PortNum(), 2);

    Remove("ttyUSB0");
    ASSERT_TRUE(PumpUntil([&] { return Listed().size() == 2; }, 2000)) << Listed().join(' ').toStdString();
    EXPECT_EQ(Listed(), (QStringList{"COM3", "COM2"}));
    EXPECT_EQ(f.ChosenPortName(), "COM2");
    EXPECT_EQ(f.MemoOut->Text(), logBefore);
    EXPECT_TRUE(boxes.empty());
}

// The saved position comes first, but when it now shows another device
// (an adapter before it is away) the device chosen last wins.
TEST_F(MachineFixture, AtStartTheRememberedDeviceWinsOverAMovedPosition)
{
    Add("ttyUSB0");
    Add("ttyUSB1");
    {
        TForm1& f = Form();
        const int at = f.ComboPort->findText(QStringLiteral("COM2")); // ttyUSB1
        ASSERT_EQ(at, 1);
        f.ComboPort->setCurrentIndex(at);
        emit f.ComboPort->activated(at);
        f.FormClose(&f);
        form.reset();
    }
    Remove("ttyUSB0");
    TForm1& f = Form();
    EXPECT_EQ(Listed(), (QStringList{"COM2", "COM3"}));
    EXPECT_EQ(f.ChosenPortName(), "COM2");
    EXPECT_EQ(f.Com->PortNum(), 2);
    f.FormClose(&f);
    form.reset();

    // With the adapter back, the position saved (0) shows it: the device
    // chosen last wins again.
    Add("ttyUSB0");
    EXPECT_EQ(Form().ChosenPortName(), "COM2");
    EXPECT_EQ(Form().ComboPort->currentIndex(), 1);
}

} // namespace
