// Blocking look-ups of host, service and protocol names for the Windows
// Sockets stand-in.
#include "WinSockInternal.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <string>
#include <vector>

namespace winsock {

namespace {

// Storage behind the returned entries: one set per thread, as Windows keeps
// one per thread.
struct HostStorage {
    std::string name;
    std::vector<uint32_t> addresses;
    std::vector<char*> addressList;
    char* noAliases[1] = {nullptr};
    HOSTENT entry{};
};

struct ServStorage {
    std::string name, proto;
    char* noAliases[1] = {nullptr};
    SERVENT entry{};
};

struct ProtoStorage {
    std::string name;
    char* noAliases[1] = {nullptr};
    PROTOENT entry{};
};

int ResolverError(int rc)
{
    switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    default: return WSANO_DATA;
    }
}

} // namespace

namespace detail {

namespace {

std::mutex gResolverMutex;
HostNameResolver gNameResolver;
HostAddrResolver gAddrResolver;

int SystemResolveName(const std::string& name, std::string& canonical, std::vector<uint32_t>& addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return ResolverError(rc);
    canonical = list->ai_canonname ? list->ai_canonname : name;
    addresses.clear();
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family != AF_INET)
            continue;
        uint32_t v = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses.begin(), addresses.end(), v) == addresses.end())
            addresses.push_back(v);
    }
    ::freeaddrinfo(list);
    return addresses.empty() ? WSANO_DATA : 0;
}

int SystemResolveAddr(uint32_t address, std::string& name)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return ResolverError(rc);
    name = host;
    return 0;
}

} // namespace

int ResolveHostName(const std::string& name, std::string& canonical, std::vector<uint32_t>& addresses)
{
    HostNameResolver r;
    {
        std::lock_guard lock(gResolverMutex);
        r = gNameResolver;
    }
    return r ? r(name, canonical, addresses) : SystemResolveName(name, canonical, addresses);
}

int ResolveHostAddr(uint32_t address, std::string& name)
{
    HostAddrResolver r;
    {
        std::lock_guard lock(gResolverMutex);
        r = gAddrResolver;
    }
    return r ? r(address, name) : SystemResolveAddr(address, name);
}

void SetHostNameResolver(HostNameResolver r)
{
    std::lock_guard lock(gResolverMutex);
    gNameResolver = std::move(r);
}

void SetHostAddrResolver(HostAddrResolver r)
{
    std::lock_guard lock(gResolverMutex);
    gAddrResolver = std::move(r);
}

} // namespace detail

HOSTENT* gethostbyname(const char* name)
{
    if (!detail::Started())
        return nullptr;
    if (!name) {
        detail::SetLastError(WSAEFAULT);
        return nullptr;
    }
    thread_local HostStorage st;
    if (int err = detail::ResolveHostName(name, st.name, st.addresses)) {
        detail::SetLastError(err);
        return nullptr;
    }
    st.addressList.clear();
    for (uint32_t& v : st.addresses)
        st.addressList.push_back(reinterpret_cast<char*>(&v));
    st.addressList.push_back(nullptr);
    st.entry.h_name = st.name.data();
    st.entry.h_aliases = st.noAliases;
    st.entry.h_addrtype = 2;
    st.entry.h_length = 4;
    st.entry.h_addr_list = st.addressList.data();
    return &st.entry;
}

SERVENT* getservbyname(const char* name, const char* proto)
{
    if (!detail::Started())
        return nullptr;
    if (!name) {
        detail::SetLastError(WSAEFAULT);
        return nullptr;
    }
    servent se{};
    servent* result = nullptr;
    char buf[1024];
    if (::getservbyname_r(name, proto && *proto ? proto : nullptr, &se, buf, sizeof buf, &result) != 0 || !result) {
        detail::SetLastError(WSANO_DATA);
        return nullptr;
    }
    thread_local ServStorage st;
    st.name = result->s_name ? result->s_name : name;
    st.proto = result->s_proto ? result->s_proto : "";
    st.entry.s_name = st.name.data();
    st.entry.s_aliases = st.noAliases;
    st.entry.s_port = static_cast<short>(result->s_port);
    st.entry.s_proto = st.proto.data();
    return &st.entry;
}

PROTOENT* getprotobyname(const char* name)
{
    if (!detail::Started())
        return nullptr;
    if (!name) {
        detail::SetLastError(WSAEFAULT);
        return nullptr;
    }
    protoent pe{};
    protoent* result = nullptr;
    char buf[1024];
    std::string found;
    int number = -1;
    if (::getprotobyname_r(name, &pe, buf, sizeof buf, &result) == 0 && result) {
        found = result->p_name;
        number = result->p_proto;
    } else {
        // Minimal machines may lack /etc/protocols; the protocols the
        // program itself names must still be known.
        static const struct {
            const char* name;
            int number;
        } builtin[] = {{"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}};
        for (const auto& b : builtin)
            if (::strcasecmp(name, b.name) == 0) {
                found = b.name;
                number = b.number;
            }
    }
    if (number < 0) {
        detail::SetLastError(WSANO_DATA);
        return nullptr;
    }
    thread_local ProtoStorage st;
    st.name = found;
    st.entry.p_name = st.name.data();
    st.entry.p_aliases = st.noAliases;
    st.entry.p_proto = static_cast<short>(number);
    return &st.entry;
}

} // namespace winsock
