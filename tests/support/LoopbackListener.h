#pragma once
// A TCP listener on 127.0.0.1 at a port the system picks: the far end that
// a test plays itself (a server of its own, a misbehaving peer).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

// The listening socket, or -1; `port` is its port.
inline int LoopbackListener(int backlog, int& port)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (s >= 0)
            ::close(s);
        port = -1;
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

} // namespace testsupport
