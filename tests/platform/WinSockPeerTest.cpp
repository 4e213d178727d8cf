// Who is at the other end of a loopback TCP connection.
#include "WinSock.h"
#include "WinSockWindow.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace winsock;

namespace {

class WinSockPeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA d;
        ASSERT_EQ(WSAStartup(0x0101, &d), 0);
        u_short port = 0;
        Listener = testsupport::ListenOnLoopback(port);
        Address = testsupport::LoopbackAddress(port);
    }
    void TearDown() override
    {
        closesocket(Listener);
        WSACleanup();
    }

    SOCKET Listener = INVALID_SOCKET;
    SOCKADDR_IN Address{};
};

} // namespace

TEST_F(WinSockPeerTest, BothEndsOfOurOwnConnectionBelongToUs)
{
    SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c, reinterpret_cast<SOCKADDR*>(&Address), sizeof Address), 0);
    SOCKET a = accept(Listener, nullptr, nullptr);
    ASSERT_NE(a, INVALID_SOCKET);
    EXPECT_EQ(PeerUserId(a), static_cast<long>(geteuid()));
    EXPECT_EQ(PeerUserId(c), static_cast<long>(geteuid()));
    closesocket(a);
    closesocket(c);
}

TEST_F(WinSockPeerTest, APeerOfAnotherUserIsThatUser)
{
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(30);
        close(go[1]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(10);
        SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(c, reinterpret_cast<SOCKADDR*>(&Address), sizeof Address) != 0)
            _exit(11);
        char x;
        (void)!read(go[0], &x, 1); // stay connected until the parent has looked
        _exit(0);
    }
    close(go[0]);
    SOCKET a = accept(Listener, nullptr, nullptr);
    ASSERT_NE(a, INVALID_SOCKET);
    EXPECT_EQ(PeerUserId(a), static_cast<long>(uid));
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    closesocket(a);
}

TEST_F(WinSockPeerTest, ASocketThatIsNotConnectedHasNoPeer)
{
    SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(PeerUserId(c), -1);
    closesocket(c);
}
