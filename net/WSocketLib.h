#pragma once
// The socket layer's one process-wide binding to the sockets library, the
// error texts, and the exception the layer raises.
//
// Every platform socket call of the layer goes through an entry point of the
// binding (namespace wsk below). An entry point is looked up by name on its
// first use; the first look-up sets the library up (WSAStartup 1.1). The
// binding is released when the last socket object is destroyed, and once at
// program end. Here the library is linked at build time, so it cannot fail
// to load; looking up a name it does not export still fails as it would.

#include "Rtl.h"
#include "WinSock.h"

#include <string>

namespace net {

class ESocketException : public rtl::Exception {
public:
    using rtl::Exception::Exception;
};

// The name the library goes by in messages.
inline constexpr const char* SocketLibraryName = "wsock32.dll";

// Live socket objects; each one's construction adds one, its destruction
// takes one away, and when that leaves 0 (or less) the binding is released.
extern int SocketObjectCount;
void SocketObjectCreated();
void SocketObjectDestroyed();

// The entry point of a library function, by its exact name; sets the library
// up first if it is not. An empty name gives nullptr. Raises ESocketException
// "%s: WSAStartup error #%d" or "Procedure <name> not found in wsock32.dll
// Error #<code>".
void* LoadSocketFunction(const std::string& name);
// Cleans the library up (when set up), forgets every entry point and sets
// SocketObjectCount to 0.
void UnloadSocketLibrary();
bool SocketLibraryLoaded();

// Fixed English description of a Windows Sockets error number.
std::string SocketErrorText(int code);

// Entry points of the binding, one per library function the layer uses.
namespace wsk {
using winsock::SOCKADDR;
using winsock::SOCKET;
using winsock::u_long;
int WSAGetLastError();
void WSASetLastError(int code);
int WSAAsyncSelect(SOCKET s, winsock::HWND wnd, winsock::UINT msg, long events);
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const SOCKADDR* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen);
int connect(SOCKET s, const SOCKADDR* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int getsockname(SOCKET s, SOCKADDR* name, int* namelen);
int getpeername(SOCKET s, SOCKADDR* name, int* namelen);
u_long inet_addr(const char* cp);
char* inet_ntoa(winsock::IN_ADDR in);
winsock::u_short htons(winsock::u_short v);
winsock::u_short ntohs(winsock::u_short v);
winsock::HOSTENT* gethostbyname(const char* name);
winsock::SERVENT* getservbyname(const char* name, const char* proto);
winsock::PROTOENT* getprotobyname(const char* name);
winsock::HANDLE WSAAsyncGetHostByName(winsock::HWND wnd, winsock::UINT msg, const char* name, char* buf, int buflen);
winsock::HANDLE WSAAsyncGetHostByAddr(winsock::HWND wnd, winsock::UINT msg, const char* addr, int len, int type,
                                      char* buf, int buflen);
int WSACancelAsyncRequest(winsock::HANDLE task);
} // namespace wsk

} // namespace net
