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
    }

    void StartCopiesAndMonitor(int count)
    {
        ASSERT_EQ(scene->StartLinkedCopies(count), "");
        std::string error;
        monitor = scene->StartMonitor(error);
        ASSERT_TRUE(monitor) << error;
    }

    // Every copy has written `bytes` to its port, and the monitor has seen
    // the SENT of each.
    bool AllSent(const std::string& bytes, const std::string& printed)
    {
        return scene->WaitUntil([&] {
            for (auto& c : scene->Copies())
                if (c->pty.Transmitted().size() < bytes.size())
                    return false;
            return CountLines(monitor->Out(), "SENT", printed) >= scene->Copies().size();
        });
    }

    std::string ReceivedAtMonitor() const
    {
        std::string bytes;
        for (const std::string& data : MonitorData(monitor->Out(), "RCVD"))
            bytes += Undecode(data);
        return bytes;
    }

    std::unique_ptr<Scene> scene;
    ChildProcess* monitor = nullptr;
};

} // namespace

TEST_F(InterlinkEndToEnd, ThreeCopiesElectOneServerCarryOutASendAndReportWhatArrives)
{
    StartCopiesAndMonitor(3);
    size_t listeners = 0;
    for (const TcpSocket& s : TcpSockets())
        listeners += s.state == kTcpListen && s.localPort == kInterlinkPort;
    EXPECT_EQ(listeners, 1u);
    EXPECT_TRUE(ListensOnInterlink(scene->At(0).process.Pid()));

    ASSERT_EQ(scene->RunLink({"send", "AT#13"}), 0) << scene->Describe();
    ASSERT_TRUE(AllSent("AT\r", "AT<13>")) << scene->Describe();
    for (auto& c : scene->Copies()) {
        EXPECT_EQ(c->pty.Transmitted(), "AT\r") << c->name;
        c->pty.Forget();
    }
    EXPECT_EQ(CountLines(monitor->Out(), "SEND", "AT#13"), 1u) << monitor->Out();

    // Every byte value but '<' (its printed form could not be read back) and
    // XON and XOFF, into a client's port: its RCVD goes through the server.
    std::string data;
    for (int b = 0; b < 256; ++b)
        if (b != '<' && b != 0x11 && b != 0x13)
            data.push_back(static_cast<char>(b));
    ASSERT_TRUE(scene->At(1).pty.Write(data));
    ASSERT_TRUE(scene->WaitUntil([&] { return ReceivedAtMonitor().size() >= data.size(); })) << scene->Describe();
    EXPECT_TRUE(ReceivedAtMonitor() == data);
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "") << c->name;
}

TEST_F(InterlinkEndToEnd, AFrameSentInOneBytePiecesIsTaken)
{
    StartCopiesAndMonitor(2);
    RawPeer peer;
    ASSERT_TRUE(peer.Connect());
    ASSERT_TRUE(scene->WaitUntil([&] { return peer.Drain() && peer.Greeted(); })) << scene->Describe();
    const std::string frame = terminal::MakeInterlinkFrame("SENDpiece#13");
    for (size_t i = 0; i < frame.size(); ++i) {
        ASSERT_TRUE(peer.Send(frame.substr(i, 1)));
        // The server has read this piece on its own before the next goes.
        ASSERT_TRUE(scene->WaitUntil([&] {
            TcpSocket s;
            return ServerEndOf(peer.LocalPort(), s) && s.bytesReceived == i + 1 && s.unread == 0;
        })) << "piece " << i;
    }
    ASSERT_TRUE(AllSent("piece\r", "piece<13>")) << scene->Describe();
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "piece\r") << c->name;
}

TEST_F(InterlinkEndToEnd, ConnectionsOfAnotherUserAreRefused)
{
    StartCopiesAndMonitor(2);
    // A copy of tarrowin-link that the other user may run.
    const std::string shared = scene->Root() + "/nobody";
    ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(scene->Root().c_str(), 0711), 0);
    const std::string link = shared + "/tarrowin-link";
    std::filesystem::copy_file(TARROWIN_LINK_BINARY, link);
    ASSERT_EQ(::chmod(link.c_str(), 0755), 0);

    ChildProcess* p = nullptr;
    EXPECT_EQ(scene->RunLink({"send", "EVIL#13"}, testsupport::NobodyUid(), &p, link), 4) << scene->Describe();
    ASSERT_TRUE(p);
    EXPECT_NE(p->Err().find("abgelehnt"), std::string::npos) << p->Err();

    // The user's own command is the only one carried out.
    ASSERT_EQ(scene->RunLink({"send", "GOOD#13"}), 0);
    ASSERT_TRUE(AllSent("GOOD\r", "GOOD<13>")) << scene->Describe();
    for (auto& c : scene->Copies())
        EXPECT_EQ(c->pty.Transmitted(), "GOOD\r") << c->name;
    EXPECT_EQ(monitor->Out().find("EVIL"), std::string::npos) << monitor->Out();
}

// What scripts rely on: 2 for wrong arguments, 3 when no Interlink runs.
// (4, refused, and 5, server gone, are checked where they happen.)
TEST_F(InterlinkEndToEnd, LinkExitCodes)
{
    ChildProcess* p = nullptr;
    EXPECT_EQ(scene->RunLink({"send"}, -1, &p), 2);
    ASSERT_TRUE(p);
    EXPECT_NE(p->Err().find("usage: tarrowin-link send TEXT"), std::string::npos) << p->Err();
    EXPECT_EQ(scene->RunLink({"talk"}), 2);
    EXPECT_EQ(scene->RunLink({"send", "AT#13"}, -1, &p), 3);
    EXPECT_NE(p->Err().find("kein Interlink"), std::string::npos) << p->Err();
    EXPECT_EQ(scene->RunLink({"monitor"}), 3);
}
