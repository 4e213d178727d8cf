// The handle table, the last error and the errno mapping of the Windows
// Sockets stand-in, and the conversions of address records.
#include "WinSockInternal.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
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

SOCKET Register(const std::shared_ptr<Entry>& e)
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


bool GetBound(int fd, sockaddr_in& sa)
{
    socklen_t len = sizeof sa;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0;
}

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

} // namespace winsock
