#pragma once
// A multi-line text pane that holds bytes. The pane's text is the bytes shown
// through the program's code page; CR LF is a line break. A CR or LF that is
// not part of a CR LF pair is kept as a visible symbol (U+240D, U+240A), so
// that the whole text, and any copied selection, gives back exactly the bytes
// that were put in.
//
// Text is only ever appended at the end, through a cursor: the cost of an
// append does not depend on how much the pane already holds.

#include <QPlainTextEdit>
#include <string>

class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);

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

    // The mapping used by the pane, exposed for the clipboard and for tests.
    static QString ToPaneText(const std::string& bytes);
    static std::string FromPaneText(const QString& text);

protected:
    QMimeData* createMimeDataFromSelection() const override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void InsertAtEnd(const std::string& bytes);
};
