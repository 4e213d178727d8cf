// The main window headless: its definition, the port list, the log, error
// reporting through AppException and closing.

#include "Pty.h"
#include "TerminalFixture.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <fstream>

namespace {

class MainWindow : public NeutralFixture {
protected:
    std::vector<std::string> PortEntries(const TForm1& form)
    {
        std::vector<std::string> entries;
        for (int i = 0; i < form.ComboPort->count(); ++i)
            entries.push_back(form.ComboPort->itemText(i).toStdString());
        return entries;
    }
    int IndexOf(const TForm1& form, const std::string& portName)
    {
        return form.ComboPort->findText(QString::fromStdString(portName));
    }
    void Pick(TForm1& form, int index)
    {
        form.ComboPort->setCurrentIndex(index);
        emit form.ComboPort->activated(index);
    }
};

} // namespace

TEST_F(MainWindow, DefinitionStateAfterStartUp)
{
    TForm1 form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Tarrowin"));
    EXPECT_EQ(form.size(), QSize(475, 309));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_TRUE(form.CmdOpen->isEnabled());
    EXPECT_FALSE(form.CmdClose->isEnabled());
    EXPECT_FALSE(form.ImageConnect->isVisibleTo(&form));
    EXPECT_EQ(form.ImageConnect->pixmap().size(), QSize(16, 15));
    EXPECT_EQ(form.PageOptions->currentWidget(), form.TabSheet1);
    EXPECT_FALSE(form.Com->PortIsOpen());
    EXPECT_EQ(form.Com->PortNum(), 1);
    EXPECT_EQ(form.Com->FlowControl(), fcNone);
    // Sorted lists stand in alphabetical order, the others in value order.
    EXPECT_EQ(form.ComboParity->itemText(0), QStringLiteral("Even"));
    EXPECT_EQ(form.ComboFC->itemText(0), QStringLiteral("fcDtrDsr"));
    EXPECT_EQ(form.ComboBaud->count(), 15);
    EXPECT_EQ(form.ComboBaud->itemText(14), QStringLiteral("256000"));
    EXPECT_GE(form.ComboPort->count(), 1); // the loopback plug at least
    EXPECT_TRUE(boxes.empty());
    // The tab order too.
    EXPECT_EQ(form.EditSend->nextInFocusChain(), form.CmdOpen);
    EXPECT_EQ(form.CmdOpen->nextInFocusChain(), form.CmdClose);
    EXPECT_EQ(form.CmdClose->nextInFocusChain(), form.MemoIn);
}

TEST_F(MainWindow, PortListIsSortedByDevicePathAndShowsPortNames)
{
    // Two user entries whose path order differs from their port order.
    WriteRegistry(NeutralSettings() + UserPorts("\"/dev/ttyUSB1\"=\"COM2\"\r\n\"/dev/ttyUSB0\"=\"COM5\"\r\n"));
    TForm1 form;
    std::vector<std::string> entries = PortEntries(form);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0], "COM5");
    EXPECT_EQ(entries[1], "COM2");
    EXPECT_TRUE(form.ComboPort->itemData(0, Qt::ToolTipRole).toString().startsWith(QStringLiteral("/dev/ttyUSB0")));
    // The built-in loopback plug says what it is.
    int plug = -1;
    for (int i = 0; i < form.ComboPort->count(); ++i)
        if (form.ComboPort->itemData(i, Qt::ToolTipRole).toString().contains(QStringLiteral("Loopback")))
            plug = i;
    EXPECT_GE(plug, 0);
}

TEST_F(MainWindow, BrokenSettingsFileIsKeptAsideAndReported)
{
    std::ofstream(dir.File("Tarrowin.reg")) << "this is not a registry file\n";
    TForm1 form;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("beiseitegelegt"), std::string::npos) << boxes[0];
    bool keptAside = false;
    for (const QString& name : QDir(QString::fromStdString(dir.Path())).entryList())
        keptAside |= name.startsWith(QStringLiteral("Tarrowin.reg.broken-"));
    EXPECT_TRUE(keptAside);
}

TEST_F(MainWindow, LogOutWritesOneLinePerCall)
{
    TForm1 form;
    form.MemoOut->SetText("");
    form.LogOut(std::string("A\0B", 3));
    form.LogOut("ab\r\n");
    form.LogOut("\xf6");
    form.LogOut("");
    EXPECT_EQ(form.MemoOut->Text(), std::string("A<0>B\r\nab\r\n\r\n\xf6\r\n\r\n"));

    form.MemoOut->SetText("");
    form.CheckDecode->setChecked(true);
    form.LogOut(std::string("A\0B", 3));
    form.LogOut("ab\r\n");
    form.LogOut("\xf6");
    EXPECT_EQ(Lines(form.MemoOut), (std::vector<std::string>{"A<0>B", "ab<13><10>", "<246>"}));
}

TEST_F(MainWindow, OpenAndCloseAPortFromTheList)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    WriteRegistry(NeutralSettings() + UserPorts("\"" + pty.SlavePath() + "\"=\"COM17\"\r\n"));
    TForm1 form;
    form.MemoOut->SetText("");
    int index = IndexOf(form, "COM17");
    ASSERT_GE(index, 0);
    Pick(form, index);
    EXPECT_EQ(form.Com->PortNum(), 17);

    form.CmdOpen->click();
    EXPECT_TRUE(form.Com->PortIsOpen());
    EXPECT_FALSE(form.CmdOpen->isEnabled());
    EXPECT_TRUE(form.CmdClose->isEnabled());
    form.CmdClose->click();
    EXPECT_FALSE(form.Com->PortIsOpen());
    EXPECT_TRUE(form.CmdOpen->isEnabled());
    EXPECT_FALSE(form.CmdClose->isEnabled());
    // A pty has no modem lines; the log says so after the open.
    EXPECT_EQ(Lines(form.MemoOut), (std::vector<std::string>{"Port 17 offen.",
                                                             "COM17: keine Steuerleitungen (DTR/RTS ohne Wirkung)",
                                                             "Port geschlossen"}));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindow, MissingPortIsShownAndTheLogSaysWhy)
{
    WriteRegistry(NeutralSettings() + UserPorts("\"" + dir.Path() + "/no-such-device\"=\"COM9\"\r\n"));
    TForm1 form;
    form.MemoOut->SetText("");
    Pick(form, IndexOf(form, "COM9"));
    form.CmdOpen->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\nInvalid port number (COM9)");
    EXPECT_EQ(form.MemoOut->Text(), "COM9: Ger\xe4t " + dir.Path() +
                                        "/no-such-device nicht vorhanden \x96 Adapter eingesteckt, Programm f\xfcr den "
                                        "Port gestartet?\r\n");
    EXPECT_TRUE(form.CmdOpen->isEnabled());
    EXPECT_FALSE(form.CmdClose->isEnabled());
}

TEST_F(MainWindow, RefusedSettingsShowTheFixedText)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    TForm1 form;
    form.Com->SetDeviceName(pty.SlavePath());
    form.Com->SetDatabits(db4);
    form.CmdOpen->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Die Port-Einstellungen werden nicht unterst\xfctzt. (Databits, Stopbits etc.)");
    EXPECT_FALSE(form.Com->PortIsOpen());
}

TEST_F(MainWindow, ExceptionFromAHandlerReachesAppExceptionOnce)
{
    // The list itself names every device COMn; an entry that is not one
    // still reaches the handler's conversion.
    TForm1 form;
    form.ComboPort->addItem(QStringLiteral("CO"));
    ASSERT_GE(IndexOf(form, "CO"), 0);
    Pick(form, IndexOf(form, "CO"));
    // The first run of the handler raises, so the second never happens.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\n'' ist kein g\xfcltiger Integerwert");
    EXPECT_EQ(form.Com->PortNum(), 1);
}

TEST_F(MainWindow, ClosingTheWindowClosesTheOpenPort)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    TForm1 form;
    form.Com->SetDeviceName(pty.SlavePath());
    form.CmdOpen->click();
    ASSERT_TRUE(form.Com->PortIsOpen());
    form.MemoOut->SetText("");
    form.show();
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.Com->PortIsOpen());
    EXPECT_EQ(Lines(form.MemoOut), (std::vector<std::string>{"Port geschlossen"}));
}

