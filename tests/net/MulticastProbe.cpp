// Kept apart from the socket tests: the system's socket headers and the
// socket layer's own names do not mix in one file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

bool MachineCanJoinMulticast()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = ::inet_addr("239.255.0.1");
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    const bool joined = ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
    ::close(s);
    return joined;
}
