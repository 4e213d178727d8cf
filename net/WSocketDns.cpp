// Asynchronous name look-ups: a host name to its addresses, an address to
// its host name. The platform resolves on a thread of its own and posts the
// answer into this object's queue (MsgNameLookupDone, MsgAddressLookupDone),
// so OnDnsLookupDone always runs from the queue, never inside the call that
// started the look-up (a numeric host excepted, which needs no look-up).
#include "WSocketCore.h"

#include <cstring>

namespace net {

using namespace winsock;

char* TCustomWSocket::DnsLookupBuffer()
{
    if (FDnsLookupBuffer.empty())
        FDnsLookupBuffer.resize((DnsLookupBufferSize + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    return reinterpret_cast<char*>(FDnsLookupBuffer.data());
}

void TCustomWSocket::ForgetLookup()
{
    if (FDnsLookupHandle) {
        // Superseded: its answer is dropped by the platform and never fires.
        wsk::WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
}

void TCustomWSocket::StartNameLookup(const std::string& HostName)
{
    if (HostName.empty()) {
        ReportFailure("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    ForgetLookup();
    const winsock::u_long Numeric = wsk::inet_addr(HostName.c_str());
    if (Numeric != INADDR_NONE) {
        FDnsResult = wsk::inet_ntoa(IN_ADDR{Numeric});
        FireDnsLookupDone(0);
        return;
    }
    FDnsEarlyResult = false;
    FDnsLookupHandle = wsk::WSAAsyncGetHostByName(FWindowHandle, MsgNameLookupDone, HostName.c_str(),
                                                  DnsLookupBuffer(), DnsLookupBufferSize);
    if (FDnsLookupHandle == 0) {
        ReportFailureFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), wsk::WSAGetLastError());
        return;
    }
    // An answer that came before the handle was known (possible where the
    // platform answers from another thread straight into the queue handler)
    // was kept for now.
    if (FDnsEarlyResult) {
        FDnsEarlyResult = false;
        HandleNameLookupDone(FDnsEarlyWParam, FDnsEarlyLParam);
    }
}

void TCustomWSocket::StartAddressLookup(const std::string& HostAddr)
{
    if (HostAddr.empty() || HostAddr.size() > 256) {
        ReportFailure("ReverseDnsLookup: Invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    ForgetLookup();
    const winsock::u_long Address = wsk::inet_addr(HostAddr.c_str());
    FDnsLookupHandle = wsk::WSAAsyncGetHostByAddr(FWindowHandle, MsgAddressLookupDone,
                                                  reinterpret_cast<const char*>(&Address), sizeof Address, AF_INET,
                                                  DnsLookupBuffer(), DnsLookupBufferSize);
    if (FDnsLookupHandle == 0)
        ReportFailureFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), wsk::WSAGetLastError());
}

void TCustomWSocket::CancelNameLookup()
{
    if (FDnsLookupHandle == 0)
        return;
    const winsock::HANDLE Task = FDnsLookupHandle;
    FDnsLookupHandle = 0;
    if (wsk::WSACancelAsyncRequest(Task) == SOCKET_ERROR) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!FDestroying)
        FireDnsLookupDone(WSAEINTR);
}

void TCustomWSocket::HandleNameLookupDone(WPARAM WParam, LPARAM LParam)
{
    if (FDnsLookupHandle == 0) {
        FDnsEarlyResult = true;
        FDnsEarlyWParam = WParam;
        FDnsEarlyLParam = LParam;
        return;
    }
    if (WParam != FDnsLookupHandle)
        return;
    FDnsLookupHandle = 0;
    const uint16_t Error = static_cast<uint16_t>(WSAGETASYNCERROR(LParam));
    if (Error == 0) {
        const auto* Entry = reinterpret_cast<const HOSTENT*>(DnsLookupBuffer());
        for (int i = 0; Entry->h_addr_list[i] && i < DnsMaxAddresses; ++i) {
            IN_ADDR A;
            std::memcpy(&A.s_addr, Entry->h_addr_list[i], sizeof A.s_addr);
            FDnsResultList.push_back(wsk::inet_ntoa(A));
        }
        if (!FDnsResultList.empty())
            FDnsResult = FDnsResultList.front();
    }
    FireDnsLookupDone(Error);
}

void TCustomWSocket::HandleAddressLookupDone(WPARAM WParam, LPARAM LParam)
{
    if (FDnsLookupHandle == 0 || WParam != FDnsLookupHandle)
        return;
    FDnsLookupHandle = 0;
    const uint16_t Error = static_cast<uint16_t>(WSAGETASYNCERROR(LParam));
    if (Error == 0) {
        const auto* Entry = reinterpret_cast<const HOSTENT*>(DnsLookupBuffer());
        FDnsResult = Entry->h_name ? Entry->h_name : "";
        FDnsResultList.push_back(FDnsResult);
    }
    FireDnsLookupDone(Error);
}

} // namespace net
