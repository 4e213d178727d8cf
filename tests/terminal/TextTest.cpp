// The byte <-> text paths of the terminal: DecodeText, the code page and the
// panes, which must give back exactly the bytes put in.

#include "CodePage.h"
#include "DecodeText.h"
#include "Memo.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QToolTip>
#include <QWheelEvent>
#include <gtest/gtest.h>

using terminal::DecodeText;

namespace {
std::string AllBytes(int from, int to)
{
    std::string s;
    for (int b = from; b <= to; ++b)
        s.push_back(static_cast<char>(b));
    return s;
}
} // namespace

TEST(DecodeText, RewritesEverythingOutsidePrintableRange)
{
    EXPECT_EQ(DecodeText(std::string("A\0B", 3)), "A<0>B");
    EXPECT_EQ(DecodeText("ab\r\n"), "ab<13><10>");
    EXPECT_EQ(DecodeText("\t\x7f\xff"), "<9><127><255>");
    EXPECT_EQ(DecodeText(" ~"), " ~");
    EXPECT_EQ(DecodeText(""), "");
    // Every printable byte stays; every other one grows to at least 3 chars.
    std::string all = AllBytes(0, 255);
    std::string decoded = DecodeText(all);
    EXPECT_NE(decoded.find(AllBytes(32, 126)), std::string::npos);
    for (unsigned char c : decoded)
        EXPECT_TRUE(c >= 32 && c <= 126);
}

TEST(CodePage, EveryByteHasOneCharacterAndComesBack)
{
    std::string all = AllBytes(0, 255);
    QString text = codepage::ToText(all);
    ASSERT_EQ(text.size(), 256);
    bool lossless = false;
    EXPECT_EQ(codepage::ToBytes(text, &lossless), all);
    EXPECT_TRUE(lossless);
    EXPECT_EQ(text.at(0xE4), QChar(0x00E4)); // ä
    EXPECT_EQ(text.at(0x80), QChar(0x20AC)); // euro sign
    EXPECT_EQ(text.at(0x81), QChar(0x0081)); // unassigned: C1 control
    EXPECT_EQ(text.at(0x9F), QChar(0x0178));
}

TEST(CodePage, CharactersOutsideTheCodePageAreDroppedAndReported)
{
    bool lossless = true;
    EXPECT_EQ(codepage::ToBytes(QString::fromUtf8("a\xe2\x86\x92" "b\xf0\x9f\x98\x80" "c"), &lossless), "abc");
    EXPECT_FALSE(lossless);
}

TEST(Memo, WholeTextGivesBackEveryByte)
{
    TMemo memo;
    // Lone CR and LF, CR LF pairs, no-break space (0xA0) and the C1 range.
    std::string bytes = AllBytes(1, 255) + "\r\n\rx\ny\r\r\n\n" + AllBytes(1, 255);
    memo.SetText(bytes);
    EXPECT_EQ(memo.Text(), bytes);
}

TEST(Memo, AddLineEndsEveryLineWithCrLf)
{
    TMemo memo;
    memo.AddLine("ab");
    memo.AddLine("");
    memo.AddLine("c\r\n");
    EXPECT_EQ(memo.Text(), "ab\r\n\r\nc\r\n\r\n");

    TMemo partial;
    partial.SetText("no break at end");
    partial.AddLine("next");
    EXPECT_EQ(partial.Text(), "no break at end\r\nnext");
    partial.AddLine("and on");
    EXPECT_EQ(partial.Text(), "no break at end\r\nnext\r\nand on");
}

TEST(Memo, CrLfSplitAcrossAppendsIsOneLineBreak)
{
    TMemo memo;
    memo.AppendText("one\r");
    memo.AppendText("\ntwo");
    EXPECT_EQ(memo.Text(), "one\r\ntwo");
    EXPECT_EQ(memo.Content().LineCount(), 2u);
    EXPECT_TRUE(memo.EndsWithLineBreak() == false);
}

TEST(Memo, CopiedSelectionGivesBackTheBytes)
{
    TMemo memo;
    std::string bytes = "x\xe4\r\ny\rz\n\xa0\x80";
    memo.SetText(bytes);
    memo.selectAll();
    memo.copy();
    const QMimeData* data = QApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(codepage::ToBytes(data->text()), bytes);
}

// What a user does with the mouse: a drag selects the bytes under it, a
// double click a word, the wheel scrolls away from the end and the next
// append brings the newest line back; the pane's hint is its tool tip.
TEST(Memo, MouseSelectsWheelScrollsAndAnAppendFollowsTheEnd)
{
    TMemo memo;
    memo.setToolTip(QStringLiteral("empfangene Zeichen"));
    memo.resize(300, 120);
    memo.show();
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "line " + std::to_string(i) + " word\r\n";
    memo.SetText(text);
    ASSERT_TRUE(memo.AtEnd());

    QWheelEvent up(QPointF(50, 50), QPointF(), QPoint(), QPoint(0, 600), Qt::NoButton, Qt::NoModifier,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(memo.viewport(), &up);
    EXPECT_FALSE(memo.AtEnd());
    EXPECT_LT(memo.verticalScrollBar()->value(), memo.verticalScrollBar()->maximum());

    // The top row is "line <n> word": drag over its first four characters.
    QWidget* view = memo.viewport();
    const int row = memo.fontMetrics().lineSpacing();
    const int x4 = 4 + memo.fontMetrics().horizontalAdvance(QStringLiteral("line"));
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(5, 4 + row / 2));
    QTest::mouseMove(view, QPoint(x4, 4 + row / 2));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(x4, 4 + row / 2));
    EXPECT_EQ(memo.SelectedText(), "line");
    const int xNumber = 4 + memo.fontMetrics().horizontalAdvance(QStringLiteral("line 1"));
    QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(xNumber, 4 + row + row / 2));
    const std::string word = memo.SelectedText();
    EXPECT_FALSE(word.empty());
    EXPECT_EQ(word.find_first_not_of("0123456789"), std::string::npos) << "[" << word << "]";

    QHelpEvent hint(QEvent::ToolTip, QPoint(20, 20), view->mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(view, &hint);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("empfangene Zeichen"));

    memo.AddLine("newest");
    EXPECT_TRUE(memo.AtEnd());
    EXPECT_EQ(memo.SelectedText(), "");
    EXPECT_EQ(memo.verticalScrollBar()->value(), memo.verticalScrollBar()->maximum());
}
