// The character-code converter: a key typed in "Char" shows its code in
// "= Ord", a code typed in "= Ord" shows its character (rewritten outside
// 32..126) in "Char"; and the context menu of both panes.

#include "Unit1.h"

#include "CodePage.h"
#include "DecodeText.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>

namespace {

// The byte of a typed character, or false for one outside the code page.
bool TypedByte(const QKeyEvent* key, unsigned char& byte)
{
    const QString text = key->text();
    return text.size() == 1 && codepage::ByteOf(text.at(0).unicode(), byte);
}

} // namespace

void TForm1::SetChrText(const std::string& bytes)
{
    // A change made by the converter itself is not taken as the user's.
    converterSetsChr_ = true;
    EditChr->setText(codepage::ToText(bytes));
    converterSetsChr_ = false;
}

void TForm1::EditChrKeyPress(QObject*, char& Key)
{
    const unsigned char b = static_cast<unsigned char>(Key);
    SetChrText(terminal::DecodeText(std::string(1, static_cast<char>(b))));
    EditOrd->setText(QString::number(b));
    Key = 0;
}

void TForm1::EditChrChange(QObject*)
{
    if (converterSetsChr_)
        return;
    const std::string text = codepage::ToBytes(EditChr->text());
    if (!text.empty())
        EditOrd->setText(QString::number(static_cast<unsigned char>(text[0])));
}

void TForm1::EditOrdKeyPress(QObject*, char& Key)
{
    if (!((Key >= '0' && Key <= '9') || Key == 8))
        Key = 0;
}

void TForm1::EditOrdChange(QObject*)
{
    QString text = EditOrd->text();
    if (text.size() > 3) {
        // The last character is dropped and the last three of the rest kept,
        // so a fourth digit typed at the end is discarded. This is itself a
        // change and runs this rule for the new text first.
        text.chop(1);
        EditOrd->setText(text.right(3));
    }
    text = EditOrd->text();
    if (text.isEmpty())
        return;
    const int value = rtl::StrToInt(codepage::ToBytes(text));
    SetChrText(terminal::DecodeText(std::string(1, static_cast<char>(value & 0xFF))));
}

// --- Converter keys ----------------------------------------------------------

bool TForm1::ConverterKeyPress(QObject* watched, QKeyEvent* key)
{
    // Arrows, Delete and function keys edit the box normally; Tab moves on.
    if (key->text().isEmpty() || key->key() == Qt::Key_Delete || key->key() == Qt::Key_Tab ||
        key->key() == Qt::Key_Backtab)
        return false;
    unsigned char byte;
    if (!TypedByte(key, byte)) {
        // A character the code page cannot carry has no code to show.
        QApplication::beep();
        return true;
    }
    char ch = static_cast<char>(byte);
    if (watched == EditChr)
        Guarded([&] { EditChrKeyPress(EditChr, ch); });
    else
        Guarded([&] { EditOrdKeyPress(EditOrd, ch); });
    return ch == 0;
}

// --- Pane menu ---------------------------------------------------------------

void TForm1::CreatePaneMenu()
{
    PopupMenu1 = new QMenu(this);
    PopClearMemo = PopupMenu1->addAction(QStringLiteral("Memo l\u00f6schen"));
    QFont bold = PopClearMemo->font();
    bold.setBold(true);
    PopClearMemo->setFont(bold); // the default item
    PopupMenu1->setDefaultAction(PopClearMemo);
    PopClearMemos = PopupMenu1->addAction(QStringLiteral("Memos l\u00f6schen"));
    N1 = PopupMenu1->addSeparator();
    PopCut = PopupMenu1->addAction(QStringLiteral("Ausschneiden"));
    PopCopy = PopupMenu1->addAction(QStringLiteral("Kopieren"));
    PopMarkAll = PopupMenu1->addAction(QStringLiteral("Alles markieren"));
    N2 = PopupMenu1->addSeparator();
    PopCapture = PopupMenu1->addAction(QStringLiteral("Mitschnitt starten\u2026"));
    // F2 itself belongs to the window (ShowBusmonitor); the item only names it.
    PopBusmonitor = PopupMenu1->addAction(QStringLiteral("Busmonitor\u2026\tF2"));

    for (TMemo* memo : {MemoIn, MemoOut}) {
        memo->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(memo, &QWidget::customContextMenuRequested, this, [this, memo](const QPoint& at) {
            PopupComponent = memo;
            PopupMenu1->popup(memo->mapToGlobal(at));
        });
    }
    auto bind = [this](QAction* item, void (TForm1::*handler)(QObject*)) {
        connect(item, &QAction::triggered, this, [this, item, handler] { Guarded([&] { (this->*handler)(item); }); });
    };
    bind(PopClearMemo, &TForm1::PopClearMemoClick);
    bind(PopClearMemos, &TForm1::PopClearMemosClick);
    bind(PopCut, &TForm1::PopCutClick);
    bind(PopCopy, &TForm1::PopCopyClick);
    bind(PopMarkAll, &TForm1::PopMarkAllClick);
    bind(PopCapture, &TForm1::PopCaptureClick);
    bind(PopBusmonitor, &TForm1::PopBusmonitorClick);
}

void TForm1::PopClearMemoClick(QObject*)
{
    if (PopupComponent)
        PopupComponent->SetText("");
}

void TForm1::PopClearMemosClick(QObject*)
{
    MemoIn->SetText("");
    MemoOut->SetText("");
}

void TForm1::PopCutClick(QObject* Sender)
{
    PopCopyClick(Sender);
    if (PopupComponent)
        PopupComponent->RemoveSelectedText();
}

void TForm1::PopCopyClick(QObject*)
{
    if (!PopupComponent)
        return;
    // Also with nothing selected: the clipboard then holds an empty text.
    QApplication::clipboard()->setText(codepage::ToText(PopupComponent->SelectedText()));
}

void TForm1::PopMarkAllClick(QObject*)
{
    if (PopupComponent)
        PopupComponent->selectAll();
}
