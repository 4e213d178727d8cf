#include "Memo.h"

#include "CodePage.h"

#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {
constexpr char16_t kLoneCr = 0x240D;
constexpr char16_t kLoneLf = 0x240A;
} // namespace

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent)
{
    // Panes grow without limit; an undo history would keep a second copy.
    setUndoRedoEnabled(false);
}

QString TMemo::ToPaneText(const std::string& bytes)
{
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            text.append(QChar::ParagraphSeparator);
            ++i;
        } else if (b == '\r') {
            text.append(QChar(kLoneCr));
        } else if (b == '\n') {
            text.append(QChar(kLoneLf));
        } else {
            text.append(QChar(static_cast<char16_t>(codepage::CharOf(b))));
        }
    }
    return text;
}

std::string TMemo::FromPaneText(const QString& text)
{
    std::string bytes;
    bytes.reserve(static_cast<size_t>(text.size()));
    for (QChar ch : text) {
        char16_t u = ch.unicode();
        if (u == QChar::ParagraphSeparator || u == QChar::LineSeparator || u == '\n') {
            bytes += "\r\n";
        } else if (u == kLoneCr || u == '\r') {
            bytes.push_back('\r');
        } else if (u == kLoneLf) {
            bytes.push_back('\n');
        } else {
            unsigned char b;
            if (codepage::ByteOf(u, b))
                bytes.push_back(static_cast<char>(b));
        }
    }
    return bytes;
}

std::string TMemo::Text() const
{
    return FromPaneText(document()->toRawText());
}

void TMemo::SetText(const std::string& bytes)
{
    setPlainText(QString());
    InsertAtEnd(bytes);
}

bool TMemo::EndsWithLineBreak() const
{
    const QTextDocument* doc = document();
    // An empty last block means the text ends with a line break (or is empty).
    return doc->lastBlock().length() <= 1;
}

void TMemo::AddLine(const std::string& bytes)
{
    std::string line;
    line.reserve(bytes.size() + 2);
    if (EndsWithLineBreak()) {
        line += bytes;
        line += "\r\n";
    } else {
        // Behind an unfinished last line the new line is only separated
        // from it; it is not finished either.
        line += "\r\n";
        line += bytes;
    }
    InsertAtEnd(line);
}

void TMemo::AppendText(const std::string& bytes)
{
    InsertAtEnd(bytes);
}

void TMemo::InsertAtEnd(const std::string& bytes)
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    std::string_view rest(bytes);
    // A CR that ended the previous append and the LF that starts this one
    // are one line break.
    if (!rest.empty() && rest.front() == '\n' && !cursor.atStart()) {
        QTextCursor last = cursor;
        last.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor);
        if (last.selectedText() == QString(QChar(kLoneCr))) {
            last.insertText(QString(QChar::ParagraphSeparator));
            rest.remove_prefix(1);
            cursor.movePosition(QTextCursor::End);
        }
    }
    cursor.insertText(ToPaneText(std::string(rest)));
    setTextCursor(cursor);
    ensureCursorVisible();
}

QMimeData* TMemo::createMimeDataFromSelection() const
{
    auto* data = new QMimeData;
    std::string bytes = FromPaneText(textCursor().selectedText());
    data->setText(codepage::ToText(bytes));
    return data;
}

bool TMemo::canInsertFromMimeData(const QMimeData* source) const
{
    return source->hasText();
}

void TMemo::insertFromMimeData(const QMimeData* source)
{
    // Pasted text arrives as plain characters; keep CR LF as line breaks.
    bool lossless = true;
    std::string bytes = codepage::ToBytes(source->text(), &lossless);
    textCursor().insertText(ToPaneText(bytes));
}
