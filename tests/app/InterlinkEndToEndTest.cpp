// The Interlink of real copies of the program, headless, each with a pty as
// its port; tarrowin-link and plain sockets of this process as further peers.

#include "AsNobody.h"
#include "SceneTest.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using namespace e2e;

namespace {

class InterlinkEndToEnd : public SceneTest {
protected:
    void StartCopiesAndMonitor(int count)
    {
        ASSERT_EQ(scene.StartLinkedCopies(count), "");
        monitor = scene.StartMonitor();
        ASSERT_TRUE(monitor) << scene.Describe();
    }

    // Every copy has written `bytes` to its port, and only those, and the
    // monitor has seen the SENT of each.
    void ExpectAllSent(const std::string& bytes)
    {
        auto& copies = scene.Copies();
        EXPECT_TRUE(scene.WaitUntil([&] {
            return std::ranges::all_of(copies, [&](auto& c) { return c->pty.Transmitted().size() >= bytes.size(); }) &&
                   std::ranges::count(MonitorData(monitor->Out(), "SENT"), Printed(bytes)) >= std::ssize(copies);
        })) << scene.Describe();
        for (auto& c : copies)
            EXPECT_EQ(c->pty.Transmitted(), bytes) << c->name;
    }

    // The ports open with a first send (until then the pty echoes); what
    // that send wrote is then forgotten.
    void OpenPortsWithASend()
    {
        ASSERT_EQ(scene.RunLink({"send", "open"}).ExitCode(), 0) << scene.Describe();
        ExpectAllSent("open");
        for (auto& c : scene.Copies())
            c->pty.Forget();
    }

    ChildProcess* monitor = nullptr;
};

} // namespace

TEST_F(InterlinkEndToEnd, ThreeCopiesElectOneServerCarryOutASendAndReportWhatArrives)
{
    StartCopiesAndMonitor(3);
    auto listens = [](const TcpSocket& s) { return s.state == kTcpListen && s.localPort == kInterlinkPort; };
    EXPECT_EQ(std::ranges::count_if(TcpSockets(), listens), 1);
    EXPECT_TRUE(ListensOnInterlink(scene.At(0).process->Pid()));

    ASSERT_EQ(scene.RunLink({"send", "AT#13"}).ExitCode(), 0) << scene.Describe();
    ExpectAllSent("AT\r");
    EXPECT_EQ(std::ranges::count(MonitorData(monitor->Out(), "SEND"), std::string("AT#13")), 1) << monitor->Out();
    for (auto& c : scene.Copies())
        c->pty.Forget();

    // Every byte value but XON and XOFF, into a client's port: its RCVD goes
    // through the server.
    std::string data;
    for (int b = 0; b < 256; ++b)
        if (b != 0x11 && b != 0x13)
            data.push_back(static_cast<char>(b));
    ASSERT_TRUE(scene.At(1).pty.Write(data));
    std::string received;
    ASSERT_TRUE(scene.WaitUntil(
        [&] { return (received = JoinedData(monitor->Out(), "RCVD")).size() >= Printed(data).size(); }))
        << scene.Describe();
    EXPECT_EQ(received, Printed(data));
    for (auto& c : scene.Copies())
        EXPECT_EQ(c->pty.Transmitted(), "") << c->name;
}

TEST_F(InterlinkEndToEnd, AFrameSentInOneBytePiecesIsTaken)
{
    StartCopiesAndMonitor(2);
    RawPeer peer;
    ASSERT_TRUE(peer.Connect());
    ASSERT_TRUE(scene.WaitUntil([&] { return peer.Drain() && peer.Greeted(); })) << scene.Describe();
    const std::string frame = terminal::MakeInterlinkFrame("SENDpiece#13");
    for (size_t i = 0; i < frame.size(); ++i) {
        ASSERT_TRUE(peer.Send(frame.substr(i, 1)));
        // The server has read this piece on its own before the next goes.
        ASSERT_TRUE(scene.WaitUntil([&] {
            return std::ranges::any_of(TcpSockets(), [&](auto& s) {
                return s.localPort == kInterlinkPort && s.remotePort == peer.LocalPort() &&
                       s.bytesReceived == i + 1 && s.unread == 0;
            });
        })) << "piece " << i;
    }
    ExpectAllSent("piece\r");
}

TEST_F(InterlinkEndToEnd, ConnectionsOfAnotherUserAreRefused)
{
    StartCopiesAndMonitor(2);
    // A copy of tarrowin-link that the other user may run.
    const std::string link = scene.Root() + "/tarrowin-link";
    ASSERT_EQ(::chmod(scene.Root().c_str(), 0711), 0);
    std::filesystem::copy_file(TARROWIN_LINK_BINARY, link);
    ASSERT_EQ(::chmod(link.c_str(), 0755), 0);

    ChildProcess& evil = scene.RunLink({"send", "EVIL#13"}, testsupport::NobodyUid(), link);
    EXPECT_EQ(evil.ExitCode(), 4) << scene.Describe();
    EXPECT_NE(evil.Err().find("abgelehnt"), std::string::npos) << evil.Err();

    // The user's own command is the only one carried out.
    ASSERT_EQ(scene.RunLink({"send", "GOOD#13"}).ExitCode(), 0) << scene.Describe();
    ExpectAllSent("GOOD\r");
    EXPECT_EQ(monitor->Out().find("EVIL"), std::string::npos) << monitor->Out();
}

// What scripts rely on: 2 for wrong arguments, 3 when no Interlink runs.
TEST_F(InterlinkEndToEnd, LinkExitCodes)
{
    ChildProcess& usage = scene.RunLink({"send"});
    EXPECT_EQ(usage.ExitCode(), 2);
    EXPECT_NE(usage.Err().find("usage: tarrowin-link send TEXT"), std::string::npos) << usage.Err();
    EXPECT_EQ(scene.RunLink({"talk"}).ExitCode(), 2);
    ChildProcess& alone = scene.RunLink({"send", "AT#13"});
    EXPECT_EQ(alone.ExitCode(), 3);
    EXPECT_NE(alone.Err().find("kein Interlink"), std::string::npos) << alone.Err();
    EXPECT_EQ(scene.RunLink({"monitor"}).ExitCode(), 3);
    for (auto args : {std::vector<std::string>{"send", "--timeout", "0", "x"}, {"send", "--timeout", "soon", "x"},
                      {"send", "--timeout", "1"}, {"send", std::string(65530, 'x')}})
        EXPECT_EQ(scene.RunLink(args).ExitCode(), 2) << args[1];
    ChildProcess& help = scene.RunLink({"--help"});
    EXPECT_EQ(help.ExitCode(), 0);
    EXPECT_NE(help.Out().find("6  send: no copy reported"), std::string::npos) << help.Out();
}

// A send tells the truth: 6 and a German reason when no copy could transmit
// (here: the only copy's port has gone), 5 when the Interlink ends first.
TEST_F(InterlinkEndToEnd, ASendNoCopyCouldCarryOutEndsWithItsOwnCode)
{
    ASSERT_EQ(scene.StartLinkedCopies(1), "");
    scene.At(0).pty.CloseMaster();
    // Another peer's SENT of other bytes confirms nothing.
    RawPeer other;
    ASSERT_TRUE(other.Connect());
    ChildProcess& send = scene.Link({"send", "--timeout", "1", "AT#13"});
    ASSERT_TRUE(scene.WaitUntil([&] { return HasTakenGreeting(send.Pid()) || !send.Running(); }));
    ASSERT_TRUE(other.Send(terminal::MakeInterlinkFrame("SENT         1AT")));
    EXPECT_EQ(scene.WaitForExit(send), 6) << scene.Describe();
    EXPECT_NE(send.Err().find("keine Kopie hat das Senden gemeldet"), std::string::npos) << send.Err();

    ChildProcess& waiting = scene.Link({"send", "--timeout", "30", "AT#13"});
    ASSERT_TRUE(scene.WaitUntil([&] { return HasTakenGreeting(waiting.Pid()) || !waiting.Running(); }));
    scene.At(0).process->Signal(SIGKILL);
    EXPECT_EQ(scene.WaitForExit(waiting), 5) << scene.Describe();
    EXPECT_NE(waiting.Err().find("beendet"), std::string::npos) << waiting.Err();
}

// A peer that sends its command and goes away with a reset while the server
// is busy with another peer's burst: the command had arrived whole and is
// carried out by every copy.
TEST_F(InterlinkEndToEnd, ACommandFollowedByAResetIsCarriedOutWhileTheServerIsBusy)
{
    StartCopiesAndMonitor(2);
    ASSERT_NO_FATAL_FAILURE(OpenPortsWithASend());
    RawPeer busy;
    ASSERT_TRUE(busy.Connect());
    std::string burst;
    for (int i = 0; i < 2000; ++i)
        burst += terminal::MakeInterlinkFrame("SEND");
    ASSERT_TRUE(busy.Send(burst));
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        RawPeer hit;
        ASSERT_TRUE(hit.Connect());
        // Accepted and greeted: a connection gone before that is refused,
        // as its owner can no longer be told.
        ASSERT_TRUE(scene.WaitUntil([&] { return hit.Drain() && hit.Greeted(); })) << scene.Describe();
        const std::string text = "r" + std::to_string(i) + ";";
        ASSERT_TRUE(hit.Send(terminal::MakeInterlinkFrame("SEND" + text)));
        const linger reset{1, 0};
        ::setsockopt(hit.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        expected += text;
    } // each closes here with a reset
    auto& copies = scene.Copies();
    EXPECT_TRUE(scene.WaitUntil([&] {
        busy.Drain();
        return std::ranges::all_of(copies, [&](auto& c) { return c->pty.Transmitted().size() >= expected.size(); });
    }, 20000)) << scene.Describe();
    for (auto& c : copies)
        EXPECT_EQ(c->pty.Transmitted(), expected) << c->name;
}

// Resets of established connections in this test's own namespace.
static long EstablishedResets()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (!names.starts_with("Tcp:"))
            continue;
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;)
            if (name == "EstabResets")
                return std::stol(value);
    }
    return -1;
}

// The load scripts put on the link: a hundred sends in a row while the
// port receives a steady stream. Every one is carried out by every copy,
// each exits 0 only after a copy confirmed it, and no connection ends in a
// reset (a reset could cost the server the command still in its socket).
TEST_F(InterlinkEndToEnd, AHundredSendsUnderTrafficAreEachCarriedOutAndConfirmed)
{
    StartCopiesAndMonitor(2);
    ASSERT_NO_FATAL_FAILURE(OpenPortsWithASend());
    const long resetsBefore = EstablishedResets();
    std::atomic<bool> going{true};
    std::thread traffic([&] {
        const std::string chunk(500, 'r'); // about 50 kB/s
        while (going && scene.At(1).pty.Write(chunk, &going))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    const std::shared_ptr<void> stop(nullptr, [&](void*) {
        going = false;
        traffic.join();
    });
    constexpr int kSends = 100;
    std::string failed;
    for (int i = 0; i < kSends; ++i) {
        ChildProcess& send = scene.RunLink({"send", "L00001;"});
        if (send.ExitCode() != 0)
            failed += "send " + std::to_string(i) + ": " + std::to_string(send.ExitCode()) + " " + send.Err();
    }
    EXPECT_EQ(failed, "");
    std::string all;
    for (int i = 0; i < kSends; ++i)
        all += "L00001;";
    auto& copies = scene.Copies();
    EXPECT_TRUE(scene.WaitUntil([&] {
        return std::ranges::all_of(copies, [&](auto& c) { return c->pty.Transmitted().size() >= all.size(); });
    }, 10000)) << scene.Describe();
    for (auto& c : copies)
        EXPECT_EQ(c->pty.Transmitted(), all) << c->name;
    EXPECT_EQ(EstablishedResets(), resetsBefore);
}

// What scripts read from tarrowin-link monitor: one line per frame, the
// kind, then for the notifications the time stamp as sent (10 characters,
// 11 for a negative ten-digit tick count) and a blank, then the data as the
// panes show it rewritten; any other kind its whole rest, rewritten.
TEST_F(InterlinkEndToEnd, TheMonitorPrintsEveryKindOfFrameOnOneLine)
{
    StartCopiesAndMonitor(1);
    RawPeer peer;
    ASSERT_TRUE(peer.Connect());
    ASSERT_TRUE(scene.WaitUntil([&] { return peer.Drain() && peer.Greeted(); })) << scene.Describe();
    const std::pair<std::string, std::string> rows[] = {
        {"SENT" "         5" "AT\r", "SENT          5 AT<13>"},
        {"RCVD" "        77" "\xff", "RCVD         77 <255>"},
        {std::string("RCVD-2147483648\0x", 17), "RCVD -2147483648 <0>x"},
        {"SENT1234567890", "SENT 1234567890 "},
        {"NOTEfree\x01", "NOTE free<1>"},
    };
    std::string expected;
    for (const auto& [payload, line] : rows) {
        ASSERT_TRUE(peer.Send(terminal::MakeInterlinkFrame(payload)));
        expected += line + "\n";
    }
    EXPECT_TRUE(scene.WaitUntil([&] { return monitor->Out().size() >= expected.size(); }, 10000)) << scene.Describe();
    EXPECT_EQ(monitor->Out(), expected);

    // A real send, its text given in the terminal's encoding (UTF-8): the
    // port gets the code page's bytes, the monitor the command and the
    // copy's SENT with its own time stamp.
    ASSERT_EQ(scene.RunLink({"send", "Gr\xc3\xbc\xc3\x9f#13"}).ExitCode(), 0) << scene.Describe();
    ASSERT_TRUE(scene.WaitUntil([&] {
        return scene.At(0).pty.Transmitted().size() >= 4 &&
               monitor->Out().find("SENT", expected.size()) != std::string::npos && monitor->Out().ends_with("\n");
    }))
        << scene.Describe();
    EXPECT_EQ(scene.At(0).pty.Transmitted(), "Gr\xfc\xdf\r");
    const std::string rest = monitor->Out().substr(expected.size());
    const size_t sent = rest.find("SENT ");
    ASSERT_NE(sent, std::string::npos) << rest;
    EXPECT_EQ(rest.substr(0, sent), "SEND Gr<252><223>#13\n");
    const std::string line = rest.substr(sent, rest.find('\n', sent) - sent);
    const std::string stamp = line.substr(5, line[5] == '-' ? 11 : 10);
    EXPECT_EQ(stamp.find_first_not_of(' '), stamp.find_first_of("-0123456789")) << line;
    EXPECT_EQ(line, "SENT " + stamp + " Gr<252><223><13>");
}
