#pragma once
// Shared by the two halves of the sockets stand-in: WinSock.cpp (the socket
// functions) and WinSockSelect.cpp (message windows and asynchronous
// selection). Not for use outside platform/.

#include "WinSock.h"

#include <memory>

class QSocketNotifier;
class QThread;

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
    // and the calls named in the notes (recv, accept, a would-block send)
    // enable it again.
    bool readEnabled = false;
    bool writeEnabled = false;
    bool acceptEnabled = false;
    bool closeEnabled = false;
    bool connectEnabled = true;

    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;

    bool Registered() const { return wnd != 0 && mask != 0; }
};

std::shared_ptr<Entry> Find(SOCKET s);

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

} // namespace winsock::detail
