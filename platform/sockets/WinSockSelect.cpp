// Message windows and asynchronous selection of the Windows Sockets stand-in.
//
// One dispatcher object per thread receives every posted message of that
// thread's windows as a QEvent. Qt keeps posted events of equal priority in
// posting order, so all windows of a thread share one FIFO, and nothing
// posted is delivered before the poster has returned to the event loop.
//
// Readiness comes from QSocketNotifier, which is level-triggered: a notifier
// is enabled only while its event is wanted and not yet posted (see
// Evaluate), so an unread socket does not keep waking the loop. Notifier
// activations only post messages; handlers never run inside them.
#include "WinSockInternal.h"

namespace {
constexpr int kSockDgram = winsock::SOCK_DGRAM;
} // namespace

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QtGlobal>

#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace winsock {

namespace {

QEvent::Type MessageEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class MessageEvent : public QEvent {
public:
    MessageEvent(HWND w, UINT m, WPARAM wp, LPARAM lp)
        : QEvent(MessageEventType()), wnd(w), msg(m), wParam(wp), lParam(lp) {}
    HWND wnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    // Runs on the window's thread right before delivery; false drops it.
    std::function<bool(LPARAM&)> prepare;
};

class MessageDispatcher;

struct WindowRecord {
    std::shared_ptr<WNDPROC> proc;
    QPointer<MessageDispatcher> dispatcher;
};

std::mutex gWindowMutex;
std::unordered_map<HWND, WindowRecord> gWindows;
HWND gNextWindow = 1;

class MessageDispatcher : public QObject {
public:
    bool event(QEvent* e) override
    {
        if (e->type() != MessageEventType())
            return QObject::event(e);
        auto* m = static_cast<MessageEvent*>(e);
        // The message may have been made on another thread (a look-up, the
        // port's event thread): it is read under the lock it was posted under,
        // so the hand-over is ordered also for tools that cannot see into
        // Qt's own queue.
        HWND wnd;
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        std::function<bool(LPARAM&)> prepare;
        std::shared_ptr<WNDPROC> proc; // keeps the procedure alive should its window go
        {
            std::lock_guard lock(gWindowMutex);
            wnd = m->wnd;
            msg = m->msg;
            wParam = m->wParam;
            lParam = m->lParam;
            prepare = std::move(m->prepare);
            auto it = gWindows.find(wnd);
            if (it != gWindows.end())
                proc = it->second.proc;
        }
        if (proc) {
            try {
                if (prepare && !prepare(lParam))
                    return true;
                (*proc)(wnd, msg, wParam, lParam);
            } catch (...) {
                // Throwing through Qt's event loop is undefined; a window
                // procedure that lets something escape loses it here.
                qCritical("winsock: exception escaped the handler of message %u", msg);
            }
        }
        return true;
    }
};

thread_local QPointer<MessageDispatcher> tDispatcher;

MessageDispatcher* ThreadDispatcher()
{
    if (!tDispatcher) {
        auto* d = new MessageDispatcher;
        QCoreApplication* app = QCoreApplication::instance();
        if (app && app->thread() == QThread::currentThread())
            d->setParent(app);
        else if (QThread* t = QThread::currentThread())
            QObject::connect(t, &QThread::finished, d, &QObject::deleteLater);
        tDispatcher = d;
    }
    return tDispatcher;
}

} // namespace

HWND CreateMessageWindow(WNDPROC proc)
{
    MessageDispatcher* d = ThreadDispatcher();
    std::lock_guard lock(gWindowMutex);
    HWND wnd = gNextWindow++;
    gWindows.emplace(wnd, WindowRecord{std::make_shared<WNDPROC>(std::move(proc)), d});
    return wnd;
}

void DestroyMessageWindow(HWND wnd)
{
    std::shared_ptr<WNDPROC> keep; // released outside the lock
    std::lock_guard lock(gWindowMutex);
    auto it = gWindows.find(wnd);
    if (it == gWindows.end())
        return;
    keep = std::move(it->second.proc);
    gWindows.erase(it);
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard lock(gWindowMutex);
    auto it = gWindows.find(wnd);
    if (it == gWindows.end() || !it->second.dispatcher)
        return false;
    QCoreApplication::postEvent(it->second.dispatcher.data(), new MessageEvent(wnd, msg, wParam, lParam));
    return true;
}

namespace detail {

bool PostPreparedMessage(HWND wnd, UINT msg, WPARAM wParam, std::function<bool(LPARAM&)> Prepare)
{
    std::lock_guard lock(gWindowMutex);
    auto it = gWindows.find(wnd);
    if (it == gWindows.end() || !it->second.dispatcher)
        return false;
    auto* e = new MessageEvent(wnd, msg, wParam, 0);
    e->prepare = std::move(Prepare);
    QCoreApplication::postEvent(it->second.dispatcher.data(), e);
    return true;
}

namespace {

void OnReady(SOCKET s);

void Arm(Entry& e, QSocketNotifier*& n, QSocketNotifier::Type type, bool on)
{
    if (!on) {
        if (n && n->isEnabled())
            n->setEnabled(false);
        return;
    }
    if (!n) {
        n = new QSocketNotifier(e.fd, type);
        SOCKET s = e.handle;
        QObject::connect(n, &QSocketNotifier::activated, n, [s] { OnReady(s); });
    }
    if (!n->isEnabled())
        n->setEnabled(true);
}

void Post(const Entry& e, long event, int error)
{
    PostMessage(e.wnd, e.msg, e.handle, WSAMAKESELECTREPLY(event, error));
}

// Decides, from the socket's readiness and the enabled events, what to post
// now and which notifiers to arm for what is still awaited.
void Evaluate(Entry& e)
{
    if (!e.Registered()) {
        Arm(e, e.readNotifier, QSocketNotifier::Read, false);
        Arm(e, e.writeNotifier, QSocketNotifier::Write, false);
        return;
    }
    pollfd p{e.fd, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0)
        p.revents = 0;
    const bool readable = p.revents & (POLLIN | POLLERR | POLLHUP);
    const bool writable = p.revents & (POLLOUT | POLLERR | POLLHUP);
    bool wantRead = false;
    bool wantWrite = false;

    if (e.phase == Phase::Connecting) {
        if (!e.pendingConnectError && !writable) {
            Arm(e, e.readNotifier, QSocketNotifier::Read, false);
            Arm(e, e.writeNotifier, QSocketNotifier::Write, true);
            return;
        }
        int err = e.pendingConnectError;
        e.pendingConnectError = 0;
        if (!err) {
            socklen_t len = sizeof err;
            if (::getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
        const bool report = e.connectEnabled && (e.mask & FD_CONNECT);
        e.connectEnabled = false;
        if (err) {
            e.phase = Phase::Failed;
            if (report)
                Post(e, FD_CONNECT, WsaFromErrno(err));
            Arm(e, e.readNotifier, QSocketNotifier::Read, false);
            Arm(e, e.writeNotifier, QSocketNotifier::Write, false);
            return;
        }
        e.phase = Phase::Connected;
        e.everConnected = true;
        if (report)
            Post(e, FD_CONNECT, 0);
        // FD_WRITE follows a completed connect at once.
        e.writeEnabled = true;
        if (e.mask & FD_WRITE) {
            Post(e, FD_WRITE, 0);
            e.writeEnabled = false;
        }
    }

    long post[3] = {0, 0, 0}; // ACCEPT or READ, WRITE, CLOSE in this order
    int closeError = 0;

    if (e.phase == Phase::Listening) {
        if (e.acceptEnabled && (e.mask & FD_ACCEPT)) {
            if (readable) {
                post[0] = FD_ACCEPT;
                e.acceptEnabled = false;
            } else {
                wantRead = true;
            }
        }
    } else if (e.phase == Phase::Connected) {
        const bool readWanted = e.readEnabled && (e.mask & FD_READ);
        const bool closeWanted = e.closeEnabled && (e.mask & FD_CLOSE);
        if (e.type == kSockDgram) {
            if (readWanted) {
                if (readable) {
                    post[0] = FD_READ;
                    e.readEnabled = false;
                } else {
                    wantRead = true;
                }
            }
        } else if (!e.shutRecv && (readWanted || closeWanted)) {
            if (e.eofSeen) {
                if (closeWanted) {
                    post[2] = FD_CLOSE;
                    closeError = e.latchedError == WSAECONNRESET ? WSAECONNABORTED : e.latchedError;
                    e.closeEnabled = false;
                }
            } else if (readable) {
                char c;
                ssize_t n = ::recv(e.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
                int err = n < 0 ? errno : 0;
                if (n > 0) {
                    // Unread data: FD_READ if wanted. Were it not, a peek
                    // could not see the end of stream behind the data, so the
                    // notifier stays off until a recv enables reading again.
                    if (readWanted) {
                        post[0] = FD_READ;
                        e.readEnabled = false;
                    }
                } else if (n == 0 || (err != EAGAIN && err != EWOULDBLOCK && err != EINTR)) {
                    e.eofSeen = true;
                    if (n < 0) {
                        // The kernel reports the error once; keep it for
                        // later recv and send calls.
                        e.latchedError = err == ECONNRESET ? WSAECONNRESET : WsaFromErrno(err);
                        closeError = err == ECONNRESET ? WSAECONNABORTED : WsaFromErrno(err);
                    }
                    if (closeWanted) {
                        post[2] = FD_CLOSE;
                        e.closeEnabled = false;
                    }
                } else {
                    wantRead = true;
                }
            } else {
                wantRead = true;
            }
        }
        if (e.writeEnabled && (e.mask & FD_WRITE)) {
            if (writable) {
                post[1] = FD_WRITE;
                e.writeEnabled = false;
            } else {
                wantWrite = true;
            }
        }
    }

    for (long ev : post)
        if (ev)
            Post(e, ev, ev == FD_CLOSE ? closeError : 0);
    Arm(e, e.readNotifier, QSocketNotifier::Read, wantRead);
    Arm(e, e.writeNotifier, QSocketNotifier::Write, wantWrite);
}

void OnReady(SOCKET s)
{
    if (auto e = Find(s))
        Evaluate(*e);
}

} // namespace

void ReadCalled(Entry& e)
{
    e.readEnabled = true;
    if (!e.Registered() || !(e.mask & FD_READ) || e.phase != Phase::Connected || e.eofSeen || e.shutRecv)
        return;
    // Whether data is there is left to the notifier: it fires at once if so.
    Arm(e, e.readNotifier, QSocketNotifier::Read, true);
}

void AcceptCalled(Entry& e)
{
    e.acceptEnabled = true;
    if (e.Registered() && (e.mask & FD_ACCEPT) && e.phase == Phase::Listening)
        Arm(e, e.readNotifier, QSocketNotifier::Read, true);
}

void WriteBlocked(Entry& e)
{
    e.writeEnabled = true;
    if (e.Registered() && (e.mask & FD_WRITE) && e.phase == Phase::Connected)
        Arm(e, e.writeNotifier, QSocketNotifier::Write, true);
}

void PhaseChanged(Entry& e)
{
    if (e.Registered())
        Evaluate(e);
}

void DropNotifiers(Entry& e)
{
    delete e.readNotifier;
    e.readNotifier = nullptr;
    delete e.writeNotifier;
    e.writeNotifier = nullptr;
}

} // namespace detail

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long lEvent)
{
    if (!detail::Started())
        return SOCKET_ERROR;
    auto e = detail::Find(s);
    if (!e) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if (lEvent != 0 && wnd == 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!e->nonBlocking) {
        int fl = ::fcntl(e->fd, F_GETFL);
        if (fl < 0 || ::fcntl(e->fd, F_SETFL, fl | O_NONBLOCK) != 0) {
            WSASetLastError(detail::WsaFromErrno(errno));
            return SOCKET_ERROR;
        }
        e->nonBlocking = true;
    }
    e->wnd = lEvent ? wnd : 0;
    e->msg = lEvent ? msg : 0;
    e->mask = lEvent;
    // A new registration reports afresh whatever holds now; FD_CONNECT
    // alone is never repeated.
    e->readEnabled = e->writeEnabled = e->acceptEnabled = e->closeEnabled = true;
    detail::Evaluate(*e);
    return 0;
}

} // namespace winsock
