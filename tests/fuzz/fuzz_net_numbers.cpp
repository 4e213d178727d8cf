// Endpoint texts: IsDottedQuad, ParseLeadingNumber and the host, port and
// protocol resolvers.
//
// Each is compared with a plain reading of its rule, and a numeric text must
// never reach a name service: the host resolver is replaced through the
// platform's hook, and the services and protocols databases are replaced by
// defining their C library functions in this program (the program's own
// definition wins over the C library's), so every consultation is seen and
// none ever leaves the machine or depends on its files.
//
// Input: the last byte gives the protocol text's length (0..40), the protocol
// text comes first, and what lies between is the host and port text.

#include "WSocketCore.h"
#include "WinSockInternal.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <netdb.h>
#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int g_serviceLookups = 0;
int g_protocolLookups = 0;
int g_hostLookups = 0;

[[noreturn]] void Fail(const char* what, const std::string& text)
{
    std::fprintf(stderr, "endpoint texts: %s (text of %zu bytes)\n", what, text.size());
    std::abort();
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string TrimSpaces(const std::string& s)
{
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Blanks around four dot-separated groups of decimal digits, each worth 0..255.
bool ReferenceDottedQuad(const std::string& text)
{
    const std::string t = TrimSpaces(text);
    if (t.empty())
        return false;
    std::vector<std::string> groups(1);
    for (char c : t) {
        if (c == '.')
            groups.emplace_back();
        else
            groups.back() += c;
    }
    if (groups.size() != 4)
        return false;
    for (const auto& g : groups) {
        if (g.empty())
            return false;
        unsigned long value = 0;
        for (char c : g) {
            if (!IsDigit(c))
                return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 255)
                return false;
        }
    }
    return true;
}

// Leading blanks, then the digits up to the first non-digit; above the
// 32-bit signed range the value stays at its largest.
int ReferenceLeadingNumber(const std::string& text)
{
    size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos)
        return 0;
    size_t end = i;
    while (end < text.size() && IsDigit(text[end]))
        ++end;
    while (i < end && text[i] == '0')
        ++i;
    if (end - i > 10)
        return INT_MAX;
    const unsigned long long value = i == end ? 0 : std::stoull(text.substr(i, end - i));
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void Host(const std::string& host)
{
    const bool quad = ReferenceDottedQuad(host);
    if (net::IsDottedQuad(host) != quad)
        Fail("IsDottedQuad differs from its rule", host);

    g_hostLookups = 0;
    try {
        const winsock::u_long a = net::ResolveHostAddress(host);
        if (quad) {
            // The same address the C library reads from the trimmed text.
            in_addr want{};
            if (inet_aton(TrimSpaces(host).c_str(), &want) == 0 || want.s_addr != a)
                Fail("a dotted quad resolved to another address", host);
        }
    } catch (const net::ESocketException&) {
    }
    if (quad && g_hostLookups != 0)
        Fail("a dotted quad was given to the host resolver", host);
}

void Port(const std::string& port, const std::string& proto)
{
    const int leading = net::ParseLeadingNumber(port);
    if (leading != ReferenceLeadingNumber(port))
        Fail("ParseLeadingNumber differs from its rule", port);

    // Blanks around a number do not make it a service name.
    const std::string trimmed = TrimSpaces(port);
    const bool numeric = !trimmed.empty() && IsDigit(trimmed[0]);
    const bool valid = !port.empty() && port.size() < 32 && !proto.empty() && proto.size() < 32;
    g_serviceLookups = 0;
    try {
        const int n = net::ResolvePortNumber(port, proto);
        if (!valid)
            Fail("an empty or overlong port or protocol was accepted", port);
        if (numeric && n != leading)
            Fail("a numeric port resolved to another number", port);
        if (n < 0 || n > 65535)
            Fail("a port outside 0..65535 came back", port);
    } catch (const net::ESocketException&) {
        if (valid && numeric)
            Fail("a numeric port was refused as a socket failure", port);
    } catch (const rtl::Exception& e) {
        if (!(valid && numeric && leading > 65535 && e.Message == "Range check error"))
            Fail("an unexpected failure for a port", port);
    }
    if (numeric && g_serviceLookups != 0)
        Fail("a numeric port was looked up in the services database", port);
}

void Protocol(const std::string& proto)
{
    const std::string t = TrimSpaces(proto);
    const bool numeric = !t.empty() && IsDigit(t[0]);
    const bool valid = !proto.empty() && proto.size() < 32;
    g_protocolLookups = 0;
    try {
        const int n = net::ResolveProtocolNumber(proto);
        if (!valid)
            Fail("an empty or overlong protocol was accepted", proto);
        if (numeric && n != ReferenceLeadingNumber(t))
            Fail("a numeric protocol resolved to another number", proto);
    } catch (const net::ESocketException&) {
        if (valid && numeric)
            Fail("a numeric protocol was refused", proto);
    }
    if (numeric && g_protocolLookups != 0)
        Fail("a numeric protocol was looked up in the protocols database", proto);
}

} // namespace

// The services and protocols databases of this program: nothing is known,
// and each consultation is counted.
extern "C" int getservbyname_r(const char*, const char*, struct servent*, char*, size_t, struct servent** result)
{
    ++g_serviceLookups;
    *result = nullptr;
    return ENOENT;
}

extern "C" int getprotobyname_r(const char*, struct protoent*, char*, size_t, struct protoent** result)
{
    ++g_protocolLookups;
    *result = nullptr;
    return ENOENT;
}

// The real resolver must never be reached: the hook below answers instead.
extern "C" int getaddrinfo(const char*, const char*, const struct addrinfo*, struct addrinfo**)
{
    std::fprintf(stderr, "endpoint texts: the system's host resolver was called\n");
    std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    winsock::detail::SetHostNameResolver([](const std::string&, std::string&, std::vector<uint32_t>&) {
        ++g_hostLookups;
        return winsock::WSAHOST_NOT_FOUND;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::string proto = fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<size_t>(0, 40));
    const std::string text = fdp.ConsumeRemainingBytesAsString();
    Host(text);
    Port(text, proto);
    Protocol(proto);
    // The protocols the program itself names, with the same port text.
    Port(text, "tcp");
    return 0;
}
