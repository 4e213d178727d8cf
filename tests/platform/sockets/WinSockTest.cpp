// The Windows Sockets stand-in on real loopback sockets: handles, error
// numbers, the order of notifications, look-ups that are cancelled, closes
// that must not block, and who the peer is.
#include "AsNobody.h"
#include "EventLoopWait.h"
#include "WinSock.h"
#include "WinSockWindow.h"
#include "WinSockInternal.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <cerrno>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace winsock;
using testsupport::ExitCodeAsNobody;
using testsupport::LoopbackAddress;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

constexpr UINT kMsg = WM_USER + 1;

struct Note {
    WPARAM w;
    long event;
    int error;
    bool operator==(const Note&) const = default;
};

// The stand-in started for each test, and a message window that notes every
// kMsg, as the program's windows receive socket notifications.
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
    // Listening on 127.0.0.1 at a port the system chose.
    SOCKET Listener(winsock::u_short& port)
    {
        SOCKET l = testsupport::ListenOnLoopback(port);
        Open.push_back(l);
        return l;
    }
    static int ConnectTo(SOCKET s, winsock::u_short port)
    {
        SOCKADDR_IN a = LoopbackAddress(port);
        return connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a);
    }
    void SelectAll(SOCKET s) { ASSERT_EQ(WSAAsyncSelect(s, Wnd, kMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0); }

    // A connected pair: the client end selected for everything, the
    // accepted end left blocking and unselected.
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
    EXPECT_EQ(detail::WsaFromErrno(EINPROGRESS), WSAEWOULDBLOCK);
    EXPECT_EQ(detail::WsaFromErrno(ECONNRESET), WSAECONNRESET);
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
        return bind(Tcp(), reinterpret_cast<SOCKADDR*>(&a), sizeof a) == SOCKET_ERROR && WSAGetLastError() == 10013;
    };
    // As root the bind would work: then it is tried as "nobody".
    EXPECT_TRUE(geteuid() == 0 ? ExitCodeAsNobody([&] { return refused() ? 0 : 1; }) == 0 : refused());
}

// A listener started again on its port within a minute of the last one,
// whose connections were closed from its side and wait out TIME_WAIT there,
// binds as on Windows; a listener that is still alive keeps its port.
TEST_F(WinSockTest, AListenerBindsOverItsPredecessorsClosedConnectionsButNeverBesideALiveOne)
{
    winsock::u_short port = 0;
    closesocket(Listener(port));
    const SOCKADDR_IN a = LoopbackAddress(port);
    auto bound = [&](SOCKET s) { return bind(s, reinterpret_cast<const SOCKADDR*>(&a), sizeof a) == 0; };
    SOCKET first = Tcp();
    ASSERT_TRUE(bound(first));
    ASSERT_EQ(listen(first, 5), 0);
    SOCKET client = Tcp();
    ASSERT_EQ(ConnectTo(client, port), 0);
    SOCKET accepted = accept(first, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    char byte;
    ASSERT_EQ(closesocket(accepted), 0); // the server's side closes first
    ASSERT_EQ(recv(client, &byte, 1, 0), 0);
    ASSERT_EQ(closesocket(client), 0);
    ASSERT_EQ(closesocket(first), 0);

    SOCKET second = Tcp();
    EXPECT_TRUE(bound(second)) << "error " << WSAGetLastError();
    EXPECT_EQ(listen(second, 5), 0);
    EXPECT_FALSE(bound(Tcp()));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
}

TEST_F(WinSockTest, RefusedConnectIsReportedAsConnectOutcomeWithoutClose)
{
    winsock::u_short port = 0;
    closesocket(Listener(port)); // nobody listens there now
    SOCKET s = Tcp();
    SelectAll(s);
    EXPECT_EQ(ConnectTo(s, port), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_TRUE(Notes.empty()) << "never inside the call";
    ASSERT_TRUE(PumpUntil([&] { return !Notes.empty(); }));
    PumpFor(50);
    EXPECT_EQ(Notes, (std::vector<Note>{{s, FD_CONNECT, WSAECONNREFUSED}}));
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

TEST_F(WinSockTest, PeerCloseIsPostedOnceAfterTheDataBeforeIt)
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
    EXPECT_EQ(Notes, (std::vector<Note>{{c, FD_READ, 0}, {c, FD_CLOSE, 0}}));
}

TEST_F(WinSockTest, ResetIsPostedAsAbortedAndLaterCallsSeeTheReset)
{
    SOCKET c, a;
    Pair(c, a);
    LINGER abort{1, 0};
    setsockopt(a, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(a);
    ASSERT_TRUE(PumpUntil([&] { return Count(FD_CLOSE) == 1; }));
    EXPECT_EQ(Notes.back(), (Note{c, FD_CLOSE, WSAECONNABORTED}));
    EXPECT_EQ(send(c, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(WinSockTest, ALingeringCloseToAPeerThatNeverReadsReturnsAtOnce)
{
    SOCKET c, a;
    Pair(c, a);
    const std::string block(65536, 'x');
    while (send(c, block.data(), static_cast<int>(block.size()), 0) != SOCKET_ERROR) {
    }
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    // The kernel would hold this close for up to a minute.
    LINGER linger{1, 60};
    setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&linger), sizeof linger);
    ASSERT_EQ(closesocket(c), 0);
    EXPECT_EQ(LingeringCloseCount(), 1);

    // Once the peer takes the data the background close completes.
    std::vector<char> sink(1 << 20);
    winsock::u_long on = 1;
    ioctlsocket(a, FIONBIO, &on);
    ASSERT_TRUE(PumpUntil([&] {
        recv(a, sink.data(), static_cast<int>(sink.size()), 0);
        return LingeringCloseCount() == 0;
    }, 60000));
}

TEST_F(WinSockTest, ACancelledLookupNeverPostsNorTouchesTheBuffer)
{
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    detail::SetHostNameResolver([&](const std::string&, std::string& canonical, std::vector<uint32_t>& out) {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return open; });
        canonical = "slow.example";
        out = {htonl(0x0a000001)};
        return 0;
    });
    alignas(HOSTENT) char buffer[MAXGETHOSTSTRUCT];
    std::memset(buffer, 0x5a, sizeof buffer);
    HANDLE task = WSAAsyncGetHostByName(Wnd, kMsg, "slow", buffer, sizeof buffer);
    ASSERT_NE(task, 0u);
    EXPECT_EQ(WSACancelAsyncRequest(task), 0);
    {
        std::lock_guard lock(mutex);
        open = true;
    }
    released.notify_all();
    // Settled once the resolver thread is gone and a message posted after
    // it has come through the same queue.
    EXPECT_TRUE(PumpUntil([] { return LookupThreadCount() == 0; }));
    detail::SetHostNameResolver(nullptr);
    PostMessage(Wnd, kMsg, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !Notes.empty(); }));
    EXPECT_EQ(Notes, (std::vector<Note>{{0, 0, 0}}));
    for (char c : buffer)
        ASSERT_EQ(c, 0x5a);
}

TEST_F(WinSockTest, APeerOfAnotherUserIsThatUserAndOurOwnIsUs)
{
    winsock::u_short port = 0;
    SOCKET l = Listener(port);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(30);
        close(go[1]);
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(uid) != 0)
            _exit(10);
        SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
        if (ConnectTo(c, port) != 0)
            _exit(11);
        char x;
        (void)!read(go[0], &x, 1); // stay connected until the parent has looked
        _exit(0);
    }
    close(go[0]);
    SOCKET theirs = accept(l, nullptr, nullptr);
    ASSERT_NE(theirs, INVALID_SOCKET);
    Open.push_back(theirs);
    EXPECT_EQ(PeerUserId(theirs), static_cast<long>(uid));
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    SOCKET c, a;
    Pair(c, a);
    EXPECT_EQ(PeerUserId(a), static_cast<long>(geteuid()));
}
