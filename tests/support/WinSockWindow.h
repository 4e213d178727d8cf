#pragma once
// Tests of the Windows Sockets stand-in: it is started for each test, and a
// message window hands the test every message of one number, as the
// program's windows receive socket and look-up notifications. Also a
// listening socket on 127.0.0.1.

#include "WinSock.h"

#include <gtest/gtest.h>

class WinSockWindowTest : public ::testing::Test {
protected:
    explicit WinSockWindowTest(winsock::UINT message) : Msg(message) {}

    void SetUp() override
    {
        winsock::WSADATA d;
        ASSERT_EQ(winsock::WSAStartup(0x0101, &d), 0);
        Wnd = winsock::CreateMessageWindow(
            [this](winsock::HWND, winsock::UINT m, winsock::WPARAM w, winsock::LPARAM l) -> winsock::LRESULT {
                if (m == Msg)
                    Received(w, l);
                return 0;
            });
    }
    void TearDown() override
    {
        winsock::DestroyMessageWindow(Wnd);
        winsock::WSACleanup();
    }

    // One message of number Msg for Wnd.
    virtual void Received(winsock::WPARAM w, winsock::LPARAM l) = 0;

    const winsock::UINT Msg;
    winsock::HWND Wnd = 0;
};

namespace testsupport {

inline winsock::SOCKADDR_IN LoopbackAddress(winsock::u_short port)
{
    winsock::SOCKADDR_IN a{};
    a.sin_family = winsock::AF_INET;
    a.sin_port = winsock::htons(port);
    a.sin_addr.s_addr = winsock::htonl(winsock::INADDR_LOOPBACK);
    return a;
}

// A socket listening on 127.0.0.1 at a port the system chose; that port.
inline winsock::SOCKET ListenOnLoopback(winsock::u_short& port)
{
    using namespace winsock;
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN a = LoopbackAddress(0);
    EXPECT_EQ(bind(l, reinterpret_cast<SOCKADDR*>(&a), sizeof a), 0);
    int len = sizeof a;
    EXPECT_EQ(getsockname(l, reinterpret_cast<SOCKADDR*>(&a), &len), 0);
    port = ntohs(a.sin_port);
    EXPECT_EQ(listen(l, 5), 0);
    return l;
}

} // namespace testsupport
