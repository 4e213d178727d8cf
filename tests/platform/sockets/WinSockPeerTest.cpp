// Who is at the other end of a loopback TCP connection.
#include "WinSock.h"
#include "WinSockWindow.h"

#include <gtest/gtest.h>

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

TEST_F(WinSockPeerTest, ASocketThatIsNotConnectedHasNoPeer)
{
    SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(PeerUserId(c), -1);
    closesocket(c);
}
