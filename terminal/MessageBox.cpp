#include "MessageBox.h"

#include "CodePage.h"

#include <QApplication>
#include <QMessageBox>

#include <memory>
#include <vector>

namespace terminal {
namespace {
std::function<void(const std::string&)>& Sink()
{
    static std::function<void(const std::string&)> sink;
    return sink;
}
// The boxes on the screen now, the innermost last.
std::vector<QMessageBox*>& OpenBoxes()
{
    static std::vector<QMessageBox*> boxes;
    return boxes;
}
} // namespace

void SetMessageBoxSink(std::function<void(const std::string& text)> sink)
{
    Sink() = std::move(sink);
}

void ShowMessage(const std::string& text)
{
    if (Sink()) {
        Sink()(text);
        return;
    }
    QString shown = codepage::ToText(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    // No parent: the box is centred on the screen, not on the window.
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), shown,
                    QMessageBox::Ok);
    OpenBoxes().push_back(&box);
    const std::shared_ptr<void> closed(nullptr, [&box](void*) { std::erase(OpenBoxes(), &box); });
    box.exec();
}

void CloseMessageBoxes()
{
    // Each box's own loop ends once control is back in it.
    for (QMessageBox* box : OpenBoxes())
        box->done(QMessageBox::Ok);
}

} // namespace terminal
