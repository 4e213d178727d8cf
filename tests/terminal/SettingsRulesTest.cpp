// Every setting, and the texts if chosen, survive a close and a start.

#include "FileSizeLimit.h"
#include "MyRegistry.h"
#include "TerminalFixture.h"

#include <QFile>

#include <cstdio>
#include <functional>


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

// Stored positions outside their lists, at the first value past the end, far
// past it and below -1: no list shows a selection, the port object keeps the
// values it was created with (its window-definition flow control included),
// nothing is reported, RTS stays settable by hand, and the close writes
// every position back as -1 ("no selection").
TEST_F(SettingsRules, PositionsOutsideTheirListsSelectNothingAndAreSavedAsMinusOne)
{
    const char* const names[] = {"PortNumIndex", "BaudRateIndex", "FlowControlIndex", "DTRControlIndex",
                                 "RTSControlIndex", "ParityIndex", "StopbitsIndex", "DatabitsIndex"};
    int portCount = 0;
    {
        WriteRegistry(NeutralSettings());
        portCount = Form().ComboPort->count();
        form.reset();
    }
    const int sizes[] = {portCount, 15, 4, 3, 4, 5, 3, 5};
    const TVaComm created(nullptr);
    struct Row {
        const char* what;
        std::function<int(int size)> stored;
    };
    const Row rows[] = {{"one past the end", [](int size) { return size; }},
                        {"99", [](int) { return 99; }},
                        {"-2", [](int) { return -2; }}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string body = NeutralSettings();
        for (size_t i = 0; i < std::size(names); ++i) {
            char line[80];
            std::snprintf(line, sizeof line, "\"%s\"=dword:%08x", names[i],
                          static_cast<uint32_t>(row.stored(sizes[i])));
            body = NeutralWith(names[i], line, body);
        }
        WriteRegistry(body);
        TForm1& f = Form();
        for (QComboBox* list : {f.ComboPort, f.ComboBaud, f.ComboFC, f.ComboDTRControl, f.ComboRTSControl,
                                f.ComboParity, f.ComboStopbits, f.ComboDatabits})
            EXPECT_EQ(list->currentIndex(), -1) << list->objectName().toStdString();
        EXPECT_EQ(f.Com->PortNum(), 1);
        EXPECT_EQ(f.Com->Baudrate(), created.Baudrate());
        EXPECT_EQ(f.Com->FlowControl(), fcNone);
        EXPECT_EQ(f.Com->DTRControl(), created.DTRControl());
        EXPECT_EQ(f.Com->RTSControl(), created.RTSControl());
        EXPECT_EQ(f.Com->Parity(), created.Parity());
        EXPECT_EQ(f.Com->Stopbits(), created.Stopbits());
        EXPECT_EQ(f.Com->Databits(), created.Databits());
        EXPECT_TRUE(f.CheckRTS->isEnabled());
        EXPECT_EQ(boxes, std::vector<std::string>{});

        ASSERT_TRUE(Close());
        for (const char* name : names)
            EXPECT_EQ(StoredInteger(name), -1) << name;
        form.reset();
    }
}

// A line under handshake control cannot be set by hand: a box restored as
// ticked for it stops the restore there with the port object's refusal. The
// box stays ticked (its state changed before its reaction ran), and every
// box after it and both panes keep their window-definition state.
TEST_F(SettingsRules, ALineUnderHandshakeWithItsBoxTickedStopsTheRestoreThere)
{
    struct Row {
        const char* list;
        const char* box;
        const char* refusal;
        QCheckBox* Ui::TForm1::*ticked;
        std::vector<QCheckBox* Ui::TForm1::*> after;
    };
    const Row rows[] = {
        {"DTRControlIndex", "TXEN", "Manual DTR line updates not allowed.", &Ui::TForm1::CheckTXEN,
         {&Ui::TForm1::CheckCRNL, &Ui::TForm1::CheckSaveMemo, &Ui::TForm1::CheckDecode, &Ui::TForm1::CheckInvTXEN,
          &Ui::TForm1::CheckRTS, &Ui::TForm1::CheckXon, &Ui::TForm1::CheckBreak, &Ui::TForm1::CheckTXEmpty,
          &Ui::TForm1::CheckSwitchTXENOnTXEmpty}},
        {"RTSControlIndex", "RTS", "Manual RTS line updates not allowed.", &Ui::TForm1::CheckRTS,
         {&Ui::TForm1::CheckXon, &Ui::TForm1::CheckBreak, &Ui::TForm1::CheckTXEmpty,
          &Ui::TForm1::CheckSwitchTXENOnTXEmpty}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.list);
        boxes.clear();
        // Every box ticked in the file, the line under handshake.
        std::string body = NeutralWith(row.list, std::string("\"") + row.list + "\"=dword:00000002");
        for (const char* flag : {"TXEN", "send #13#10", "save memos", "decode asc<32", "Invert TXEN", "RTS", "Xon",
                                 "Break", "TXempty", "AutoSwitch TXEN"})
            body = NeutralWith(flag, std::string("\"") + flag + "\"=\"true\"", body);
        WriteRegistry(NeutralWith("MemoOut", "\"MemoOut\"=\"saved log\"", body));
        TForm1& f = Form();
        EXPECT_EQ(boxes, std::vector<std::string>{std::string("Es trat ein Ausnahmefehler auf:\r\n") + row.refusal});
        EXPECT_TRUE((f.*row.ticked)->isChecked()) << row.box;
        for (auto box : row.after)
            EXPECT_FALSE((f.*box)->isChecked()) << (f.*box)->objectName().toStdString();
        EXPECT_EQ(f.MemoIn->Text(), "MemoIn");
        EXPECT_EQ(f.MemoOut->Text(), "MemoOut");
        // RTS under handshake cannot be set by hand.
        EXPECT_EQ(f.CheckRTS->isEnabled(), std::string(row.list) != "RTSControlIndex");
        form.reset();
    }
}
