// Endpoint texts: IsDottedQuad, ParseLeadingNumber and the port and protocol
// resolvers against plain readings of their rules. A numeric text must never
// reach a name service, so this program defines the services and protocols
// look-ups itself (they win over the C library's) and counts them.
// Input: the protocol text, the host or port text, and the protocol text's
// length (0..40) in the last byte.

#include "FuzzCheck.h"
#include "WSocketCore.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace {

int g_lookups = 0;

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Blanks around four dot-separated groups of decimal digits, each worth 0..255.
bool ReferenceDottedQuad(const std::string& text)
{
    std::istringstream in(Trim(text) + "."); // so that a trailing dot ends an empty group
    int groups = 0;
    for (std::string g; std::getline(in, g, '.'); ++groups) {
        unsigned value = 0;
        for (char c : g)
            if (c < '0' || c > '9' || (value = value * 10 + (c - '0')) > 255)
                return false;
        if (g.empty())
            return false;
    }
    return groups == 4;
}

// Leading blanks, then the digits up to the first non-digit; above the
// 32-bit signed range the value stays at its largest.
int ReferenceLeadingNumber(const std::string& text)
{
    long long value = 0;
    for (size_t i = text.find_first_not_of(' '); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
    return static_cast<int>(value);
}

// A numeric text, blanks around it allowed, gives its leading number without
// a look-up (a port above 65535 is a range error). Empty or overlong texts
// are refused.
void CheckResolver(const std::string& text, bool valid, int largest, const std::function<int()>& resolve)
{
    const std::string t = Trim(text);
    const bool numeric = !t.empty() && t[0] >= '0' && t[0] <= '9';
    const int want = ReferenceLeadingNumber(t);
    g_lookups = 0;
    try {
        const int n = resolve();
        Check(valid && (!numeric || n == want) && n >= 0 && n <= largest, "a text resolved to a wrong number");
    } catch (const net::ESocketException&) {
        Check(!valid || !numeric, "a numeric text was refused as a socket failure");
    } catch (const rtl::Exception& e) {
        Check(valid && numeric && want > largest && e.Message == "Range check error", "an unexpected failure");
    }
    Check(!numeric || g_lookups == 0, "a numeric text was looked up in a database");
}

} // namespace

extern "C" int getservbyname_r(const char*, const char*, struct servent*, char*, size_t, struct servent** result)
{
    ++g_lookups;
    *result = nullptr;
    return ENOENT;
}

extern "C" int getprotobyname_r(const char*, struct protoent*, char*, size_t, struct protoent** result)
{
    ++g_lookups;
    *result = nullptr;
    return ENOENT;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::string proto = fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<size_t>(0, 40));
    const std::string text = fdp.ConsumeRemainingBytesAsString();
    const auto valid = [](const std::string& s) { return !s.empty() && s.size() < 32; };

    Check(net::IsDottedQuad(text) == ReferenceDottedQuad(text), "IsDottedQuad differs from its rule");
    Check(net::ParseLeadingNumber(text) == ReferenceLeadingNumber(text), "ParseLeadingNumber differs from its rule");
    // Also with "tcp", the protocol the program itself names.
    for (const std::string& p : {proto, std::string("tcp")})
        CheckResolver(text, valid(text) && valid(p), 65535, [&] { return net::ResolvePortNumber(text, p); });
    CheckResolver(proto, valid(proto), INT_MAX, [&] { return net::ResolveProtocolNumber(proto); });
    return 0;
}
