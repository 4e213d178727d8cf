#pragma once
// Who is on the other end of a loopback TCP connection. Linux gives no peer
// credentials for TCP sockets, but the kernel lists every TCP socket with its
// owner's uid in /proc/net/tcp; the row whose local end is the peer's
// address and port, and whose remote end is ours, belongs to the peer.

#include <string>

namespace platform {

// Owner uid of the IPv4 TCP socket bound to localAddr:localPort and
// connected to remoteAddr:remotePort; -1 when there is none (or the table
// cannot be read). Addresses are dotted quads.
long TcpSocketOwner(const std::string& localAddr, unsigned localPort, const std::string& remoteAddr,
                    unsigned remotePort);

// True when a process of `uid` may act for this one: the same user, or root.
bool IsSameUserOrRoot(long uid);

// Where the table is read from (tests supply their own); "" restores it.
void SetTcpTablePath(const std::string& path);

} // namespace platform
