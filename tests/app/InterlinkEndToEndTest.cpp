// The Interlink of real copies of the program: each copy a process of its
// own, headless, with a pty as its port; tarrowin-link and plain sockets of
// this process as further peers. Every test has a network namespace of its
// own (run-in-namespace.sh), where port 666 belongs to its copies.

#include "AsNobody.h"
#include "InterlinkCopies.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace e2e;

namespace {

class InterlinkEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = PrivateNamespaceProblem();
        if (!why.empty())
            GTEST_SKIP() << why;
        scene = std::make_unique<Scene>(TARROWIN_BINARY, TARROWIN_LINK_BINARY);
        ASSERT_FALSE(scene->Root().empty());
    }

    // Starts `count` linked copies and a monitor.
    void StartCopiesAndMonitor(int count)
    {
        ASSERT_EQ(scene->StartLinkedCopies(count), "");
        std::string error;
        monitor = scene->StartMonitor(error);
        ASSERT_TRUE(monitor) << error;
    }

    // Connects the hand-made peer and waits for its greeting.
    void ConnectAndGreet(RawPeer& peer)
    {
        ASSERT_TRUE(peer.Connect());
        ASSERT_TRUE(scene->WaitUntil([&] { return peer.Drain() && peer.Greeted(); })) << scene->Describe();
    }

    std::vector<MonitorLine> Monitor() const { return MonitorLines(monitor->Out()); }

    // Every copy has transmitted `bytes` since it was last asked.
    bool AllTransmitted(const std::string& bytes)
    {
        for (auto& c : scene->Copies())
            if (c->pty.Transmitted().size() < bytes.size())
                return false;
        return true;
    }

    // Runs tarrowin-link send and waits until every copy has carried it out
    // and the monitor has seen the command and each copy's SENT.
    void SendEverywhere(const std::string& text, const std::string& wire, const std::string& printed)
    {
        ASSERT_EQ(scene->RunLink({"send", text}), 0) << scene->Describe();
        const size_t copies = scene->Copies().size();
        ASSERT_TRUE(scene->WaitUntil([&] {
            return AllTransmitted(wire) && CountLines(Monitor(), "SENT", printed) >= copies &&
                   CountLines(Monitor(), "SEND", text) >= 1;
        })) << scene->Describe();
    }

    // The total of the RCVD data the monitor has printed, as bytes.
    std::string ReceivedAtMonitor() const
    {
        std::string bytes;
        for (const MonitorLine& m : Monitor())
            if (m.kind == "RCVD")
                bytes += Undecode(m.data);
        return bytes;
    }

    // Waits until the server has read everything that came in on the
    // connection from this peer: `total` bytes in all.
    bool ServerHasRead(const RawPeer& peer, uint64_t total)
    {
        return scene->WaitUntil([&] {
            TcpSocket s;
            return ServerEndOf(peer.LocalPort(), s) && s.bytesReceived == total && s.unread == 0;
        });
    }

    std::unique_ptr<Scene> scene;
    ChildProcess* monitor = nullptr;
};

} // namespace

TEST_F(InterlinkEndToEnd, ThreeCopiesElectOneServerAndEachCarriesOutASend)
{
    ASSERT_EQ(scene->StartLinkedCopies(3), "");
    // One server, two clients: the first copy listens, the later ones are
    // connected to it, and nothing else listens on the port.
    EXPECT_TRUE(ListensOnInterlink(scene->At(0).process.Pid()));
    EXPECT_FALSE(ConnectedToInterlink(scene->At(0).process.Pid()));
    for (size_t i : {1u, 2u}) {
        EXPECT_TRUE(ConnectedToInterlink(scene->At(i).process.Pid())) << scene->At(i).name;
        EXPECT_FALSE(ListensOnInterlink(scene->At(i).process.Pid())) << scene->At(i).name;
    }
    size_t listeners = 0;
    for (const TcpSocket& s : TcpSockets())
        listeners += s.state == kTcpListen && s.localPort == kInterlinkPort;
    EXPECT_EQ(listeners, 1u);

    std::string error;
    monitor = scene->StartMonitor(error);
    ASSERT_TRUE(monitor) << error;
    ChildProcess* sender = nullptr;
    ASSERT_EQ(scene->RunLink({"send", "AT#13"}, -1, &sender), 0) << scene->Describe();
    EXPECT_EQ(sender->Out(), "");
    EXPECT_EQ(sender->Err(), "");
    ASSERT_TRUE(scene->WaitUntil([&] {
        return AllTransmitted("AT\r") && CountLines(Monitor(), "SENT", "AT<13>") >= 3 &&
               CountLines(Monitor(), "SEND", "AT#13") >= 1;
    })) << scene->Describe();
    // Each copy wrote the bytes to its own port, once.
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "AT\r") << c->name;
    // The monitor saw the command relayed and one SENT from every copy.
    EXPECT_EQ(CountLines(Monitor(), "SEND", "AT#13"), 1u) << monitor->Out();
    EXPECT_EQ(CountLines(Monitor(), "SENT", "AT<13>"), 3u) << monitor->Out();
    EXPECT_TRUE(monitor->Running());
}

TEST_F(InterlinkEndToEnd, BytesArrivingAtAPortReachTheMonitorAsRcvd)
{
    StartCopiesAndMonitor(3);
    // A send opens every copy's port.
    SendEverywhere("open", "open", "open");
    for (auto& c : scene->Copies())
        c->pty.Forget();

    // Every byte value but '<' (the printed form could not be read back) and
    // the flow-control characters XON and XOFF.
    std::string data;
    for (int round = 0; round < 12; ++round)
        for (int b = 0; b < 256; ++b)
            if (b != '<' && b != 0x11 && b != 0x13)
                data.push_back(static_cast<char>(b));

    // Into a client's port: its RCVD goes through the server to the monitor.
    ASSERT_TRUE(scene->At(1).pty.Write(data));
    ASSERT_TRUE(scene->WaitUntil([&] { return ReceivedAtMonitor().size() >= data.size(); }))
        << ReceivedAtMonitor().size() << " of " << data.size() << "\n" << scene->Describe();
    EXPECT_EQ(ReceivedAtMonitor().size(), data.size());
    EXPECT_TRUE(ReceivedAtMonitor() == data);

    // Into the server's own port.
    const std::string more = "server-side " + data.substr(0, 1000);
    ASSERT_TRUE(scene->At(0).pty.Write(more));
    ASSERT_TRUE(scene->WaitUntil([&] { return ReceivedAtMonitor().size() >= data.size() + more.size(); }))
        << ReceivedAtMonitor().size() << " of " << data.size() + more.size() << "\n" << scene->Describe();
    EXPECT_EQ(ReceivedAtMonitor().size(), data.size() + more.size());
    EXPECT_TRUE(ReceivedAtMonitor() == data + more);

    // A notification is no command: no copy transmitted anything for it.
    // (A send afterwards shows that anything earlier would have come first.)
    SendEverywhere("end", "end", "end");
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "end") << c->name;
}

TEST_F(InterlinkEndToEnd, AFrameSentInOneBytePiecesIsTaken)
{
    StartCopiesAndMonitor(2);
    RawPeer peer;
    ConnectAndGreet(peer);
    const std::string frame = terminal::MakeInterlinkFrame("SENDpiece#13");
    for (size_t i = 0; i < frame.size(); ++i) {
        ASSERT_TRUE(peer.Send(frame.substr(i, 1)));
        // The server has read this piece on its own before the next one
        // goes out.
        ASSERT_TRUE(ServerHasRead(peer, i + 1)) << "piece " << i << "\n" << scene->Describe();
    }
    ASSERT_TRUE(scene->WaitUntil([&] {
        return AllTransmitted("piece\r") && CountLines(Monitor(), "SENT", "piece<13>") >= 2;
    })) << scene->Describe();
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "piece\r") << c->name;
    EXPECT_EQ(CountLines(Monitor(), "SEND", "piece#13"), 1u) << monitor->Out();
    // The sender gets the command back too.
    std::string payload;
    bool echoed = false;
    ASSERT_TRUE(scene->WaitUntil([&] {
        peer.Drain();
        while (peer.NextPayload(payload))
            echoed = echoed || payload == "SENDpiece#13";
        return echoed;
    }));
}

TEST_F(InterlinkEndToEnd, ABadMarkerIsDiscardedAndTheNextFrameWorks)
{
    StartCopiesAndMonitor(2);
    RawPeer peer;
    ConnectAndGreet(peer);

    // No "L" at the head: what came is thrown away, once the server has it.
    uint64_t sent = 0;
    const std::string garbage = "garbage SENDno#13";
    ASSERT_TRUE(peer.Send(garbage));
    sent += garbage.size();
    ASSERT_TRUE(ServerHasRead(peer, sent)) << scene->Describe();
    const std::string ok = terminal::MakeInterlinkFrame("SENDok#13");
    ASSERT_TRUE(peer.Send(ok));
    sent += ok.size();
    ASSERT_TRUE(scene->WaitUntil([&] { return AllTransmitted("ok\r") && CountLines(Monitor(), "SENT", "ok<13>") >= 2; }))
        << scene->Describe();

    // A length field that cannot describe a frame is treated the same way.
    const std::string tooShort = std::string("L\x02\x00", 3) + "SENDno#13";
    ASSERT_TRUE(peer.Send(tooShort));
    sent += tooShort.size();
    ASSERT_TRUE(ServerHasRead(peer, sent)) << scene->Describe();
    ASSERT_TRUE(peer.Send(terminal::MakeInterlinkFrame("SENDok2#13")));
    ASSERT_TRUE(scene->WaitUntil([&] {
        return AllTransmitted("ok\rok2\r") && CountLines(Monitor(), "SENT", "ok2<13>") >= 2;
    })) << scene->Describe();

    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "ok\rok2\r") << c->name;
    EXPECT_EQ(CountLines(Monitor(), "SEND", "ok#13"), 1u) << monitor->Out();
    EXPECT_EQ(CountLines(Monitor(), "SEND", "ok2#13"), 1u) << monitor->Out();
    EXPECT_EQ(monitor->Out().find("no#13"), std::string::npos) << monitor->Out();
}

TEST_F(InterlinkEndToEnd, ConnectionsOfAnotherUserAreRefused)
{
    StartCopiesAndMonitor(2);

    // A copy of tarrowin-link that the other user may run wherever the build
    // folder lies.
    const std::string shared = scene->Root() + "/nobody";
    ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(scene->Root().c_str(), 0711), 0);
    const std::string link = shared + "/tarrowin-link";
    std::filesystem::copy_file(TARROWIN_LINK_BINARY, link);
    ASSERT_EQ(::chmod(link.c_str(), 0755), 0);

    // tarrowin-link of the other user: refused before any greeting.
    for (const char* mode : {"send", "monitor"}) {
        ChildProcess* p = nullptr;
        std::vector<std::string> args = {mode};
        if (std::string(mode) == "send")
            args.push_back("EVIL#13");
        EXPECT_EQ(scene->RunLink(args, testsupport::NobodyUid(), &p, link), 4) << scene->Describe();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->Out(), "") << mode;
        EXPECT_NE(p->Err().find("abgelehnt"), std::string::npos) << p->Err();
    }

    // A plain connection of the other user that sends a command at once,
    // without waiting for a greeting: it gets nothing and is closed.
    const std::string frame = terminal::MakeInterlinkFrame("SENDEVIL#13");
    ChildProcess::Options o;
    o.asUser = testsupport::NobodyUid();
    o.body = [frame] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = InterlinkAddress();
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 2;
        ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        timeval limit{30, 0}; // a safety net only
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buf[256];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0)
            return 1; // something came: a greeting or a frame
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 3; // still open
        return 0;     // closed (end of file or reset) with nothing sent
    };
    std::string error;
    ChildProcess* raw = scene->Start(o, error);
    ASSERT_TRUE(raw) << error;
    EXPECT_EQ(scene->WaitForExit(*raw), 0) << "1: got bytes, 2: no connection, 3: left open";

    // The user's own command works, and is the only one carried out: the
    // other user's connections were closed before it was sent.
    SendEverywhere("GOOD#13", "GOOD\r", "GOOD<13>");
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "GOOD\r") << c->name;
    EXPECT_EQ(monitor->Out().find("EVIL"), std::string::npos) << monitor->Out();
}
