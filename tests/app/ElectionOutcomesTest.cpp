// A copy of the program that does not find the Interlink as another copy
// would leave it: some other program listening on the port that never
// greets, or the port held by a socket that does not listen, so that the
// copy can neither connect nor listen.

#include "InterlinkCopies.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

// A socket of this process on the Interlink's address.
class PortHolder {
public:
    ~PortHolder()
    {
        for (int fd : {accepted_, fd_})
            if (fd >= 0)
                ::close(fd);
    }
    // Bound only, it refuses every connect and keeps everyone else from
    // binding; listening, it is a server of its own.
    bool Hold(bool listening)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kInterlinkPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               (!listening || ::listen(fd_, 5) == 0);
    }
    // Takes the connection waiting, if there is one.
    bool Accept() { return (accepted_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }
    bool Send(const std::string& bytes)
    {
        return ::send(accepted_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

private:
    int fd_ = -1, accepted_ = -1;
};

class ElectionOutcomes : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = PrivateNamespaceProblem(); !why.empty())
            GTEST_SKIP() << why;
    }

    // A copy with its pty as COM71, started on `display` or headless.
    ChildProcess& StartCopy(const std::string& display = {})
    {
        Copy& c = scene.AddCopy();
        const std::string error = WriteCopySettings(c.settingsFile, c.pty.SlavePath(), "COM71");
        EXPECT_EQ(error, "");
        return scene.StartCopy(c, display);
    }

    Scene scene{TARROWIN_BINARY, TARROWIN_LINK_BINARY};
};

} // namespace

TEST_F(ElectionOutcomes, AServerThatNeverGreetsHasItsSendsCarriedOut)
{
    PortHolder server;
    ASSERT_TRUE(server.Hold(true));
    ChildProcess& program = StartCopy();
    Copy& copy = scene.At(0);
    ASSERT_TRUE(scene.WaitUntil([&] { return server.Accept() || !program.Running(); }) && program.Running())
        << scene.Describe();
    std::string expected;
    for (const std::string text : {"first", "second"}) {
        ASSERT_TRUE(server.Send(terminal::MakeInterlinkFrame("SEND" + text + "#13")));
        expected += text + "\r";
        ASSERT_TRUE(scene.WaitUntil([&] { return copy.pty.Transmitted().size() >= expected.size(); }))
            << scene.Describe();
    }
    EXPECT_EQ(copy.pty.Transmitted(), expected);
    EXPECT_FALSE(ListensOnInterlink(program.Pid())) << "a client does not listen";
}
