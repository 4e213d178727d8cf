// The Windows Sockets stand-in: handles, error numbers, message windows and
// asynchronous selection on real loopback sockets.
#include "AsNobody.h"
#include "EventLoopWait.h"
#include "WinSock.h"
#include "WinSockInternal.h"
#include "WinSockWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using namespace winsock;
using testsupport::ListenOnLoopback;
using testsupport::LoopbackAddress;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

constexpr UINT kMsg = WM_USER + 1;

struct Note {
    SOCKET s;
    long event;
    int error;
    bool operator==(const Note&) const = default;
};

class WinSockTest : public WinSockWindowTest {
protected:
    WinSockTest() : WinSockWindowTest(kMsg) {}
    void Received(WPARAM w, LPARAM l) override { Notes.push_back({w, WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)}); }
    void TearDown() override
    {
        for (SOCKET s : Open)
            closesocket(s);
        WinSockWindowTest::TearDown();
    }

    SOCKET Tcp()
    {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, INVALID_SOCKET);
        Open.push_back(s);
        return s;
    }

    SOCKET Listener(winsock::u_short& port)
    {
        Open.push_back(ListenOnLoopback(port));
        return Open.back();
    }
    static int ConnectTo(SOCKET s, winsock::u_short port)
    {
        SOCKADDR_IN a = LoopbackAddress(port);
        return connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a);
    }
    void SelectAll(SOCKET s) { ASSERT_EQ(WSAAsyncSelect(s, Wnd, kMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0); }

    // A connected pair: the client end selected for everything, the
    // accepted end left blocking and unselected. Its connect completes with
    // FD_CONNECT then FD_WRITE; those notes are dropped.
    void Pair(SOCKET& client, SOCKET& accepted)
    {
        winsock::u_short port = 0;
        SOCKET l = Listener(port);
        client = Tcp();
        SelectAll(client);
        ASSERT_EQ(ConnectTo(client, port), SOCKET_ERROR);
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        accepted = accept(l, nullptr, nullptr);
        ASSERT_NE(accepted, INVALID_SOCKET);
        Open.push_back(accepted);
        ASSERT_TRUE(PumpUntil([&] { return Count(FD_WRITE) == 1; }));
        PumpFor(30);
        EXPECT_EQ(Notes, (std::vector<Note>{{client, FD_CONNECT, 0}, {client, FD_WRITE, 0}}));
        Notes.clear();
    }

    // Sends until the kernel takes no more.
    static void Fill(SOCKET s)
    {
        const std::string block(65536, 'x');
        while (send(s, block.data(), static_cast<int>(block.size()), 0) != SOCKET_ERROR) {
        }
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    }
    template <class T>
    static int SetOption(SOCKET s, int name, const T& value)
    {
        return setsockopt(s, SOL_SOCKET, name, reinterpret_cast<const char*>(&value), sizeof value);
    }
    static void NonBlocking(SOCKET s)
    {
        winsock::u_long on = 1;
        ioctlsocket(s, FIONBIO, &on);
    }

    int Count(long event) const
    {
        int n = 0;
        for (const auto& x : Notes)
            n += x.event == event;
        return n;
    }

    std::vector<Note> Notes;
    std::vector<SOCKET> Open;
};

} // namespace

TEST(WinSockErrors, ErrnoValuesMapOntoWindowsSocketsNumbers)
{
    const std::pair<int, int> map[] = {{EACCES, 10013},     {EPERM, 10013},    {EAGAIN, 10035},   {EINPROGRESS, 10035},
                                       {EADDRINUSE, 10048}, {ECONNRESET, 10054}, {ENOMEM, 10055}, {ENOTCONN, 10057},
                                       {ETIMEDOUT, 10060},  {ECONNREFUSED, 10061}, {EREMOTE, 10071}};
    for (auto [error, wsa] : map)
        EXPECT_EQ(winsock::detail::WsaFromErrno(error), wsa) << error;
}

TEST(WinSockErrors, NothingWorksBeforeAStartupWithVersionOneOneOrAbove)
{
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    WSADATA d;
    EXPECT_EQ(WSAStartup(0x0001, &d), WSAVERNOTSUPPORTED);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
}

TEST_F(WinSockTest, HandlesAreNeverReused)
{
    SOCKET a = socket(AF_INET, SOCK_STREAM, 0);
    int fd = DescriptorOf(a);
    ASSERT_EQ(closesocket(a), 0);
    SOCKET b = Tcp();
    EXPECT_EQ(DescriptorOf(b), fd); // Linux hands out the same descriptor
    EXPECT_NE(b, a);
    EXPECT_EQ(closesocket(a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(WinSockTest, BindingAPrivilegedPortWithoutRightsIs10013)
{
    int start = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> start;
    if (start <= 1)
        GTEST_SKIP() << "every port is unprivileged here";
    auto refused = [&] {
        SOCKADDR_IN a = LoopbackAddress(static_cast<winsock::u_short>(start - 1));
        return bind(Tcp(), reinterpret_cast<SOCKADDR*>(&a), sizeof a) == SOCKET_ERROR && WSAGetLastError() == WSAEACCES;
    };
    // As root the bind would work: then it is tried as "nobody".
    EXPECT_TRUE(geteuid() == 0 ? testsupport::ExitCodeAsNobody([&] { return refused() ? 0 : 1; }) == 0 : refused());
}

TEST_F(WinSockTest, CallsInTheWrongStateFailWithTheirOwnNumbers)
{
    SOCKET s = Tcp();
    EXPECT_EQ(listen(s, 5), SOCKET_ERROR) << "not bound";
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR) << "never connected";
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);

    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(shutdown(c, SD_SEND), 0);
    EXPECT_EQ(send(c, "x", 1, 0), SOCKET_ERROR) << "after its own shutdown";
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
}

TEST_F(WinSockTest, LingerOptionTravelsInWindowsLayout)
{
    SOCKET s = Tcp();
    ASSERT_EQ(SetOption(s, SO_LINGER, LINGER{1, 7}), 0);
    LINGER out{};
    int len = sizeof out;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&out), &len), 0);
    EXPECT_EQ(out.l_onoff, 1);
    EXPECT_EQ(out.l_linger, 7);
}

TEST_F(WinSockTest, MessagesRunInPostingOrderAcrossWindowsAndNeverInsideThePost)
{
    std::vector<int> Order;
    HWND A = CreateMessageWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        Order.push_back(static_cast<int>(m));
        return 0;
    });
    HWND B = CreateMessageWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        Order.push_back(-static_cast<int>(m));
        return 0;
    });
    PostMessage(A, 1, 0, 0);
    PostMessage(B, 2, 0, 0);
    PostMessage(A, 3, 0, 0);
    EXPECT_TRUE(Order.empty());
    ASSERT_TRUE(PumpUntil([&] { return Order.size() == 3; }));
    EXPECT_EQ(Order, (std::vector<int>{1, -2, 3}));
    DestroyMessageWindow(A);
    DestroyMessageWindow(B);
}

TEST_F(WinSockTest, MessagesForADestroyedWindowAreDropped)
{
    int Seen = 0;
    HWND A = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ++Seen;
        return 0;
    });
    PostMessage(A, 1, 0, 0);
    DestroyMessageWindow(A);
    EXPECT_FALSE(PostMessage(A, 2, 0, 0));
    PumpFor(30);
    EXPECT_EQ(Seen, 0);
}

TEST_F(WinSockTest, AWindowMayDestroyItselfInItsOwnProcedure)
{
    int Seen = 0;
    HWND A = 0;
    A = CreateMessageWindow([&](HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
        ++Seen;
        DestroyMessageWindow(self);
        return 0;
    });
    PostMessage(A, 1, 0, 0);
    PostMessage(A, 2, 0, 0);
    PumpFor(30);
    EXPECT_EQ(Seen, 1);
}

TEST_F(WinSockTest, RefusedConnectIsReportedAsConnectOutcomeWithoutClose)
{
    winsock::u_short port = 0;
    SOCKET l = Listener(port);
    closesocket(l); // nobody listens there now
    SOCKET s = Tcp();
    SelectAll(s);
    EXPECT_EQ(ConnectTo(s, port), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_TRUE(Notes.empty());
    ASSERT_TRUE(PumpUntil([&] { return !Notes.empty(); }));
    PumpFor(50);
    EXPECT_EQ(Notes, (std::vector<Note>{{s, FD_CONNECT, WSAECONNREFUSED}}));
}

TEST_F(WinSockTest, ReadIsPostedOnceUntilTheNextRecv)
{
    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(send(a, "abc", 3, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));
    ASSERT_EQ(send(a, "def", 3, 0), 3);
    PumpFor(50);
    EXPECT_EQ(Count(FD_READ), 1);
    char buf[2];
    ASSERT_EQ(recv(c, buf, 2, 0), 2); // data remains: posted again
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 2; }));
}

TEST_F(WinSockTest, WriteIsPostedAgainOnlyAfterAWouldBlockSend)
{
    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(send(c, "small", 5, 0), 5);
    PumpFor(50);
    EXPECT_EQ(Count(FD_WRITE), 0);

    ASSERT_NO_FATAL_FAILURE(Fill(c));
    PumpFor(30);
    EXPECT_EQ(Count(FD_WRITE), 0); // still full
    std::vector<char> sink(1 << 20);
    NonBlocking(a);
    while (Count(FD_WRITE) == 0) {
        recv(a, sink.data(), static_cast<int>(sink.size()), 0);
        PumpFor(5);
    }
    PumpFor(30);
    EXPECT_EQ(Count(FD_WRITE), 1);
}

TEST_F(WinSockTest, PeerCloseIsPostedOnceEvenWithDataUnread)
{
    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(send(a, "bye", 3, 0), 3);
    ASSERT_EQ(shutdown(a, SD_SEND), 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));
    char buf[16];
    EXPECT_EQ(recv(c, buf, sizeof buf, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_CLOSE) == 1; }));
    EXPECT_EQ(recv(c, buf, sizeof buf, 0), 0);
    PumpFor(50);
    EXPECT_EQ(Count(FD_CLOSE), 1);
    EXPECT_EQ(Notes.back(), (Note{c, FD_CLOSE, 0}));
}

TEST_F(WinSockTest, ResetIsPostedAsAbortedAndLaterCallsSeeTheReset)
{
    SOCKET c, a;
    Pair(c, a);
    SetOption(a, SO_LINGER, LINGER{1, 0});
    closesocket(a);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_CLOSE) == 1; }));
    EXPECT_EQ(Notes.back(), (Note{c, FD_CLOSE, WSAECONNABORTED}));
    char buf[4];
    EXPECT_EQ(recv(c, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(send(c, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(WinSockTest, OwnShutdownAndCloseNeverPostClose)
{
    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(shutdown(c, SD_BOTH), 0);
    PumpFor(50);
    closesocket(c);
    PumpFor(50);
    EXPECT_EQ(Count(FD_CLOSE), 0);
}

TEST_F(WinSockTest, SelectingAgainPostsWhatHoldsNow)
{
    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(send(a, "x", 1, 0), 1);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_READ) == 1; }));
    Notes.clear();
    SelectAll(c);
    ASSERT_TRUE(PumpUntil([&] { return Notes.size() == 2; }));
    PumpFor(30);
    EXPECT_EQ(Notes, (std::vector<Note>{{c, FD_READ, 0}, {c, FD_WRITE, 0}}));
}

TEST_F(WinSockTest, MaskZeroStopsNotifications)
{
    SOCKET c, a;
    Pair(c, a);
    ASSERT_EQ(WSAAsyncSelect(c, Wnd, 0, 0), 0);
    ASSERT_EQ(send(a, "x", 1, 0), 1);
    PumpFor(50);
    EXPECT_TRUE(Notes.empty());
}

TEST_F(WinSockTest, AcceptIsPostedForEachPendingConnection)
{
    winsock::u_short port = 0;
    SOCKET l = Listener(port);
    ASSERT_EQ(WSAAsyncSelect(l, Wnd, kMsg, FD_ACCEPT), 0);
    ConnectTo(Tcp(), port);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_ACCEPT) == 1; }));
    SOCKET x = accept(l, nullptr, nullptr);
    ASSERT_NE(x, INVALID_SOCKET);
    Open.push_back(x);
    PumpFor(30);
    EXPECT_EQ(Count(FD_ACCEPT), 1); // nothing pending any more
}

TEST_F(WinSockTest, ALingeringCloseReturnsAtOnceAndFinishesInTheBackground)
{
    // Modest fixed buffers on both ends, so that "full" is a few hundred
    // kilobytes and draining them is quick.
    const int size = 64 * 1024;
    SOCKET l = Tcp();
    SetOption(l, SO_RCVBUF, size);
    SOCKADDR_IN addr = LoopbackAddress(0);
    ASSERT_EQ(bind(l, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr), 0);
    int len = sizeof addr;
    ASSERT_EQ(getsockname(l, reinterpret_cast<SOCKADDR*>(&addr), &len), 0);
    ASSERT_EQ(listen(l, 5), 0);
    SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
    SetOption(c, SO_SNDBUF, size);
    ASSERT_EQ(connect(c, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr), 0);
    SOCKET a = accept(l, nullptr, nullptr);
    ASSERT_NE(a, INVALID_SOCKET);
    Open.push_back(a);

    NonBlocking(c);
    ASSERT_NO_FATAL_FAILURE(Fill(c));
    // The peer reads nothing, so the kernel would hold this close for up to
    // a minute; the call must not wait for it.
    SetOption(c, SO_LINGER, LINGER{1, 60});
    ASSERT_EQ(closesocket(c), 0);
    EXPECT_EQ(LingeringCloseCount(), 1);
    EXPECT_EQ(DescriptorOf(c), -1);

    // Once the peer takes the data the background close completes.
    std::vector<char> sink(1 << 20);
    NonBlocking(a);
    ASSERT_TRUE(PumpUntil([&] {
        recv(a, sink.data(), static_cast<int>(sink.size()), 0);
        return LingeringCloseCount() == 0;
    }, 60000));
}
