// The socket functions of the Windows Sockets stand-in.
#include "WinSockInternal.h"

// The Windows values of the names the system headers are about to define as
// macros, taken while they still mean the Windows ones.
namespace {
namespace w {
constexpr int kAfInet = winsock::AF_INET;
constexpr int kSockStream = winsock::SOCK_STREAM;
constexpr int kSockDgram = winsock::SOCK_DGRAM;
constexpr int kMsgOob = winsock::MSG_OOB;
constexpr int kMsgPeek = winsock::MSG_PEEK;
} // namespace w
} // namespace

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace winsock {
namespace detail {
namespace {

int SysFlags(int flags)
{
    int out = MSG_NOSIGNAL;
    if (flags & w::kMsgOob)
        out |= MSG_OOB;
    if (flags & w::kMsgPeek)
        out |= MSG_PEEK;
    return out;
}

int SendFailure(Entry& e, int err)
{
    if (err == EPIPE) {
        if (e.shutSend)
            return WSAESHUTDOWN;
        if (!e.everConnected)
            return WSAENOTCONN;
        return e.latchedError ? e.latchedError : WSAECONNRESET;
    }
    if (err == ECONNRESET) {
        e.latchedError = WSAECONNRESET;
        return WSAECONNRESET;
    }
    return WsaFromErrno(err);
}

std::atomic<int> gFailAccepts{0};
std::atomic<int> gFailAcceptError{0};

// The error an injected accept failure is to give, or 0.
int TakeInjectedAcceptFailure()
{
    int n = gFailAccepts.load();
    while (n > 0) {
        if (gFailAccepts.compare_exchange_weak(n, n - 1))
            return gFailAcceptError.load();
    }
    return 0;
}

bool IsConnectOutcome(int err)
{
    return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH;
}


} // namespace

void FailNextAccepts(int Count, int wsaError)
{
    gFailAcceptError = wsaError;
    gFailAccepts = Count;
}

} // namespace detail

using namespace detail;

SOCKET socket(int af, int type, int protocol)
{
    if (!Started())
        return INVALID_SOCKET;
    if (af != w::kAfInet) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    int sysType;
    if (type == w::kSockStream)
        sysType = SOCK_STREAM;
    else if (type == w::kSockDgram)
        sysType = SOCK_DGRAM;
    else {
        Fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = ::socket(AF_INET, sysType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    auto e = std::make_shared<Entry>();
    e->fd = fd;
    e->type = type;
    // A datagram socket is ready to send and receive from the start.
    e->phase = type == w::kSockDgram ? Phase::Connected : Phase::Fresh;
    return Register(e);
}

int bind(SOCKET s, const SOCKADDR* name, int namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    sockaddr_in sa;
    if (!ToSys(name, namelen, sa))
        return Fail(WSAEFAULT);
    // Windows lets a stream socket bind over connections that still wait out
    // TIME_WAIT (or the end of a close) on that address; Linux only with
    // SO_REUSEADDR, and only when the socket those connections came from had
    // it as well. So every stream socket bound to a port by number gets it
    // here, and the connections a listener accepts inherit it: a listener
    // started again soon after the last one ended binds as on Windows. A
    // live listener, and any socket bound without it, still holds its
    // address (10048). A port left to the system is chosen as before.
    if (e->type == w::kSockStream && sa.sin_port != 0) {
        const int on = 1;
        ::setsockopt(e->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(e->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return FailErrno();
    return 0;
}

int listen(SOCKET s, int backlog)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (e->type != w::kSockStream)
        return Fail(WSAEOPNOTSUPP);
    if (e->phase == Phase::Connected || e->phase == Phase::Connecting)
        return Fail(WSAEISCONN);
    // Linux binds an unbound socket to a free port here; Windows refuses.
    sockaddr_in sa;
    if (!GetBound(e->fd, sa) || sa.sin_port == 0)
        return Fail(WSAEINVAL);
    if (::listen(e->fd, backlog) != 0)
        return FailErrno();
    e->phase = Phase::Listening;
    PhaseChanged(*e);
    return 0;
}

SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen)
{
    auto e = Use(s);
    if (!e)
        return INVALID_SOCKET;
    if (e->phase != Phase::Listening) {
        Fail(WSAEINVAL);
        return INVALID_SOCKET;
    }
    if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(SOCKADDR_IN)))) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    if (int injected = TakeInjectedAcceptFailure()) {
        AcceptCalled(*e);
        Fail(injected);
        return INVALID_SOCKET;
    }
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int flags = SOCK_CLOEXEC | (e->nonBlocking ? SOCK_NONBLOCK : 0);
    int fd = ::accept4(e->fd, reinterpret_cast<sockaddr*>(&sa), &len, flags);
    int err = errno;
    AcceptCalled(*e);
    if (fd < 0) {
        Fail(WsaFromErrno(err));
        return INVALID_SOCKET;
    }
    auto n = std::make_shared<Entry>();
    n->fd = fd;
    n->type = w::kSockStream;
    n->phase = Phase::Connected;
    n->everConnected = true;
    n->nonBlocking = e->nonBlocking;
    FromSys(sa, addr, addrlen);
    return Register(n);
}

int connect(SOCKET s, const SOCKADDR* name, int namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    sockaddr_in sa;
    if (!ToSys(name, namelen, sa))
        return Fail(WSAEFAULT);
    if (e->phase == Phase::Connecting)
        return Fail(WSAEALREADY);
    if (e->type == w::kSockStream && e->phase == Phase::Connected)
        return Fail(WSAEISCONN);
    int rc = ::connect(e->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int err = rc == 0 ? 0 : errno;
    if (e->type != w::kSockStream) {
        // A datagram "connect" only fixes the default peer.
        return rc == 0 ? 0 : Fail(WsaFromErrno(err));
    }
    if (e->Registered()) {
        // A non-blocking connect never finishes inside the call on Windows:
        // every outcome, success and refusal alike, comes as FD_CONNECT.
        if (rc == 0 || err == EINPROGRESS || IsConnectOutcome(err)) {
            e->pendingConnectError = IsConnectOutcome(err) ? err : 0;
            e->phase = Phase::Connecting;
            PhaseChanged(*e);
            return Fail(WSAEWOULDBLOCK);
        }
        return Fail(WsaFromErrno(err));
    }
    if (rc == 0) {
        e->phase = Phase::Connected;
        e->everConnected = true;
        return 0;
    }
    if (err == EINPROGRESS) {
        e->phase = Phase::Connecting;
        return Fail(WSAEWOULDBLOCK);
    }
    if (err == EISCONN)
        return Fail(WSAEISCONN);
    return Fail(WsaFromErrno(err));
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    ssize_t n = ::send(e->fd, buf, static_cast<size_t>(len), SysFlags(flags));
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            WriteBlocked(*e);
            return Fail(WSAEWOULDBLOCK);
        }
        return Fail(SendFailure(*e, err));
    }
    if (n < len)
        WriteBlocked(*e);
    return static_cast<int>(n);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    ssize_t n;
    if (to) {
        sockaddr_in sa;
        if (!ToSys(to, tolen, sa))
            return Fail(WSAEFAULT);
        n = ::sendto(e->fd, buf, static_cast<size_t>(len), SysFlags(flags),
                     reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } else {
        n = ::send(e->fd, buf, static_cast<size_t>(len), SysFlags(flags));
    }
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            WriteBlocked(*e);
            return Fail(WSAEWOULDBLOCK);
        }
        return Fail(SendFailure(*e, err));
    }
    if (n < len)
        WriteBlocked(*e);
    return static_cast<int>(n);
}

namespace {

// Windows answers a zero-length read of a stream with would-block while
// nothing is there; Linux returns 0 at once, which would read as "closed".
int ZeroLengthRead(Entry& e)
{
    char c;
    int flags = MSG_PEEK | (e.nonBlocking ? MSG_DONTWAIT : 0);
    ssize_t n = ::recv(e.fd, &c, 1, flags);
    // The end of the stream after a reset whose one report the kernel has
    // already given (perhaps to our own peek) is still that reset.
    if (n == 0 && e.latchedError)
        return Fail(e.latchedError);
    if (n >= 0)
        return 0;
    int err = errno;
    if (err == ECONNRESET)
        e.latchedError = WSAECONNRESET;
    return Fail(err == ECONNRESET ? WSAECONNRESET : WsaFromErrno(err));
}

int Receive(Entry& e, char* buf, int len, int flags, sockaddr_in* from)
{
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    if (len == 0 && e.type == w::kSockStream) {
        int rc = ZeroLengthRead(e);
        ReadCalled(e);
        return rc;
    }
    ssize_t n;
    if (from) {
        socklen_t fl = sizeof *from;
        n = ::recvfrom(e.fd, buf, static_cast<size_t>(len), SysFlags(flags) & ~MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(from), &fl);
    } else {
        n = ::recv(e.fd, buf, static_cast<size_t>(len), SysFlags(flags) & ~MSG_NOSIGNAL);
    }
    int err = n < 0 ? errno : 0;
    ReadCalled(e);
    if (n < 0) {
        if (err == ECONNRESET) {
            e.latchedError = WSAECONNRESET;
            return Fail(WSAECONNRESET);
        }
        return Fail(WsaFromErrno(err));
    }
    // After a reset the kernel reports the end of the stream; the error it
    // gave once (perhaps to our own peek) stays the answer.
    if (n == 0 && e.type == w::kSockStream && e.latchedError)
        return Fail(e.latchedError);
    return static_cast<int>(n);
}

} // namespace

int recv(SOCKET s, char* buf, int len, int flags)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    return Receive(*e, buf, len, flags, nullptr);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (from && (!fromlen || *fromlen < static_cast<int>(sizeof(SOCKADDR_IN))))
        return Fail(WSAEFAULT);
    sockaddr_in sa{};
    int n = Receive(*e, buf, len, flags, from ? &sa : nullptr);
    if (n >= 0 && from)
        FromSys(sa, from, fromlen);
    return n;
}

int shutdown(SOCKET s, int how)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    int sysHow;
    switch (how) {
    case SD_RECEIVE: sysHow = SHUT_RD; break;
    case SD_SEND: sysHow = SHUT_WR; break;
    case SD_BOTH: sysHow = SHUT_RDWR; break;
    default: return Fail(WSAEINVAL);
    }
    if (::shutdown(e->fd, sysHow) != 0)
        return FailErrno();
    if (how != SD_RECEIVE)
        e->shutSend = true;
    if (how != SD_SEND)
        e->shutRecv = true;
    PhaseChanged(*e);
    return 0;
}

namespace {
std::atomic<int> gLingeringCloses{0};
}

int closesocket(SOCKET s)
{
    if (!Started())
        return SOCKET_ERROR;
    auto e = Unregister(s);
    if (!e)
        return Fail(WSAENOTSOCK);
    DropNotifiers(*e);
    // With a linger time above 0 the kernel's close() waits for the unsent
    // data (up to that time) even on a non-blocking socket. The caller is
    // usually the GUI thread, so that wait happens on a thread of its own;
    // the handle is gone at once either way.
    struct linger l {};
    socklen_t len = sizeof l;
    int fd = e->fd;
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len) == 0 && l.l_onoff && l.l_linger > 0) {
        ++gLingeringCloses;
        std::thread([fd] {
            ::close(fd);
            --gLingeringCloses;
        }).detach();
    } else {
        ::close(fd);
    }
    return 0;
}

int LingeringCloseCount() { return gLingeringCloses.load(); }

} // namespace winsock
