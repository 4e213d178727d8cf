#include "CloseSignals.h"
#include "Unit1.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Watch for close signals before anything slow happens; the request is
    // carried out from the event loop, once the window exists.
    TForm1* mainForm = nullptr;
    platform::WatchCloseSignals([&mainForm](int) {
        if (mainForm)
            mainForm->close();
    });
    // The name only: a display name would be appended to every window title
    // ("... — Tarrowin"). Message boxes take this name as their title.
    QApplication::setApplicationName(QStringLiteral("Tarrowin"));
    ApplyProgramFont();

    TForm1 form;
    // A close requested by a signal goes exactly the way of the close button,
    // so the port is closed and a failing close keeps the window open.
    mainForm = &form;
    form.show();
    return app.exec();
}
