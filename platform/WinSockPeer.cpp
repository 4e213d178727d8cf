// The owner of a loopback TCP connection's other end, from the kernel's
// table of TCP sockets (/proc/net/tcp): the row whose local end is our
// peer's address and port and whose remote end is ours.
#include "WinSockInternal.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace winsock {

namespace {

// The table's notation of an end: the address as the 32-bit value in
// memory printed in hexadecimal, the port in host order.
std::string TableEnd(const SOCKADDR_IN& a)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(a.sin_addr.s_addr),
                  static_cast<unsigned>(ntohs(a.sin_port)));
    return text;
}

} // namespace

long PeerUserId(SOCKET s)
{
    SOCKADDR_IN local{}, peer{};
    int len = sizeof local;
    if (getsockname(s, reinterpret_cast<SOCKADDR*>(&local), &len) != 0)
        return -1;
    len = sizeof peer;
    if (getpeername(s, reinterpret_cast<SOCKADDR*>(&peer), &len) != 0)
        return -1;
    const std::string wantLocal = TableEnd(peer);
    const std::string wantRemote = TableEnd(local);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream row(line);
        std::string slot, localEnd, remoteEnd, state, queues, timer, retransmits;
        long uid = -1;
        if (!(row >> slot >> localEnd >> remoteEnd >> state >> queues >> timer >> retransmits >> uid))
            continue;
        if (localEnd == wantLocal && remoteEnd == wantRemote)
            return uid;
    }
    detail::SetLastError(WSAEADDRNOTAVAIL);
    return -1;
}

} // namespace winsock
