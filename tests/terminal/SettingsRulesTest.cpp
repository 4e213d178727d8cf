// Every setting, and the texts if chosen, survive a close and a start.

#include "FileSizeLimit.h"
#include "MyRegistry.h"
#include "TerminalFixture.h"

#include <QFile>


namespace {

const char* const kKey = "Software\\Brenlow\\Tarrowin\\";

class SettingsRules : public TerminalFixture {
protected:
    // What the settings file holds now, read through a fresh registry object.
    template <class Read>
    static auto Stored(Read read)
    {
        TMyRegistry r;
        r.OpenKey(kKey, false);
        return read(r);
    }
    static std::string StoredString(const std::string& name)
    {
        return Stored([&](TMyRegistry& r) { return r.ReadString(name); });
    }
    static int32_t StoredInteger(const std::string& name)
    {
        return Stored([&](TMyRegistry& r) { return r.ReadInteger(name); });
    }
    std::string FileBytes()
    {
        QFile f(QString::fromStdString(dir.File("Tarrowin.reg")));
        f.open(QIODevice::ReadOnly);
        return f.readAll().toStdString();
    }
    // SettingsRules with one value replaced by a line of the caller's.
    static std::string NeutralWith(const std::string& name, const std::string& line, std::string body = NeutralSettings())
    {
        size_t at = body.find("\"" + name + "\"=");
        if (at == std::string::npos)
            return body.insert(body.size() - 2, line + "\r\n");
        return body.replace(at, body.find("\r\n", at) - at, line);
    }
    // A value of the wrong type or a line state the port refuses stops
    // restoring there: one box, and the panes keep their definition texts.
    void ExpectRestoreStoppedBy(const std::string& box)
    {
        TForm1& f = Form();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\n" + box);
        EXPECT_TRUE(f.CheckTXEN->isChecked()); // restored before the stop
        EXPECT_EQ(f.MemoIn->Text(), "MemoIn");
        EXPECT_EQ(f.MemoOut->Text(), "MemoOut");
    }
    // Closes the window as its close button does.
    bool Close() { return Form().close(); }
};

} // namespace

TEST_F(SettingsRules, FirstStartShowsDefaultsAndCloseWritesAll21Values)
{
    TForm1& f = Form();
    EXPECT_EQ(f.ComboPort->currentIndex(), 0);
    EXPECT_EQ(f.ComboBaud->currentText(), QStringLiteral("300"));
    EXPECT_EQ(f.ComboFC->currentText(), QStringLiteral("fcRtsCts"));
    EXPECT_EQ(f.ComboDTRControl->currentText(), QStringLiteral("dtrDisable"));
    EXPECT_EQ(f.ComboRTSControl->currentText(), QStringLiteral("rtsEnable"));
    EXPECT_EQ(f.ComboParity->currentText(), QStringLiteral("None"));
    EXPECT_EQ(f.ComboStopbits->currentText(), QStringLiteral("1"));
    EXPECT_EQ(f.ComboDatabits->currentText(), QStringLiteral("8"));
    EXPECT_EQ(f.Com->Baudrate(), br300);
    EXPECT_EQ(f.Com->FlowControl(), fcRtsCts);
    EXPECT_EQ(f.Com->DTRControl(), dtrDisable);
    EXPECT_EQ(f.Com->RTSControl(), rtsEnable);
    EXPECT_EQ(f.Com->Parity(), paNone);
    EXPECT_EQ(f.Com->Stopbits(), sb1);
    EXPECT_EQ(f.Com->Databits(), db8);
    for (QCheckBox* box : {f.CheckTXEN, f.CheckCRNL, f.CheckSaveMemo, f.CheckDecode, f.CheckInvTXEN,
                           f.CheckTXEmpty, f.CheckSwitchTXENOnTXEmpty})
        EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();
    for (QCheckBox* box : {f.CheckRTS, f.CheckXon, f.CheckBreak})
        EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
    EXPECT_EQ(f.CheckTXEN->text(), QStringLiteral("&TXEN (Senden)"));
    EXPECT_EQ(f.MemoIn->Text(), "");
    EXPECT_EQ(f.MemoOut->Text(), "");
    EXPECT_TRUE(f.EditSend->text().isEmpty());
    // The port the list shows is the port that opens.
    EXPECT_EQ("COM" + std::to_string(f.Com->PortNum()), f.ComboPort->currentText().toStdString());
    EXPECT_TRUE(boxes.empty());

    ASSERT_TRUE(Close());
    EXPECT_EQ(Stored([](TMyRegistry& r) {
                  std::vector<std::string> names;
                  r.GetValueNames(names);
                  return names;
              }),
              (std::vector<std::string>{
                                 "PortNumIndex", "BaudRateIndex", "FlowControlIndex", "DTRControlIndex",
                                 "RTSControlIndex", "ParityIndex", "StopbitsIndex", "DatabitsIndex", "TXEN",
                                 "send #13#10", "save memos", "decode asc<32", "Invert TXEN", "RTS", "Xon",
                                 "Break", "TXempty", "AutoSwitch TXEN", "MemoIn", "MemoOut", "EditSend"}));
    EXPECT_EQ(StoredInteger("BaudRateIndex"), 1);
    EXPECT_EQ(StoredString("TXEN"), "true");
    EXPECT_EQ(StoredString("RTS"), "false");
    // Written as a person would read them.
    EXPECT_NE(FileBytes().find("\"BaudRateIndex\"=dword:00000001"), std::string::npos);
    EXPECT_NE(FileBytes().find("\"AutoSwitch TXEN\"=\"true\""), std::string::npos);
}

TEST_F(SettingsRules, OnlyTheExactTextTrueChecksABoxAndAnEmptyFlagReadsAsItsDefault)
{
    WriteRegistry(NeutralWith("TXempty", "\"TXempty\"=\"\"", NeutralWith("TXEN", "\"TXEN\"=\"TRUE\"")));
    EXPECT_FALSE(Form().CheckTXEN->isChecked());
    EXPECT_TRUE(Form().CheckTXEmpty->isChecked());
    ASSERT_TRUE(Close());
    EXPECT_EQ(StoredString("TXEN"), "false");
}

TEST_F(SettingsRules, BrokenIntegerFallsBackSilently)
{
    WriteRegistry(NeutralWith("BaudRateIndex", "\"BaudRateIndex\"=\"6\""));
    EXPECT_EQ(Form().ComboBaud->currentIndex(), 1);
    EXPECT_EQ(Form().Com->Baudrate(), br300);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(SettingsRules, PositionOutsideTheListIsWrittenBackAsNoSelection)
{
    WriteRegistry(NeutralWith("ParityIndex", "\"ParityIndex\"=dword:00000007"));
    TForm1& f = Form();
    EXPECT_EQ(f.ComboParity->currentIndex(), -1);
    EXPECT_EQ(f.Com->Parity(), paNone); // kept
    ASSERT_TRUE(Close());
    EXPECT_EQ(StoredInteger("ParityIndex"), -1);
}

TEST_F(SettingsRules, TextsWithEveryByteComeBack)
{
    WriteRegistry(NeutralWith("save memos", "\"save memos\"=\"true\""));
    std::string text;
    for (int b = 1; b < 256; ++b)
        text.push_back(static_cast<char>(b));
    text += "\r\nsecond line\r\n";
    Form().MemoIn->SetText(text);
    Form().MemoOut->SetText("log\r\n" + text);
    Form().EditSend->setText(QStringLiteral("AT#13 \u00e4\u20ac"));
    ASSERT_TRUE(Close());
    form.reset();
    TForm1& again = Form();
    EXPECT_TRUE(again.MemoIn->Text() == text);
    EXPECT_TRUE(again.MemoOut->Text() == "log\r\n" + text);
    EXPECT_EQ(again.EditSend->text(), QStringLiteral("AT#13 \u00e4\u20ac"));
}

TEST_F(SettingsRules, SaveMemosOffErasesSavedTexts)
{
    WriteRegistry(NeutralWith("save memos", "\"save memos\"=\"true\""));
    Form().MemoOut->SetText("kept once\r\n");
    ASSERT_TRUE(Close());
    form.reset();
    EXPECT_EQ(Form().MemoOut->Text(), "kept once\r\n");
    Form().CheckSaveMemo->setChecked(false);
    ASSERT_TRUE(Close());
    form.reset();
    EXPECT_EQ(Form().MemoOut->Text(), "");
    EXPECT_EQ(StoredString("MemoOut"), "");
}

TEST_F(SettingsRules, ClosingWithTheOpenPortSavesTheCloseLine)
{
    WriteRegistry(NeutralWith("save memos", "\"save memos\"=\"true\""));
    Form().Com->SetDeviceName("loopback");
    Form().CmdOpen->click();
    ASSERT_TRUE(Form().Com->PortIsOpen());
    ASSERT_TRUE(Close());
    std::string saved = StoredString("MemoOut");
    EXPECT_EQ(saved.substr(saved.size() - std::string("Port geschlossen\r\n").size()), "Port geschlossen\r\n");
}

TEST_F(SettingsRules, RefusedWriteCancelsTheCloseAndKeepsTheOldFile)
{
    WriteRegistry(NeutralSettings());
    std::string before = FileBytes();
    TForm1& f = Form();
    f.show();
    f.MemoOut->SetText(std::string(64 * 1024, 'x'));
    f.CheckSaveMemo->setChecked(true);
    {
        FileSizeLimit limit(before.size() + 1024);
        EXPECT_FALSE(f.close());
    }
    EXPECT_TRUE(f.isVisible());
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes.back().find("Konnte Daten f\xfcr '"), std::string::npos) << boxes.back();
    EXPECT_NE(boxes.back().find("' nicht setzen"), std::string::npos);
    // Nothing half-written: the file holds what was stored before or a
    // complete newer state, never a torn one.
    TMyRegistry r;
    ASSERT_TRUE(r.OpenKey(kKey, false));
    EXPECT_EQ(r.ReadString("MemoOut"), "");
}

TEST_F(SettingsRules, DtrHandshakeWithTxenStopsTheRestore)
{
    WriteRegistry(NeutralWith("TXempty", "\"TXempty\"=\"true\"",
                              NeutralWith("TXEN", "\"TXEN\"=\"true\"",
                                          NeutralWith("DTRControlIndex", "\"DTRControlIndex\"=dword:00000002"))));
    ExpectRestoreStoppedBy("Manual DTR line updates not allowed.");
    EXPECT_EQ(Form().CheckTXEN->text(), QStringLiteral("&TXEN (Empfangen)"));
    EXPECT_FALSE(Form().CheckTXEmpty->isChecked());
}

TEST_F(SettingsRules, CloseKeepsWhatItDoesNotOwn)
{
    WriteRegistry(NeutralSettings() + UserPorts("\"/dev/ttyMINE\"=\"COM42\"\r\n\r\n") +
                  "[HKEY_CURRENT_USER\\Software\\Other\\Program]\r\n\"Setting\"=\"kept\"\r\n");
    ASSERT_TRUE(Close());
    std::string file = FileBytes();
    EXPECT_NE(file.find("\"/dev/ttyMINE\"=\"COM42\""), std::string::npos);
    EXPECT_NE(file.find("\"Setting\"=\"kept\""), std::string::npos);
}

TEST_F(SettingsRules, TheCopyThatClosesLastWins)
{
    WriteRegistry(NeutralSettings());
    TForm1 first;
    TForm1 second;
    first.CheckXon->setChecked(true);
    second.CheckRTS->setChecked(true);
    ASSERT_TRUE(first.close());
    ASSERT_TRUE(second.close());
    EXPECT_EQ(StoredString("Xon"), "false");
    EXPECT_EQ(StoredString("RTS"), "true");
}
