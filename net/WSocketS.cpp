// The listening server and its client objects.
#include "WSocketS.h"

#include <QTimer>

#include <algorithm>

namespace net {

using namespace winsock;

namespace {

// Pauses in accepting after the process ran short of descriptors: short at
// first (a client closing frees one at once), longer while the shortage
// lasts, so a full process does not spin on a connection it cannot take.
constexpr int kFirstAcceptPauseMs = 50;
constexpr int kLongestAcceptPauseMs = 2000;

// Closes an accepted handle that will never become a client, with a reset so
// that the peer learns at once.
void Refuse(SOCKET Handle)
{
    LINGER Abort{1, 0};
    wsk::setsockopt(Handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Abort), sizeof Abort);
    wsk::closesocket(Handle);
}

} // namespace

// ---------------------------------------------------------------------------
// Client objects

TWSocketClient::TWSocketClient(TNetComponent* AOwner)
    : TWSocket(AOwner)
{
}

std::string TWSocketClient::PeerAddr() { return FPeerAddr; }

std::string TWSocketClient::PeerPort() { return FPeerPort; }

void TWSocketClient::AttachHandle(SOCKET Handle)
{
    TWSocket::AttachHandle(Handle);
    if (FState != wsConnected)
        return;
    // Asked quietly: a peer that has already reset the connection must not
    // turn the attach into a failure (the close is reported as usual). The
    // server has filled in what accept gave, which then stays.
    SOCKADDR_IN Sa{};
    int Len = sizeof Sa;
    if (wsk::getpeername(FHSocket, reinterpret_cast<SOCKADDR*>(&Sa), &Len) == 0) {
        FPeerAddr = wsk::inet_ntoa(Sa.sin_addr);
        FPeerPort = std::to_string(wsk::ntohs(Sa.sin_port));
    }
}

void TWSocketClient::SendGreeting()
{
    if (!Banner.empty())
        SendString(Banner + "\r\n");
}

void TWSocketClient::FireSessionClosed(uint16_t Error)
{
    if (FClosedPosted)
        return;
    FClosedPosted = true;
    if (FServer)
        PostMessage(FServer->NotifyWindow(), MsgClientClosed, 0, reinterpret_cast<LPARAM>(this));
    TWSocket::FireSessionClosed(Error);
}

// ---------------------------------------------------------------------------
// Server: life

TCustomWSocketServer::TCustomWSocketServer(TNetComponent* AOwner)
    : TWSocket(AOwner)
    , FRetryTimer(std::make_unique<QTimer>())
{
    FRetryTimer->setSingleShot(true);
    // The pause ends through the queue, so that what follows runs under the
    // same guard as every other message of this object.
    QObject::connect(FRetryTimer.get(), &QTimer::timeout,
                     [Wnd = FWindowHandle] { PostMessage(Wnd, MsgAcceptRetry, 0, 0); });
}

TCustomWSocketServer::~TCustomWSocketServer()
{
    FRetryTimer.reset();
    while (!FLiveClients.empty()) {
        TWSocketClient* Client = FLiveClients.back();
        FLiveClients.pop_back();
        try {
            delete Client; // closes its handle without events
        } catch (...) {
        }
    }
    FListAlive = false;
}

TWSocketServer::TWSocketServer(TNetComponent* AOwner)
    : TCustomWSocketServer(AOwner)
{
}

void TCustomWSocketServer::Notification(TNetComponent* AComponent, TOperation Operation)
{
    TWSocket::Notification(AComponent, Operation);
    // A client joins the list in AcceptClient, once it is fully made (on
    // insertion it is still only a component); it leaves the list however
    // it is destroyed, compared by address alone since it is half gone.
    if (Operation == opRemove && FListAlive) {
        auto It = std::find_if(FLiveClients.begin(), FLiveClients.end(),
                               [AComponent](TWSocketClient* C) { return static_cast<TNetComponent*>(C) == AComponent; });
        if (It != FLiveClients.end())
            FLiveClients.erase(It);
    }
}

int TCustomWSocketServer::CountClients() { return FListAlive ? static_cast<int>(FLiveClients.size()) : 0; }

TWSocketClient* TCustomWSocketServer::ClientByIndex(int Index)
{
    if (Index < 0 || Index >= CountClients())
        return nullptr;
    return FLiveClients[static_cast<size_t>(Index)];
}

bool TCustomWSocketServer::IsLive(const TWSocketClient* Client) const
{
    return std::find(FLiveClients.begin(), FLiveClients.end(), Client) != FLiveClients.end();
}

// ---------------------------------------------------------------------------
// Server: messages

LRESULT TCustomWSocketServer::HandleWindowMessage(UINT Msg, WPARAM WParam, LPARAM LParam)
{
    switch (Msg) {
    case MsgClientClosed:
        ClientClosed(reinterpret_cast<TWSocketClient*>(LParam));
        return 0;
    case MsgAcceptRetry:
        ResumeAccepting();
        return 0;
    default:
        return TWSocket::HandleWindowMessage(Msg, WParam, LParam);
    }
}

void TCustomWSocketServer::ClientClosed(TWSocketClient* Client)
{
    // A client destroyed meanwhile by someone else has left the list, and
    // its pointer must not be followed.
    if (!IsLive(Client) || !Client->FClosedPosted)
        return;
    try {
        FireClientDisconnect(Client, 0);
    } catch (...) {
        if (IsLive(Client))
            delete Client;
        ResumeAccepting();
        throw;
    }
    if (IsLive(Client)) // the handler may have destroyed it itself
        delete Client;
    // A descriptor has just been freed: a paused accept may work now.
    ResumeAccepting();
}

// ---------------------------------------------------------------------------
// Server: accepting

void TCustomWSocketServer::FireSessionAvailable(uint16_t Error) { AcceptClient(Error); }

// Accepts one pending connection and makes its client object.
//
// The connection is accepted before the client object is made, so that an
// accept that fails leaves no half-made client behind, and so that the
// accept filter can refuse a connection before anything of it exists.
//
// A failed accept never ends the listener when a later accept could work:
// - would-block (a handler of OnSessionAvailable took the connection):
//   nothing happens;
// - too many open files (10024) or no buffer space (10055): the connection
//   waits in the backlog while accepting pauses, first for 50 ms, then twice
//   as long each time it fails again, up to 2 s, and at once when one of
//   the server's clients is released; each failure is reported through
//   ReportAcceptFailure, and the next accept that works ends the pauses;
// - any other failure of that one connection (reset before it was taken,
//   refused by a firewall rule, ...): reported through ReportAcceptFailure,
//   and the server goes on listening;
// - a listening handle that is no longer usable (10038, 10009, 10022,
//   10093): reported as "Accept" through ReportSocketError, whose exception
//   goes to the server's exception handling, which closes the listener
//   unless an OnBgException handler clears CanClose.
void TCustomWSocketServer::AcceptClient(uint16_t Error)
{
    TWSocket::FireSessionAvailable(Error);
    if (Error != 0 || FState != wsListening)
        return;

    SOCKADDR_IN Peer{};
    int PeerLen = sizeof Peer;
    const SOCKET Handle = wsk::accept(FHSocket, reinterpret_cast<SOCKADDR*>(&Peer), &PeerLen);
    if (Handle == INVALID_SOCKET) {
        AcceptFailed(wsk::WSAGetLastError());
        return;
    }
    FASocket = Handle;
    FAcceptBackoffMs = 0;

    bool Admitted = false;
    try {
        Admitted = PassesAcceptFilter(Handle, Peer);
    } catch (...) {
        Refuse(Handle);
        throw;
    }
    if (!Admitted) {
        Refuse(Handle);
        return;
    }

    ++FClientSerial;
    TWSocketClient* Client = nullptr;
    try {
        if (ClientObjectClass)
            Client = ClientObjectClass(this);
        if (!Client)
            Client = new TWSocketClient(this);
    } catch (...) {
        Refuse(Handle);
        throw;
    }
    FLiveClients.push_back(Client);
    Client->FServer = this;

    // Until the client holds the handle, a failure must not leak it; and a
    // client that never got its connection still ends the usual way
    // (OnClientDisconnect from the queue, then destroyed), so that whoever
    // saw OnClientCreate also sees it go.
    auto Abandon = [&] {
        if (!IsLive(Client)) {
            if (Client->Handle() != Handle)
                Refuse(Handle);
            return;
        }
        if (Client->Handle() != Handle)
            Refuse(Handle);
        if (!Client->FClosedPosted) {
            Client->FClosedPosted = true;
            PostMessage(FWindowHandle, MsgClientClosed, 0, reinterpret_cast<LPARAM>(Client));
        }
    };
    try {
        FireClientCreate(Client);
        if (IsLive(Client)) {
            Client->SetName(Name() + "Client" + std::to_string(FClientSerial));
            Client->Banner = Banner;
            Client->FPeerAddr = wsk::inet_ntoa(Peer.sin_addr);
            Client->FPeerPort = std::to_string(wsk::ntohs(Peer.sin_port));
            Client->AttachHandle(Handle);
        }
    } catch (...) {
        Abandon();
        throw;
    }
    if (!IsLive(Client) || Client->Handle() != Handle) {
        Abandon();
        return;
    }

    FireClientConnect(Client, 0);

    if (IsLive(Client) && Client->State() == wsConnected) {
        if (MaxClients > 0 && CountClients() > MaxClients) {
            Client->Banner = BannerToBusy;
            // A graceful close, so that the busy greeting is not lost to the
            // reset an abortive close would send right behind it.
            Client->LingerOnOff = wsLingerOff;
            Client->ApplyLinger();
            Client->SendGreeting();
            Client->CloseSession();
        } else {
            Client->SendGreeting();
        }
    }
}

bool TCustomWSocketServer::PassesAcceptFilter(SOCKET Handle, const SOCKADDR_IN& Peer)
{
    return AcceptFilter ? AcceptFilter(this, Handle, Peer) : true;
}

void TCustomWSocketServer::AcceptFailed(int Error)
{
    switch (Error) {
    case WSAEWOULDBLOCK:
        return;
    case WSAEMFILE:
    case WSAENOBUFS:
        PauseAccepting();
        ReportAcceptFailure(Error);
        return;
    case WSAENOTSOCK:
    case WSAEBADF:
    case WSAEINVAL:
    case WSANOTINITIALISED:
        wsk::WSASetLastError(Error);
        ReportSocketError("Accept");
        return;
    default:
        ReportAcceptFailure(Error);
        return;
    }
}

void TCustomWSocketServer::ReportAcceptFailure(int Error)
{
    FLastError = Error;
    if (!OnBgException)
        return;
    bool CanClose = false;
    try {
        const ESocketException E("Error " + std::to_string(Error) + " in function Accept\r\n" + SocketErrorText(Error));
        OnBgException(this, E, CanClose);
    } catch (...) {
        return;
    }
    if (CanClose)
        AbortSession();
}

void TCustomWSocketServer::PauseAccepting()
{
    if (FHSocket == INVALID_SOCKET)
        return;
    // No FD_ACCEPT while paused: the pending connection keeps the listening
    // handle readable, and every accept would fail the same way at once.
    wsk::WSAAsyncSelect(FHSocket, FWindowHandle, MsgSocketEvent, FSelectEvent & ~FD_ACCEPT);
    FAcceptPaused = true;
    FAcceptBackoffMs = FAcceptBackoffMs == 0 ? kFirstAcceptPauseMs
                                             : std::min(FAcceptBackoffMs * 2, kLongestAcceptPauseMs);
    FRetryTimer->start(FAcceptBackoffMs);
}

void TCustomWSocketServer::ResumeAccepting()
{
    if (!FAcceptPaused)
        return;
    FAcceptPaused = false;
    FRetryTimer->stop();
    // Selecting again posts FD_ACCEPT at once if a connection is waiting.
    if (FHSocket != INVALID_SOCKET && FState == wsListening && !FPaused)
        wsk::WSAAsyncSelect(FHSocket, FWindowHandle, MsgSocketEvent, FSelectEvent);
}

// ---------------------------------------------------------------------------
// Server: events

void TCustomWSocketServer::FireClientCreate(TWSocketClient* Client)
{
    if (OnClientCreate)
        OnClientCreate(this, Client);
}

void TCustomWSocketServer::FireClientConnect(TWSocketClient* Client, uint16_t Error)
{
    if (OnClientConnect)
        OnClientConnect(this, Client, Error);
}

void TCustomWSocketServer::FireClientDisconnect(TWSocketClient* Client, uint16_t Error)
{
    if (OnClientDisconnect)
        OnClientDisconnect(this, Client, Error);
}

} // namespace net
