// The character-code converter and the panes' context menu.

#include "CodePage.h"
#include "TerminalFixture.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>

namespace {

class ConverterRules : public NeutralFixture {
protected:
    std::string Chr() { return Form().EditChr->text().toStdString(); }
    std::string Ord() { return Form().EditOrd->text().toStdString(); }
    // A key that types the given text, as the keyboard layout produces it.
    static void Type(QWidget* box, Qt::Key key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(box, &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods, text);
        QApplication::sendEvent(box, &release);
    }
    void ClearOrd()
    {
        Form().EditOrd->setCursorPosition(Form().EditOrd->text().size());
        while (!Form().EditOrd->text().isEmpty())
            QTest::keyClick(Form().EditOrd, Qt::Key_Backspace);
    }
};

} // namespace

TEST_F(ConverterRules, KeysTypedInCharShowTheirCode)
{
    Type(Form().EditChr, Qt::Key_A, QStringLiteral("A"), Qt::ShiftModifier);
    EXPECT_EQ(Chr(), "A");
    EXPECT_EQ(Ord(), "65");
    Type(Form().EditChr, Qt::Key_Backspace, QStringLiteral("\b"));
    EXPECT_EQ(Chr(), "<8>");
    EXPECT_EQ(Ord(), "8");
    Type(Form().EditChr, Qt::Key_A, QStringLiteral("\x01"), Qt::ControlModifier);
    EXPECT_EQ(Chr(), "<1>");
    EXPECT_EQ(Ord(), "1");
    // Outside 32..126 the character is shown rewritten, its code as it is.
    Type(Form().EditChr, Qt::Key_Adiaeresis, QStringLiteral("\u00e4"));
    EXPECT_EQ(Chr(), "<228>");
    EXPECT_EQ(Ord(), "228");
    // A character the code page cannot carry changes nothing.
    Type(Form().EditChr, Qt::Key_unknown, QStringLiteral("\u2192"));
    EXPECT_EQ(Ord(), "228");
}

TEST_F(ConverterRules, CodesTypedInOrdShowTheirCharacter)
{
    ClearOrd();
    QTest::keyClick(Form().EditOrd, Qt::Key_6);
    EXPECT_EQ(Chr(), "<6>");
    QTest::keyClick(Form().EditOrd, Qt::Key_5);
    EXPECT_EQ(Chr(), "A");
    EXPECT_EQ(Ord(), "65");
    QTest::keyClick(Form().EditOrd, Qt::Key_X);
    EXPECT_EQ(Ord(), "65"); // only digits pass

    ClearOrd();
    EXPECT_EQ(Chr(), "<6>"); // emptying the box leaves the character
    QTest::keyClicks(Form().EditOrd, "1234");
    EXPECT_EQ(Ord(), "123");
    EXPECT_EQ(Chr(), "{");

    ClearOrd();
    QTest::keyClick(Form().EditOrd, Qt::Key_0);
    EXPECT_EQ(Chr(), "<0>");
    ClearOrd();
    QTest::keyClicks(Form().EditOrd, "999");
    EXPECT_EQ(Chr(), "<231>");
}

TEST_F(ConverterRules, PastedCodesAreCutToThreeAndBadOnesReported)
{
    Form().EditOrd->setText(QStringLiteral("12345"));
    EXPECT_EQ(Ord(), "234");
    EXPECT_EQ(Chr(), "<234>");
    Form().EditOrd->setText(QStringLiteral("-5"));
    EXPECT_EQ(Chr(), "<251>");
    Form().EditOrd->setText(QStringLiteral("x1"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\n'x1' ist kein g\xfcltiger Integerwert");
    EXPECT_EQ(Chr(), "<251>");
}

TEST_F(ConverterRules, EditingCharByHandShowsTheFirstCharactersCode)
{
    Form().EditOrd->setText(QStringLiteral("13"));
    ASSERT_EQ(Chr(), "<13>");
    Form().EditChr->setFocus();
    Form().EditChr->setCursorPosition(0);
    QTest::keyClick(Form().EditChr, Qt::Key_Delete);
    // "13>" puts 49 in Ord, which shows "1".
    EXPECT_EQ(Ord(), "49");
    EXPECT_EQ(Chr(), "1");
}

TEST_F(ConverterRules, PaneMenuActsOnThePaneItWasOpenedOn)
{
    TForm1& f = Form();
    ASSERT_EQ(f.PopupMenu1->actions().size(), 9);
    EXPECT_EQ(f.PopBusmonitor->text(), QStringLiteral("Busmonitor\u2026\tF2"));
    EXPECT_EQ(f.PopupMenu1->defaultAction(), f.PopClearMemo);
    EXPECT_TRUE(f.PopClearMemo->font().bold());
    EXPECT_EQ(f.PopClearMemo->text(), QStringLiteral("Memo l\u00f6schen"));
    EXPECT_TRUE(f.N1->isSeparator());

    f.MemoIn->SetText("received");
    f.MemoOut->SetText("log\r\nlines");
    emit f.MemoOut->customContextMenuRequested(QPoint(5, 5));
    f.PopupMenu1->hide();
    f.PopMarkAll->trigger();
    f.PopCopy->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("log\r\nlines"));
    f.PopClearMemo->trigger();
    EXPECT_EQ(f.MemoOut->Text(), "");
    EXPECT_EQ(f.MemoIn->Text(), "received");

    emit f.MemoIn->customContextMenuRequested(QPoint(5, 5));
    f.PopupMenu1->hide();
    f.MemoIn->Select(0, 4);
    f.PopCut->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("rece"));
    EXPECT_EQ(f.MemoIn->Text(), "ived");
    // Nothing selected: an empty text on the clipboard, nothing removed.
    f.PopCut->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QString());
    EXPECT_EQ(f.MemoIn->Text(), "ived");

    f.MemoOut->SetText("x");
    f.PopClearMemos->trigger();
    EXPECT_EQ(f.MemoIn->Text(), "");
    EXPECT_EQ(f.MemoOut->Text(), "");
}

// Each item acts on the pane the menu was opened on and leaves the other
// pane alone, whichever pane that is; copies carry the bytes as the pane
// holds them (a lone CR, a code-page letter), and nothing but a cut or a
// clear changes a pane.
TEST_F(ConverterRules, EveryPaneItemActsOnItsOwnPaneOnly)
{
    TForm1& f = Form();
    const std::string text = "ab\xe4\rcd\r\nef";
    const std::string otherText = "other\r\npane";
    for (TMemo* pane : {f.MemoIn, f.MemoOut}) {
        TMemo* other = pane == f.MemoIn ? f.MemoOut : f.MemoIn;
        SCOPED_TRACE(pane->objectName().toStdString());
        auto openOn = [&] {
            emit pane->customContextMenuRequested(QPoint(5, 5));
            f.PopupMenu1->hide();
        };
        auto select = [](TMemo* memo, int from, int to) { memo->Select(from, to); };
        auto selected = [](TMemo* memo) { return memo->SelectedText(); };
        pane->SetText(text);
        other->SetText(otherText);
        openOn();

        // Copy: the selection's bytes, or an empty text without one.
        select(other, 0, 3);
        select(pane, 1, 5);
        f.PopCopy->trigger();
        EXPECT_EQ(codepage::ToBytes(QApplication::clipboard()->text()), "b\xe4\rc");
        QApplication::clipboard()->setText(QStringLiteral("before"));
        select(pane, 2, 2);
        f.PopCopy->trigger();
        EXPECT_EQ(QApplication::clipboard()->text(), QString());
        EXPECT_EQ(pane->Text(), text);

        // Select all: this pane's whole text; the other keeps its selection.
        f.PopMarkAll->trigger();
        EXPECT_EQ(selected(pane), text);
        EXPECT_EQ(selected(other), "oth");

        // Cut: on the clipboard and out of this pane only.
        select(pane, 0, 3);
        f.PopCut->trigger();
        EXPECT_EQ(codepage::ToBytes(QApplication::clipboard()->text()), "ab\xe4");
        EXPECT_EQ(pane->Text(), "\rcd\r\nef");
        EXPECT_EQ(other->Text(), otherText);

        // Clear one, then both (also when opened on this pane).
        f.PopClearMemo->trigger();
        EXPECT_EQ(pane->Text(), "");
        EXPECT_EQ(other->Text(), otherText);
        pane->SetText(text);
        f.PopClearMemos->trigger();
        EXPECT_EQ(pane->Text(), "");
        EXPECT_EQ(other->Text(), "");
    }
    EXPECT_EQ(boxes, std::vector<std::string>{});
}

// Clearing the receive pane clears what it shows; bytes still pending arrive
// in it afterwards as a line of their own.
TEST_F(ConverterRules, ClearingTheReceivePaneKeepsWhatIsStillPending)
{
    TForm1& f = Form();
    f.MemoIn->SetText("1 Byte empfangen:x\r\n");
    PendingRxText = "late";
    emit f.MemoIn->customContextMenuRequested(QPoint(5, 5));
    f.PopupMenu1->hide();
    f.PopClearMemo->trigger();
    EXPECT_EQ(f.MemoIn->Text(), "");
    f.TimerUpdateMemoInTimer(nullptr);
    EXPECT_EQ(f.MemoIn->Text(), "4 Byte empfangen:late\r\n");
}
