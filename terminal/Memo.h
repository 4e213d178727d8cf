#pragma once
// A multi-line text pane that holds bytes. The pane's text is the bytes shown
// through the program's code page; CR LF is a line break. A CR or LF that is
// not part of a CR LF pair is shown as a visible symbol (U+240D, U+240A), so
// that the whole text, and any copied selection, gives back exactly the bytes
// that were put in.
//
// The bytes live in a TPaneText; the pane lays out and paints only the lines
// in view. An append costs the same however much the pane holds, and once
// the pane's capacity is reached its oldest whole lines leave it (Trimmed()
// says so).
//
// The vertical scroll bar counts lines; a line wrapped over several rows
// scrolls row by row with the wheel and the keys.

#include "PaneText.h"

#include <QAbstractScrollArea>
#include <QTextLayout>

#include <memory>
#include <string>
#include <unordered_map>

class TMemo : public QAbstractScrollArea {
    Q_OBJECT
public:
    enum LineWrapMode { NoWrap, WidgetWidth };
    Q_ENUM(LineWrapMode)

    explicit TMemo(QWidget* parent = nullptr);
    ~TMemo() override;

    // The whole text as bytes, line breaks as CR LF.
    std::string Text() const;
    // Replaces the whole text.
    void SetText(const std::string& bytes);
    // Adds bytes as a new last line: behind an empty text or a line break
    // the bytes followed by CR LF, otherwise CR LF followed by the bytes. The
    // newest line is brought into view.
    void AddLine(const std::string& bytes);
    // Appends bytes at the end as they are.
    void AppendText(const std::string& bytes);
    // True when the text is empty or ends with a line break.
    bool EndsWithLineBreak() const;

    // The most bytes the pane keeps (see TPaneText::SetCapacity).
    void SetCapacity(uint64_t bytes);
    uint64_t Capacity() const;
    const terminal::TPaneText& Content() const { return text_; }

    // Selection as offsets into Content() (anchor, caret).
    void Select(uint64_t anchor, uint64_t caret);
    uint64_t SelectionStart() const;
    uint64_t SelectionEnd() const;
    std::string SelectedText() const;
    void RemoveSelectedText();
    void selectAll();
    void copy() const;
    // Replaces the selection by the clipboard's text (not when read-only).
    void paste();

    // Properties of the window definition.
    bool isReadOnly() const { return readOnly_; }
    void setReadOnly(bool readOnly) { readOnly_ = readOnly; }
    LineWrapMode lineWrapMode() const { return wrap_; }
    void setLineWrapMode(LineWrapMode mode);
    void setPlainText(const QString& text);

    // True when the newest line is in view (appends keep it so).
    bool AtEnd() const;

    // The mapping used by the pane, exposed for the clipboard and for tests.
    static QString ToPaneText(const std::string& bytes);
    static std::string FromPaneText(const QString& text);

signals:
    // The capacity was reached and the oldest lines left the pane.
    void Trimmed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Place {
        uint64_t line = 0;
        int row = 0;
    };

    void Appended(bool trimmed);
    QTextLayout& LayoutOf(uint64_t line) const;
    int RowsOf(uint64_t line) const;
    int RowHeight() const;
    int VisibleRows() const;
    Place BottomPlace() const;
    Place Step(Place from, int rows) const;
    void ShowPlace(Place place);
    void ScrollToEnd();
    void SyncScrollBar();
    void ForgetLayouts();
    uint64_t PositionAt(const QPoint& at) const;
    void EnsureVisible(uint64_t pos);

    terminal::TPaneText text_;
    uint64_t anchor_ = 0;
    uint64_t caret_ = 0;
    Place top_;
    bool readOnly_ = false;
    bool selecting_ = false;
    bool syncing_ = false;
    LineWrapMode wrap_ = WidgetWidth;
    mutable std::unordered_map<uint64_t, std::unique_ptr<QTextLayout>> layouts_;
};
