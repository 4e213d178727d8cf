#include "CloseSignals.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int sig)
{
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    // A full pipe means a close request is already pending; dropping this
    // one loses nothing.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &b, 1);
    errno = saved;
}

} // namespace

void WatchCloseSignals(std::function<void(int signal)> onSignal)
{
    if (g_pipe[0] >= 0)
        return;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe2");
        return;
    }
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [onSignal = std::move(onSignal)]() {
                         unsigned char b;
                         while (::read(g_pipe[0], &b, 1) == 1)
                             onSignal(b);
                     });
    struct sigaction sa {};
    sa.sa_handler = OnCloseSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace platform
