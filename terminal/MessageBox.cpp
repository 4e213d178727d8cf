#include "MessageBox.h"

#include "CodePage.h"

#include <QApplication>
#include <QMessageBox>

namespace terminal {
namespace {
std::function<void(const std::string&)>& Sink()
{
    static std::function<void(const std::string&)> sink;
    return sink;
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
    box.exec();
}

} // namespace terminal
