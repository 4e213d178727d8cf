// Blocking look-ups of host, service and protocol names for the Windows
// Sockets stand-in.
#include "WinSockInternal.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
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

HOSTENT* gethostbyname(const char* name)
{
    if (!detail::Started())
        return nullptr;
    if (!name) {
        detail::SetLastError(WSAEFAULT);
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name, nullptr, &hints, &list);
    if (rc != 0) {
        detail::SetLastError(ResolverError(rc));
        return nullptr;
    }
    thread_local HostStorage st;
    st.name = list->ai_canonname ? list->ai_canonname : name;
    st.addresses.clear();
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family != AF_INET)
            continue;
        uint32_t v = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (uint32_t x : st.addresses)
            seen = seen || x == v;
        if (!seen)
            st.addresses.push_back(v);
    }
    ::freeaddrinfo(list);
    if (st.addresses.empty()) {
        detail::SetLastError(WSANO_DATA);
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
