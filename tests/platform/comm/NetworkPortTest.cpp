// The network port through the comm API: against a real ser2net with a pty
// as its serial port, and against test peers of our own that misbehave.

#include "CommApi.h"
#include "CommDevice.h"
#include "CommTesting.h"
#include "LoopbackListener.h"
#include "NetworkConnection.h"
#include "Rfc2217.h"
#include "Ser2netServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

std::string AllBytesWithIacRuns()
{
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    for (int run : {1, 2, 3, 7, 64})
        s += std::string(static_cast<size_t>(run), '\xff') + "x";
    return s;
}

// Reads from the pty master until `count` bytes came or the patience ends.
std::string ReadMaster(TestPty& pty, size_t count)
{
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(Patience);
    while (got.size() < count && Clock::now() < end) {
        pollfd p{pty.Master(), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char buffer[4096];
            ssize_t n = ::read(pty.Master(), buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, size_t(n));
        }
    }
    return got;
}

// About 2 MB grow while tens of MB arrive; AddressSanitizer keeps freed
// memory aside (up to 256 MB), so there only a runaway would show.
#if defined(__SANITIZE_ADDRESS__)
constexpr long GrowthLimitKb = 512 * 1024;
#else
constexpr long GrowthLimitKb = 16 * 1024;
#endif

long RssKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

class NetworkPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = Ser2netServer::Unusable(); !why.empty())
            GTEST_SKIP() << why;
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        win::detail::SetNetworkTimeoutsForTests(3000, 1000);
    }
    void TearDown() override { win::detail::SetNetworkTimeoutsForTests(3000, 2000); }

    win::HANDLE Open()
    {
        win::HANDLE device = OpenPlain(server_.Address());
        return device;
    }

    Ser2netServer server_;
};

TEST_F(NetworkPort, EveryByteGoesBothWays)
{
    win::HANDLE device = Open();
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE);
    const std::string bytes = AllBytesWithIacRuns();

    WriteAll(device, bytes);
    EXPECT_EQ(ReadMaster(server_.Pty(), bytes.size()), bytes);

    ASSERT_TRUE(server_.Pty().Write(bytes));
    EXPECT_EQ(ReadAtLeast(device, bytes.size()), bytes);
    win::CloseHandle(device);
}

TEST_F(NetworkPort, LineSettingsArriveOnTheServersPort)
{
    win::HANDLE device = Open();
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE);
    win::DCB dcb = PlainDcb(19200);
    dcb.StopBits = win::TWOSTOPBITS;
    ASSERT_TRUE(win::SetCommState(device, dcb)) << win::FormatMessage(win::GetLastError());
    // A pty keeps the rate and the stop bits; it forces 8 bits, no parity.
    EXPECT_EQ(server_.Pty().Settings().line, "19200 8N2");

    dcb = PlainDcb(4800);
    dcb.Flags |= win::fOutX | win::fInX;
    ASSERT_TRUE(win::SetCommState(device, dcb)) << win::FormatMessage(win::GetLastError());
    EXPECT_EQ(server_.Pty().Settings().line, "4800 8N1 ixon ixoff");

    dcb = PlainDcb(57600);
    dcb.Flags |= win::fOutxCtsFlow | (win::RTS_CONTROL_HANDSHAKE << 12);
    ASSERT_TRUE(win::SetCommState(device, dcb)) << win::FormatMessage(win::GetLastError());
    EXPECT_EQ(server_.Pty().Settings().line, "57600 8N1 rtscts");

    // Sizes and parities the server confirms (the pty cannot hold them).
    for (win::BYTE parity : {win::ODDPARITY, win::EVENPARITY, win::MARKPARITY, win::SPACEPARITY}) {
        dcb = PlainDcb(9600);
        dcb.ByteSize = 7;
        dcb.Parity = parity;
        EXPECT_TRUE(win::SetCommState(device, dcb)) << int(parity) << ": " << win::FormatMessage(win::GetLastError());
    }
    win::CloseHandle(device);
}

TEST_F(NetworkPort, UnconfirmedSettingIsRefusedWithTheServersAnswer)
{
    win::HANDLE device = Open();
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE);
    // ser2net does not do 1.5 stop bits and does not answer them.
    win::DCB dcb = PlainDcb(9600);
    dcb.ByteSize = 5;
    dcb.StopBits = win::ONE5STOPBITS;
    const auto start = Clock::now();
    EXPECT_FALSE(win::SetCommState(device, dcb));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
    ASSERT_EQ(win::GetLastError(), win::ERROR_PORT_SERVER);
    EXPECT_EQ(win::FormatMessage(win::ERROR_PORT_SERVER),
              "The server 127.0.0.1:" + std::to_string(server_.Port()) +
                  " did not answer SET-STOPSIZE 1.5 within 1000 ms");
    // The port goes on with its settings as they were.
    WriteAll(device, "still here");
    EXPECT_EQ(ReadMaster(server_.Pty(), 10), "still here");
    win::CloseHandle(device);
}

TEST_F(NetworkPort, UnansweredModemLinesMeanAPortWithoutThem)
{
    win::HANDLE device = Open();
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE);
    win::COMMPROP properties;
    ASSERT_TRUE(win::GetCommProperties(device, properties));
    EXPECT_EQ(properties.dwProvCapabilities & (win::PCF_DTRDSR | win::PCF_RTSCTS), 0u);
    for (win::DWORD f : {win::SETDTR, win::CLRDTR, win::SETRTS, win::CLRRTS, win::SETBREAK, win::CLRBREAK})
        EXPECT_TRUE(win::EscapeCommFunction(device, f)) << f;
    EXPECT_TRUE(win::PurgeComm(device, win::PURGE_RXCLEAR | win::PURGE_TXCLEAR));
    WriteAll(device, "ok");
    EXPECT_EQ(ReadMaster(server_.Pty(), 2), "ok");
    win::CloseHandle(device);
}

TEST_F(NetworkPort, TransmitterEmptyComesNotBeforeTheWireTime)
{
    win::HANDLE device = Open();
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(9600)));
    ASSERT_TRUE(win::SetCommMask(device, win::EV_TXEMPTY));
    const std::string bytes(96, 'U'); // 100 ms at 9600 bit/s
    const auto start = Clock::now();
    WriteAll(device, bytes);
    EXPECT_EQ(NextEvents(device), win::EV_TXEMPTY);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    win::CloseHandle(device);
}

TEST_F(NetworkPort, ServerStoppedWhileOpenFailsTheDeviceOnce)
{
    win::HANDLE device = Open();
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(win::SetCommMask(device, win::EV_RXCHAR));
    Overlapped wait;
    win::DWORD events = 0;
    ASSERT_FALSE(win::WaitCommEvent(device, &events, &wait.ov));
    ASSERT_EQ(win::GetLastError(), win::ERROR_IO_PENDING);
    server_.Stop();
    ASSERT_TRUE(wait.Completed(5000));
    win::DWORD done = 0;
    EXPECT_FALSE(win::GetOverlappedResult(device, &wait.ov, &done, false));
    EXPECT_EQ(win::GetLastError(), win::DWORD(ECONNRESET));
    // From now on every transfer fails; closing works.
    Overlapped write;
    EXPECT_FALSE(win::WriteFile(device, "x", 1, &done, &write.ov));
    EXPECT_EQ(win::GetLastError(), win::DWORD(ECONNRESET));
    const auto start = Clock::now();
    EXPECT_TRUE(win::CloseHandle(device));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(NetworkPort, SecondUserIsTurnedAwayWithTheServersWords)
{
    win::HANDLE first = Open();
    ASSERT_NE(first, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::CreateFile(server_.Address()), win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), win::ERROR_PORT_SERVER);
    EXPECT_NE(win::FormatMessage(win::ERROR_PORT_SERVER).find("Port already in use"), std::string::npos)
        << win::FormatMessage(win::ERROR_PORT_SERVER);
    win::CloseHandle(first);
    // Free again at once: a reopen for new settings works.
    win::HANDLE again = Open();
    EXPECT_NE(again, win::INVALID_HANDLE_VALUE);
    win::CloseHandle(again);
}

// ---- Without ser2net ------------------------------------------------------------

// A listener on 127.0.0.1 that runs `serve` for each connection on a thread.
class TestPeer {
public:
    explicit TestPeer(std::function<void(int fd, const std::atomic<bool>& going)> serve) : serve_(std::move(serve))
    {
        listener_ = testsupport::LoopbackListener(4, port_);
        thread_ = std::thread([this] {
            pollfd p{listener_, POLLIN, 0};
            while (going_) {
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                serve_(fd, going_);
                ::close(fd);
            }
        });
    }
    ~TestPeer()
    {
        going_ = false;
        thread_.join();
        ::close(listener_);
    }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    std::function<void(int, const std::atomic<bool>&)> serve_;
    std::atomic<bool> going_{true};
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

std::string B(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

void SendAll(int fd, const std::string& bytes, const std::atomic<bool>& going)
{
    for (size_t done = 0; done < bytes.size() && going;) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
}

// A server's answers to the com-port settings: each confirmed with the
// value asked for, the rate with what `rate` makes of it.
struct ConfirmingSink : rfc2217::Sink {
    explicit ConfirmingSink(std::function<std::string(const std::string& asked)> rateRule)
        : rate(std::move(rateRule))
    {
    }
    void Data(const uint8_t*, size_t) override {}
    void Negotiate(uint8_t, uint8_t) override {}
    void Subnegotiation(uint8_t, const uint8_t* v, size_t n) override
    {
        if (n < 2)
            return;
        std::string value(reinterpret_cast<const char*>(v + 1), n - 1);
        if (v[0] == rfc2217::SET_BAUDRATE)
            value = rate(value);
        out += rfc2217::ComPort(static_cast<uint8_t>(v[0] + 100), value);
    }
    std::function<std::string(const std::string& asked)> rate;
    std::string out;
};

// Feeds what the program sends to the parser and sends back what the answer
// sink has collected, until the program closes or the test ends.
template <class Answer>
void AnswerUntilClosed(int fd, const std::atomic<bool>& going, rfc2217::Parser& parser, Answer& answer)
{
    char buffer[4096];
    while (going) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return;
        if (n > 0) {
            parser.Feed(reinterpret_cast<uint8_t*>(buffer), size_t(n), answer);
            SendAll(fd, answer.out, going);
            answer.out.clear();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

// Agrees to everything and answers every com-port command with its value:
// the server of the RFC, but for what the test adds.
const std::string Agreement = B({255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3, 255, 253, 44});
const std::string RateAnswer = B({255, 250, 44, 101, 0, 0, 0x25, 0x80, 255, 240});

TEST(NetworkPortPeer, RefusedConnectionGivesTheSystemsReason)
{
    const int port = Ser2netServer::FreePort();
    EXPECT_EQ(win::CreateFile("rfc2217://127.0.0.1:" + std::to_string(port)), win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), win::DWORD(ECONNREFUSED));
    EXPECT_EQ(win::FormatMessage(win::GetLastError()), "Connection refused");
}

// A name with two addresses, the first of which never answers (its SYNs
// are dropped: a listener whose queue is full), the second a listener: the
// second is reached within the total time, and a list where none answers
// takes no longer than that total.
TEST(NetworkPortPeer, AddressesAreTriedInTurnWithinTheTotalTime)
{
    int silentPort = 0, livePort = 0;
    const int silent = LoopbackListener(0, silentPort);
    const int live = LoopbackListener(1, livePort);
    ASSERT_GE(silent, 0);
    ASSERT_GE(live, 0);
    // Fill the silent listener's queue: further SYNs go unanswered.
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(silentPort));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    sockaddr_in addresses[2] = {};
    addrinfo entries[2] = {};
    for (int i = 0; i < 2; ++i) {
        addresses[i].sin_family = AF_INET;
        addresses[i].sin_port = htons(uint16_t(i == 0 ? silentPort : livePort));
        addresses[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        entries[i].ai_family = AF_INET;
        entries[i].ai_socktype = SOCK_STREAM;
        entries[i].ai_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
        entries[i].ai_addrlen = sizeof addresses[i];
    }
    entries[0].ai_next = &entries[1];
    win::detail::SetNetworkTimeoutsForTests(1000, 2000);
    win::DWORD error = 0;
    auto start = Clock::now();
    const int fd = win::detail::netport::ConnectFirst(entries, error);
    EXPECT_GE(fd, 0) << "the second address gets no time of its own";
    EXPECT_EQ(error, 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    if (fd >= 0)
        ::close(fd);

    // Neither answers: the total holds.
    entries[1] = entries[0];
    entries[1].ai_next = nullptr;
    start = Clock::now();
    EXPECT_LT(win::detail::netport::ConnectFirst(entries, error), 0);
    EXPECT_EQ(error, win::DWORD(ETIMEDOUT));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    win::detail::SetNetworkTimeoutsForTests(3000, 2000);
    for (int f : fillers)
        ::close(f);
    ::close(silent);
    ::close(live);
}

TEST(NetworkPortPeer, MalformedAddressIsNoDevice)
{
    for (const char* path : {"rfc2217://", "rfc2217://host", "rfc2217://host:", "rfc2217://:80",
                             "rfc2217://host:99999", "rfc2217://host:8x", "rfc2217://[::1]80"}) {
        EXPECT_EQ(win::CreateFile(path), win::INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND) << path;
    }
}

TEST(NetworkPortPeer, ServerThatNeverAnswersFailsTheOpenWithinTheTimeOut)
{
    win::detail::SetNetworkTimeoutsForTests(3000, 700);
    TestPeer silent([](int fd, const std::atomic<bool>& going) {
        char buffer[256];
        while (going) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0)
                return;
        }
    });
    const auto start = Clock::now();
    EXPECT_EQ(win::CreateFile(silent.Address()), win::INVALID_HANDLE_VALUE);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(650));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_EQ(win::GetLastError(), win::ERROR_PORT_SERVER);
    EXPECT_NE(win::FormatMessage(win::ERROR_PORT_SERVER).find("did not answer the Telnet option negotiation"),
              std::string::npos)
        << win::FormatMessage(win::ERROR_PORT_SERVER);
    win::detail::SetNetworkTimeoutsForTests(3000, 2000);
}

TEST(NetworkPortPeer, ServerRefusingTheComPortOptionIsNamed)
{
    TestPeer telnetOnly([](int fd, const std::atomic<bool>& going) {
        SendAll(fd, B({255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3, 255, 254, 44}), going);
        char buffer[256];
        while (going && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    EXPECT_EQ(win::CreateFile(telnetOnly.Address()), win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), win::ERROR_PORT_SERVER);
    EXPECT_NE(win::FormatMessage(win::ERROR_PORT_SERVER).find("refuses the COM-PORT-OPTION"), std::string::npos);
}

// SUPPRESS-GO-AHEAD is a nicety: a server that refuses it either way, or
// never answers it at all, but speaks the com-port option is opened.
TEST(NetworkPortPeer, ServerRefusingSuppressGoAheadIsOpened)
{
    for (const bool answersSga : {true, false}) {
    TestPeer noSga([answersSga](int fd, const std::atomic<bool>& going) {
        SendAll(fd, B({255, 253, 0, 255, 251, 0, 255, 253, 44}), going);
        if (answersSga)
            SendAll(fd, B({255, 254, 3, 255, 252, 3}), going);
        rfc2217::Parser parser;
        struct Answer : rfc2217::Sink {
            std::string out;
            bool refuseSga = true;
            void Data(const uint8_t*, size_t) override {}
            void Negotiate(uint8_t verb, uint8_t option) override
            {
                if (refuseSga && option == 3 && (verb == rfc2217::WILL || verb == rfc2217::DO))
                    out += rfc2217::Negotiation(verb == rfc2217::WILL ? rfc2217::DONT : rfc2217::WONT, 3);
            }
            void Subnegotiation(uint8_t, const uint8_t* v, size_t n) override
            {
                if (n >= 1 && v[0] == rfc2217::SET_BAUDRATE)
                    out += RateAnswer;
            }
        } answer;
        answer.refuseSga = answersSga;
        AnswerUntilClosed(fd, going, parser, answer);
    });
    win::HANDLE device = win::CreateFile(noSga.Address());
    EXPECT_NE(device, win::INVALID_HANDLE_VALUE) << win::FormatMessage(win::GetLastError()) << " " << answersSga;
    if (device != win::INVALID_HANDLE_VALUE)
        win::CloseHandle(device);
    }
}

TEST(NetworkPortPeer, SettingConfirmedWithAnotherValueIsRefused)
{
    // Answers every setting, the rate always with 9600.
    TestPeer stubborn([](int fd, const std::atomic<bool>& going) {
        SendAll(fd, Agreement, going);
        rfc2217::Parser parser;
        ConfirmingSink answer([](const std::string&) { return B({0, 0, 0x25, 0x80}); });
        AnswerUntilClosed(fd, going, parser, answer);
    });
    win::HANDLE device = win::CreateFile(stubborn.Address());
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE) << win::FormatMessage(win::GetLastError());
    EXPECT_TRUE(win::SetCommState(device, PlainDcb(9600)));
    // This server answers DTR: it has modem lines.
    win::COMMPROP properties;
    ASSERT_TRUE(win::GetCommProperties(device, properties));
    EXPECT_EQ(properties.dwProvCapabilities, win::PCF_DTRDSR | win::PCF_RTSCTS);
    EXPECT_FALSE(win::SetCommState(device, PlainDcb(19200)));
    EXPECT_EQ(win::GetLastError(), win::ERROR_PORT_SERVER);
    EXPECT_NE(win::FormatMessage(win::ERROR_PORT_SERVER).find("answered SET-BAUDRATE 19200 with 9600"),
              std::string::npos)
        << win::FormatMessage(win::ERROR_PORT_SERVER);
    win::CloseHandle(device);
}

// A link whose round trip is near the answer time-out's floor: while
// opening the server answers within it, afterwards a little later (jitter,
// a busy cellular link). The wait follows the round trip measured while
// opening, so the settings are still confirmed.
TEST(NetworkPortPeer, AnswerTimeOutFollowsTheRoundTripMeasuredWhileOpening)
{
    win::detail::SetNetworkTimeoutsForTests(3000, 300);
    TestPeer slow([](int fd, const std::atomic<bool>& going) {
        SendAll(fd, Agreement, going);
        rfc2217::Parser parser;
        ConfirmingSink answer([](const std::string& asked) {
            return asked == B({0, 0, 0, 0}) ? B({0, 0, 0x25, 0x80}) : asked;
        });
        char buffer[4096];
        int batches = 0;
        Clock::time_point first{};
        while (going) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0)
                return;
            if (n > 0) {
                if (answer.out.empty())
                    first = Clock::now();
                parser.Feed(reinterpret_cast<uint8_t*>(buffer), size_t(n), answer);
            }
            const auto delay = std::chrono::milliseconds(batches == 0 ? 250 : 450);
            if (!answer.out.empty() && Clock::now() - first >= delay) {
                SendAll(fd, answer.out, going);
                answer.out.clear();
                ++batches;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    win::HANDLE device = win::CreateFile(slow.Address());
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE) << win::FormatMessage(win::GetLastError());
    EXPECT_TRUE(win::SetCommState(device, PlainDcb(19200))) << win::FormatMessage(win::GetLastError());
    win::CloseHandle(device);
    win::detail::SetNetworkTimeoutsForTests(3000, 2000);
}

TEST(NetworkPortPeer, BrokenServerNeitherCrashesNorHangsNorGrows)
{
    // Agrees, answers the rate, then sends all a broken server can: cut
    // subnegotiations, unknown options, an endless subnegotiation, and a
    // flood of requests it never reads the answers of.
    std::atomic<size_t> sent{0};
    TestPeer broken([&](int fd, const std::atomic<bool>& going) {
        SendAll(fd, Agreement + RateAnswer, going);
        std::string junk = "data" + B({255, 250, 44, 101, 0, 255, 253, 24}) + B({255, 250, 44}) +
                           B({255, 251, 1, 255, 253, 31, 255, 250, 44, 106, 255, 240}) + B({255, 250, 44, 107}) +
                           std::string(1000, 'S') + B({255, 240}) + std::string(33, '\xff') + "tail";
        SendAll(fd, junk, going);
        std::string flood;
        for (int i = 0; i < 4096; ++i)
            flood += B({255, 253, uint8_t(100 + i % 100), 255, 250, 44, 0});
        std::string iacs(65536, '\xff');
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (going && Clock::now() < end) {
            SendAll(fd, flood, going);
            SendAll(fd, iacs, going);
            sent += flood.size() + iacs.size();
        }
        // Hold the connection until the device goes.
        char buffer[16];
        while (going && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    const long rssBefore = RssKb();
    win::HANDLE device = win::CreateFile(broken.Address());
    ASSERT_NE(device, win::INVALID_HANDLE_VALUE) << win::FormatMessage(win::GetLastError());
    win::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = win::MAXDWORD;
    ASSERT_TRUE(win::SetCommTimeouts(device, timeouts));
    std::string got;
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end) {
        got += ReadWaiting(device);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (got.size() > (1u << 20))
            got.erase(0, got.size() - 1000);
    }
    EXPECT_EQ(got.substr(0, 4), "data");
    EXPECT_LT(RssKb() - rssBefore, GrowthLimitKb) << "kB grown while the peer sent " << sent.load() << " bytes";
    const auto start = Clock::now();
    EXPECT_TRUE(win::CloseHandle(device));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

} // namespace
