#include "WSocketLib.h"

#include <cerrno>

namespace net {

int SocketObjectCount = 0;

namespace {

enum EntryIndex {
    eWSAGetLastError, eWSASetLastError, eWSAAsyncSelect, eSocket, eBind, eListen, eAccept,
    eConnect, eSend, eRecv, eSendTo, eRecvFrom, eShutdown, eCloseSocket, eSetSockOpt,
    eGetSockOpt, eIoctlSocket, eGetSockName, eGetPeerName, eInetAddr, eInetNtoa, eHtons,
    eNtohs, eGetHostByName, eGetServByName, eGetProtoByName, eWSAAsyncGetHostByName,
    eWSAAsyncGetHostByAddr, eWSACancelAsyncRequest,
    eEntryCount
};

struct Binding {
    bool loaded = false;
    winsock::WSADATA data{};
    void* entries[eEntryCount] = {};
};

Binding& TheBinding()
{
    static Binding b;
    return b;
}

// Releases the binding when the program ends.
struct ProgramEnd {
    ~ProgramEnd() { UnloadSocketLibrary(); }
} gProgramEnd;

template <typename F>
F Entry(EntryIndex index, const char* name)
{
    void*& p = TheBinding().entries[index];
    if (!p)
        p = LoadSocketFunction(name);
    return reinterpret_cast<F>(p);
}

} // namespace

void* LoadSocketFunction(const std::string& name)
{
    Binding& b = TheBinding();
    if (!b.loaded) {
        int r = winsock::WSAStartup(0x0101, &b.data);
        if (r != 0)
            throw ESocketException(rtl::Format("%s: WSAStartup error #%d", SocketLibraryName, r));
        b.loaded = true;
    }
    if (name.empty())
        return nullptr;
    void* p = winsock::GetSocketProcAddress(name);
    if (!p)
        throw ESocketException("Procedure " + name + " not found in " + SocketLibraryName + " Error #" +
                               std::to_string(ENOSYS));
    return p;
}

void UnloadSocketLibrary()
{
    Binding& b = TheBinding();
    if (b.loaded) {
        winsock::WSACleanup();
        b.loaded = false;
        for (void*& p : b.entries)
            p = nullptr;
    }
    SocketObjectCount = 0;
}

bool SocketLibraryLoaded() { return TheBinding().loaded; }

void SocketObjectCreated() { ++SocketObjectCount; }

void SocketObjectDestroyed()
{
    if (--SocketObjectCount <= 0)
        UnloadSocketLibrary();
}

std::string SocketErrorText(int code)
{
    switch (code) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
    }
}

namespace wsk {

#define WSK_ENTRY(index, fn) Entry<decltype(&winsock::fn)>(index, #fn)

int WSAGetLastError() { return WSK_ENTRY(eWSAGetLastError, WSAGetLastError)(); }
void WSASetLastError(int code) { WSK_ENTRY(eWSASetLastError, WSASetLastError)(code); }
int WSAAsyncSelect(SOCKET s, winsock::HWND wnd, winsock::UINT msg, long events)
{
    return WSK_ENTRY(eWSAAsyncSelect, WSAAsyncSelect)(s, wnd, msg, events);
}
SOCKET socket(int af, int type, int protocol) { return WSK_ENTRY(eSocket, socket)(af, type, protocol); }
int bind(SOCKET s, const SOCKADDR* name, int namelen) { return WSK_ENTRY(eBind, bind)(s, name, namelen); }
int listen(SOCKET s, int backlog) { return WSK_ENTRY(eListen, listen)(s, backlog); }
SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen) { return WSK_ENTRY(eAccept, accept)(s, addr, addrlen); }
int connect(SOCKET s, const SOCKADDR* name, int namelen) { return WSK_ENTRY(eConnect, connect)(s, name, namelen); }
int send(SOCKET s, const char* buf, int len, int flags) { return WSK_ENTRY(eSend, send)(s, buf, len, flags); }
int recv(SOCKET s, char* buf, int len, int flags) { return WSK_ENTRY(eRecv, recv)(s, buf, len, flags); }
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen)
{
    return WSK_ENTRY(eSendTo, sendto)(s, buf, len, flags, to, tolen);
}
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen)
{
    return WSK_ENTRY(eRecvFrom, recvfrom)(s, buf, len, flags, from, fromlen);
}
int shutdown(SOCKET s, int how) { return WSK_ENTRY(eShutdown, shutdown)(s, how); }
int closesocket(SOCKET s) { return WSK_ENTRY(eCloseSocket, closesocket)(s); }
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    return WSK_ENTRY(eSetSockOpt, setsockopt)(s, level, optname, optval, optlen);
}
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    return WSK_ENTRY(eGetSockOpt, getsockopt)(s, level, optname, optval, optlen);
}
int ioctlsocket(SOCKET s, long cmd, winsock::u_long* argp) { return WSK_ENTRY(eIoctlSocket, ioctlsocket)(s, cmd, argp); }
int getsockname(SOCKET s, SOCKADDR* name, int* namelen)
{
    return WSK_ENTRY(eGetSockName, getsockname)(s, name, namelen);
}
int getpeername(SOCKET s, SOCKADDR* name, int* namelen)
{
    return WSK_ENTRY(eGetPeerName, getpeername)(s, name, namelen);
}
winsock::u_long inet_addr(const char* cp) { return WSK_ENTRY(eInetAddr, inet_addr)(cp); }
char* inet_ntoa(winsock::IN_ADDR in) { return WSK_ENTRY(eInetNtoa, inet_ntoa)(in); }
winsock::u_short htons(winsock::u_short v) { return WSK_ENTRY(eHtons, htons)(v); }
winsock::u_short ntohs(winsock::u_short v) { return WSK_ENTRY(eNtohs, ntohs)(v); }
winsock::HOSTENT* gethostbyname(const char* name) { return WSK_ENTRY(eGetHostByName, gethostbyname)(name); }
winsock::SERVENT* getservbyname(const char* name, const char* proto)
{
    return WSK_ENTRY(eGetServByName, getservbyname)(name, proto);
}
winsock::PROTOENT* getprotobyname(const char* name) { return WSK_ENTRY(eGetProtoByName, getprotobyname)(name); }

winsock::HANDLE WSAAsyncGetHostByName(winsock::HWND wnd, winsock::UINT msg, const char* name, char* buf, int buflen)
{
    return WSK_ENTRY(eWSAAsyncGetHostByName, WSAAsyncGetHostByName)(wnd, msg, name, buf, buflen);
}
winsock::HANDLE WSAAsyncGetHostByAddr(winsock::HWND wnd, winsock::UINT msg, const char* addr, int len, int type,
                                      char* buf, int buflen)
{
    return WSK_ENTRY(eWSAAsyncGetHostByAddr, WSAAsyncGetHostByAddr)(wnd, msg, addr, len, type, buf, buflen);
}
int WSACancelAsyncRequest(winsock::HANDLE task)
{
    return WSK_ENTRY(eWSACancelAsyncRequest, WSACancelAsyncRequest)(task);
}

#undef WSK_ENTRY

} // namespace wsk

} // namespace net
