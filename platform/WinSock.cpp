// The socket functions of the Windows Sockets stand-in.
#include "WinSockInternal.h"

// The Windows values of the names the system headers are about to define as
// macros, taken while they still mean the Windows ones.
namespace {
namespace w {
constexpr int kAfInet = winsock::AF_INET;
constexpr int kSockStream = winsock::SOCK_STREAM;
constexpr int kSockDgram = winsock::SOCK_DGRAM;
constexpr int kIpprotoIp = winsock::IPPROTO_IP;
constexpr int kIpprotoTcp = winsock::IPPROTO_TCP;
constexpr int kMsgOob = winsock::MSG_OOB;
constexpr int kMsgPeek = winsock::MSG_PEEK;
constexpr int kSolSocket = winsock::SOL_SOCKET;
constexpr int kSoDebug = winsock::SO_DEBUG;
constexpr int kSoAcceptConn = winsock::SO_ACCEPTCONN;
constexpr int kSoReuseAddr = winsock::SO_REUSEADDR;
constexpr int kSoKeepAlive = winsock::SO_KEEPALIVE;
constexpr int kSoDontRoute = winsock::SO_DONTROUTE;
constexpr int kSoBroadcast = winsock::SO_BROADCAST;
constexpr int kSoLinger = winsock::SO_LINGER;
constexpr int kSoOobInline = winsock::SO_OOBINLINE;
constexpr int kSoSndBuf = winsock::SO_SNDBUF;
constexpr int kSoRcvBuf = winsock::SO_RCVBUF;
constexpr int kSoError = winsock::SO_ERROR;
constexpr int kSoType = winsock::SO_TYPE;
constexpr int kTcpNoDelay = winsock::TCP_NODELAY;
constexpr int kIpMulticastIf = winsock::IP_MULTICAST_IF;
constexpr int kIpMulticastTtl = winsock::IP_MULTICAST_TTL;
constexpr int kIpMulticastLoop = winsock::IP_MULTICAST_LOOP;
constexpr int kIpAddMembership = winsock::IP_ADD_MEMBERSHIP;
constexpr int kIpDropMembership = winsock::IP_DROP_MEMBERSHIP;
constexpr long kFionread = winsock::FIONREAD;
constexpr long kFionbio = winsock::FIONBIO;
constexpr long kSiocatmark = winsock::SIOCATMARK;
constexpr winsock::u_long kInaddrNone = winsock::INADDR_NONE;
} // namespace w
} // namespace

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace winsock {

namespace detail {

namespace {
thread_local int tLastError = 0;
std::atomic<int> gStartups{0};

std::mutex gTableMutex;
std::unordered_map<SOCKET, std::shared_ptr<Entry>> gTable;
// Handle values count up from a number no descriptor will have, so that a
// handle mistaken for a descriptor (or the reverse) shows at once.
SOCKET gNextHandle = 100000;
} // namespace

void SetLastError(int code) { tLastError = code; }

bool Started()
{
    if (gStartups.load() > 0)
        return true;
    tLastError = WSANOTINITIALISED;
    return false;
}

int WsaFromErrno(int e)
{
    switch (e) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    // EPIPE depends on the socket's history; callers that can meet it
    // decide themselves. Without a history it is a dead connection.
    case EPIPE: return WSAECONNRESET;
    default: return WSAEINVAL;
    }
}

std::shared_ptr<Entry> Find(SOCKET s)
{
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(s);
    return it == gTable.end() ? nullptr : it->second;
}

namespace {

SOCKET Register(std::shared_ptr<Entry> e)
{
    std::lock_guard lock(gTableMutex);
    e->handle = gNextHandle++;
    gTable.emplace(e->handle, e);
    return e->handle;
}

std::shared_ptr<Entry> Unregister(SOCKET s)
{
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(s);
    if (it == gTable.end())
        return nullptr;
    auto e = it->second;
    gTable.erase(it);
    return e;
}

// The entry of a handle of a started library, or nullptr with the last
// error set.
std::shared_ptr<Entry> Use(SOCKET s)
{
    if (!Started())
        return nullptr;
    auto e = Find(s);
    if (!e)
        tLastError = WSAENOTSOCK;
    return e;
}

int Fail(int wsaCode)
{
    tLastError = wsaCode;
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(WsaFromErrno(errno)); }

int SysFlags(int flags)
{
    int out = MSG_NOSIGNAL;
    if (flags & w::kMsgOob)
        out |= MSG_OOB;
    if (flags & w::kMsgPeek)
        out |= MSG_PEEK;
    return out;
}

bool ToSys(const SOCKADDR* name, int namelen, sockaddr_in& out)
{
    if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN)))
        return false;
    SOCKADDR_IN in;
    std::memcpy(&in, name, sizeof in);
    std::memset(&out, 0, sizeof out);
    out.sin_family = static_cast<sa_family_t>(in.sin_family);
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    return true;
}

// Fills a caller's address record; false when it is too small.
bool FromSys(const sockaddr_in& in, SOCKADDR* name, int* namelen)
{
    if (!name)
        return true;
    if (!namelen || *namelen < static_cast<int>(sizeof(SOCKADDR_IN)))
        return false;
    SOCKADDR_IN out{};
    out.sin_family = static_cast<int16_t>(in.sin_family);
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
    return true;
}

// EPIPE means different things depending on how the socket got there.
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

bool IsConnectOutcome(int err)
{
    return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH;
}

bool GetBound(int fd, sockaddr_in& sa)
{
    socklen_t len = sizeof sa;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0;
}

} // namespace
} // namespace detail

using namespace detail;

int WSAStartup(uint16_t wVersionRequired, WSADATA* data)
{
    int major = wVersionRequired & 0xff;
    int minor = (wVersionRequired >> 8) & 0xff;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    if (data) {
        std::memset(data, 0, sizeof *data);
        data->wVersion = 0x0101;
        data->wHighVersion = 0x0101;
        std::snprintf(data->szDescription, sizeof data->szDescription, "Tarrowin sockets on Linux");
        std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
        data->iMaxSockets = 32767;
        data->iMaxUdpDg = 65467;
    }
    ++gStartups;
    return 0;
}

int WSACleanup()
{
    int n = gStartups.load();
    while (n > 0) {
        if (gStartups.compare_exchange_weak(n, n - 1))
            return 0;
    }
    return Fail(WSANOTINITIALISED);
}

int WSAGetLastError() { return tLastError; }
void WSASetLastError(int code) { tLastError = code; }

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

namespace {

int IntOption(const char* optval, int optlen, int& out)
{
    if (!optval || optlen < 1)
        return WSAEFAULT;
    if (optlen >= static_cast<int>(sizeof(int)))
        std::memcpy(&out, optval, sizeof(int));
    else
        out = static_cast<unsigned char>(optval[0]);
    return 0;
}

// Windows option (level, name) → Linux (level, name); false when unknown.
bool MapOption(int level, int optname, int& sysLevel, int& sysName)
{
    if (level == w::kSolSocket) {
        sysLevel = SOL_SOCKET;
        switch (optname) {
        case w::kSoDebug: sysName = SO_DEBUG; return true;
        case w::kSoAcceptConn: sysName = SO_ACCEPTCONN; return true;
        case w::kSoReuseAddr: sysName = SO_REUSEADDR; return true;
        case w::kSoKeepAlive: sysName = SO_KEEPALIVE; return true;
        case w::kSoDontRoute: sysName = SO_DONTROUTE; return true;
        case w::kSoBroadcast: sysName = SO_BROADCAST; return true;
        case w::kSoLinger: sysName = SO_LINGER; return true;
        case w::kSoOobInline: sysName = SO_OOBINLINE; return true;
        case w::kSoSndBuf: sysName = SO_SNDBUF; return true;
        case w::kSoRcvBuf: sysName = SO_RCVBUF; return true;
        case w::kSoError: sysName = SO_ERROR; return true;
        case w::kSoType: sysName = SO_TYPE; return true;
        }
        return false;
    }
    if (level == w::kIpprotoTcp) {
        sysLevel = IPPROTO_TCP;
        if (optname == w::kTcpNoDelay) {
            sysName = TCP_NODELAY;
            return true;
        }
        return false;
    }
    if (level == w::kIpprotoIp) {
        sysLevel = IPPROTO_IP;
        switch (optname) {
        case w::kIpMulticastIf: sysName = IP_MULTICAST_IF; return true;
        case w::kIpMulticastTtl: sysName = IP_MULTICAST_TTL; return true;
        case w::kIpMulticastLoop: sysName = IP_MULTICAST_LOOP; return true;
        case w::kIpAddMembership: sysName = IP_ADD_MEMBERSHIP; return true;
        case w::kIpDropMembership: sysName = IP_DROP_MEMBERSHIP; return true;
        }
        return false;
    }
    return false;
}

} // namespace

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    int sysLevel = 0, sysName = 0;
    if (!MapOption(level, optname, sysLevel, sysName))
        return Fail(WSAENOPROTOOPT);
    int rc;
    if (sysLevel == SOL_SOCKET && sysName == SO_LINGER) {
        if (!optval || optlen < static_cast<int>(sizeof(LINGER)))
            return Fail(WSAEFAULT);
        LINGER wl;
        std::memcpy(&wl, optval, sizeof wl);
        struct linger l {};
        l.l_onoff = wl.l_onoff ? 1 : 0;
        l.l_linger = wl.l_linger;
        rc = ::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else if (sysLevel == IPPROTO_IP && (sysName == IP_ADD_MEMBERSHIP || sysName == IP_DROP_MEMBERSHIP)) {
        if (!optval || optlen < static_cast<int>(sizeof(IP_MREQ)))
            return Fail(WSAEFAULT);
        IP_MREQ wm;
        std::memcpy(&wm, optval, sizeof wm);
        ip_mreq m{};
        m.imr_multiaddr.s_addr = wm.imr_multiaddr.s_addr;
        m.imr_interface.s_addr = wm.imr_interface.s_addr;
        rc = ::setsockopt(e->fd, IPPROTO_IP, sysName, &m, sizeof m);
    } else if (sysLevel == IPPROTO_IP && sysName == IP_MULTICAST_IF) {
        if (!optval || optlen < static_cast<int>(sizeof(IN_ADDR)))
            return Fail(WSAEFAULT);
        in_addr a{};
        std::memcpy(&a.s_addr, optval, sizeof a.s_addr);
        rc = ::setsockopt(e->fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
    } else {
        int v = 0;
        if (int err = IntOption(optval, optlen, v))
            return Fail(err);
        bool boolean = sysLevel != IPPROTO_IP && sysName != SO_SNDBUF && sysName != SO_RCVBUF;
        if (boolean)
            v = v ? 1 : 0;
        rc = ::setsockopt(e->fd, sysLevel, sysName, &v, sizeof v);
    }
    return rc == 0 ? 0 : FailErrno();
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!optval || !optlen)
        return Fail(WSAEFAULT);
    int sysLevel = 0, sysName = 0;
    if (!MapOption(level, optname, sysLevel, sysName))
        return Fail(WSAENOPROTOOPT);
    if (sysLevel == SOL_SOCKET && sysName == SO_LINGER) {
        if (*optlen < static_cast<int>(sizeof(LINGER)))
            return Fail(WSAEFAULT);
        struct linger l {};
        socklen_t len = sizeof l;
        if (::getsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0)
            return FailErrno();
        LINGER wl{static_cast<u_short>(l.l_onoff ? 1 : 0), static_cast<u_short>(l.l_linger)};
        std::memcpy(optval, &wl, sizeof wl);
        *optlen = sizeof wl;
        return 0;
    }
    if (*optlen < static_cast<int>(sizeof(int)))
        return Fail(WSAEFAULT);
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(e->fd, sysLevel, sysName, &v, &len) != 0)
        return FailErrno();
    if (sysLevel == SOL_SOCKET && sysName == SO_ERROR)
        v = WsaFromErrno(v);
    std::memcpy(optval, &v, sizeof v);
    *optlen = sizeof v;
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    if (!argp)
        return Fail(WSAEFAULT);
    if (cmd == w::kFionread) {
        int n = 0;
        if (e->phase == Phase::Listening) {
            *argp = 0;
            return 0;
        }
        if (::ioctl(e->fd, FIONREAD, &n) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(n < 0 ? 0 : n);
        return 0;
    }
    if (cmd == w::kFionbio) {
        bool on = *argp != 0;
        // A socket with notifications stays non-blocking, as on Windows.
        if (!on && e->Registered())
            return Fail(WSAEINVAL);
        int fl = ::fcntl(e->fd, F_GETFL);
        if (fl < 0 || ::fcntl(e->fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK)) != 0)
            return FailErrno();
        e->nonBlocking = on;
        return 0;
    }
    if (cmd == w::kSiocatmark) {
        int at = 0;
        if (::ioctl(e->fd, SIOCATMARK, &at) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(at);
        return 0;
    }
    return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, SOCKADDR* name, int* namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    sockaddr_in sa{};
    if (!GetBound(e->fd, sa))
        return FailErrno();
    // Linux answers 0.0.0.0:0 for an unbound socket; Windows refuses.
    if (sa.sin_port == 0)
        return Fail(WSAEINVAL);
    if (!name || !FromSys(sa, name, namelen))
        return Fail(WSAEFAULT);
    return 0;
}

int getpeername(SOCKET s, SOCKADDR* name, int* namelen)
{
    auto e = Use(s);
    if (!e)
        return SOCKET_ERROR;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(e->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return FailErrno();
    if (!name || !FromSys(sa, name, namelen))
        return Fail(WSAEFAULT);
    return 0;
}

u_long inet_addr(const char* cp)
{
    if (!cp)
        return w::kInaddrNone;
    in_addr a{};
    if (::inet_aton(cp, &a) == 0)
        return w::kInaddrNone;
    return a.s_addr;
}

char* inet_ntoa(IN_ADDR in)
{
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

int DescriptorOf(SOCKET s)
{
    auto e = Find(s);
    return e ? e->fd : -1;
}

int OpenHandleCount()
{
    std::lock_guard lock(gTableMutex);
    return static_cast<int>(gTable.size());
}

void* GetSocketProcAddress(const std::string& name)
{
    struct Export {
        const char* name;
        void* address;
    };
    static const Export exports[] = {
        {"WSAStartup", reinterpret_cast<void*>(&WSAStartup)},
        {"WSACleanup", reinterpret_cast<void*>(&WSACleanup)},
        {"WSAGetLastError", reinterpret_cast<void*>(&WSAGetLastError)},
        {"WSASetLastError", reinterpret_cast<void*>(&WSASetLastError)},
        {"WSAAsyncSelect", reinterpret_cast<void*>(&WSAAsyncSelect)},
        {"socket", reinterpret_cast<void*>(&socket)},
        {"bind", reinterpret_cast<void*>(&bind)},
        {"listen", reinterpret_cast<void*>(&listen)},
        {"accept", reinterpret_cast<void*>(&accept)},
        {"connect", reinterpret_cast<void*>(&connect)},
        {"send", reinterpret_cast<void*>(&send)},
        {"recv", reinterpret_cast<void*>(&recv)},
        {"sendto", reinterpret_cast<void*>(&sendto)},
        {"recvfrom", reinterpret_cast<void*>(&recvfrom)},
        {"shutdown", reinterpret_cast<void*>(&shutdown)},
        {"closesocket", reinterpret_cast<void*>(&closesocket)},
        {"setsockopt", reinterpret_cast<void*>(&setsockopt)},
        {"getsockopt", reinterpret_cast<void*>(&getsockopt)},
        {"ioctlsocket", reinterpret_cast<void*>(&ioctlsocket)},
        {"getsockname", reinterpret_cast<void*>(&getsockname)},
        {"getpeername", reinterpret_cast<void*>(&getpeername)},
        {"inet_addr", reinterpret_cast<void*>(&inet_addr)},
        {"inet_ntoa", reinterpret_cast<void*>(&inet_ntoa)},
        {"htons", reinterpret_cast<void*>(&htons)},
        {"ntohs", reinterpret_cast<void*>(&ntohs)},
        {"htonl", reinterpret_cast<void*>(&htonl)},
        {"ntohl", reinterpret_cast<void*>(&ntohl)},
        {"gethostbyname", reinterpret_cast<void*>(&gethostbyname)},
        {"getservbyname", reinterpret_cast<void*>(&getservbyname)},
        {"getprotobyname", reinterpret_cast<void*>(&getprotobyname)},
    };
    for (const auto& x : exports)
        if (name == x.name)
            return x.address;
    return nullptr;
}

} // namespace winsock
