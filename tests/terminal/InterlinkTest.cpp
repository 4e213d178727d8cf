// The Interlink of one window, with plain sockets standing in for the other
// copies and for programs attached to the link.

#include "DecodeText.h"
#include "InterlinkFrames.h"
#include "LoopbackPair.h"
#include "PeerCredentials.h"
#include "TerminalFixture.h"
#include "WSocketS.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

// A program attached to the link: collects the frames it receives.
class Peer {
public:
    explicit Peer(const std::string& port)
    {
        nettest::AimAt(socket, port);
        socket.OnDataAvailable = [this](rtl::TObject*, uint16_t) { raw += socket.ReceiveAvailable(); };
    }
    bool Connect()
    {
        socket.BeginConnect();
        return PumpUntil([&] { return socket.State() == net::wsConnected; });
    }
    // Frames received after the greeting line.
    std::vector<std::string> Payloads()
    {
        std::string s = raw;
        if (!terminal::TakeGreeting(s))
            return {};
        std::vector<std::string> payloads;
        std::string payload;
        while (terminal::TakeInterlinkFrame(s, payload))
            payloads.push_back(payload);
        return payloads;
    }
    int Count(const std::string& head)
    {
        int n = 0;
        for (const std::string& p : Payloads())
            n += p.compare(0, head.size(), head) == 0;
        return n;
    }
    bool Got(const std::string& head) { return Count(head) > 0; }
    void Send(const std::string& bytes) { socket.SendString(bytes); }

    net::TWSocket socket;
    std::string raw;
};

class Interlink : public NeutralFixture {
protected:
    void TearDown() override
    {
        platform::SetTcpTablePath("");
        TerminalFixture::TearDown();
    }
    // Shows the window, which decides its role.
    TForm1& Shown()
    {
        Form().Com->SetDeviceName("loopback");
        Form().show();
        EXPECT_TRUE(InterlinkStarted);
        return Form();
    }
    std::string Port() { return Form().Server->Port(); }
    // Connects the peers and waits until the window counts every one.
    bool ConnectAll(std::initializer_list<Peer*> peers)
    {
        for (Peer* peer : peers)
            if (!peer->Connect())
                return false;
        return PumpUntil([&] { return InterlinkPeers.size() == peers.size(); });
    }
    std::string LastLogLine() { return Lines(Form().MemoOut).empty() ? std::string() : Lines(Form().MemoOut).back(); }

    // Another program listening on the port before the window is shown: it
    // greets with nothing of its own and sends `first` on each connection.
    void ListenFirst(const std::string& first)
    {
        other.Banner = "";
        other.OnClientConnect = [this, first](rtl::TObject*, net::TWSocketClient* c, uint16_t) {
            connected.push_back(c);
            c->SendString(first);
        };
        nettest::AimAt(other, Port());
        other.BeginListen();
    }
    net::TWSocketServer other;
    std::vector<net::TWSocketClient*> connected;
};

} // namespace

TEST_F(Interlink, EveryByteReachesThePaneAndTheRcvdNotificationUnchanged)
{
    TForm1& f = Shown();
    Peer a(Port());
    ASSERT_TRUE(ConnectAll({&a}));
    f.CheckDecode->setChecked(true);
    f.CmdOpen->click();
    f.MemoIn->SetText("");
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    ASSERT_TRUE(f.Com->WriteString(all));
    std::string data;
    ASSERT_TRUE(PumpUntil([&] {
        data.clear();
        for (const std::string& p : a.Payloads())
            if (p.compare(0, 4, "RCVD") == 0)
                data += p.substr(4 + terminal::InterlinkTimeStamp().size());
        return data.size() >= all.size();
    }));
    EXPECT_EQ(data, all);
    // Rewritten in the pane.
    std::string shown;
    for (const std::string& line : Lines(f.MemoIn))
        shown += line.substr(line.find(':') + 1);
    EXPECT_EQ(shown, terminal::DecodeText(all));
}

TEST_F(Interlink, FramesOfTwoPeersArrivingInterleavedAreEachTakenWhole)
{
    TForm1& f = Shown();
    Peer a(Port());
    Peer b(Port());
    ASSERT_TRUE(ConnectAll({&a, &b}));
    f.MemoOut->SetText("");
    const std::string fromA = terminal::MakeInterlinkFrame("SENDAT#13");
    const std::string fromB = terminal::MakeInterlinkFrame("NOTE from b");
    for (size_t i = 0; i < std::max(fromA.size(), fromB.size()); ++i) {
        if (i < fromA.size())
            a.Send(fromA.substr(i, 1));
        if (i < fromB.size())
            b.Send(fromB.substr(i, 1));
        PumpFor(2);
    }
    ASSERT_TRUE(PumpUntil([&] { return b.Got("SENT") && a.Got("NOTE from b"); }));
    // Each frame goes to every peer, its sender too.
    EXPECT_TRUE(a.Got("SENDAT#13"));
    EXPECT_TRUE(b.Got("SENDAT#13"));
    EXPECT_TRUE(b.Got("NOTE from b"));
    EXPECT_EQ(Lines(f.MemoOut).back(), "AT\r"); // no CR LF added, escapes expanded
}

TEST_F(Interlink, LaterCopyTakesAFrameThatCameWithTheGreetingAndEndsWithTheServer)
{
    // The greeting and a frame in one send, so that they arrive in one read.
    ListenFirst("Welcome to TcpSrv\r\n" + terminal::MakeInterlinkFrame("SENDfirst"));
    TForm1& f = Shown();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Tarrowin (Interlink Client)"));
    ASSERT_TRUE(PumpUntil([&] { return LastLogLine() == "first"; }));

    connected[0]->CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return f.Terminating(); }));
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "Server close");
}

TEST_F(Interlink, LaterCopyCarriesOutTheFramesOfAServerThatNeverGreets)
{
    ListenFirst(terminal::MakeInterlinkFrame("SENDfirst"));
    TForm1& f = Shown();
    EXPECT_EQ(f.windowTitle().toStdString(), "Tarrowin (Interlink Client)");
    EXPECT_TRUE(PumpUntil([&] { return LastLogLine() == "first"; })) << LastLogLine();
    connected.at(0)->SendString(terminal::MakeInterlinkFrame("SENDsecond"));
    EXPECT_TRUE(PumpUntil([&] { return LastLogLine() == "second"; })) << LastLogLine();
}

TEST_F(Interlink, AConnectionOfAnotherUserIsNoPeer)
{
    Shown();
    std::string table = dir.File("tcp");
    platform::SetTcpTablePath(table);
    Peer peer(Port());
    std::string local = nettest::FreePort();
    peer.socket.SetLocalPort(local);
    // The kernel's socket table as it would show the connection from
    // 127.0.0.1:local to 127.0.0.1:Port() owned by nobody.
    char row[200];
    std::snprintf(row, sizeof row,
                  "   0: 0100007F:%04lX 0100007F:%04lX 01 00000000:00000000 00:00000000 00000000 65534 0 1 1\n",
                  std::stoul(local), std::stoul(Port()));
    std::ofstream(table) << "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
                         << row;
    peer.socket.BeginConnect();
    PumpFor(300);
    // Closed at once: no greeting, never a peer.
    EXPECT_EQ(peer.raw, "");
    EXPECT_TRUE(InterlinkPeers.empty());
}

TEST_F(Interlink, PeerThatNeverReadsIsDroppedNotTheLink)
{
    TForm1& f = Shown();
    Peer sleepy(Port());
    ASSERT_TRUE(sleepy.Connect());
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 1; }));
    sleepy.socket.OnDataAvailable = [](rtl::TObject*, uint16_t) {}; // reads nothing from now on
    const std::string batch(60000, 'r');
    for (int i = 0; i < 600 && !InterlinkPeers.empty(); ++i) {
        f.ILSend("RCVD" + terminal::InterlinkTimeStamp() + batch);
        PumpFor(1);
    }
    // Dropped once its queue passed the limit, long before 36 MB piled up.
    ASSERT_TRUE(InterlinkPeers.empty());
    ASSERT_TRUE(PumpUntil([&] { return f.Server->CountClients() == 0; }));

    Peer fresh(Port());
    ASSERT_TRUE(fresh.Connect());
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 1; }));
    f.ILSend("RCVD" + terminal::InterlinkTimeStamp() + "after");
    ASSERT_TRUE(PumpUntil([&] { return fresh.Got("RCVD"); }));

    // The dropped connection still holds its unsent frames on the port when
    // this copy ends; a copy started right after listens there all the same.
    form.reset();
    ResetTerminalState();
    EXPECT_EQ(Shown().windowTitle().toStdString(), "Tarrowin (Interlink Server)");
    EXPECT_EQ(boxes, std::vector<std::string>{});
}

TEST_F(Interlink, AThousandPeersThatResetAtOnceLeaveNothingBehind)
{
    TForm1& f = Shown();
    for (int i = 0; i < 1000; ++i) {
        net::TWSocket hit;
        nettest::AimAt(hit, Port());
        hit.LingerOnOff = net::wsLingerOn;
        hit.LingerTimeout = 0; // close with a reset
        hit.BeginConnect();
        PumpUntil([&] { return hit.State() != net::wsConnecting; }, 5000);
        hit.AbortSession();
        if (i % 50 == 0)
            PumpFor(5);
    }
    ASSERT_TRUE(PumpUntil([&] { return f.Server->CountClients() == 0 && InterlinkPeers.empty(); }));
    EXPECT_EQ(f.Server->State(), net::wsListening);
    Peer fresh(Port());
    ASSERT_TRUE(fresh.Connect());
    ASSERT_TRUE(PumpUntil([&] { return fresh.raw.rfind("Welcome to TcpSrv\r\n", 0) == 0; }));
}

TEST_F(Interlink, SixtyFourPeersAllGetTheRelay)
{
    Shown();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 64; ++i) {
        peers.push_back(std::make_unique<Peer>(Port()));
        peers.back()->socket.BeginConnect();
    }
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 64; })) << InterlinkPeers.size() << " peers";
    peers[17]->Send(terminal::MakeInterlinkFrame("NOTE from 17"));
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& p : peers)
            if (!p->Got("NOTE from 17"))
                return false;
        return true;
    }));
}


TEST_F(Interlink, ASendThatFailsDoesNotStrandTheFramesBehindIt)
{
    Form().Com->SetDeviceName("/dev/tarrowin-missing%d");
    Form().show();
    Peer a(Port());
    ASSERT_TRUE(ConnectAll({&a}));
    // One read: the SEND cannot open the port, the note behind it must still
    // be relayed without waiting for more data.
    a.Send(terminal::MakeInterlinkFrame("SENDx") + terminal::MakeInterlinkFrame("NOTE"));
    EXPECT_TRUE(PumpUntil([&] { return a.Got("NOTE"); }));
    EXPECT_EQ(a.Count("SEND"), 1);
}

// A peer whose sends fail while its connection stays open (here: sending
// on its session is shut down, and the peer, a plain socket, takes no
// notice) keeps nothing from the rest: the server carries out a relayed
// command and logs it, later peers get the frame, and what the port
// receives is shown once, although every notification to that peer fails.
TEST_F(Interlink, APeerWhoseSendsFailKeepsNothingFromTheRest)
{
    TForm1& f = Shown();
    const int quiet = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::shared_ptr<void> closeQuiet(nullptr, [quiet](void*) { ::close(quiet); });
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::stoul(Port())));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(quiet, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 1; }));
    Peer b(Port());
    ASSERT_TRUE(b.Connect());
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 2; }));
    ASSERT_EQ(winsock::shutdown(InterlinkPeers[0]->Handle(), winsock::SD_SEND), 0);
    f.MemoIn->SetText("");

    // The loopback plug brings every sent byte back as received.
    for (const std::string text : {"x", "y"}) {
        b.Send(terminal::MakeInterlinkFrame("SEND" + text + "#13"));
        EXPECT_TRUE(PumpUntil([&] { return b.Got("SEND" + text); })) << text;
        EXPECT_TRUE(PumpUntil([&] { return LastLogLine() == text + "\r"; })) << f.MemoOut->Text();
        EXPECT_TRUE(PumpUntil([&] { return !Lines(f.MemoIn).empty() && Lines(f.MemoIn).back().ends_with(text + "\r"); }))
            << f.MemoIn->Text();
    }
    EXPECT_EQ(Lines(f.MemoIn), (std::vector<std::string>{"2 Byte empfangen:x\r", "2 Byte empfangen:y\r"}));
    EXPECT_EQ(InterlinkPeers.size(), 2u) << "the failing connection stays";
}

// One peer's burst of thousands of frames in one write does not hold the
// others: another peer's frame, sent after the burst, is carried out before
// the burst is done. The burst keeps its order, and the peer's reset right
// behind it costs none of its frames: they had arrived.
TEST_F(Interlink, APeersBurstLetsTheOthersInAndIsCarriedOutWholeInOrder)
{
    Shown();
    Peer a(Port()), b(Port());
    ASSERT_TRUE(ConnectAll({&a, &b}));
    constexpr int kBurst = 4000;
    std::string burst;
    std::vector<std::string> notes;
    for (int i = 0; i < kBurst; ++i) {
        if (i % 100 == 0)
            notes.push_back("NOTEa" + std::to_string(i));
        burst += terminal::MakeInterlinkFrame(i % 100 == 0 ? notes.back() : "SEND");
    }
    a.Send(burst);
    b.Send(terminal::MakeInterlinkFrame("NOTEb"));
    a.socket.AbortSession();

    ASSERT_TRUE(PumpUntil([&] { return b.Count("NOTEa") + b.Count("SEND") == kBurst && b.Got("NOTEb"); }))
        << b.Count("NOTEa") + b.Count("SEND") << " of the burst";
    std::vector<std::string> seen;
    size_t bAt = 0, burstDone = 0;
    for (const std::string& p : b.Payloads()) {
        if (p == "NOTEb")
            bAt = seen.size();
        if (p.starts_with("NOTEa") || p == "SEND")
            burstDone = seen.size();
        if (p.starts_with("NOTEa"))
            notes.erase(notes.begin(), notes.begin() + (notes.front() == p)); // in order, or left over
        seen.push_back(p);
    }
    EXPECT_LT(bAt, burstDone) << "b's frame waited for the whole burst";
    EXPECT_EQ(notes, std::vector<std::string>{}) << "the burst's order changed";
    PumpFor(50);
    EXPECT_EQ(b.Count("NOTEb"), 1);
}

// The server's sessions are named after it, as the window names it.
TEST_F(Interlink, SessionsAreNamedAfterTheServer)
{
    TForm1& f = Shown();
    Peer a(Port());
    Peer b(Port());
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(PumpUntil([&] { return f.Server->CountClients() == 1; }));
    ASSERT_TRUE(b.Connect());
    ASSERT_TRUE(PumpUntil([&] { return f.Server->CountClients() == 2; }));
    EXPECT_EQ(f.Server->ClientByIndex(0)->Name(), "ServerClient1");
    EXPECT_EQ(f.Server->ClientByIndex(1)->Name(), "ServerClient2");
    EXPECT_EQ(f.Client->Name(), "Client");
    EXPECT_EQ(f.Com->Name, "Com");
}

// The server's peer list: a closed connection leaves it with the order of
// the others kept; the link indicator shows while there is a peer and hides
// when the last one goes; a disconnect of a connection that a walk has
// already dropped leaves the list as it is.
TEST_F(Interlink, DisconnectsKeepTheOrderOfTheOtherPeersAndTheIndicatorFollows)
{
    TForm1& f = Shown();
    EXPECT_FALSE(f.ImageConnect->isVisible()) << "no peer yet";
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(std::make_unique<Peer>(Port()));
        ASSERT_TRUE(peers.back()->Connect());
        ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == peers.size(); }));
        EXPECT_TRUE(f.ImageConnect->isVisible());
    }
    const std::vector<net::TCustomWSocket*> joined = InterlinkPeers;

    peers[1]->socket.CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 3; }));
    EXPECT_EQ(InterlinkPeers, (std::vector<net::TCustomWSocket*>{joined[0], joined[2], joined[3]}));
    peers[0]->socket.CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 2; }));
    EXPECT_EQ(InterlinkPeers, (std::vector<net::TCustomWSocket*>{joined[2], joined[3]}));
    EXPECT_TRUE(f.ImageConnect->isVisible());

    // As if a walk had dropped the last one: its disconnect changes nothing.
    InterlinkPeers.pop_back();
    peers[3]->socket.CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return f.Server->CountClients() == 1; }));
    EXPECT_EQ(InterlinkPeers, (std::vector<net::TCustomWSocket*>{joined[2]}));
    EXPECT_TRUE(f.ImageConnect->isVisible());
    peers[2]->socket.CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.empty(); }));
    EXPECT_FALSE(f.ImageConnect->isVisible());

    // The next connection shows it again.
    Peer again(Port());
    ASSERT_TRUE(again.Connect());
    ASSERT_TRUE(PumpUntil([&] { return f.ImageConnect->isVisible(); }));
}

// A broadcast walks the peer list: an entry that is not connected is dropped
// without being touched, every connected peer gets the frame once.
TEST_F(Interlink, ABroadcastDropsAnUnconnectedPeerAndReachesEveryOtherOnce)
{
    TForm1& f = Shown();
    Peer a(Port());
    Peer b(Port());
    ASSERT_TRUE(ConnectAll({&a, &b}));
    net::TWSocket idle; // never connected
    InterlinkPeers.insert(InterlinkPeers.begin(), &idle);
    f.ILSend("NOTE once");
    EXPECT_EQ(InterlinkPeers.size(), 2u);
    EXPECT_EQ(std::ranges::count(InterlinkPeers, &idle), 0);
    EXPECT_EQ(idle.State(), net::wsClosed);
    ASSERT_TRUE(PumpUntil([&] { return a.Got("NOTE once") && b.Got("NOTE once"); }));
    f.ILSend("NOTE end");
    ASSERT_TRUE(PumpUntil([&] { return a.Got("NOTE end") && b.Got("NOTE end"); }));
    EXPECT_EQ(a.Count("NOTE once"), 1);
    EXPECT_EQ(b.Count("NOTE once"), 1);
    EXPECT_TRUE(f.ImageConnect->isVisible());
}

// A later copy: once connected its one peer is the server, and the link
// indicator shows.
TEST_F(Interlink, ALaterCopyHasTheServerAsItsPeerAndShowsTheIndicator)
{
    ListenFirst("Welcome to TcpSrv\r\n");
    TForm1& f = Shown();
    ASSERT_EQ(f.windowTitle().toStdString(), "Tarrowin (Interlink Client)");
    EXPECT_EQ(InterlinkPeers, std::vector<net::TCustomWSocket*>{f.Client.get()});
    EXPECT_TRUE(f.ImageConnect->isVisible());
}
