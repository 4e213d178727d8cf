#include "CloseSignals.h"
#include "MessageBox.h"
#include "Unit1.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

#ifndef TARROWIN_VERSION
#define TARROWIN_VERSION "unknown"
#endif

int main(int argc, char** argv)
{
    // Answered before anything else, so neither needs a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs("tarrowin " TARROWIN_VERSION "\n", stdout);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs("usage: tarrowin [Qt options]\n"
                   "       tarrowin --version\n"
                   "Watch and drive one serial port by hand; see tarrowin(1).\n",
                   stdout);
        return 0;
    }
    QApplication app(argc, argv);
    // A close request by signal (logout, shutdown, kill, Ctrl+C) goes the
    // way of the close button, so the port is closed, the settings are
    // saved, and a failing close keeps the window open. A message box open
    // at that moment is closed first: the request never waits for someone to
    // dismiss it. Watched before anything slow happens; one that comes while
    // the window is still being made (a box of the restore runs an event
    // loop) is carried out as soon as the window exists.
    TForm1* mainForm = nullptr;
    bool closeRequested = false;
    platform::WatchCloseSignals([&](int) {
        terminal::CloseMessageBoxes();
        if (mainForm)
            mainForm->close();
        else
            closeRequested = true;
    });
    // The name only: a display name would be appended to every window title
    // ("... — Tarrowin"). Message boxes take this name as their title.
    QApplication::setApplicationName(QStringLiteral("Tarrowin"));
    ApplyProgramFont();

    TForm1 form;
    mainForm = &form;
    if (closeRequested && form.close())
        return 0;
    form.show();
    // Closed while first shown (the election runs in the show): before the
    // message loop runs, the quit of the last window closed would be lost.
    if (form.Closed())
        return 0;
    return app.exec();
}
