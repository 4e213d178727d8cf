// The Interlink: when the window is first shown, this copy tries to connect
// to 127.0.0.1 port 666. If that works it is a client; otherwise it listens
// there as the server, relays every frame it receives to all its clients
// and acts on it itself. A "SEND" frame makes every copy transmit its text.
//
// Only processes of the same user (or root) take part: on a shared machine
// anyone else could otherwise make this copy transmit on its serial port.

#include "Unit1.h"

#include "Interlink.h"
#include "InterlinkFrames.h"
#include "MessageBox.h"
#include "PeerCredentials.h"
#include "WSocketS.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

const char* const kClientTitle = " (Interlink Client)";
const char* const kServerTitle = " (Interlink Server)";

std::string& InterlinkPort()
{
    static std::string port = "666";
    return port;
}

void SetUpInterlinkSocket(net::TWSocket& s)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(InterlinkPort());
    s.SetProto("tcp");
    s.SetLocalAddr("0.0.0.0");
    s.SetLocalPort("0");
}

} // namespace

void TForm1::SetInterlinkPortForTests(const std::string& port)
{
    InterlinkPort() = port.empty() ? "666" : port;
}

void TForm1::CreateInterlinkSockets()
{
    // Named as in the window definition; the server's sessions take their
    // names from it (ServerClient1, ...).
    Server = std::make_unique<net::TWSocketServer>();
    Server->SetName("Server");
    SetUpInterlinkSocket(*Server);
    Server->Banner = "Welcome to TcpSrv";
    Server->BannerToBusy = "Sorry, too many clients";
    Server->MaxClients = 0;
    Client = std::make_unique<net::TWSocket>();
    Client->SetName("Client");
    SetUpInterlinkSocket(*Client);
    // Frames are small and each should go out at once, not wait for the
    // acknowledgement of the one before (tens of milliseconds per relay).
    Client->ComponentOptions.Include(net::wsoTcpNoDelay);

    // What escapes these handlers is the socket layer's to discard; it never
    // reaches the window's exception handler.
    Server->OnDataAvailable = [this](rtl::TObject* Sender, uint16_t Error) { ServerDataAvailable(Sender, Error); };
    Server->OnSessionConnected = [this](rtl::TObject* Sender, uint16_t Error) { ServerSessionConnected(Sender, Error); };
    Server->OnClientConnect = [this](rtl::TObject* Sender, net::TWSocketClient* C, uint16_t Error) {
        ServerClientConnect(Sender, C, Error);
    };
    Server->OnClientDisconnect = [this](rtl::TObject* Sender, net::TWSocketClient* C, uint16_t Error) {
        ServerClientDisconnect(Sender, C, Error);
    };
    Server->AcceptFilter = [this](rtl::TObject*, winsock::SOCKET Handle, const winsock::SOCKADDR_IN&) {
        return AcceptsPeer(Handle);
    };
    Client->OnDataAvailable = [this](rtl::TObject* Sender, uint16_t Error) { ClientDataAvailable(Sender, Error); };
    Client->OnSessionConnected = [this](rtl::TObject* Sender, uint16_t Error) { ClientSessionConnected(Sender, Error); };
    Client->OnSessionClosed = [this](rtl::TObject* Sender, uint16_t Error) { ClientSessionClosed(Sender, Error); };
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The role is decided on the first show only. A show event comes again
    // with every restore from minimised and every show after a hide (and
    // may come during the election itself): none is a new start, also not
    // when the first election left this copy without the Interlink, which
    // the user has been told once.
    if (shownBefore_)
        return;
    shownBefore_ = true;
    Guarded([&] { FormShow(this); });
}

void TForm1::FormShow(rtl::TObject*)
{
    if (InterlinkStarted)
        return;
    Client->BeginConnect();
    while (Client->State() == net::wsConnecting) {
        // Everything keeps running meanwhile: sockets, timers, the port.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (terminating_ || closed_ || QCoreApplication::closingDown())
            return;
    }
    if (Client->State() == net::wsConnected) {
        setWindowTitle(windowTitle() + kClientTitle);
    } else {
        Server->BeginListen();
        setWindowTitle(windowTitle() + kServerTitle);
    }
    InterlinkStarted = true;
}

bool TForm1::AcceptsPeer(winsock::SOCKET Handle)
{
    return platform::IsSameUserOrRoot(winsock::PeerUserId(Handle));
}

bool TForm1::ServerIsOurs()
{
    return platform::IsSameUserOrRoot(winsock::PeerUserId(Client->Handle()));
}

bool TForm1::PeerTakesFrames(net::TCustomWSocket* Peer)
{
    if (Peer->State() != net::wsConnected)
        return false;
    // A peer that never reads would make its send queue grow without bound:
    // past the limit it is dropped and its connection reset; the link and
    // every other peer go on.
    if (Peer->SendQueue().size() * kSendBlockSize > kMaxQueuedPerPeer) {
        Peer->AbortSession();
        return false;
    }
    return true;
}

void TForm1::SendToPeers(const std::string& Frame)
{
    terminal::WalkPeers(InterlinkPeers, Frame, [this](net::TCustomWSocket* peer) { return PeerTakesFrames(peer); });
}

void TForm1::ILGet(const std::string& Payload)
{
    if (Payload.compare(0, 4, "SEND") == 0)
        SendText(Payload.substr(4));
}

void TForm1::ClientDataAvailable(rtl::TObject*, uint16_t)
{
    InterlinkInBuffer += Client->ReceiveAvailable();
    // The greeting goes as a line of its own: a frame that came with it in
    // one read is taken, not discarded together with it.
    if (!InterlinkGreeted) {
        if (!terminal::TakeGreeting(InterlinkInBuffer))
            return;
        InterlinkGreeted = true;
    }
    terminal::TakeEveryFrame(InterlinkInBuffer, [this](const std::string& payload) { ILGet(payload); });
}

void TForm1::ServerDataAvailable(rtl::TObject* Sender, uint16_t)
{
    auto* connection = dynamic_cast<net::TCustomWSocket*>(Sender);
    if (!connection)
        return;
    // Each connection has its own input: bytes of two clients must never
    // interleave inside one frame.
    std::shared_ptr<PeerInput>& slot = serverInBuffers_[connection];
    if (!slot) {
        slot = std::make_shared<PeerInput>();
        slot->connection = connection;
    }
    const std::shared_ptr<PeerInput> input = slot;
    // A peer that sends faster than its frames are carried out is not read
    // further until its input has shrunk; its bytes wait in its socket.
    if (!input->held) {
        input->buffer += connection->ReceiveAvailable();
        if (input->buffer.size() >= kMaxPendingInput && connection->State() == net::wsConnected) {
            input->held = true;
            connection->SuspendEvents();
        }
    }
    // Frames behind others of this peer that wait for their turn, or behind
    // one being carried out (a command may wait in a nested event loop),
    // keep their place behind them.
    if (!input->waiting && !input->busy)
        TakeFramesOf(input);
}

// Carries out at most kFramesPerTurn whole frames of one peer, in order;
// if more are there, the peer waits for its next turn.
void TForm1::TakeFramesOf(const std::shared_ptr<PeerInput>& input)
{
    terminal::TFirstFailure failures;
    std::string payload;
    input->busy = true;
    for (int taken = 0; taken < kFramesPerTurn && terminal::TakeInterlinkFrame(input->buffer, payload); ++taken) {
        // A frame is out of the buffer before anything is done with it, so
        // a failing command is not relayed and repeated at every later
        // event; and a relay that fails does not keep this copy from acting
        // on it.
        failures.Run([&] { SendToPeers(terminal::MakeInterlinkFrame(payload)); });
        failures.Run([&] { ILGet(payload); });
    }
    input->busy = false;
    const bool more = terminal::HoldsWholeFrame(input->buffer);
    // Read on once the input has shrunk, or when what is left is only the
    // start of a frame, which nothing but more input can complete.
    if (input->held && input->connection && (!more || input->buffer.size() < kMaxPendingInput / 2)) {
        input->held = false;
        input->connection->ResumeEvents(); // reports afresh what waits in its socket
    }
    if (more)
        WaitForTurn(input);
    failures.Raise();
}

void TForm1::WaitForTurn(const std::shared_ptr<PeerInput>& input)
{
    if (!input->waiting) {
        input->waiting = true;
        serverTurns_.push_back(input);
    }
    if (!serverTurnPosted_) {
        serverTurnPosted_ = true;
        // A zero timer runs after the socket and port events already due.
        QTimer::singleShot(0, this, [this] { RunServerTurn(); });
    }
}

// One turn: every waiting peer gets its share once, in the order they came.
void TForm1::RunServerTurn()
{
    serverTurnPosted_ = false;
    std::deque<std::shared_ptr<PeerInput>> turn;
    turn.swap(serverTurns_);
    for (const std::shared_ptr<PeerInput>& input : turn) {
        input->waiting = false;
        if (input->busy)
            continue; // its own run goes on and queues what is left
        try {
            TakeFramesOf(input);
        } catch (...) {
            // Dropped, as the socket layer drops what escapes a data event:
            // the user is not shown the failures of a peer's commands.
        }
    }
}

void TForm1::ServerClientConnect(rtl::TObject*, net::TWSocketClient* NewClient, uint16_t)
{
    NewClient->OnDataAvailable = Server->OnDataAvailable;
    const int on = 1;
    winsock::setsockopt(NewClient->Handle(), winsock::IPPROTO_TCP, winsock::TCP_NODELAY,
                        reinterpret_cast<const char*>(&on), sizeof on);
    ImageConnect->show();
    InterlinkPeers.push_back(NewClient);
}

void TForm1::ServerClientDisconnect(rtl::TObject*, net::TWSocketClient* OldClient, uint16_t)
{
    auto it = std::find(InterlinkPeers.begin(), InterlinkPeers.end(), OldClient);
    if (it != InterlinkPeers.end())
        InterlinkPeers.erase(it);
    if (InterlinkPeers.empty())
        ImageConnect->hide();
    // Whole frames that came before the close are carried out all the same,
    // in their turns.
    auto found = serverInBuffers_.find(OldClient);
    if (found != serverInBuffers_.end()) {
        const std::shared_ptr<PeerInput> input = found->second;
        serverInBuffers_.erase(found);
        input->connection = nullptr;
        if (terminal::HoldsWholeFrame(input->buffer))
            WaitForTurn(input);
    }
}

void TForm1::ClientSessionConnected(rtl::TObject*, uint16_t Error)
{
    if (Error != 0)
        return;
    if (!ServerIsOurs()) {
        // A server of another user is treated like a failed connect.
        Client->AbortSession();
        return;
    }
    InterlinkGreeted = false;
    InterlinkInBuffer.clear();
    InterlinkPeers.push_back(Client.get());
    ImageConnect->show();
}

void TForm1::ClientSessionClosed(rtl::TObject*, uint16_t)
{
    if (!InterlinkStarted)
        return;
    terminal::ShowMessage("Server close");
    // Ends without the window's closing steps: nothing is saved.
    TerminateApplication();
}

void TForm1::ServerSessionConnected(rtl::TObject*, uint16_t)
{
    LogOut("SESSION Started");
}

void TForm1::TerminateApplication()
{
    terminating_ = true;
    QCoreApplication::exit(0);
}
