#pragma once
// The listening server and its per-connection client objects.
//
// TWSocketServer listens (BeginListen) and, for every incoming TCP
// connection, makes one TWSocketClient (of ClientObjectClass), owned by the
// server, hands it the accepted handle, greets the peer with Banner + CR LF,
// keeps it in LiveClients while the connection lives and destroys it after
// the connection has closed:
//
//   FD_ACCEPT -> OnSessionAvailable -> accept -> AcceptFilter
//     -> client object made (ClientSerial + 1) -> OnClientCreate
//     -> named <server Name>Client<ClientSerial>, Banner copied
//     -> handle attached (wsConnected, PeerAddr/PeerPort known)
//     -> OnClientConnect -> greeting (or, over MaxClients, the busy greeting
//        and a close) -> ... the connection closes, by whichever path
//     -> MsgClientClosed from the queue -> OnClientDisconnect -> destroyed.
//
// OnClientConnect comes before the greeting and before any of the client's
// data can be delivered, so a handler bound there sees every byte.
// OnClientDisconnect always runs from the server's queue, never inside the
// client's own handling, so a client's handlers may close it freely.
//
// A failed accept never takes the listener down for good: see AcceptClient
// in WSocketS.cpp for what happens on each kind of failure.

#include "WSocket.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace net {

class TCustomWSocketServer;

// Posted by a client object to its server's window when its connection has
// closed: WParam 0, LParam the client object.
// (MsgClientClosed, 1054, is defined with the other messages.)
// Posted by the server to itself when a pause in accepting is over.
inline constexpr winsock::UINT MsgAcceptRetry = winsock::WM_USER + 31; // 1055

class TWSocketClient : public TWSocket {
public:
    explicit TWSocketClient(TNetComponent* AOwner = nullptr);

    // Greeting line sent by SendGreeting; the server copies its own into it.
    std::string Banner;

    // The server that made this object; nullptr for one made by hand.
    TCustomWSocketServer* Server() const { return FServer; }

    // The peer's address and port as they were when the handle was attached;
    // still readable after the connection closed. Empty before.
    std::string PeerAddr() override;
    std::string PeerPort() override;

    void AttachHandle(winsock::SOCKET Handle) override;
    // Sends Banner + CR LF, when Banner is not empty.
    virtual void SendGreeting();

protected:
    // Tells the server, once in the object's life, that the connection has
    // closed, then fires OnSessionClosed as usual. Later calls do nothing.
    void FireSessionClosed(uint16_t Error) override;

private:
    friend class TCustomWSocketServer;
    TCustomWSocketServer* FServer = nullptr;
    std::string FPeerAddr;
    std::string FPeerPort;
    bool FClosedPosted = false;
};

// Makes the client object for a new connection, owned by Owner.
using TWSocketClientClass = std::function<TWSocketClient*(TNetComponent* Owner)>;

template <class T>
TWSocketClientClass ClientClassOf()
{
    return [](TNetComponent* Owner) -> TWSocketClient* { return new T(Owner); };
}

using TWSocketClientCreateEvent = std::function<void(rtl::TObject* Sender, TWSocketClient* Client)>;
using TWSocketClientConnectEvent = std::function<void(rtl::TObject* Sender, TWSocketClient* Client, uint16_t Error)>;

// Decides about an accepted connection before anything else happens to it:
// Handle is the accepted handle, Peer the address record accept gave. True
// lets it become a client; false refuses it (see AcceptFilter below).
using TWSocketAcceptFilter =
    std::function<bool(rtl::TObject* Sender, winsock::SOCKET Handle, const winsock::SOCKADDR_IN& Peer)>;

class TCustomWSocketServer : public TWSocket {
public:
    explicit TCustomWSocketServer(TNetComponent* AOwner = nullptr);
    // Destroys the client objects still alive, the last first, without
    // OnClientDisconnect; then closes the listening handle without events.
    ~TCustomWSocketServer() override;

    std::string Banner = "Welcome to TcpSrv";
    std::string BannerToBusy = "Sorry, too many clients";
    // Empty: TWSocketClient.
    TWSocketClientClass ClientObjectClass = ClientClassOf<TWSocketClient>();
    // Limit on live client objects; 0 or less: none.
    int MaxClients = 0;

    // Connections that became client objects so far; numbers their names.
    int ClientSerial() const { return FClientSerial; }
    // The client objects alive now, in the order they were made (not owned
    // by the list; the server owns them).
    const std::vector<TWSocketClient*>& LiveClients() const { return FLiveClients; }
    virtual int CountClients();
    // nullptr when Index is outside 0..CountClients()-1.
    virtual TWSocketClient* ClientByIndex(int Index);

    // The seam for deciding who may connect, run right after accept and
    // before any client object exists (so before OnClientCreate, the banner
    // and every other event). Unbound: everyone is let in. A connection it
    // refuses is closed at once with a reset: it gets no client object, no
    // ClientSerial number, no banner and no events. The handle belongs to
    // the server throughout: the filter may query it (its peer, its
    // credentials) but must neither close nor keep it. An exception from the
    // filter refuses the connection and then goes to the server's exception
    // handling like one from any other handler.
    TWSocketAcceptFilter AcceptFilter;

    // True while accepting is paused after the process ran short of
    // descriptors or buffers (see AcceptClient).
    bool AcceptPaused() const { return FAcceptPaused; }

    TWSocketClientCreateEvent OnClientCreate;
    TWSocketClientConnectEvent OnClientConnect;
    // The client object is destroyed right after this returns (or raises).
    TWSocketClientConnectEvent OnClientDisconnect;

protected:
    winsock::LRESULT HandleWindowMessage(winsock::UINT Msg, winsock::WPARAM WParam, winsock::LPARAM LParam) override;
    void Notification(TNetComponent* AComponent, TOperation Operation) override;
    // The server's reaction to FD_ACCEPT.
    void FireSessionAvailable(uint16_t Error) override;
    virtual void AcceptClient(uint16_t Error);
    // Default: AcceptFilter when bound, else true.
    virtual bool PassesAcceptFilter(winsock::SOCKET Handle, const winsock::SOCKADDR_IN& Peer);
    virtual void FireClientCreate(TWSocketClient* Client);
    virtual void FireClientConnect(TWSocketClient* Client, uint16_t Error);
    virtual void FireClientDisconnect(TWSocketClient* Client, uint16_t Error);
    // A failed accept that leaves the listener usable: LastError := Error,
    // then OnBgException with CanClose coming in false; a handler that sets
    // it true closes the listener.
    virtual void ReportAcceptFailure(int Error);

private:
    bool IsLive(const TWSocketClient* Client) const;
    void AcceptFailed(int Error);
    void PauseAccepting();
    void ResumeAccepting();
    void ClientClosed(TWSocketClient* Client);

    std::vector<TWSocketClient*> FLiveClients;
    bool FListAlive = true;
    int FClientSerial = 0;
    bool FAcceptPaused = false;
    int FAcceptBackoffMs = 0;
    std::unique_ptr<QTimer> FRetryTimer;
};

class TWSocketServer : public TCustomWSocketServer {
public:
    explicit TWSocketServer(TNetComponent* AOwner = nullptr);
};

} // namespace net
