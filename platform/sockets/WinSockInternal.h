#pragma once
// Shared by the two halves of the sockets stand-in: WinSock.cpp (the socket
// functions) and WinSockSelect.cpp (message windows and asynchronous
// selection). Not for use outside platform/.

#include "WinSock.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
struct sockaddr_in;

namespace winsock::detail {

// What the descriptor is doing, as far as notifications care.
enum class Phase {
    Fresh,      // stream socket, neither connecting nor listening
    Connecting, // non-blocking connect in progress
    Connected,  // connected stream, accepted stream, or any datagram socket
    Listening,
    Failed,     // connect failed; nothing more will be reported
};

struct Entry {
    int fd = -1;
    SOCKET handle = INVALID_SOCKET;
    int type = SOCK_STREAM;
    Phase phase = Phase::Fresh;
    bool nonBlocking = false;
    bool everConnected = false;
    bool shutSend = false;
    bool shutRecv = false;
    // The peer's end of stream (or a reset) has been seen by a peek.
    bool eofSeen = false;
    // A connection error the kernel reported once (and forgot): later recv
    // and send keep reporting it. Windows Sockets number, 0 = none.
    int latchedError = 0;
    // A connect that failed at once (loopback refusals do): reported through
    // FD_CONNECT like any other outcome. errno value, 0 = none.
    int pendingConnectError = 0;

    // Registration of WSAAsyncSelect.
    HWND wnd = 0;
    UINT msg = 0;
    long mask = 0;
    // An event may be posted only while it is enabled; posting disables it
    // and only the calls that make room for it again (recv, accept, a send
    // that would block) enable it again, as Windows does.
    bool readEnabled = false;
    bool writeEnabled = false;
    bool acceptEnabled = false;
    bool closeEnabled = false;
    bool connectEnabled = true;

    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;

    bool Registered() const { return wnd != 0 && mask != 0; }
};

// The handle table.
SOCKET Register(const std::shared_ptr<Entry>& e); // gives e its handle
std::shared_ptr<Entry> Unregister(SOCKET s);
std::shared_ptr<Entry> Find(SOCKET s);
// The entry of a handle while the library is set up; nullptr with the last
// error set (WSANOTINITIALISED or WSAENOTSOCK).
std::shared_ptr<Entry> Use(SOCKET s);

// Set the last error; both return SOCKET_ERROR.
int Fail(int wsaCode);
int FailErrno(); // from errno

// Address records: Windows layout <-> the system's. ToSys is false when the
// record is missing or too short; FromSys when the caller's is too small.
bool ToSys(const SOCKADDR* name, int namelen, ::sockaddr_in& out);
bool FromSys(const ::sockaddr_in& in, SOCKADDR* name, int* namelen);
// The local address of a descriptor.
bool GetBound(int fd, ::sockaddr_in& sa);

void SetLastError(int code);
// False, with WSANOTINITIALISED as the last error, before WSAStartup.
bool Started();
int WsaFromErrno(int e);

// Hooks of the socket functions into asynchronous selection. All are no-ops
// for a socket that is not registered.
void ReadCalled(Entry& e);    // any recv/recvfrom
void AcceptCalled(Entry& e);  // any accept
void WriteBlocked(Entry& e);  // send took less than offered, or would block
void PhaseChanged(Entry& e);  // connect started or failed at once, listen, shutdown
// Removes and deletes the notifiers (before the descriptor is closed).
void DropNotifiers(Entry& e);

// Posts a message whose LParam is decided on the window's thread just before
// it is handled: Prepare runs there first, and when it answers false the
// message is dropped. Thread-safe; false when the window does not exist.
bool PostPreparedMessage(HWND wnd, UINT msg, WPARAM wParam, std::function<bool(LPARAM& lParam)> Prepare);

// The resolver behind gethostbyname and the asynchronous look-ups. Both give
// 0 or a Windows Sockets error number (WSAHOST_NOT_FOUND ...). Addresses are
// IPv4 in network byte order, without duplicates, in the resolver's order.
using HostNameResolver =
    std::function<int(const std::string& name, std::string& canonical, std::vector<uint32_t>& addresses)>;
using HostAddrResolver = std::function<int(uint32_t address, std::string& name)>;
int ResolveHostName(const std::string& name, std::string& canonical, std::vector<uint32_t>& addresses);
int ResolveHostAddr(uint32_t address, std::string& name);
// Stand-ins for the system resolver, for tests (an empty function restores
// the system's). They may be called on any thread.
void SetHostNameResolver(HostNameResolver r);
void SetHostAddrResolver(HostAddrResolver r);

// Makes the next Count calls of accept fail with wsaError before they take
// anything, as if the process had run out of descriptors, say: the pending
// connection stays queued. For tests of what a caller does then (running
// out for real also starves the sanitizers, which need descriptors of their
// own). Count 0 ends it.
void FailNextAccepts(int Count, int wsaError);

} // namespace winsock::detail
