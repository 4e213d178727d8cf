// Options, control codes, address queries and conversions of the Windows
// Sockets stand-in, and its table of exported functions.
#include "WinSockInternal.h"

// The Windows values of the names the system headers are about to define as
// macros, taken while they still mean the Windows ones.
namespace {
namespace w {
constexpr int kIpprotoIp = winsock::IPPROTO_IP;
constexpr int kIpprotoTcp = winsock::IPPROTO_TCP;
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

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace winsock {

using namespace detail;

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
        // Where no interface would carry the group (a machine with only
        // `lo`), Linux answers a leave with "no such device". The socket
        // cannot be a member then either, and a caller is told so in the
        // same words as anywhere else: not a member of that group.
        if (rc != 0 && errno == ENODEV && sysName == IP_DROP_MEMBERSHIP)
            return Fail(WSAEADDRNOTAVAIL);
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
        {"WSAAsyncGetHostByName", reinterpret_cast<void*>(&WSAAsyncGetHostByName)},
        {"WSAAsyncGetHostByAddr", reinterpret_cast<void*>(&WSAAsyncGetHostByAddr)},
        {"WSACancelAsyncRequest", reinterpret_cast<void*>(&WSACancelAsyncRequest)},
    };
    for (const auto& x : exports)
        if (name == x.name)
            return x.address;
    return nullptr;
}


} // namespace winsock
