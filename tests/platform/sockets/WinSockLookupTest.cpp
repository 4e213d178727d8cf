// Asynchronous host look-ups of the Windows Sockets stand-in.
#include "EventLoopWait.h"
#include "WinSock.h"
#include "WinSockInternal.h"
#include "WinSockWindow.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace winsock;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

constexpr UINT kMsg = WM_USER + 2;

struct Answer {
    WPARAM task;
    int length;
    int error;
};

// A resolver that answers "slow" only once released, and every other name
// with the addresses it was given.
class FakeResolver {
public:
    explicit FakeResolver(std::vector<uint32_t> addresses = {htonl(0x0a000001)})
        : Addresses(std::move(addresses))
    {
        detail::SetHostNameResolver([this](const std::string& name, std::string& canonical,
                                           std::vector<uint32_t>& out) {
            if (name == "slow") {
                std::unique_lock lock(Mutex);
                Released.wait(lock, [this] { return Open; });
            }
            if (name == "nowhere")
                return WSAHOST_NOT_FOUND;
            canonical = name + ".example";
            out = Addresses;
            return 0;
        });
    }
    ~FakeResolver()
    {
        Release();
        detail::SetHostNameResolver(nullptr);
        // The threads of this test are gone before the next test starts.
        PumpUntil([] { return LookupThreadCount() == 0; });
    }
    void Release()
    {
        std::lock_guard lock(Mutex);
        Open = true;
        Released.notify_all();
    }

private:
    std::vector<uint32_t> Addresses;
    std::mutex Mutex;
    std::condition_variable Released;
    bool Open = false;
};

class WinSockLookupTest : public WinSockWindowTest {
protected:
    WinSockLookupTest() : WinSockWindowTest(kMsg) {}
    void Received(WPARAM w, LPARAM l) override { Answers.push_back({w, WSAGETASYNCBUFLEN(l), WSAGETASYNCERROR(l)}); }

    // Returns once every answer that any look-up will ever post has been
    // handled: no thread is left, and a message posted after them all has
    // come through the same queue.
    void Settle()
    {
        ASSERT_TRUE(PumpUntil([] { return LookupThreadCount() == 0; }));
        bool Seen = false;
        HWND Marker = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
            Seen = true;
            return 0;
        });
        PostMessage(Marker, kMsg, 0, 0);
        ASSERT_TRUE(PumpUntil([&] { return Seen; }));
        DestroyMessageWindow(Marker);
    }

    HOSTENT* Entry() { return reinterpret_cast<HOSTENT*>(Buffer); }

    std::vector<Answer> Answers;
    alignas(HOSTENT) char Buffer[MAXGETHOSTSTRUCT];
};

std::string Dotted(const char* a)
{
    IN_ADDR in;
    std::memcpy(&in.s_addr, a, 4);
    return inet_ntoa(in);
}

} // namespace

TEST_F(WinSockLookupTest, HostNameAnswerArrivesFromTheQueueWithTheEntryInTheBuffer)
{
    HANDLE Task = WSAAsyncGetHostByName(Wnd, kMsg, "localhost", Buffer, sizeof Buffer);
    ASSERT_NE(Task, 0u);
    EXPECT_TRUE(Answers.empty()); // never inside the call
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    EXPECT_EQ(Answers[0].task, Task);
    EXPECT_EQ(Answers[0].error, 0);
    ASSERT_NE(Entry()->h_addr_list[0], nullptr);
    EXPECT_EQ(Dotted(Entry()->h_addr_list[0]), "127.0.0.1");
    EXPECT_EQ(Entry()->h_length, 4);
    EXPECT_EQ(Entry()->h_addrtype, AF_INET);
}

TEST_F(WinSockLookupTest, AnUnknownNameArrivesWithTheResolversError)
{
    FakeResolver R;
    WSAAsyncGetHostByName(Wnd, kMsg, "nowhere", Buffer, sizeof Buffer);
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    EXPECT_EQ(Answers[0].error, WSAHOST_NOT_FOUND);
}

TEST_F(WinSockLookupTest, ACancelledLookupNeverPostsNorTouchesTheBuffer)
{
    FakeResolver R;
    std::memset(Buffer, 0x5a, sizeof Buffer);
    HANDLE Task = WSAAsyncGetHostByName(Wnd, kMsg, "slow", Buffer, sizeof Buffer);
    ASSERT_NE(Task, 0u);
    EXPECT_EQ(WSACancelAsyncRequest(Task), 0);
    R.Release();
    Settle();
    EXPECT_TRUE(Answers.empty());
    for (char c : Buffer)
        ASSERT_EQ(c, 0x5a);
    EXPECT_EQ(PendingLookupCount(), 0);
}

TEST_F(WinSockLookupTest, CancellingAnAnsweredTaskIsAlreadyDoneAHandleNeverGivenOutInvalid)
{
    HANDLE Task = WSAAsyncGetHostByName(Wnd, kMsg, "localhost", Buffer, sizeof Buffer);
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    EXPECT_EQ(WSACancelAsyncRequest(Task), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEALREADY);

    EXPECT_EQ(WSACancelAsyncRequest(0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(WSACancelAsyncRequest(~HANDLE(0)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(WinSockLookupTest, AnEntryTooBigKeepsTheLeadingAddressesThatFit)
{
    std::vector<uint32_t> Many;
    for (uint32_t i = 1; i <= 200; ++i)
        Many.push_back(htonl(0x0a000000 + i));
    FakeResolver R(Many);
    WSAAsyncGetHostByName(Wnd, kMsg, "many", Buffer, sizeof Buffer);
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    ASSERT_EQ(Answers[0].error, 0);
    EXPECT_LE(Answers[0].length, static_cast<int>(sizeof Buffer));
    int n = 0;
    while (Entry()->h_addr_list[n]) {
        EXPECT_EQ(Dotted(Entry()->h_addr_list[n]), "10.0.0." + std::to_string(n + 1));
        ++n;
    }
    EXPECT_GT(n, 1);
    EXPECT_LT(n, 200);
    EXPECT_STREQ(Entry()->h_name, "many.example");
}

TEST_F(WinSockLookupTest, ABufferTooSmallForOneAddressGetsNoBufs)
{
    FakeResolver R;
    WSAAsyncGetHostByName(Wnd, kMsg, "tiny", Buffer, 40);
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    EXPECT_EQ(Answers[0].error, WSAENOBUFS);
    EXPECT_GT(Answers[0].length, 40);
}

TEST_F(WinSockLookupTest, AMisalignedBufferOrAnAddressOfAnotherFamilyIsRefusedAtTheStart)
{
    EXPECT_EQ(WSAAsyncGetHostByName(Wnd, kMsg, "localhost", Buffer + 1, 100), 0u);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    const uint32_t A = 0;
    EXPECT_EQ(WSAAsyncGetHostByAddr(Wnd, kMsg, reinterpret_cast<const char*>(&A), 4, 23, Buffer, sizeof Buffer), 0u);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST_F(WinSockLookupTest, AnAnswerForADestroyedWindowIsDropped)
{
    FakeResolver R;
    HWND Gone = CreateMessageWindow([this](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        Answers.push_back({0, 0, -1});
        return 0;
    });
    WSAAsyncGetHostByName(Gone, kMsg, "slow", Buffer, sizeof Buffer);
    DestroyMessageWindow(Gone);
    R.Release();
    Settle();
    EXPECT_TRUE(Answers.empty());
    EXPECT_EQ(PendingLookupCount(), 0);
}

TEST_F(WinSockLookupTest, AddressAnswerCarriesTheNameAndTheAddress)
{
    detail::SetHostAddrResolver([](uint32_t a, std::string& name) {
        name = a == htonl(0x7f000001) ? "loopback.example" : "";
        return name.empty() ? WSAHOST_NOT_FOUND : 0;
    });
    const uint32_t A = htonl(0x7f000001);
    WSAAsyncGetHostByAddr(Wnd, kMsg, reinterpret_cast<const char*>(&A), 4, AF_INET, Buffer, sizeof Buffer);
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    detail::SetHostAddrResolver(nullptr);
    EXPECT_EQ(Answers[0].error, 0);
    EXPECT_STREQ(Entry()->h_name, "loopback.example");
    EXPECT_EQ(Dotted(Entry()->h_addr_list[0]), "127.0.0.1");
    EXPECT_EQ(Entry()->h_addr_list[1], nullptr);
}

TEST_F(WinSockLookupTest, BlockingLookupUsesTheSameResolver)
{
    FakeResolver R({htonl(0x0a000007), htonl(0x0a000008)});
    HOSTENT* He = gethostbyname("pair");
    ASSERT_NE(He, nullptr);
    EXPECT_EQ(Dotted(He->h_addr_list[0]), "10.0.0.7");
    EXPECT_EQ(Dotted(He->h_addr_list[1]), "10.0.0.8");
    EXPECT_EQ(He->h_addr_list[2], nullptr);
}

TEST_F(WinSockLookupTest, LookupsWithoutWhatTheyNeedAreRefusedAtTheStart)
{
    const uint32_t A = htonl(0x7f000001);
    const char* a = reinterpret_cast<const char*>(&A);
    struct Case {
        const char* what;
        std::function<HANDLE()> start;
        int error;
    } cases[] = {
        {"no name", [&] { return WSAAsyncGetHostByName(Wnd, kMsg, nullptr, Buffer, sizeof Buffer); }, WSAEFAULT},
        {"no buffer", [&] { return WSAAsyncGetHostByName(Wnd, kMsg, "x", nullptr, sizeof Buffer); }, WSAEFAULT},
        {"a buffer of no bytes", [&] { return WSAAsyncGetHostByName(Wnd, kMsg, "x", Buffer, 0); }, WSAEFAULT},
        {"no window", [&] { return WSAAsyncGetHostByName(0, kMsg, "x", Buffer, sizeof Buffer); }, WSAEINVAL},
        {"a short address", [&] { return WSAAsyncGetHostByAddr(Wnd, kMsg, a, 3, AF_INET, Buffer, sizeof Buffer); },
         WSAEFAULT},
        {"no address", [&] { return WSAAsyncGetHostByAddr(Wnd, kMsg, nullptr, 4, AF_INET, Buffer, sizeof Buffer); },
         WSAEFAULT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WSASetLastError(0);
        EXPECT_EQ(c.start(), 0u);
        EXPECT_EQ(WSAGetLastError(), c.error);
    }
    EXPECT_EQ(PendingLookupCount(), 0);
    EXPECT_EQ(gethostbyname(nullptr), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(getservbyname(nullptr, "tcp"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(getprotobyname(nullptr), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(getprotobyname("no-such-protocol"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
}

// Without a stand-in resolver the system's answers: localhost both ways, as
// every machine's hosts file has it.
TEST_F(WinSockLookupTest, TheSystemResolverAnswersForLocalhostBothWays)
{
    HOSTENT* He = gethostbyname("localhost");
    ASSERT_NE(He, nullptr) << WSAGetLastError();
    EXPECT_EQ(Dotted(He->h_addr_list[0]), "127.0.0.1");
    const uint32_t A = htonl(0x7f000001);
    ASSERT_NE(WSAAsyncGetHostByAddr(Wnd, kMsg, reinterpret_cast<const char*>(&A), 4, AF_INET, Buffer, sizeof Buffer), 0u);
    ASSERT_TRUE(PumpUntil([&] { return !Answers.empty(); }));
    EXPECT_EQ(Answers[0].error, 0);
    EXPECT_STRNE(Entry()->h_name, "");
    Settle();
}
