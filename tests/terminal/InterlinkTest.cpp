// The Interlink of one window, with plain sockets standing in for the other
// copies and for programs attached to the link.

#include "InterlinkFrames.h"
#include "LoopbackPair.h"
#include "PeerCredentials.h"
#include "TerminalFixture.h"
#include "WSocketS.h"

#include <fstream>

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
    // Frames received after the banner line.
    std::vector<std::string> Payloads()
    {
        std::string s = raw;
        size_t end = s.find("\r\n");
        if (end == std::string::npos)
            return {};
        s.erase(0, end + 2);
        std::vector<std::string> payloads;
        std::string payload;
        while (terminal::TakeInterlinkFrame(s, payload))
            payloads.push_back(payload);
        return payloads;
    }
    std::string Banner()
    {
        size_t end = raw.find("\r\n");
        return end == std::string::npos ? std::string() : raw.substr(0, end);
    }
    void Send(const std::string& bytes) { socket.SendString(bytes); }
    bool Got(const std::string& head)
    {
        for (const std::string& p : Payloads())
            if (p.compare(0, head.size(), head) == 0)
                return true;
        return false;
    }

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
    // Another copy that already listens on the Interlink port.
    void ListenFirst(net::TWSocketServer& other)
    {
        nettest::AimAt(other, Port());
        other.BeginListen();
    }
};

} // namespace

TEST_F(Interlink, FirstCopyBecomesTheServerAndGreetsPeers)
{
    TForm1& f = Shown();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Tarrowin (Interlink Server)"));
    EXPECT_FALSE(f.ImageConnect->isVisible()); // no peer yet
    Peer a(Port());
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(PumpUntil([&] { return !a.Banner().empty(); }));
    EXPECT_EQ(a.Banner(), "Welcome to TcpSrv");
    EXPECT_TRUE(f.ImageConnect->isVisible());
    EXPECT_EQ(InterlinkPeers.size(), 1u);
    a.socket.CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.empty(); }));
    EXPECT_FALSE(f.ImageConnect->isVisible());
}

TEST_F(Interlink, SendFromAPeerIsRelayedToEveryPeerAndCarriedOut)
{
    TForm1& f = Shown();
    Peer a(Port()), b(Port());
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(b.Connect());
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 2; }));
    f.MemoOut->SetText("");
    // Sent in one-byte pieces: taken when the last byte arrives.
    for (char c : terminal::MakeInterlinkFrame("SENDAT#13")) {
        a.Send(std::string(1, c));
        PumpFor(2);
    }
    ASSERT_TRUE(PumpUntil([&] { return b.Got("SENT"); }));
    // The command goes back to its sender too, and to the other peer.
    EXPECT_TRUE(a.Got("SENDAT#13"));
    EXPECT_TRUE(b.Got("SENDAT#13"));
    ASSERT_TRUE(PumpUntil([&] { return a.Got("SENT"); }));
    std::vector<std::string> log = Lines(f.MemoOut);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "AT\r"); // no CR LF added, escapes expanded
    EXPECT_FALSE(f.CheckTXEN->isChecked()); // a remote send does not switch TXEN
}

TEST_F(Interlink, BadMarkerIsDiscardedAndTheNextFrameWorks)
{
    TForm1& f = Shown();
    Peer a(Port());
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(PumpUntil([&] { return !a.Banner().empty(); }));
    f.MemoOut->SetText("");
    a.Send("garbage");
    PumpFor(50);
    a.Send(terminal::MakeInterlinkFrame("SENDok"));
    ASSERT_TRUE(PumpUntil([&] { return a.Got("SENT"); }));
    EXPECT_EQ(Lines(f.MemoOut).back(), "ok");
}

TEST_F(Interlink, ReceivedBatchesReachEveryPeerAsRcvd)
{
    TForm1& f = Shown();
    Peer a(Port());
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 1; }));
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->WriteString(std::string("\0\xff" "abc", 5)));
    ASSERT_TRUE(PumpUntil([&] { return a.Got("RCVD"); }));
    std::string data;
    for (const std::string& p : a.Payloads())
        if (p.compare(0, 4, "RCVD") == 0)
            data += p.substr(4 + terminal::InterlinkTimeStamp().size());
    EXPECT_EQ(data, std::string("\0\xff" "abc", 5));
}

TEST_F(Interlink, LaterCopyBecomesAClientAndEndsWhenTheServerGoes)
{
    // Another copy already listens.
    net::TWSocketServer other;
    std::vector<net::TWSocketClient*> connected;
    // The greeting and a frame in one send, so that they arrive in one read.
    other.Banner = "";
    other.OnClientConnect = [&](rtl::TObject*, net::TWSocketClient* c, uint16_t) {
        connected.push_back(c);
        c->SendString("Welcome to TcpSrv\r\n" + terminal::MakeInterlinkFrame("SENDfirst"));
    };
    ListenFirst(other);

    TForm1& f = Shown();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Tarrowin (Interlink Client)"));
    ASSERT_TRUE(PumpUntil([&] { return connected.size() == 1; }));
    EXPECT_TRUE(f.ImageConnect->isVisible());
    ASSERT_EQ(InterlinkPeers.size(), 1u);
    EXPECT_EQ(InterlinkPeers[0], f.Client.get());

    // Only the greeting is dropped; the frame behind it is carried out.
    ASSERT_TRUE(PumpUntil([&] { return !Lines(f.MemoOut).empty() && Lines(f.MemoOut).back() == "first"; }));
    connected[0]->SendString(terminal::MakeInterlinkFrame("SENDhere"));
    ASSERT_TRUE(PumpUntil([&] { return Lines(f.MemoOut).back() == "here"; }));

    connected[0]->CloseSession();
    ASSERT_TRUE(PumpUntil([&] { return f.Terminating(); }));
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "Server close");
}

namespace {

// A socket table in which the connection from 127.0.0.1:from to
// 127.0.0.1:to belongs to uid.
void WriteTable(const std::string& path, const std::string& from, const std::string& to, long uid)
{
    char row[200];
    std::snprintf(row, sizeof row,
                  "   0: 0100007F:%04lX 0100007F:%04lX 01 00000000:00000000 00:00000000 00000000 %5ld 0 1 1\n",
                  std::stoul(from), std::stoul(to), uid);
    std::ofstream(path) << "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
                        << row;
}

} // namespace

TEST_F(Interlink, OnlyConnectionsOfTheSameUserArePeers)
{
    TForm1& f = Shown();
    std::string table = dir.File("tcp");
    platform::SetTcpTablePath(table);

    for (long uid : {static_cast<long>(::getuid()), 65534L}) {
        Peer peer(Port());
        std::string local = nettest::FreePort();
        peer.socket.SetLocalPort(local);
        WriteTable(table, local, Port(), uid);
        peer.socket.BeginConnect();
        PumpFor(300);
        if (uid == 65534) {
            // Closed at once: no banner, never a peer.
            EXPECT_EQ(peer.Banner(), "");
            EXPECT_TRUE(InterlinkPeers.empty());
            EXPECT_FALSE(f.ImageConnect->isVisible());
        } else {
            EXPECT_EQ(peer.Banner(), "Welcome to TcpSrv");
            EXPECT_EQ(InterlinkPeers.size(), 1u);
            peer.socket.CloseSession();
            ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.empty(); }));
        }
    }
}

TEST_F(Interlink, ServerOfAnotherUserIsNotJoined)
{
    net::TWSocketServer other;
    ListenFirst(other);
    // The copy's own connection would come from this port; its server end
    // belongs to another user.
    std::string table = dir.File("tcp");
    platform::SetTcpTablePath(table);
    std::string local = nettest::FreePort();
    WriteTable(table, Port(), local, 65534);
    Form().Client->SetLocalPort(local);
    Form().show();
    // Treated as a failed connect: listening on the taken port fails too,
    // and the copy runs without the Interlink.
    EXPECT_FALSE(InterlinkStarted);
    EXPECT_TRUE(InterlinkPeers.empty());
    EXPECT_EQ(Form().windowTitle(), QStringLiteral("Tarrowin"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("10048"), std::string::npos) << boxes[0];
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

    // The link itself goes on.
    Peer fresh(Port());
    ASSERT_TRUE(fresh.Connect());
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 1; }));
    f.ILSend("RCVD" + terminal::InterlinkTimeStamp() + "after");
    ASSERT_TRUE(PumpUntil([&] { return fresh.Got("RCVD"); }));
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
    EXPECT_FALSE(f.ImageConnect->isVisible());
    Peer fresh(Port());
    ASSERT_TRUE(fresh.Connect());
    ASSERT_TRUE(PumpUntil([&] { return fresh.Banner() == "Welcome to TcpSrv"; }));
}

TEST_F(Interlink, SixtyFourPeersAllGetTheRelay)
{
    Shown();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 64; ++i) {
        peers.push_back(std::make_unique<Peer>(Port()));
        peers.back()->socket.BeginConnect();
    }
    ASSERT_TRUE(PumpUntil([&] { return InterlinkPeers.size() == 64; }))
        << InterlinkPeers.size() << " peers, " << Form().Server->CountClients() << " clients, states "
        << [&] {
               std::string st;
               for (auto& p : peers)
                   st += std::to_string(p->socket.State());
               return st;
           }();
    peers[17]->Send(terminal::MakeInterlinkFrame("NOTE from 17"));
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& p : peers)
            if (!p->Got("NOTE from 17"))
                return false;
        return true;
    }));
}
