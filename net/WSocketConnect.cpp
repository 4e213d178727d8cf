// Putting a socket object to work: connecting, binding, listening,
// accepting and taking over an accepted handle. None of it waits for the
// network; outcomes arrive as notifications.
#include "WSocketCore.h"

namespace net {

using namespace winsock;

namespace {

constexpr int kListenBacklog = 128;

constexpr long kConnectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE; // 59
constexpr long kListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;               // 43
constexpr long kAttachEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;              // 51

bool SetBoolOption(SOCKET s, int Level, int Name, int Value)
{
    return wsk::setsockopt(s, Level, Name, reinterpret_cast<const char*>(&Value), sizeof Value) != SOCKET_ERROR;
}

} // namespace

bool TCustomWSocket::ResolveEndpoint(const char* Context, bool WithLocalPort)
{
    try {
        if (!FProtoResolved) {
            FProto = ResolveProtocolNumber(FProtoStr);
            FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FPortNum = ResolvePortNumber(FPortStr, FProtoStr);
            FSin.sin_port = wsk::htons(static_cast<winsock::u_short>(FPortNum));
            FPortResolved = true;
        }
        if (WithLocalPort && !FLocalPortResolved) {
            FLocalPortNum = ResolvePortNumber(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            FSin.sin_addr.s_addr = ResolveHostAddress(FAddrStr);
            FAddrResolved = true;
        }
    } catch (const std::exception& E) {
        ReportFailure(std::string(Context) + ": " + E.what());
        return false;
    }
    return true;
}

void TCustomWSocket::BeginConnect()
{
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportFailure("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        ReportFailure("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        ReportFailure("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        ReportFailure("Connect: No Protocol Specified");
        return;
    }
    if (!ResolveEndpoint("connect", true))
        return;

    DiscardSendQueue();
    FHSocket = wsk::socket(FAddrFormat, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    SetState(wsOpened);

    if (FType == SOCK_DGRAM) {
        BindLocal();
        if (MultiCast && MultiCastIpTTL != 1) {
            if (!SetBoolOption(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, MultiCastIpTTL)) {
                ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
                return;
            }
        }
        if (FSin.sin_addr.s_addr == INADDR_BROADCAST) {
            if (!SetBoolOption(FHSocket, SOL_SOCKET, SO_BROADCAST, 1)) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        if (!SetBoolOption(FHSocket, SOL_SOCKET, SO_REUSEADDR, -1)) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (ComponentOptions.Contains(wsoTcpNoDelay) && !SetBoolOption(FHSocket, IPPROTO_TCP, TCP_NODELAY, -1)) {
            ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        ApplyLinger();
        if (!SetBoolOption(FHSocket, SOL_SOCKET, SO_KEEPALIVE, -1)) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0")
            BindLocal();
    }

    FSelectEvent = kConnectEvents;
    if (wsk::WSAAsyncSelect(FHSocket, FWindowHandle, MsgSocketEvent, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FType == SOCK_DGRAM) {
        SetState(wsConnected);
        FireSessionConnected(0);
        return;
    }
    if (wsk::connect(FHSocket, reinterpret_cast<const SOCKADDR*>(&FSin), sizeof FSin) == 0 ||
        wsk::WSAGetLastError() == WSAEWOULDBLOCK) {
        SetState(wsConnecting);
        return;
    }
    FLastError = wsk::WSAGetLastError();
    ReportSocketError("Connect");
}

void TCustomWSocket::BeginListen()
{
    auto Refuse = [this](const char* What) {
        wsk::WSASetLastError(WSAEINVAL);
        ReportSocketError(What);
    };
    if (!FPortAssigned)
        return Refuse("listen: port not assigned");
    if (!FProtoAssigned)
        return Refuse("listen: protocol not assigned");
    if (!FAddrAssigned)
        return Refuse("listen: address not assigned");
    if (!ResolveEndpoint("listen", false))
        return;

    DiscardSendQueue();
    FHSocket = wsk::socket(FAddrFormat, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    if (FType == SOCK_DGRAM && ReuseAddr && !SetBoolOption(FHSocket, SOL_SOCKET, SO_REUSEADDR, -1)) {
        ReportSocketError("setsockopt(SO_REUSEADDR)");
        return;
    }
    if (wsk::bind(FHSocket, reinterpret_cast<const SOCKADDR*>(&FSin), sizeof FSin) == SOCKET_ERROR) {
        // The state is still wsClosed, so the close after the report would
        // find nothing to do: the handle goes first, and a later listen
        // starts afresh.
        const int Err = wsk::WSAGetLastError();
        wsk::closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        wsk::WSASetLastError(Err);
        ReportSocketError("Bind");
        CloseSession();
        return;
    }
    SetState(wsBound);
    if (FType == SOCK_DGRAM && MultiCast) {
        IP_MREQ Mreq{};
        Mreq.imr_multiaddr.s_addr = winsock::inet_addr(MultiCastAddrStr.c_str());
        Mreq.imr_interface.s_addr = winsock::htonl(INADDR_ANY);
        if (winsock::setsockopt(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&Mreq),
                                sizeof Mreq) == SOCKET_ERROR) {
            ReportSocketError("setsockopt(IP MULTICAST)");
            return;
        }
    }
    if (FType == SOCK_DGRAM) {
        SetState(wsListening);
        SetState(wsConnected);
        FireSessionConnected(0);
    } else {
        // A backlog of 5 makes Windows refuse further connects at once; Linux
        // instead leaves them half open, the peer believing it is connected,
        // and lets them in only as handshake retries trickle in over tens of
        // seconds. A long backlog keeps a burst of peers from hanging there.
        if (wsk::listen(FHSocket, kListenBacklog) == SOCKET_ERROR) {
            ReportSocketError("Listen");
            return;
        }
        SetState(wsListening);
    }
    FSelectEvent = kListenEvents;
    if (wsk::WSAAsyncSelect(FHSocket, FWindowHandle, MsgSocketEvent, FSelectEvent) == SOCKET_ERROR)
        ReportSocketError("WSAASyncSelect");
}

SOCKET TCustomWSocket::AcceptPending()
{
    if (FState != wsListening) {
        wsk::WSASetLastError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    SOCKADDR_IN Sa{};
    int Len = sizeof Sa;
    FASocket = wsk::accept(FHSocket, reinterpret_cast<SOCKADDR*>(&Sa), &Len);
    if (FASocket == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    return FASocket;
}

void TCustomWSocket::AttachHandle(SOCKET Handle)
{
    if (Handle == 0 || Handle == INVALID_SOCKET) {
        wsk::WSASetLastError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        const SOCKET Old = FHSocket;
        FHSocket = INVALID_SOCKET;
        if (Old != INVALID_SOCKET && wsk::closesocket(Old) == SOCKET_ERROR) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        SetState(wsClosed);
    }
    FHSocket = Handle;
    ApplyLinger();
    FSelectEvent = kAttachEvents;
    if (wsk::WSAAsyncSelect(FHSocket, FWindowHandle, MsgSocketEvent, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    SetState(wsConnected);
}

void TCustomWSocket::BindLocal()
{
    SOCKADDR_IN Local{};
    Local.sin_family = AF_INET;
    Local.sin_port = wsk::htons(static_cast<winsock::u_short>(FLocalPortNum));
    Local.sin_addr.s_addr = ResolveHostAddress(FLocalAddr);
    if (wsk::bind(FHSocket, reinterpret_cast<const SOCKADDR*>(&Local), sizeof Local) == SOCKET_ERROR) {
        ReportFailureFmt("winsock.bind failed, error #%d", wsk::WSAGetLastError());
        return;
    }
    int Len = sizeof Local;
    if (wsk::getsockname(FHSocket, reinterpret_cast<SOCKADDR*>(&Local), &Len) == SOCKET_ERROR) {
        ReportFailureFmt("winsock.getsockname failed, error #%d", wsk::WSAGetLastError());
        return;
    }
    FLocalPortNum = wsk::ntohs(Local.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNum);
}

} // namespace net
