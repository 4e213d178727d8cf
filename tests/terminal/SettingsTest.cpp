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
