#pragma once
// On Linux a request to close the program also arrives as a signal: SIGTERM
// (kill, shutdown), SIGINT (Ctrl+C in the starting terminal) or SIGHUP
// (logout, terminal closed). The signal handler only writes to a pipe; the
// callback runs later on the main thread from Qt's event loop, where it can
// close the window exactly like the close button does.

#include <functional>

namespace platform {

// Installs the handlers for SIGTERM, SIGINT and SIGHUP. Call once, on the
// main thread, after the application object exists.
void WatchCloseSignals(std::function<void(int signal)> onSignal);

} // namespace platform
