// The settings survive a close and a start; a refused or unwritable settings
// file never costs the user more than the save that failed.

#include "FileSizeLimit.h"
#include "MyRegistry.h"
#include "TerminalFixture.h"

namespace {

const char* const kKey = "Software\\Brenlow\\Tarrowin\\";

class Settings : public TerminalFixture {
protected:
    // Settings with one value replaced by a line of the caller's.
    static std::string NeutralWith(const std::string& name, const std::string& line, std::string body = testsupport::NeutralSettings())
    {
        size_t at = body.find("\"" + name + "\"=");
        return body.replace(at, body.find("\r\n", at) - at, line);
    }
};

} // namespace

TEST_F(Settings, ValuesAndTextsWithEveryByteComeBack)
{
    WriteRegistry(NeutralWith("save memos", "\"save memos\"=\"true\""));
    std::string text;
    for (int b = 1; b < 256; ++b)
        text.push_back(static_cast<char>(b));
    text += "\r\nsecond line\r\n";
    TForm1& f = Form();
    f.ComboBaud->setCurrentIndex(6);
    f.ComboParity->setCurrentIndex(0);
    f.CheckInvTXEN->setChecked(true);
    f.MemoIn->SetText(text);
    f.MemoOut->SetText("log\r\n" + text);
    f.EditSend->setText(QStringLiteral("AT#13 \u00e4\u20ac"));
    ASSERT_TRUE(f.close());
    form.reset();

    TForm1& again = Form();
    EXPECT_EQ(again.ComboBaud->currentIndex(), 6);
    EXPECT_EQ(again.Com->Baudrate(), br9600);
    EXPECT_EQ(again.ComboParity->currentIndex(), 0);
    EXPECT_TRUE(again.CheckInvTXEN->isChecked());
    EXPECT_FALSE(again.CheckTXEN->isChecked());
    EXPECT_TRUE(again.MemoIn->Text() == text);
    EXPECT_TRUE(again.MemoOut->Text() == "log\r\n" + text);
    EXPECT_EQ(again.EditSend->text(), QStringLiteral("AT#13 \u00e4\u20ac"));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Settings, FlagOfTheWrongTypeStopsTheRestoreThere)
{
    WriteRegistry(NeutralWith("RTS", "\"RTS\"=\"true\"",
                              NeutralWith("decode asc<32", "\"decode asc<32\"=dword:00000001",
                                          NeutralWith("TXEN", "\"TXEN\"=\"true\""))));
    TForm1& f = Form();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\nUng\xfcltiger Datentyp f\xfcr 'decode asc<32'");
    EXPECT_TRUE(f.CheckTXEN->isChecked()); // restored before the broken value
    EXPECT_FALSE(f.CheckRTS->isChecked()); // after it: left as defined
    EXPECT_EQ(f.MemoIn->Text(), "MemoIn");
}

TEST_F(Settings, AFullDiskCancelsTheCloseAndKeepsTheOldFile)
{
    WriteRegistry(testsupport::NeutralSettings());
    std::ifstream old(dir.File("Tarrowin.reg"), std::ios::binary | std::ios::ate);
    const size_t before = static_cast<size_t>(old.tellg());
    TForm1& f = Form();
    f.show();
    f.MemoOut->SetText(std::string(64 * 1024, 'x'));
    f.CheckSaveMemo->setChecked(true);
    {
        FileSizeLimit limit(before + 1024);
        EXPECT_FALSE(f.close());
    }
    EXPECT_TRUE(f.isVisible());
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes.back().find("Konnte Daten f\xfcr '"), std::string::npos) << boxes.back();
    TMyRegistry r;
    ASSERT_TRUE(r.OpenKey(kKey, false));
    EXPECT_EQ(r.ReadString("MemoOut"), "");
}

TEST_F(Settings, UnwritableFolderMakesTheFirstWriteFail)
{
    // The settings folder is a plain file: nothing can be created there.
    std::ofstream(dir.File("blocked")) << "x";
    reg::SetFilePath(dir.File("blocked") + "/Tarrowin.reg");
    TForm1& f = Form();
    f.show();
    EXPECT_FALSE(f.close());
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "Es trat ein Ausnahmefehler auf:\r\nKonnte Daten f\xfcr 'PortNumIndex' nicht setzen");
}

// The port list may offer an entry the port object cannot take (a name that
// is not COMn). That costs nothing but the port: every setting behind it is
// restored, the user is told once, and the close writes them all back.
TEST_F(Settings, AListEntryThatIsNotAPortCostsNoOtherSetting)
{
    WriteRegistry(testsupport::NeutralSettings());
    TForm1& f = Form();
    f.ComboPort->addItem(QStringLiteral("ttyACM0"));
    const int entry = f.ComboPort->count() - 1;

    // Unlike the neutral settings, the first-start defaults and the window's
    // definition alike.
    const std::pair<const char*, int> lists[] = {
        {"PortNumIndex", entry}, {"BaudRateIndex", 6}, {"FlowControlIndex", 3}, {"DTRControlIndex", 0},
        {"RTSControlIndex", 0},  {"ParityIndex", 3},   {"StopbitsIndex", 2},    {"DatabitsIndex", 3}};
    const std::pair<const char*, std::string> texts[] = {
        {"TXEN", "true"},    {"send #13#10", "true"}, {"save memos", "true"}, {"decode asc<32", "true"},
        {"Invert TXEN", "true"}, {"RTS", "true"},     {"Xon", "true"},        {"Break", "true"},
        {"TXempty", "true"}, {"AutoSwitch TXEN", "true"}, {"MemoIn", "7 Byte empfangen:kept in"},
        {"MemoOut", "Port 3 offen.\r\nkept log\r\n"},   {"EditSend", "AT#13"}};
    {
        TMyRegistry w;
        ASSERT_TRUE(w.OpenKey(kKey, true));
        for (const auto& [name, value] : lists)
            w.WriteInteger(name, value);
        for (const auto& [name, value] : texts)
            w.WriteString(name, value);
    }

    TMyRegistry r;
    EXPECT_NO_THROW(f.RestoreSettings(r));
    EXPECT_EQ(boxes, std::vector<std::string>{"Es trat ein Ausnahmefehler auf:\r\n'ACM0' ist kein g\xfcltiger Integerwert"});
    EXPECT_EQ(f.ComboBaud->currentIndex(), 6);
    EXPECT_EQ(f.Com->Baudrate(), br9600);
    EXPECT_EQ(f.Com->Databits(), db7);
    EXPECT_TRUE(f.CheckInvTXEN->isChecked());
    EXPECT_TRUE(f.CheckSwitchTXENOnTXEmpty->isChecked());
    EXPECT_EQ(f.MemoOut->Text(), "Port 3 offen.\r\nkept log\r\n");

    ASSERT_TRUE(f.close());
    EXPECT_EQ(boxes.size(), 1u);
    TMyRegistry saved;
    ASSERT_TRUE(saved.OpenKey(kKey, false));
    for (const auto& [name, value] : lists)
        EXPECT_EQ(saved.ReadInteger(name), value) << name;
    for (const auto& [name, value] : texts)
        EXPECT_EQ(saved.ReadString(name), value) << name;
}

// A later value that stops the restore still comes second: the port's error
// is not lost behind it.
TEST_F(Settings, APortErrorIsToldBeforeALaterErrorThatStopsTheRestore)
{
    WriteRegistry(testsupport::NeutralSettings());
    TForm1& f = Form();
    f.ComboPort->addItem(QStringLiteral("rfcomm0"));
    const QString entry = QString::number(f.ComboPort->count() - 1, 16).rightJustified(8, '0');
    WriteRegistry(NeutralWith("PortNumIndex", "\"PortNumIndex\"=dword:" + entry.toStdString(),
                              NeutralWith("decode asc<32", "\"decode asc<32\"=dword:00000001",
                                          NeutralWith("TXEN", "\"TXEN\"=\"true\""))));
    TMyRegistry r;
    EXPECT_ANY_THROW(f.RestoreSettings(r));
    EXPECT_EQ(boxes, std::vector<std::string>{"Es trat ein Ausnahmefehler auf:\r\n'omm0' ist kein g\xfcltiger Integerwert"});
    EXPECT_TRUE(f.CheckTXEN->isChecked());
}
