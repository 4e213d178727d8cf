// Network ports before and after their device: addresses, connecting,
// and connections kept for a reopen. See NetworkConnection.h.

#include "NetworkConnection.h"

#include "CommDevice.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace win::detail::netport {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<int> g_connectMs{3000};

} // namespace

void SetConnectTimeout(milliseconds timeout) { g_connectMs = static_cast<int>(timeout.count()); }

bool SplitAddress(const std::string& path, std::string& host, std::string& port)
{
    std::string rest = path.substr(std::strlen(Scheme));
    while (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = rest.substr(0, colon);
    }
    port = rest.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    long number = std::stol(port);
    return number > 0 && number < 65536;
}

int Connect(const std::string& host, const std::string& port, DWORD& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        SetServerAnswer("The server name " + host + " cannot be resolved: " + gai_strerror(rc));
        NoteOpenProblem(commreasons::OpenProblem::NameUnknown);
        error = ERROR_PORT_SERVER;
        return -1;
    }
    const int fd = ConnectFirst(found, error);
    freeaddrinfo(found);
    return fd;
}

int ConnectFirst(const addrinfo* list, DWORD& error)
{
    // The addresses are tried in turn, each with its share of what is left
    // of the total: a name whose first address never answers (an IPv6
    // address without a route to it) still opens on the next one, and one
    // refused at once leaves its share to those after it.
    const Clock::time_point deadline = Clock::now() + milliseconds(g_connectMs.load());
    int left = 0;
    for (const addrinfo* a = list; a; a = a->ai_next)
        ++left;
    error = ETIMEDOUT;
    int fd = -1;
    for (const addrinfo* a = list; a && fd < 0; a = a->ai_next, --left) {
        int s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        int rc = ::connect(s, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            const Clock::time_point now = Clock::now();
            const Clock::time_point own = now + (deadline - now) / std::max(left, 1);
            int ms = static_cast<int>(std::chrono::ceil<milliseconds>(own - now).count());
            int ready = ms > 0 ? ::poll(&p, 1, ms) : 0;
            if (ready <= 0) {
                error = ready == 0 ? ETIMEDOUT : errno;
                ::close(s);
                continue;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len);
            rc = soError ? -1 : 0;
            errno = soError;
        }
        if (rc != 0) {
            error = errno;
            ::close(s);
            continue;
        }
        fd = s;
    }
    if (fd < 0)
        return -1;
    // Small writes (a Modbus frame, a command) go at once; a server that
    // vanishes without a word is noticed within a quarter of a minute.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 5, interval = 2, probes = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    unsigned int userTimeout = 15000;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    error = 0;
    return fd;
}

ParkingLot& Lot()
{
    static auto* lot = new ParkingLot(Linger, [](std::unique_ptr<Parked>& parked) { ::close(parked->fd); });
    return *lot;
}

} // namespace win::detail::netport
