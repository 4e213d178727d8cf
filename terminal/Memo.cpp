#include "Memo.h"

#include "CodePage.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>

#include <algorithm>
#include <vector>

namespace {
constexpr char16_t kLoneCr = 0x240D;
constexpr char16_t kLoneLf = 0x240A;
constexpr char16_t kNul = 0x2400;
// Space between the frame and the text, as other text panes keep it.
constexpr int kMargin = 4;
// Laid-out lines kept for painting and scrolling; a screenful is a few
// dozen. Lines far from the view are dropped first.
constexpr size_t kMaxLayouts = 128;

// One line's characters: every byte is one character, so a character's
// index in the layout is the byte's distance from the line's start.
QString LineChars(const std::string& bytes)
{
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        char16_t u;
        if (b == '\r')
            u = kLoneCr;
        else if (b == '\n')
            u = kLoneLf;
        else if (b == 0)
            u = kNul;
        else
            u = static_cast<char16_t>(codepage::CharOf(b));
        *out++ = QChar(u);
    }
    return text;
}
} // namespace

TMemo::TMemo(QWidget* parent) : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    horizontalScrollBar()->setRange(0, 0);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (syncing_)
            return;
        const Place bottom = BottomPlace();
        const uint64_t line = text_.FirstLine() + static_cast<uint64_t>(std::max(value, 0));
        top_ = line >= bottom.line ? bottom : Place{line, 0};
        viewport()->update();
    });
}

TMemo::~TMemo() = default;

// --- The mapping between bytes and pane text --------------------------------

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

// --- Text ---------------------------------------------------------------------

std::string TMemo::Text() const
{
    return text_.All();
}

void TMemo::SetText(const std::string& bytes)
{
    text_.Clear();
    ForgetLayouts();
    Appended(text_.Append(bytes));
}

void TMemo::setPlainText(const QString& text)
{
    SetText(codepage::ToBytes(text));
}

bool TMemo::EndsWithLineBreak() const
{
    return text_.EndsWithLineBreak();
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
    AppendText(line);
}

void TMemo::AppendText(const std::string& bytes)
{
    // The last line may grow; every other line stays as it was laid out.
    layouts_.erase(text_.LastLine());
    Appended(text_.Append(bytes));
}

void TMemo::Appended(bool trimmed)
{
    // The caret goes behind the new text and the pane follows it, dropping
    // a selection the user made.
    anchor_ = caret_ = text_.End();
    ScrollToEnd();
    if (trimmed)
        emit Trimmed();
}

void TMemo::SetCapacity(uint64_t bytes)
{
    const uint64_t first = text_.FirstLine();
    text_.SetCapacity(bytes);
    if (text_.FirstLine() != first) {
        Select(anchor_, caret_);
        ScrollToEnd();
        emit Trimmed();
    }
}

uint64_t TMemo::Capacity() const
{
    return text_.Capacity();
}

// --- Selection and clipboard ----------------------------------------------------

void TMemo::Select(uint64_t anchor, uint64_t caret)
{
    anchor_ = std::clamp(anchor, text_.Begin(), text_.End());
    caret_ = std::clamp(caret, text_.Begin(), text_.End());
    viewport()->update();
}

uint64_t TMemo::SelectionStart() const
{
    return std::max(std::min(anchor_, caret_), text_.Begin());
}

uint64_t TMemo::SelectionEnd() const
{
    return std::max(std::max(anchor_, caret_), text_.Begin());
}

std::string TMemo::SelectedText() const
{
    return text_.Bytes(SelectionStart(), SelectionEnd());
}

void TMemo::RemoveSelectedText()
{
    const uint64_t from = SelectionStart();
    const uint64_t to = SelectionEnd();
    if (from >= to)
        return;
    const bool atEnd = AtEnd();
    text_.Replace(from, to, {});
    ForgetLayouts();
    anchor_ = caret_ = from;
    if (atEnd || top_.line > text_.LastLine())
        ScrollToEnd();
    else
        ShowPlace({top_.line, 0});
}

void TMemo::selectAll()
{
    Select(text_.Begin(), text_.End());
}

void TMemo::copy() const
{
    QApplication::clipboard()->setText(codepage::ToText(SelectedText()));
}

void TMemo::paste()
{
    if (readOnly_)
        return;
    const std::string bytes = codepage::ToBytes(QApplication::clipboard()->text());
    const uint64_t from = SelectionStart();
    text_.Replace(from, SelectionEnd(), bytes);
    ForgetLayouts();
    anchor_ = caret_ = std::min(from + bytes.size(), text_.End());
    EnsureVisible(caret_);
}

// --- Layout -----------------------------------------------------------------------

void TMemo::setLineWrapMode(LineWrapMode mode)
{
    wrap_ = mode;
    ForgetLayouts();
    ShowPlace(top_);
}

void TMemo::ForgetLayouts()
{
    layouts_.clear();
}

int TMemo::RowHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

int TMemo::VisibleRows() const
{
    return std::max(1, (viewport()->height() - kMargin) / RowHeight());
}

QTextLayout& TMemo::LayoutOf(uint64_t line) const
{
    auto found = layouts_.find(line);
    if (found != layouts_.end())
        return *found->second;
    if (layouts_.size() >= kMaxLayouts) {
        // Keep the half nearest to the view and to the end, where appends
        // and painting look.
        const uint64_t view = top_.line;
        const uint64_t last = text_.LastLine();
        auto distance = [&](uint64_t l) {
            const uint64_t toView = l > view ? l - view : view - l;
            return std::min(toView, last - std::min(l, last));
        };
        std::vector<uint64_t> lines;
        lines.reserve(layouts_.size());
        for (const auto& entry : layouts_)
            lines.push_back(entry.first);
        std::nth_element(lines.begin(), lines.begin() + kMaxLayouts / 2, lines.end(),
                         [&](uint64_t a, uint64_t b) { return distance(a) < distance(b); });
        for (auto it = lines.begin() + kMaxLayouts / 2; it != lines.end(); ++it)
            layouts_.erase(*it);
    }
    auto layout = std::make_unique<QTextLayout>(LineChars(text_.Bytes(text_.LineStart(line), text_.LineEnd(line))),
                                                font());
    QTextOption option;
    option.setWrapMode(wrap_ == WidgetWidth ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    layout->setTextOption(option);
    // Shaped glyphs are made again for each paint of the few lines in view
    // rather than kept for every line laid out.
    layout->setCacheEnabled(false);
    const qreal width = std::max(10, viewport()->width() - 2 * kMargin);
    const int rowHeight = RowHeight();
    layout->beginLayout();
    for (int row = 0;; ++row) {
        QTextLine textLine = layout->createLine();
        if (!textLine.isValid())
            break;
        if (wrap_ == WidgetWidth)
            textLine.setLineWidth(width);
        textLine.setPosition(QPointF(0, row * rowHeight));
    }
    layout->endLayout();
    return *layouts_.emplace(line, std::move(layout)).first->second;
}

int TMemo::RowsOf(uint64_t line) const
{
    return std::max(1, LayoutOf(line).lineCount());
}

// --- Scrolling ----------------------------------------------------------------------

TMemo::Place TMemo::BottomPlace() const
{
    const int rows = VisibleRows();
    int below = 0;
    for (uint64_t line = text_.LastLine();; --line) {
        const int r = RowsOf(line);
        if (below + r >= rows)
            return {line, below + r - rows};
        below += r;
        if (line == text_.FirstLine())
            return {line, 0};
    }
}

TMemo::Place TMemo::Step(Place p, int rows) const
{
    while (rows > 0) {
        const int r = RowsOf(p.line);
        if (p.row + rows < r) {
            p.row += rows;
            break;
        }
        if (p.line >= text_.LastLine()) {
            p.row = r - 1;
            break;
        }
        rows -= r - p.row;
        ++p.line;
        p.row = 0;
    }
    while (rows < 0) {
        if (p.row + rows >= 0) {
            p.row += rows;
            break;
        }
        if (p.line <= text_.FirstLine()) {
            p.row = 0;
            break;
        }
        rows += p.row + 1;
        --p.line;
        p.row = RowsOf(p.line) - 1;
    }
    return p;
}

void TMemo::ShowPlace(Place place)
{
    const Place bottom = BottomPlace();
    if (place.line < text_.FirstLine())
        place = {text_.FirstLine(), 0};
    if (place.line > bottom.line || (place.line == bottom.line && place.row > bottom.row))
        place = bottom;
    top_ = place;
    SyncScrollBar();
    viewport()->update();
}

void TMemo::ScrollToEnd()
{
    ShowPlace(BottomPlace());
}

bool TMemo::AtEnd() const
{
    const Place bottom = BottomPlace();
    return top_.line == bottom.line && top_.row == bottom.row;
}

void TMemo::SyncScrollBar()
{
    const Place bottom = BottomPlace();
    const auto first = text_.FirstLine();
    QScrollBar* bar = verticalScrollBar();
    syncing_ = true;
    bar->setRange(0, static_cast<int>(bottom.line - first));
    bar->setPageStep(std::max(1, VisibleRows()));
    bar->setValue(static_cast<int>(top_.line - first));
    syncing_ = false;
}

void TMemo::scrollContentsBy(int, int)
{
    // The view is painted from top_, which the scroll bar's handler keeps.
    viewport()->update();
}

void TMemo::EnsureVisible(uint64_t pos)
{
    const uint64_t line = text_.LineOf(pos);
    if (line < top_.line) {
        ShowPlace({line, 0});
        return;
    }
    // Rows from the view's top to the line's last row.
    int rows = RowsOf(top_.line) - top_.row;
    for (uint64_t l = top_.line + 1; l <= line && rows <= VisibleRows(); ++l)
        rows += RowsOf(l);
    if (rows > VisibleRows())
        ShowPlace(Step({line, RowsOf(line) - 1}, 1 - VisibleRows()));
    else
        ShowPlace(top_);
}

// --- Painting and input ---------------------------------------------------------------

void TMemo::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const int rowHeight = RowHeight();
    const int height = viewport()->height();
    const uint64_t selFrom = SelectionStart();
    const uint64_t selTo = SelectionEnd();
    // The selection stays visible while another control has the focus.
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Active, QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::Active, QPalette::HighlightedText));
    painter.setPen(palette().color(QPalette::Text));

    int y = kMargin - top_.row * rowHeight;
    for (uint64_t line = top_.line; line <= text_.LastLine() && y < height; ++line) {
        QTextLayout& layout = LayoutOf(line);
        const uint64_t start = text_.LineStart(line);
        const uint64_t end = text_.LineEnd(line);
        QList<QTextLayout::FormatRange> ranges;
        if (selFrom < selTo && selFrom < end && selTo > start) {
            const auto from = std::max(selFrom, start) - start;
            const auto to = std::min(selTo, end) - start;
            if (to > from)
                ranges.append({static_cast<int>(from), static_cast<int>(to - from), selected});
        }
        layout.draw(&painter, QPointF(kMargin, y), ranges);
        // A selected line break shows as a selected blank behind the line.
        if (selFrom <= end && selTo > end && end < text_.LineNext(line) && layout.lineCount() > 0) {
            const QTextLine last = layout.lineAt(layout.lineCount() - 1);
            painter.fillRect(QRectF(kMargin + last.naturalTextWidth(), y + last.y(),
                                    fontMetrics().horizontalAdvance(QLatin1Char(' ')), rowHeight),
                             selected.background());
        }
        y += RowsOf(line) * rowHeight;
    }
}

void TMemo::resizeEvent(QResizeEvent* event)
{
    const bool atEnd = AtEnd();
    QAbstractScrollArea::resizeEvent(event);
    ForgetLayouts();
    if (atEnd)
        ScrollToEnd();
    else
        ShowPlace({top_.line, 0});
}

void TMemo::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        ForgetLayouts();
        ShowPlace({top_.line, 0});
    }
}

uint64_t TMemo::PositionAt(const QPoint& at) const
{
    const int rowHeight = RowHeight();
    int y = kMargin - top_.row * rowHeight;
    if (at.y() < y)
        return text_.LineStart(top_.line);
    for (uint64_t line = top_.line; line <= text_.LastLine(); ++line) {
        QTextLayout& layout = LayoutOf(line);
        const int rows = RowsOf(line);
        if (at.y() < y + rows * rowHeight) {
            const int row = std::clamp((at.y() - y) / rowHeight, 0, std::max(0, layout.lineCount() - 1));
            int column = 0;
            if (layout.lineCount() > 0)
                column = layout.lineAt(row).xToCursor(at.x() - kMargin);
            return std::min(text_.LineStart(line) + static_cast<uint64_t>(std::max(column, 0)),
                            text_.LineEnd(line));
        }
        y += rows * rowHeight;
    }
    return text_.End();
}

void TMemo::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (!readOnly_ && event->matches(QKeySequence::Cut)) {
        copy();
        RemoveSelectedText();
    } else if (!readOnly_ && event->matches(QKeySequence::Paste)) {
        paste();
    } else if (event->key() == Qt::Key_Up) {
        ShowPlace(Step(top_, -1));
    } else if (event->key() == Qt::Key_Down) {
        ShowPlace(Step(top_, 1));
    } else if (event->key() == Qt::Key_PageUp) {
        ShowPlace(Step(top_, -VisibleRows()));
    } else if (event->key() == Qt::Key_PageDown) {
        ShowPlace(Step(top_, VisibleRows()));
    } else if (event->key() == Qt::Key_Home && (event->modifiers() & Qt::ControlModifier)) {
        ShowPlace({text_.FirstLine(), 0});
    } else if (event->key() == Qt::Key_End && (event->modifiers() & Qt::ControlModifier)) {
        ScrollToEnd();
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TMemo::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const uint64_t pos = PositionAt(event->position().toPoint());
    if (event->modifiers() & Qt::ShiftModifier)
        Select(anchor_, pos);
    else
        Select(pos, pos);
    selecting_ = true;
}

void TMemo::mouseMoveEvent(QMouseEvent* event)
{
    if (!selecting_)
        return;
    const QPoint at = event->position().toPoint();
    // Dragging past the edge scrolls the pane a row at a time.
    if (at.y() < 0)
        ShowPlace(Step(top_, -1));
    else if (at.y() >= viewport()->height())
        ShowPlace(Step(top_, 1));
    Select(anchor_, PositionAt(at));
}

void TMemo::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !selecting_)
        return;
    selecting_ = false;
    QClipboard* clipboard = QApplication::clipboard();
    if (clipboard->supportsSelection() && SelectionStart() < SelectionEnd())
        clipboard->setText(codepage::ToText(SelectedText()), QClipboard::Selection);
}

void TMemo::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    // The word under the mouse: letters and digits around the position.
    const uint64_t pos = PositionAt(event->position().toPoint());
    const uint64_t line = text_.LineOf(pos);
    const uint64_t start = text_.LineStart(line);
    const uint64_t end = text_.LineEnd(line);
    auto inWord = [&](uint64_t at) { return QChar(static_cast<char16_t>(codepage::CharOf(text_.At(at)))).isLetterOrNumber(); };
    uint64_t from = pos;
    uint64_t to = pos;
    while (from > start && inWord(from - 1))
        --from;
    while (to < end && inWord(to))
        ++to;
    Select(from, to);
}

void TMemo::wheelEvent(QWheelEvent* event)
{
    const int notches = event->angleDelta().y() / 120;
    if (notches != 0)
        ShowPlace(Step(top_, -notches * QApplication::wheelScrollLines()));
    event->accept();
}
