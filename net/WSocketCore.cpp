// The socket object: construction, the message window and the dispatch of
// notifications, receiving, closing and error reporting.
#include "WSocketCore.h"

#include <QCoreApplication>
#include <QThread>
#include <QtGlobal>

#include <cstdarg>

namespace net {

using namespace winsock;

TCustomWSocket::TCustomWSocket(TNetComponent* AOwner)
    : TNetComponent(AOwner)
{
    CreateNotifyWindow();
    FBufSize = 1460;
    MultiCastIpTTL = 1;
    ResetDefaults();
    SocketObjectCreated();
}

TCustomWSocket::~TCustomWSocket()
{
    FDestroying = true;
    try {
        CancelNameLookup();
    } catch (...) {
    }
    if (FState != wsClosed) {
        try {
            CloseSession();
        } catch (...) {
        }
    }
    // A handle that never reached a state of its own (a failed listen, a
    // refused close) must not outlive the object.
    if (FHSocket != INVALID_SOCKET) {
        try {
            wsk::closesocket(FHSocket);
        } catch (...) {
        }
        FHSocket = INVALID_SOCKET;
    }
    SocketObjectDestroyed();
    DiscardSendQueue();
    DestroyNotifyWindow();
}

// ---------------------------------------------------------------------------
// Message window

void TCustomWSocket::CreateNotifyWindow()
{
    FWindowHandle = CreateMessageWindow([this](HWND, UINT Msg, WPARAM WParam, LPARAM LParam) {
        return DispatchWindowMessage(Msg, WParam, LParam);
    });
}

void TCustomWSocket::DestroyNotifyWindow()
{
    if (FWindowHandle) {
        DestroyMessageWindow(FWindowHandle);
        FWindowHandle = 0;
    }
}

LRESULT TCustomWSocket::DispatchWindowMessage(UINT Msg, WPARAM WParam, LPARAM LParam)
{
    // Every message runs under this guard: nothing may reach Qt's loop.
    try {
        return HandleWindowMessage(Msg, WParam, LParam);
    } catch (const std::exception& E) {
        HandleEventException(E);
    } catch (...) {
        rtl::Exception E("Unknown exception during socket event");
        HandleEventException(E);
    }
    return 0;
}

LRESULT TCustomWSocket::HandleWindowMessage(UINT Msg, WPARAM WParam, LPARAM LParam)
{
    switch (Msg) {
    case MsgSocketEvent:
        HandleSocketNotification(WParam, LParam);
        return 0;
    case MsgCloseLater:
        CloseSession();
        return 0;
    case MsgReleaseLater:
        delete this;
        return 0;
    case MsgTestFailure:
        throw ESocketException("Test exception in WSocket");
    default:
        return 0;
    }
}

void TCustomWSocket::HandleEventException(const std::exception& E)
{
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
        }
    }
    if (CanClose) {
        try {
            AbortSession();
        } catch (...) {
        }
    }
}

void TCustomWSocket::PostSocketEvent(long Event, int Error)
{
    PostMessage(FWindowHandle, MsgSocketEvent, FHSocket, WSAMAKESELECTREPLY(Event, Error));
}

void TCustomWSocket::HandleSocketNotification(WPARAM WParam, LPARAM LParam)
{
    // Messages queued before a close (or for an earlier handle) are stale.
    if (WParam != FHSocket || FPaused)
        return;
    const long Events = WSAGETSELECTEVENT(LParam);
    const uint16_t Error = static_cast<uint16_t>(WSAGETSELECTERROR(LParam));

    if (Events & FD_CONNECT) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            FireSessionConnected(Error);
        }
        if (Error != 0 && FState != wsClosed)
            CloseSession();
    }
    if (Events & FD_READ) {
        if (FState != wsConnected) {
            SetState(wsConnected);
            FireSessionConnected(Error);
        }
        ReceiveLoop(Error, ComponentOptions);
    }
    if (Events & FD_WRITE) {
        DrainSendQueue();
        if (FAllSent)
            FireDataSent(Error);
    }
    if (Events & FD_ACCEPT)
        FireSessionAvailable(Error);
    if (Events & FD_CLOSE) {
        // A half-made connection is finished by FD_CONNECT alone.
        if (FState == wsConnecting)
            return;
        TWSocketOptions Options = ComponentOptions;
        Options.Exclude(wsoNoReceiveLoop);
        ReceiveLoop(0, Options);
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(Error);
        }
        if (FState != wsClosed)
            CloseSession();
    }
}

// ---------------------------------------------------------------------------
// Receiving

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options)
{
    try {
        for (;;) {
            FLastError = 0;
            const uint64_t ReadBefore = FRawBytesRead;
            if (!FireDataAvailable(Error)) {
                char Scratch[1024];
                int n = wsk::recv(FHSocket, Scratch, sizeof Scratch, 0);
                if (n > 0) {
                    FRawBytesRead += static_cast<uint64_t>(n);
                } else if (n < 0) {
                    int Err = wsk::WSAGetLastError();
                    if (Err == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                    FLastError = Err;
                }
            }
            if (Options.Contains(wsoNoReceiveLoop))
                break;
            if (FLastError != 0)
                break;
            winsock::u_long Count = 0;
            if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR) {
                FLastError = wsk::WSAGetLastError();
                break;
            }
            if (Count == 0)
                break;
            // A handler that read nothing would be offered the same bytes
            // forever; they stay queued until someone reads them.
            if (FRawBytesRead == ReadBefore)
                break;
        }
    } catch (...) {
        // Lost on purpose: a failing data handler must not end the session.
    }
}

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize)
{
    int n = wsk::recv(FHSocket, static_cast<char*>(Buffer), BufferSize, 0);
    if (n > 0)
        FRawBytesRead += static_cast<uint64_t>(n);
    return n;
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int BufferSize, SOCKADDR_IN& From, int& FromLen)
{
    int n = wsk::recvfrom(FHSocket, static_cast<char*>(Buffer), BufferSize, 0,
                          reinterpret_cast<SOCKADDR*>(&From), &FromLen);
    if (n > 0)
        FRawBytesRead += static_cast<uint64_t>(n);
    return n;
}

int TCustomWSocket::ReceiveInto(void* Buffer, int BufferSize)
{
    int n = RawReceive(Buffer, BufferSize);
    if (n < 0) {
        FLastError = wsk::WSAGetLastError();
        return -1;
    }
    FReadCount += n;
    return n;
}

int TCustomWSocket::ReceiveDatagramFrom(void* Buffer, int BufferSize, SOCKADDR_IN& From, int& FromLen)
{
    int n = RawReceiveFrom(Buffer, BufferSize, From, FromLen);
    if (n < 0) {
        FLastError = wsk::WSAGetLastError();
        return -1;
    }
    FReadCount += n;
    return n;
}

int TCustomWSocket::RcvdCount()
{
    winsock::u_long Count = 0;
    if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(Count);
}

std::string TCustomWSocket::ReceiveAvailable()
{
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    std::string Data(static_cast<size_t>(n), '\0');
    int Got = ReceiveInto(Data.data(), n);
    if (Got <= 0)
        return {};
    Data.resize(static_cast<size_t>(Got));
    return Data;
}

// ---------------------------------------------------------------------------
// Closing

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

void TCustomWSocket::CancelNameLookup()
{
    // No asynchronous look-up can be pending yet: they are not offered.
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

// ---------------------------------------------------------------------------
// Error reporting

void TCustomWSocket::ReportFailure(const std::string& Msg)
{
    if (OnError) {
        FireError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomWSocket::ReportFailureFmt(const char* Fmt, ...)
{
    va_list Args;
    va_start(Args, Fmt);
    std::string Msg = rtl::FormatV(Fmt, Args);
    va_end(Args);
    ReportFailure(Msg);
}

void TCustomWSocket::ReportSocketError(const std::string& FuncName)
{
    const int Code = wsk::WSAGetLastError();
    std::string Msg = "Error " + std::to_string(Code) + " in function " + FuncName + "\r\n" + SocketErrorText(Code);
    if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
        if (FHSocket != INVALID_SOCKET) {
            wsk::closesocket(FHSocket);
            FHSocket = INVALID_SOCKET;
        }
        if (FState != wsClosed)
            FireSessionClosed(static_cast<uint16_t>(Code));
        SetState(wsClosed);
    }
    FLastError = Code;
    ReportFailure(Msg);
}

// ---------------------------------------------------------------------------
// State and events

void TCustomWSocket::SetState(TSocketState NewState)
{
    TSocketState Old = FState;
    FState = NewState;
    FireChangeState(Old, NewState);
}

bool TCustomWSocket::FireDataAvailable(uint16_t Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(uint16_t Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::FireSessionConnected(uint16_t Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::FireSessionClosed(uint16_t Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::FireDataSent(uint16_t Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::FireDnsLookupDone(uint16_t Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::FireError()
{
    if (OnError)
        OnError(this);
}

// ---------------------------------------------------------------------------
// Pumping, pausing, draining

void TCustomWSocket::PumpMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // A worker thread asked to stop plays the part of the quit message.
    if (MultiThreaded && QThread::currentThread()->isInterruptionRequested())
        FTerminated = true;
}

void TCustomWSocket::SuspendEvents()
{
    FPaused = true;
    if (FHSocket != INVALID_SOCKET)
        wsk::WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

void TCustomWSocket::ResumeEvents()
{
    FPaused = false;
    if (FHSocket != INVALID_SOCKET)
        wsk::WSAAsyncSelect(FHSocket, FWindowHandle, MsgSocketEvent, FSelectEvent);
}

void TCustomWSocket::DrainUntilClosed()
{
    while (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        PumpMessages();
        winsock::u_long Count = 0;
        if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR)
            break;
        if (Count > 0)
            FireDataAvailable(0);
        char Dummy;
        wsk::WSASetLastError(0);
        if (wsk::recv(FHSocket, &Dummy, 0, 0) < 1) {
            FLastError = wsk::WSAGetLastError();
            if (FLastError != WSAEWOULDBLOCK)
                break;
        }
        PumpMessages();
    }
}

// ---------------------------------------------------------------------------
// Time values

bool TCustomWSocket::TimeValueIsSet(const TTimeVal& T) { return T.tv_sec != 0 || T.tv_usec != 0; }

void TCustomWSocket::TimeValueClear(TTimeVal& T)
{
    T.tv_sec = 0;
    T.tv_usec = 0;
}

bool TCustomWSocket::TimeValueCompare(const TTimeVal& A, const TTimeVal& B, bool Equal)
{
    bool Same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
    return Equal ? Same : !Same;
}

} // namespace net
