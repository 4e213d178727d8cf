// Closing: the one closing path every close goes through, its variants,
// the linger setting and the defaults restored after each close.
#include "WSocketCore.h"

namespace net {

using namespace winsock;

void TCustomWSocket::FinishClose(bool ShutdownFirst, int Error)
{
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed) {
            SetState(wsClosed);
            ResetDefaults();
        }
        return;
    }
    if (FState == wsClosed)
        return;
    if (ShutdownFirst)
        ShutdownSocket(SD_SEND);
    const SOCKET Old = FHSocket;
    FHSocket = INVALID_SOCKET;
    while (wsk::closesocket(Old) == SOCKET_ERROR) {
        int Err = wsk::WSAGetLastError();
        FLastError = Err;
        if (Err == WSAEWOULDBLOCK) {
            PumpMessages();
            continue;
        }
        if (Err == WSANOTINITIALISED)
            break;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    SetState(wsClosed);
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(static_cast<uint16_t>(Error));
    }
    try {
        ResetDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::CloseSession() { FinishClose(true, 0); }

void TCustomWSocket::AbortSession()
{
    CancelNameLookup();
    DiscardSendQueue();
    if (FState == wsConnected && FProto == IPPROTO_TCP) {
        LingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    FinishClose(false, 0);
}

void TCustomWSocket::CloseLater() { PostMessage(FWindowHandle, MsgCloseLater, 0, 0); }

void TCustomWSocket::ReleaseLater() { PostMessage(FWindowHandle, MsgReleaseLater, 0, 0); }

void TCustomWSocket::ShutdownSocket(int How)
{
    if (FHSocket != INVALID_SOCKET)
        wsk::shutdown(FHSocket, How);
}

void TCustomWSocket::ResetDefaults()
{
    FSin = SOCKADDR_IN{};
    FSin.sin_family = AF_INET;
    FAddrFormat = AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    LingerOnOff = wsLingerOn;
    LingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FSendGone = false;
    FlushTimeout = 60;
}

void TCustomWSocket::ApplyLinger()
{
    if (LingerOnOff == wsLingerNoSet)
        return;
    if (FHSocket == INVALID_SOCKET) {
        ReportFailure("Cannot set linger option at this time");
        return;
    }
    if (LingerTimeout < 0 || LingerTimeout > 65535)
        throw rtl::Exception("Range check error");
    LINGER Li{static_cast<winsock::u_short>(LingerOnOff == wsLingerOn ? 1 : 0), static_cast<winsock::u_short>(LingerTimeout)};
    if (wsk::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Li), sizeof Li) ==
        SOCKET_ERROR)
        ReportSocketError("setsockopt(SO_LINGER)");
}

} // namespace net
