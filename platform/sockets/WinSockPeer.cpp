// The owner of a loopback TCP connection's other end: the kernel's table of
// TCP sockets is read by PeerCredentials; this finds the two ends to look up.
#include "PeerCredentials.h"
#include "WinSockInternal.h"

#include <string>

namespace winsock {

namespace {

std::string Dotted(const SOCKADDR_IN& a)
{
    const unsigned long v = ntohl(a.sin_addr.s_addr);
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." + std::to_string((v >> 8) & 255) +
           "." + std::to_string(v & 255);
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
    // The peer's socket is the row whose local end is our peer.
    const long uid = platform::TcpSocketOwner(Dotted(peer), ntohs(peer.sin_port), Dotted(local), ntohs(local.sin_port));
    if (uid < 0)
        detail::SetLastError(WSAEADDRNOTAVAIL);
    return uid;
}

} // namespace winsock
