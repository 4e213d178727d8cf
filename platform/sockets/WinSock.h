#pragma once
// The Windows Sockets 1.1 interface the socket layer is written against,
// provided on Linux over POSIX sockets, with asynchronous selection delivered
// through Qt's event loop.
//
// Names, structures, constants and error numbers are the Windows ones. The
// system socket headers are deliberately not included here: their macros
// (SOL_SOCKET, SO_LINGER, FIONREAD ...) have the same names and other values.
// Code above the platform layer uses only this header and always qualifies
// the names with winsock::.
//
// Behaviour that differs from plain POSIX and matters to the callers:
// - Handles are process-unique numbers that are never reused while the
//   program runs (not the file descriptor, which Linux reuses at once).
// - Every call fails with WSANOTINITIALISED (10093) unless WSAStartup has
//   been called more often than WSACleanup.
// - A failure sets the thread's last error to a Windows Sockets number
//   (WSAGetLastError); the errno values are mapped onto them.
// - No call raises SIGPIPE.
// - WSAAsyncSelect posts "messages" to a message window (see below) from the
//   owning thread's event queue; a notification is never delivered inside
//   the call that caused it.
// - closesocket never blocks: a close that would linger is finished by a
//   background thread (the handle is gone at once).

#if defined(SOL_SOCKET) || defined(FIONREAD) || defined(AF_INET)
#error "WinSock.h must be included before (or instead of) the system socket headers"
#endif

#include <cstdint>
#include <functional>
#include <string>

namespace winsock {

using SOCKET = uintptr_t;
using u_short = uint16_t;
using u_long = uint32_t;
using UINT = unsigned int;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;

// Address families, socket types, protocols.
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int PF_INET = AF_INET;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;

constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_LOOPBACK = 0x7f000001;
constexpr u_long INADDR_BROADCAST = 0xffffffff;
constexpr u_long INADDR_NONE = 0xffffffff;

constexpr int SOMAXCONN = 5;

// send/recv flags.
constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;

// shutdown directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Option levels and names.
constexpr int SOL_SOCKET = 0xffff;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;
constexpr int IP_MULTICAST_IF = 2;
constexpr int IP_MULTICAST_TTL = 3;
constexpr int IP_MULTICAST_LOOP = 4;
constexpr int IP_ADD_MEMBERSHIP = 5;
constexpr int IP_DROP_MEMBERSHIP = 6;

// ioctlsocket commands.
constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667EL);
constexpr long SIOCATMARK = 0x40047307;

// Network events of asynchronous selection.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct IN_ADDR {
    u_long s_addr; // network byte order
};

// The 16-byte IPv4 address record: family in host order, port and address
// in network byte order.
struct SOCKADDR_IN {
    int16_t sin_family;
    u_short sin_port;
    IN_ADDR sin_addr;
    char sin_zero[8];
};

struct SOCKADDR {
    u_short sa_family;
    char sa_data[14];
};

struct LINGER {
    u_short l_onoff;
    u_short l_linger;
};

struct IP_MREQ {
    IN_ADDR imr_multiaddr;
    IN_ADDR imr_interface;
};

// Entries of the name databases. The returned pointers refer to per-thread
// storage that the next call of the same function on that thread replaces.
struct HOSTENT {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list; // IPv4 addresses, 4 bytes each, network byte order
};

struct SERVENT {
    char* s_name;
    char** s_aliases;
    short s_port; // network byte order
    char* s_proto;
};

struct PROTOENT {
    char* p_name;
    char** p_aliases;
    short p_proto;
};

struct WSADATA {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
};

static_assert(sizeof(SOCKADDR_IN) == 16);
static_assert(sizeof(SOCKADDR) == 16);

// Byte order (x86 and every other target here is little-endian).
inline u_short htons(u_short v) { return __builtin_bswap16(v); }
inline u_short ntohs(u_short v) { return __builtin_bswap16(v); }
inline u_long htonl(u_long v) { return __builtin_bswap32(v); }
inline u_long ntohl(u_long v) { return __builtin_bswap32(v); }

// --- Library set-up -------------------------------------------------------

// 0 when version 1.1 (or higher) is asked for, else WSAVERNOTSUPPORTED.
int WSAStartup(uint16_t wVersionRequired, WSADATA* data);
// Undoes one WSAStartup; SOCKET_ERROR with WSANOTINITIALISED when there is
// none to undo. Open handles stay open.
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

// --- Socket functions ------------------------------------------------------

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
// The dotted form; the text lives in a per-thread buffer until the next call.
char* inet_ntoa(IN_ADDR in);

// Blocking look-ups in the system's resolver and its services and protocols
// databases; nullptr with WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY or
// WSANO_DATA as the last error.
HOSTENT* gethostbyname(const char* name);
SERVENT* getservbyname(const char* name, const char* proto);
PROTOENT* getprotobyname(const char* name);

// --- Message windows ---------------------------------------------------------
// A message window stands in for a hidden window: a receiver of posted
// messages (number, WParam, LParam) on the thread that created it. All
// messages posted on one thread, to any of its windows, are handled in the
// order they were posted, one at a time, from Qt's event loop. Messages still
// queued for a destroyed window are dropped.

using HWND = uintptr_t; // 0 = none
using WNDPROC = std::function<LRESULT(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)>;

// Needs a QCoreApplication. The procedure runs on the creating thread.
HWND CreateMessageWindow(WNDPROC proc);
// May be called from inside the window's own procedure.
void DestroyMessageWindow(HWND wnd);
// Thread-safe. False when the window does not exist.
bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

constexpr UINT WM_USER = 0x0400;

// Starts (or, with msg 0 and mask 0, stops) notifications for s: message msg
// to wnd with WParam = s and LParam = WSAMAKESELECTREPLY(event, error). Makes
// the socket non-blocking. Replaces an earlier registration and posts again
// every selected event whose condition holds now (FD_CONNECT excepted).
// Must be called on the window's thread.
int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long lEvent);

inline LPARAM WSAMAKESELECTREPLY(long event, int error)
{
    return static_cast<LPARAM>((static_cast<uint32_t>(error & 0xffff) << 16) | (event & 0xffff));
}
inline long WSAGETSELECTEVENT(LPARAM l) { return static_cast<long>(l & 0xffff); }
inline int WSAGETSELECTERROR(LPARAM l) { return static_cast<int>((static_cast<uint32_t>(l) >> 16) & 0xffff); }

// --- Asynchronous host look-ups ----------------------------------------------
// A worker thread asks the resolver; the answer is posted to wnd as message
// msg with WParam = the task handle and LParam = WSAMAKEASYNCREPLY(length,
// error). The host entry is written into the caller's buffer on the window's
// thread just before the message is handled, never earlier: a task cancelled
// (or a window destroyed) before then leaves the buffer untouched and posts
// nothing, so the buffer need live only until the answer or the cancel.
//
// The entry in the buffer is a HOSTENT whose pointers point into the buffer.
// An entry with more addresses than fit keeps as many leading ones as fit
// (Windows would refuse the whole entry); only a buffer too small for the
// entry with a single address gets WSAENOBUFS, with the length the whole
// entry needs as the reply's length. The buffer must be aligned for HOSTENT.

using HANDLE = uintptr_t; // task handle, 0 = none

constexpr int MAXGETHOSTSTRUCT = 1024;

inline LPARAM WSAMAKEASYNCREPLY(int buflen, int error)
{
    return static_cast<LPARAM>((static_cast<uint32_t>(error & 0xffff) << 16) | (static_cast<uint32_t>(buflen) & 0xffff));
}
inline int WSAGETASYNCBUFLEN(LPARAM l) { return static_cast<int>(l & 0xffff); }
inline int WSAGETASYNCERROR(LPARAM l) { return static_cast<int>((static_cast<uint32_t>(l) >> 16) & 0xffff); }

// 0 (with the last error set) when the task could not be started.
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
// addr: len bytes of an address of family type (4 bytes, AF_INET).
HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
// 0 when the task was still pending: its answer will never be posted.
// SOCKET_ERROR with WSAEALREADY for a task already answered (or cancelled),
// WSAEINVAL for a handle that was never given out.
int WSACancelAsyncRequest(HANDLE task);

// --- Who is at the other end (no Windows counterpart) ----------------------
// The user id owning the peer's socket of a TCP connection whose other end
// is on this machine (loopback), found in the kernel's table of TCP sockets;
// -1, with WSAENOTCONN or WSAEADDRNOTAVAIL as the last error, when the
// socket is not connected or the peer's socket is not in that table (it is
// elsewhere, already gone, or in another network namespace). Credentials of
// the Unix-domain kind do not exist for TCP, hence the table.
long PeerUserId(SOCKET s);

// --- Binding by name -------------------------------------------------------
// The library's exported functions by their exact names ("socket", "recv",
// "WSAAsyncSelect", ...); nullptr for a name it does not export.
void* GetSocketProcAddress(const std::string& name);

// --- Diagnostics for tests -------------------------------------------------
// The file descriptor behind a handle, -1 when there is none.
int DescriptorOf(SOCKET s);
// Number of handles currently open.
int OpenHandleCount();
// Closes still finishing on a background thread (see closesocket).
int LingeringCloseCount();
// Asynchronous look-ups started and neither answered nor cancelled yet.
int PendingLookupCount();
// Look-up threads still running. Once this is 0, every answer that will
// ever be posted is already in its window's queue.
int LookupThreadCount();

} // namespace winsock
