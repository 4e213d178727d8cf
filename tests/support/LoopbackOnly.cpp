#include "LoopbackOnly.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

bool HasIpv4OutsideLoopback()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        found = (a >> 24) != 127;
    }
    freeifaddrs(list);
    return found;
}

void GiveLoopbackOnlyMachineAnAddress()
{
    if (HasIpv4OutsideLoopback() || unshare(CLONE_NEWNET) != 0)
        return;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    ifreq r{};
    std::strcpy(r.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &r) == 0) {
        r.ifr_flags |= IFF_UP;
        ioctl(s, SIOCSIFFLAGS, &r);
    }
    // 198.51.100.0/24 is for documentation: nothing on any network uses it,
    // and no test means it.
    ifreq a{};
    std::strcpy(a.ifr_name, "lo:1");
    auto* in = reinterpret_cast<sockaddr_in*>(&a.ifr_addr);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, "198.51.100.1", &in->sin_addr);
    if (ioctl(s, SIOCSIFADDR, &a) == 0) {
        inet_pton(AF_INET, "255.255.255.255", &in->sin_addr);
        ioctl(s, SIOCSIFNETMASK, &a);
    }
    ::close(s);
}

} // namespace testsupport
