#include "PeerCredentials.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

std::string& TablePath()
{
    static std::string path = "/proc/net/tcp";
    return path;
}

// The table's form of an endpoint: the address as the kernel stores it
// (network byte order read as a native number) and the port, in hex.
bool Endpoint(const std::string& addr, unsigned port, std::string& out)
{
    in_addr a{};
    if (inet_pton(AF_INET, addr.c_str(), &a) != 1 || port > 0xFFFF)
        return false;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08X:%04X", static_cast<unsigned>(a.s_addr), port);
    out = buf;
    return true;
}

} // namespace

void SetTcpTablePath(const std::string& path)
{
    TablePath() = path.empty() ? "/proc/net/tcp" : path;
}

long TcpSocketOwner(const std::string& localAddr, unsigned localPort, const std::string& remoteAddr,
                    unsigned remotePort)
{
    std::string local, remote;
    if (!Endpoint(localAddr, localPort, local) || !Endpoint(remoteAddr, remotePort, remote))
        return -1;
    std::ifstream table(TablePath());
    std::string line;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
        std::istringstream fields(line);
        std::string sl, l, r, st, queues, timer, retransmits;
        long uid = -1;
        if (!(fields >> sl >> l >> r >> st >> queues >> timer >> retransmits >> uid))
            continue;
        if (l == local && r == remote)
            return uid;
    }
    return -1;
}

bool IsSameUserOrRoot(long uid)
{
    return uid >= 0 && (uid == static_cast<long>(::getuid()) || uid == 0);
}

} // namespace platform
