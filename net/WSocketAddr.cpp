// Endpoint texts: the property setters, the conversions of host, port and
// protocol texts, and the queries of the peer's and the local address.
#include "WSocketCore.h"

#include <cctype>
#include <cstring>

namespace net {

using namespace winsock;

std::string TrimBlanks(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

// ---------------------------------------------------------------------------
// Conversions

bool IsDottedQuad(const std::string& Text)
{
    size_t i = 0;
    while (i < Text.size() && Text[i] == ' ')
        ++i;
    if (i >= Text.size() || Text[i] == '.')
        return false;
    int Dots = 0;
    int Number = 0;
    for (; i < Text.size(); ++i) {
        char c = Text[i];
        if (c == '.') {
            ++Dots;
            if (Dots > 3 || Number > 255)
                return false;
            if (i + 1 >= Text.size() || !IsDigit(Text[i + 1]))
                return false;
            Number = 0;
        } else if (IsDigit(c)) {
            Number = Number * 10 + (c - '0');
            if (Number > 255)
                return false;
        } else {
            for (; i < Text.size(); ++i)
                if (Text[i] != ' ')
                    return false;
            break;
        }
    }
    return Dots == 3 && Number <= 255;
}

int ParseLeadingNumber(const std::string& Text)
{
    size_t i = 0;
    while (i < Text.size() && Text[i] == ' ')
        ++i;
    long long Value = 0;
    for (; i < Text.size() && IsDigit(Text[i]); ++i) {
        Value = Value * 10 + (Text[i] - '0');
        if (Value > 0x7fffffff)
            Value = 0x7fffffff + 1LL; // saturates above every valid port
    }
    return Value > 0x7fffffff ? 0x7fffffff : static_cast<int>(Value);
}

winsock::u_long ResolveHostAddress(const std::string& Host)
{
    if (Host.empty() || Host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
    const std::string t = TrimBlanks(Host);
    if (IsDottedQuad(Host)) {
        winsock::u_long a = wsk::inet_addr(t.c_str());
        if (a == INADDR_NONE && t != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
        return a;
    }
    HOSTENT* He = wsk::gethostbyname(t.c_str());
    if (!He || !He->h_addr_list || !He->h_addr_list[0])
        throw ESocketException(rtl::Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                           Host.c_str(), wsk::WSAGetLastError()));
    winsock::u_long a;
    std::memcpy(&a, He->h_addr_list[0], sizeof a);
    return a;
}

int ResolvePortNumber(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    // Blanks around a number must not send it to the service look-up.
    const std::string p = TrimBlanks(Port);
    if (!p.empty() && IsDigit(p[0])) {
        int n = ParseLeadingNumber(p);
        if (n > 65535)
            throw rtl::Exception("Range check error");
        return n;
    }
    const std::string pr = TrimBlanks(Proto);
    SERVENT* Se = wsk::getservbyname(p.c_str(), pr.empty() ? nullptr : pr.c_str());
    if (!Se)
        throw ESocketException(rtl::Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port.c_str(),
                                           wsk::WSAGetLastError()));
    return wsk::ntohs(static_cast<winsock::u_short>(Se->s_port));
}

int ResolveProtocolNumber(const std::string& Proto)
{
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string p = TrimBlanks(Proto);
    if (!p.empty() && IsDigit(p[0]))
        return ParseLeadingNumber(p);
    PROTOENT* Pe = wsk::getprotobyname(p.c_str());
    if (!Pe)
        throw ESocketException(rtl::Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                           p.c_str(), wsk::WSAGetLastError()));
    return Pe->p_proto;
}

// ---------------------------------------------------------------------------
// Setters

void TCustomWSocket::SetEndpointText(const char* Name, const std::string& Value, std::string& Text,
                                     bool& Assigned, bool& Resolved)
{
    if (Assigned && Value == Text)
        return;
    if (FState != wsClosed) {
        ReportFailureFmt("Cannot change %s if not closed", Name);
        return;
    }
    Text = TrimBlanks(Value);
    Assigned = !Text.empty();
    Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value)
{
    SetEndpointText("Addr", Value, FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& Value)
{
    SetEndpointText("Port", Value, FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& Value)
{
    SetEndpointText("Proto", Value, FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalPort(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportFailure("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Value;
    FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportFailure("Cannot change LocalAddr if not closed");
        return;
    }
    const std::string Text = Value.empty() ? "0.0.0.0" : Value;
    winsock::u_long a = wsk::inet_addr(Text.c_str());
    if (a == INADDR_NONE)
        ReportFailure("SetLocalAddr(): Invalid IP address");
    IN_ADDR In{a};
    FLocalAddr = wsk::inet_ntoa(In);
}

// ---------------------------------------------------------------------------
// Queries

int TCustomWSocket::PeerSockAddr(SOCKADDR_IN& Addr, int& AddrLen)
{
    if (FState != wsConnected)
        return SOCKET_ERROR;
    AddrLen = sizeof Addr;
    return wsk::getpeername(FHSocket, reinterpret_cast<SOCKADDR*>(&Addr), &AddrLen);
}

int TCustomWSocket::LocalSockAddr(SOCKADDR_IN& Addr, int& AddrLen)
{
    AddrLen = sizeof Addr;
    return wsk::getsockname(FHSocket, reinterpret_cast<SOCKADDR*>(&Addr), &AddrLen);
}

bool TCustomWSocket::PeerName(const char* Call, SOCKADDR_IN& Sa)
{
    if (FState != wsConnected)
        return false;
    int Len = sizeof Sa;
    if (wsk::getpeername(FHSocket, reinterpret_cast<SOCKADDR*>(&Sa), &Len) != 0) {
        ReportSocketError(Call);
        return false;
    }
    return true;
}

bool TCustomWSocket::LocalName(SOCKADDR_IN& Sa)
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return false;
    int Len = sizeof Sa;
    return wsk::getsockname(FHSocket, reinterpret_cast<SOCKADDR*>(&Sa), &Len) == 0;
}

std::string TCustomWSocket::PeerAddr()
{
    SOCKADDR_IN Sa{};
    return PeerName("GetPeerName", Sa) ? wsk::inet_ntoa(Sa.sin_addr) : "error";
}

std::string TCustomWSocket::PeerPort()
{
    SOCKADDR_IN Sa{};
    return PeerName("GetPeerPort", Sa) ? std::to_string(wsk::ntohs(Sa.sin_port)) : "error";
}

std::string TCustomWSocket::LocalBoundAddr()
{
    SOCKADDR_IN Sa{};
    return LocalName(Sa) ? wsk::inet_ntoa(Sa.sin_addr) : "error";
}

std::string TCustomWSocket::LocalBoundPort()
{
    SOCKADDR_IN Sa{};
    return LocalName(Sa) ? std::to_string(wsk::ntohs(Sa.sin_port)) : "error";
}

} // namespace net
