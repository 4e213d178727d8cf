// The socket object: construction, the message window and the dispatch of
// notifications, error reporting, events and pumping.
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
    case MsgNameLookupDone:
        HandleNameLookupDone(WParam, LParam);
        return 0;
    case MsgAddressLookupDone:
        HandleAddressLookupDone(WParam, LParam);
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
// Pumping and pausing

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
