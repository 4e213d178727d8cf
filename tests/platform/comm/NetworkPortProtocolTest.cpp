// The network port against a com-port server of our own that does all RFC
// 2217 asks (ser2net on a pty cannot: it has no modem lines, no line
// errors, no flow control of its own): the commands that go out for the
// settings, the lines, break and purging, the server's line and modem state
// as comm events, and its flow control holding writes.

#include "CommApi.h"
#include "CommDevice.h"
#include "CommTesting.h"
#include "LoopbackListener.h"
#include "Rfc2217.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;
namespace tn = rfc2217;
using Clock = std::chrono::steady_clock;

// Agrees to the options, confirms every setting with its value, answers
// every line command, and notes all it is told. The test sends the server's
// own messages through Send().
class ComPortServer : tn::Sink {
public:
    ComPortServer()
    {
        listener_ = testsupport::LoopbackListener(1, port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ComPortServer()
    {
        going_ = false;
        thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
        ::close(listener_);
    }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

    void Send(const std::string& bytes)
    {
        std::lock_guard lock(mutex_);
        out_ += bytes;
    }
    // Commands received, as "SET-CONTROL 8", in order.
    std::vector<std::string> Commands()
    {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    void Forget()
    {
        std::lock_guard lock(mutex_);
        commands_.clear();
        data_.clear();
    }
    std::string Data()
    {
        std::lock_guard lock(mutex_);
        return data_;
    }
    bool WaitFor(const std::string& command)
    {
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            for (const std::string& c : Commands())
                if (c == command)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    bool WaitForData(size_t count)
    {
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Data().size() < count && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return Data().size() >= count;
    }

private:
    void Data(const uint8_t* d, size_t n) override { data_.append(reinterpret_cast<const char*>(d), n); }
    void Negotiate(uint8_t, uint8_t) override {}
    void Subnegotiation(uint8_t option, const uint8_t* v, size_t n) override
    {
        if (option != tn::OptionComPort || n < 1)
            return;
        const uint8_t command = v[0];
        std::string value(reinterpret_cast<const char*>(v + 1), n - 1);
        uint32_t number = 0;
        for (char c : value)
            number = number << 8 | static_cast<uint8_t>(c);
        commands_.push_back(std::string(tn::CommandName(command)) + " " +
                            (command == tn::SIGNATURE ? value : std::to_string(number)));
        if (command == tn::SET_BAUDRATE && number == 0)
            value = std::string("\0\0\x25\x80", 4); // asked for: 9600
        if (command <= tn::SET_CONTROL || command == tn::PURGE_DATA)
            out_ += tn::ComPort(static_cast<uint8_t>(command + tn::ServerOffset), value);
    }

    void Serve()
    {
        while (going_ && fd_ < 0) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0)
                fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        }
        {
            std::lock_guard lock(mutex_);
            out_ = tn::Negotiation(tn::DO, 0) + tn::Negotiation(tn::WILL, 0) + tn::Negotiation(tn::DO, 3) +
                   tn::Negotiation(tn::WILL, 3) + tn::Negotiation(tn::DO, 44);
        }
        uint8_t buffer[4096];
        while (going_) {
            {
                std::lock_guard lock(mutex_);
                while (!out_.empty()) {
                    ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    out_.erase(0, size_t(n));
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 2) <= 0)
                continue;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            std::lock_guard lock(mutex_);
            parser_.Feed(buffer, size_t(n), *this);
        }
    }

    int listener_ = -1, fd_ = -1, port_ = 0;
    std::atomic<bool> going_{true};
    std::thread thread_;
    std::mutex mutex_;
    std::string out_, data_;
    std::vector<std::string> commands_;
    tn::Parser parser_;
};

class NetworkPortProtocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = win::CreateFile(server.Address());
        ASSERT_NE(device, win::INVALID_HANDLE_VALUE) << win::FormatMessage(win::GetLastError());
        // The open ends with the server's answer to its rate question; the
        // event masks sent behind that question may still be on their way.
        ASSERT_TRUE(server.WaitFor("SET-MODEMSTATE-MASK 0"));
        win::COMMTIMEOUTS timeouts;
        timeouts.ReadIntervalTimeout = win::MAXDWORD;
        ASSERT_TRUE(win::SetCommTimeouts(device, timeouts));
    }
    void TearDown() override
    {
        if (device != win::INVALID_HANDLE_VALUE)
            win::CloseHandle(device);
    }
    ComPortServer server;
    win::HANDLE device = win::INVALID_HANDLE_VALUE;
};

} // namespace

TEST_F(NetworkPortProtocol, SettingsGoOutAsTheirCommandsAndLinesAreAnswered)
{
    server.Forget();
    win::DCB dcb = PlainDcb(19200);
    dcb.ByteSize = 5;
    dcb.Parity = win::MARKPARITY;
    dcb.StopBits = win::ONE5STOPBITS;
    dcb.Flags |= win::fOutX | win::fInX;
    dcb.Flags = (dcb.Flags & ~win::fDtrControlMask) | (win::DTR_CONTROL_DISABLE << 4);
    ASSERT_TRUE(win::SetCommState(device, dcb)) << win::FormatMessage(win::GetLastError());
    const std::vector<std::string> expected = {"SET-BAUDRATE 19200", "SET-DATASIZE 5", "SET-PARITY 4",
                                               "SET-STOPSIZE 3",     "SET-CONTROL 2",  "SET-CONTROL 9",
                                               "SET-CONTROL 11",     "SET-BAUDRATE 0"};
    // SetCommState returns once the settings and DTR are answered; RTS and
    // the question behind them may still be on their way to the server.
    ASSERT_TRUE(server.WaitFor("SET-BAUDRATE 0"));
    EXPECT_EQ(server.Commands(), expected);
    // This server answers DTR and RTS: the port has its lines.
    win::COMMPROP properties;
    ASSERT_TRUE(win::GetCommProperties(device, properties));
    EXPECT_EQ(properties.dwProvCapabilities, win::PCF_DTRDSR | win::PCF_RTSCTS);

    dcb = PlainDcb(9600);
    dcb.Flags |= win::fOutxCtsFlow | (win::RTS_CONTROL_HANDSHAKE << 12);
    dcb.Parity = win::SPACEPARITY;
    dcb.StopBits = win::TWOSTOPBITS;
    server.Forget();
    ASSERT_TRUE(win::SetCommState(device, dcb));
    ASSERT_TRUE(server.WaitFor("SET-BAUDRATE 0"));
    // Under hardware flow RTS is the handshake's: no RTS command.
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"SET-BAUDRATE 9600", "SET-DATASIZE 8", "SET-PARITY 5",
                                                           "SET-STOPSIZE 2", "SET-CONTROL 3", "SET-CONTROL 8",
                                                           "SET-BAUDRATE 0"}));
    EXPECT_FALSE(win::EscapeCommFunction(device, win::SETRTS));
}

TEST_F(NetworkPortProtocol, LinesBreakAndPurgeGoOutAsCommands)
{
    server.Forget();
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(9600)));
    ASSERT_TRUE(server.WaitFor("SET-BAUDRATE 0"));
    server.Forget();
    for (win::DWORD f : {win::CLRDTR, win::SETDTR, win::CLRRTS, win::SETRTS, win::SETBREAK, win::CLRBREAK})
        ASSERT_TRUE(win::EscapeCommFunction(device, f)) << f;
    ASSERT_TRUE(win::PurgeComm(device, win::PURGE_RXCLEAR));
    ASSERT_TRUE(win::PurgeComm(device, win::PURGE_TXCLEAR | win::PURGE_RXCLEAR));
    ASSERT_TRUE(server.WaitFor("PURGE-DATA 3"));
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"SET-CONTROL 9", "SET-CONTROL 8", "SET-CONTROL 12",
                                                           "SET-CONTROL 11", "SET-CONTROL 5", "SET-CONTROL 6",
                                                           "PURGE-DATA 1", "PURGE-DATA 3"}));
}

TEST_F(NetworkPortProtocol, ModemAndLineStateBecomeEvents)
{
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(9600)));
    ASSERT_TRUE(win::SetCommMask(device, win::EV_CTS | win::EV_DSR | win::EV_RLSD | win::EV_RING | win::EV_BREAK |
                                             win::EV_ERR));
    // The masks ask for what the events need.
    ASSERT_TRUE(server.WaitFor("SET-MODEMSTATE-MASK 255"));
    EXPECT_TRUE(server.WaitFor("SET-LINESTATE-MASK 30"));

    struct Case {
        uint8_t command, value;
        win::DWORD events, errors;
    } cases[] = {
        {tn::NOTIFY_MODEMSTATE, 0x00, 0, 0}, // the first state is where changes count from
        {tn::NOTIFY_MODEMSTATE, tn::ModemCts | tn::ModemDeltaCts, win::EV_CTS, 0},
        {tn::NOTIFY_MODEMSTATE, tn::ModemCts | tn::ModemDsr | tn::ModemDeltaDsr, win::EV_DSR, 0},
        {tn::NOTIFY_MODEMSTATE, tn::ModemCts | tn::ModemDsr | tn::ModemCd, win::EV_RLSD, 0}, // no delta bit sent
        {tn::NOTIFY_MODEMSTATE, tn::ModemCts | tn::ModemDsr | tn::ModemCd | tn::ModemRiTrailing, win::EV_RING, 0},
        {tn::NOTIFY_LINESTATE, tn::LineBreak, win::EV_BREAK, win::CE_BREAK},
        {tn::NOTIFY_LINESTATE, tn::LineFraming | tn::LineParity, win::EV_ERR, win::CE_FRAME | win::CE_RXPARITY},
        {tn::NOTIFY_LINESTATE, tn::LineOverrun, win::EV_ERR, win::CE_OVERRUN},
    };
    for (const Case& c : cases) {
        server.Send(tn::ComPortByte(static_cast<uint8_t>(c.command + tn::ServerOffset), c.value));
        if (c.events == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        EXPECT_EQ(NextEvents(device), c.events) << int(c.command) << " " << int(c.value);
        win::DWORD errors = 0;
        ASSERT_TRUE(win::ClearCommError(device, &errors, nullptr));
        EXPECT_EQ(errors, c.errors) << int(c.command) << " " << int(c.value);
    }
}

TEST_F(NetworkPortProtocol, ServersFlowControlHoldsWrites)
{
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(115200)));
    server.Send(tn::ComPort(tn::FLOWCONTROL_SUSPEND + tn::ServerOffset, ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Forget();
    Overlapped write;
    win::DWORD done = 0;
    EXPECT_FALSE(win::WriteFile(device, "held", 4, &done, &write.ov));
    EXPECT_FALSE(write.Completed(200)) << "written while the server asked to wait";
    EXPECT_EQ(server.Data(), "");
    server.Send(tn::ComPort(tn::FLOWCONTROL_RESUME + tn::ServerOffset, ""));
    ASSERT_TRUE(write.Completed());
    ASSERT_TRUE(server.WaitForData(4));
    EXPECT_EQ(server.Data(), "held");

    // XOFF by hand holds writes the same way, XON lets them go.
    server.Forget();
    ASSERT_TRUE(win::EscapeCommFunction(device, win::SETXOFF));
    Overlapped second;
    EXPECT_FALSE(win::WriteFile(device, "\xff\xff", 2, &done, &second.ov));
    EXPECT_FALSE(second.Completed(100));
    ASSERT_TRUE(win::EscapeCommFunction(device, win::SETXON));
    ASSERT_TRUE(second.Completed());
    ASSERT_TRUE(server.WaitForData(2));
    EXPECT_EQ(server.Data(), "\xff\xff");
}

// The server's suspend holds commands as well as data, in their order, and
// only its own resume ends it: the window's Xon box (SETXON) releases our
// own hold, not the server's.
TEST_F(NetworkPortProtocol, ServersSuspendHoldsCommandsTooAndOurXonDoesNotEndIt)
{
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(115200)));
    ASSERT_TRUE(server.WaitFor("SET-BAUDRATE 0"));
    server.Send(tn::ComPort(tn::FLOWCONTROL_SUSPEND + tn::ServerOffset, ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Forget();
    ASSERT_TRUE(win::EscapeCommFunction(device, win::SETBREAK));
    ASSERT_TRUE(win::EscapeCommFunction(device, win::SETXON));
    Overlapped write;
    win::DWORD done = 0;
    EXPECT_FALSE(win::WriteFile(device, "held", 4, &done, &write.ov));
    ASSERT_TRUE(win::EscapeCommFunction(device, win::CLRBREAK));
    EXPECT_FALSE(write.Completed(200)) << "written while the server asked to wait";
    EXPECT_EQ(server.Commands(), std::vector<std::string>{}) << "a command sent while the server asked to wait";
    EXPECT_EQ(server.Data(), "");
    server.Send(tn::ComPort(tn::FLOWCONTROL_RESUME + tn::ServerOffset, ""));
    ASSERT_TRUE(write.Completed());
    ASSERT_TRUE(server.WaitForData(4));
    EXPECT_EQ(server.Data(), "held");
    ASSERT_TRUE(server.WaitFor("SET-CONTROL 6"));
    const std::vector<std::string> commands = server.Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], "SET-CONTROL 5");
    EXPECT_EQ(commands[1], "SET-CONTROL 6");
}

// A server that asks who we are (an empty SIGNATURE) is told the program's
// name and version; a server telling its own signature is not answered.
TEST_F(NetworkPortProtocol, SignatureRequestIsAnsweredWithNameAndVersion)
{
    server.Forget();
    server.Send(tn::ComPort(tn::SIGNATURE + tn::ServerOffset, "ser2net 4.3"));
    server.Send(tn::ComPort(tn::SIGNATURE + tn::ServerOffset, ""));
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (server.Commands().empty() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<std::string> commands = server.Commands();
    ASSERT_EQ(commands.size(), 1u);
    const std::string prefix = "SIGNATURE Tarrowin ";
    ASSERT_EQ(commands[0].rfind(prefix, 0), 0u) << commands[0];
    const std::string version = commands[0].substr(prefix.size());
    EXPECT_FALSE(version.empty());
    EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << version;
}

// A server that turns BINARY off after the open gets Telnet's non-binary
// form it asked for (a CR as CR NUL, IAC still doubled), and what it sends in
// that form arrives as it was meant.
TEST_F(NetworkPortProtocol, NonBinaryAfterTheOpenIsHonouredBothWays)
{
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(115200)));
    server.Send(tn::Negotiation(tn::DONT, tn::OptionBinary) + tn::Negotiation(tn::WONT, tn::OptionBinary));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Forget();
    WriteAll(device, std::string("a\rb\r\n\xff\0", 7));
    const std::string sent("a\r\0b\r\0\n\xff\0", 9);
    ASSERT_TRUE(server.WaitForData(sent.size()));
    EXPECT_EQ(server.Data(), sent);

    server.Send(std::string("x\r\0y\r\nz\r", 8));
    server.Send(std::string("\0\0", 2)); // a CR NUL split across packets; the second NUL is data
    ASSERT_TRUE(WaitForInQueue(device, 8));
    EXPECT_EQ(ReadWaiting(device), std::string("x\ry\r\nz\r\0", 8));
}

TEST_F(NetworkPortProtocol, CancelledWriteLeavesTheStreamWhole)
{
    ASSERT_TRUE(win::SetCommState(device, PlainDcb(115200)));
    server.Forget();
    // Withdrawn while it is going out, possibly between the two IACs of a
    // doubled data byte.
    Overlapped write;
    win::DWORD done = 0;
    const std::string iacs(1000000, '\xff');
    EXPECT_FALSE(win::WriteFile(device, iacs.data(), win::DWORD(iacs.size()), &done, &write.ov));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(win::CancelIo(device, nullptr));
    // Whatever of the withdrawn write went out, the stream is still in step:
    // the next write arrives whole, its first byte not taken for a command.
    WriteAll(device, "after");
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (server.Data().find("after") == std::string::npos && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const std::string got = server.Data();
    ASSERT_GE(got.size(), 5u);
    EXPECT_EQ(got.substr(got.size() - 5), "after");
    EXPECT_EQ(got.find_first_not_of('\xff'), got.size() - 5);
}
