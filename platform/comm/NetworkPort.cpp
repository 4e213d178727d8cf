// A network port behind a comm handle: a serial port on a serial device
// server (ser2net, industrial device servers), reached over TCP with Telnet's
// Com Port Control Option (RFC 2217). The codec is Rfc2217.h; this file does
// the I/O.
//
// Opening connects (ConnectTimeout), negotiates BINARY both ways,
// SUPPRESS-GO-AHEAD and COM-PORT-OPTION, and asks for the port's rate: a
// server that answers is a com-port server, one that closes instead (ser2net
// when the port is in use) is refused with what it said.
//
// Line settings go out together and each must come back confirmed with the
// value asked for within AnswerTimeout; otherwise SetCommState fails with
// ERROR_PORT_SERVER and the server's answer as its text. DTR and RTS are
// different: a server whose port has no such lines (ser2net on a pty) never
// answers them. Behind the settings goes a query of the rate; once that is
// answered and DTR was not, the port has no modem lines, and like a tty
// without them it takes DTR and RTS and changes nothing.
//
// The watcher: one thread per open port polls the socket and an eventfd
// through which the API side wakes it, as the tty's does. It decodes what
// arrives (data into the receive queue, line and modem state into events,
// the server's flow control), sends what is queued (commands, and data with
// IAC doubled) and completes writes once the server's TCP has acknowledged
// every byte (the socket's TIOCOUTQ reads 0). The transmit-empty moment is
// TransmitDrain's rule for network ports. A lost connection fails the
// device, once.

#include "DeviceWatcher.h"
#include "DrainedDevice.h"
#include "NetworkConnection.h"
#include "Rfc2217.h"
#include "TransmitDrain.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace win::detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
namespace tn = rfc2217;


// The floor of the answer time-out: a server gets at least this long to
// answer a setting, enough on any LAN and most WANs.
std::atomic<int> g_answerMs{2000};
// Beyond the floor, answers are waited for this many of the link's round
// trips (as measured while opening), up to the ceiling: a cellular or VPN
// link near 2 s per round trip still has its settings answered, and a
// server that never answers is still given up on.
constexpr int AnswerRoundTrips = 4;
constexpr milliseconds AnswerCeiling{10000};

milliseconds AnswerTimeoutFor(milliseconds roundTrip)
{
    const milliseconds floor(g_answerMs.load());
    return std::clamp(roundTrip * AnswerRoundTrips, floor, std::max(floor, AnswerCeiling));
}

// The kernel's smoothed round trip of a connection; its first figure is
// the connect's own.
milliseconds TcpRoundTrip(int fd)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return milliseconds(0);
    return std::chrono::ceil<milliseconds>(std::chrono::microseconds(info.tcpi_rtt));
}

// Rates within this of each other are the same rate, as for a tty.
constexpr uint64_t RateTolerancePercent = 3;
// Raw bytes of a write encoded at a time, and the most that may wait in
// our own send queue before more is taken from a write.
constexpr size_t Chunk = 4096;
constexpr size_t OutLimit = 16 * 1024;
// A peer that makes us answer more than this without reading it gets no
// more of our attention until it reads.
constexpr size_t ControlLimit = 64 * 1024;
// What the server said, quoted in a message, at most.
constexpr size_t QuotedLimit = 80;
// Received data held beyond the receive queue, at most.
constexpr size_t BacklogLimit = 1 << 20;

#ifndef TARROWIN_VERSION
#define TARROWIN_VERSION "unknown"
#endif
// What a server that asks is told we are.
std::string Signature() { return std::string("Tarrowin ") + TARROWIN_VERSION; }

bool RateMatches(DWORD wanted, DWORD got)
{
    uint64_t diff = wanted > got ? wanted - got : got - wanted;
    return diff * 100 <= uint64_t(wanted) * RateTolerancePercent;
}

DWORD DtrControl(const DCB& dcb) { return (dcb.Flags & fDtrControlMask) >> 4; }
DWORD RtsControl(const DCB& dcb) { return (dcb.Flags & fRtsControlMask) >> 12; }

uint8_t ParityValue(BYTE parity)
{
    switch (parity) {
    case ODDPARITY: return tn::ParityOdd;
    case EVENPARITY: return tn::ParityEven;
    case MARKPARITY: return tn::ParityMark;
    case SPACEPARITY: return tn::ParitySpace;
    default: return tn::ParityNone;
    }
}

uint8_t StopValue(BYTE stopBits)
{
    return stopBits == ONE5STOPBITS ? tn::StopOneAndHalf : stopBits == TWOSTOPBITS ? tn::StopTwo : tn::StopOne;
}

uint8_t FlowValue(const DCB& dcb)
{
    if (dcb.Flags & fOutxCtsFlow)
        return tn::ControlFlowHardware;
    if (dcb.Flags & (fOutX | fInX))
        return tn::ControlFlowXonXoff;
    return tn::ControlFlowNone;
}

// A printable quote of what a server said.
std::string Quote(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, QuotedLimit)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == '\r' || u == '\n')
            out += ' ';
        else if (u >= 32 && u < 127)
            out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// The socket's answers for the transmit-empty rule: what it has not sent
// or not had acknowledged, and what still waits in our own queue.
class SocketProbe final : public DrainProbe {
public:
    SocketProbe(int fd, const size_t& pending) : fd_(fd), pending_(pending) {}
    int QueuedBytes() override
    {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0)
            queued = 0;
        return queued + static_cast<int>(std::min<size_t>(pending_, 1 << 30));
    }
    std::optional<bool> TransmitterEmpty() override { return std::nullopt; }

private:
    int fd_;
    const size_t& pending_;
};

class NetworkDevice final : public DrainedDevice, private tn::Sink {
public:
    NetworkDevice(int fd, std::string path, std::string address)
        : fd_(fd), path_(std::move(path)), address_(std::move(address)), probe_(fd, outBytes_)
    {
        MeasuredRoundTrip(TcpRoundTrip(fd));
        // The socket's queue runs empty as the server's TCP acknowledges,
        // far faster than the wire.
        quickQueuePoll_ = true;
    }
    // Takes over a connection kept from an earlier handle of this address.
    void Adopt(const netport::Parked& parked)
    {
        parser_ = parked.parser;
        negotiator_ = parked.negotiator;
        settings_ = parked.settings;
        hasModemLines_ = parked.hasModemLines;
        pings_ = parked.pings;
        MeasuredRoundTrip(parked.roundTrip);
        adopted_ = true;
    }
    ~NetworkDevice() override { DeviceShutdown(); }

    // Negotiates and asks for the rate; ERROR_PORT_SERVER (with the text
    // set) or the system's code when the server is not one to use.
    DWORD Start();
    DWORD StartWatcher();
    // Whether a failed Start was the server closing the connection (a
    // server still busy with our previous one turns a new one away so).
    bool ClosedAtOnce() const { return closedAtOnce_; }
    // A round trip seen on this connection: the answer time-out follows
    // the slowest.
    void MeasuredRoundTrip(milliseconds roundTrip)
    {
        roundTrip_ = std::max(roundTrip_, roundTrip);
        answerTimeout_ = AnswerTimeoutFor(roundTrip_);
    }

protected:
    DWORD DeviceGetState(DCB&) override { return fd_ < 0 ? EBADF : 0; }
    DWORD DeviceSetState(const DCB& dcb) override;
    DWORD DeviceEscape(DWORD function) override;
    DWORD DevicePurge(bool receive, bool transmit) override;
    DWORD DeviceCapabilities() override { return hasModemLines_ ? PCF_DTRDSR | PCF_RTSCTS : 0; }
    DWORD DeviceOutQueue() override { return static_cast<DWORD>(std::max(probe_.QueuedBytes(), 0)); }
    void DeviceAbortWrite(PendingWrite& write) override;
    void DeviceSync() override { ReadLocked(false); }
    void DeviceKick() override;
    void DeviceSetRts(bool on) override;
    // The server and the network between hold the bytes for as long as
    // they do; nobody can say how long.
    journal::Latency DeviceLatency() override { return {journal::Latency::State::Unknown, 0, "rfc2217"}; }
    void DeviceShutdown() override;

private:
    // One piece of the send queue: a command, or escaped data of the front
    // write.
    struct Segment {
        bool data = false;
        bool nonBinary = false; // data in Telnet's non-binary form
        std::string bytes;
        size_t sent = 0;
    };
    // A setting sent and the answer it is owed.
    struct Expected {
        uint8_t command;
        uint32_t value;
        bool answered = false;
        uint32_t got = 0;
    };

    // tn::Sink, called from ReadLocked.
    void Data(const uint8_t* data, size_t count) override
    {
        if (discarding_)
            return;
        // A server that will not send binary sends a bare CR as CR NUL.
        if (negotiator_.Theirs(tn::OptionBinary) != tn::Negotiator::State::Yes) {
            std::string plain;
            plain.reserve(count);
            for (size_t i = 0; i < count; ++i) {
                if (!(afterCr_ && data[i] == 0))
                    plain.push_back(static_cast<char>(data[i]));
                afterCr_ = data[i] == '\r';
            }
            DataAsSent(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
            return;
        }
        DataAsSent(data, count);
    }
    void DataAsSent(const uint8_t* data, size_t count)
    {
        if (!open_ && early_.size() < QuotedLimit)
            early_.append(reinterpret_cast<const char*>(data), std::min(count, QuotedLimit - early_.size()));
        // What the receive queue cannot take waits here (a read brings up
        // to a buffer's worth, and answers owed to a caller are read for
        // however full the queue is); past BacklogLimit it is an overrun.
        if (backlog_.empty()) {
            size_t room = ReceiveQueueLimitLocked() - std::min<size_t>(ReceiveQueueSizeLocked(), ReceiveQueueLimitLocked());
            size_t now = std::min(room, count);
            ReceiveLocked(data, now);
            data += now;
            count -= now;
        }
        size_t keep = std::min(count, BacklogLimit - std::min(BacklogLimit, backlog_.size()));
        backlog_.append(reinterpret_cast<const char*>(data), keep);
        if (keep < count)
            LineErrorLocked(CE_RXOVER);
    }
    // Moves what waits into the receive queue as far as it has room.
    void TakeBacklogLocked()
    {
        if (backlog_.empty())
            return;
        size_t room = ReceiveQueueLimitLocked() - std::min<size_t>(ReceiveQueueSizeLocked(), ReceiveQueueLimitLocked());
        size_t now = std::min(room, backlog_.size());
        ReceiveLocked(reinterpret_cast<const uint8_t*>(backlog_.data()), now);
        backlog_.erase(0, now);
    }
    void Negotiate(uint8_t verb, uint8_t option) override;
    void Subnegotiation(uint8_t option, const uint8_t* value, size_t count) override;
    void Malformed() override {}

    void HandleReply(const tn::Reply& reply);
    void Command(const std::string& bytes);
    void ComPort(uint8_t command, uint8_t value) { Command(tn::ComPortByte(command, value)); }
    void SendMasksLocked();
    void ReadLocked(bool evenWhenFull);
    void FlushLocked();
    void TransmitLocked() override;
    DrainProbe& ProbeLocked() override { return probe_; }
    void DropUnsentData();
    // Runs the connection from the calling thread until `done` holds, the
    // deadline passes (ETIMEDOUT) or the connection fails.
    template <typename Done>
    DWORD PumpLocked(Clock::time_point deadline, Done done);
    DWORD Refuse(const std::string& text);
    DWORD OpenedLocked();
    void Watch();
    nanoseconds NextTimeoutLocked(Clock::time_point now);
    void LoseConnectionLocked(DWORD error);
    bool FlushBeforeParking();

    int fd_;
    std::string path_;
    std::string address_;
    bool adopted_ = false;
    bool discarding_ = false; // data that came while nobody listened
    bool closedAtOnce_ = false;
    DeviceWatcher watcher_;
    bool stopping_ = false;
    milliseconds answerTimeout_;
    milliseconds roundTrip_{0};

    tn::Parser parser_;
    tn::Negotiator negotiator_;
    std::deque<Segment> out_;
    size_t outBytes_ = 0;      // unsent bytes in out_
    bool midPair_ = false;     // the data sent last ended inside a pair (IAC IAC, or CR NUL)
    bool afterCr_ = false;     // the data received last ended with a CR (non-binary form)
    std::string early_;        // data that came before the port was open, for a refusal's text
    std::string backlog_;      // received data the receive queue had no room for
    bool open_ = false;
    bool closedByServer_ = false;

    // Answers being waited for (SetState, Start).
    std::vector<Expected> expected_;
    int rateAnswers_ = 0;      // SET-BAUDRATE answers since the last count reset
    int pings_ = 0;            // rate questions behind writes not yet answered
    uint32_t lastRate_ = 0;

    bool hasModemLines_ = false;
    bool modemAnswered_ = false;
    bool heldByServer_ = false; // FLOWCONTROL-SUSPEND
    bool heldByUs_ = false;     // SETXOFF
    int modemState_ = -1;
    DWORD maskSent_ = ~DWORD(0);

    SocketProbe probe_;
};

// ---- The connection ------------------------------------------------------------

void NetworkDevice::Command(const std::string& bytes)
{
    outBytes_ += bytes.size();
    out_.push_back(Segment{false, false, bytes, 0});
}

void NetworkDevice::FlushLocked()
{
    // A server that asked us to suspend (FLOWCONTROL-SUSPEND) is sent
    // nothing, commands included, until it resumes; they wait in order.
    while (!out_.empty() && fd_ >= 0 && !FailedLocked() && !heldByServer_) {
        Segment& s = out_.front();
        ssize_t n = ::send(fd_, s.bytes.data() + s.sent, s.bytes.size() - s.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                LoseConnectionLocked(errno);
            return;
        }
        if (s.data) {
            // Inside escaped data an IAC is always one of a pair, and so is
            // a CR in the non-binary form (CR NUL).
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = static_cast<uint8_t>(s.bytes[s.sent + i]);
                midPair_ = !midPair_ && (b == tn::IAC || (s.nonBinary && b == '\r'));
            }
        }
        s.sent += static_cast<size_t>(n);
        outBytes_ -= static_cast<size_t>(n);
        if (s.sent < s.bytes.size())
            return; // the socket is full; POLLOUT says when it takes more
        out_.pop_front();
    }
}

void NetworkDevice::DropUnsentData()
{
    for (auto it = out_.begin(); it != out_.end();) {
        if (!it->data) {
            ++it;
            continue;
        }
        // Half a pair already on the wire needs its other half, or the
        // server would read the next byte as a command.
        size_t keep = it->sent + (midPair_ && it->sent > 0 ? 1 : 0);
        if (it->sent == 0 && keep == 0) {
            outBytes_ -= it->bytes.size();
            it = out_.erase(it);
            continue;
        }
        outBytes_ -= it->bytes.size() - keep;
        it->bytes.resize(keep);
        ++it;
    }
}

void NetworkDevice::LoseConnectionLocked(DWORD error)
{
    if (open_)
        FailLocked(error ? error : ECONNRESET);
    else
        closedByServer_ = true;
}

void NetworkDevice::ReadLocked(bool evenWhenFull)
{
    if (fd_ < 0 || FailedLocked() || closedByServer_)
        return;
    TakeBacklogLocked();
    uint8_t buffer[4096];
    for (;;) {
        // Input stays in the socket while the receive queue is full, so that
        // TCP holds the server back; answers owed to a caller still come in.
        if (!evenWhenFull && (ReceiveQueueFullLocked() || !backlog_.empty()))
            return;
        if (outBytes_ > ControlLimit)
            return;
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            parser_.Feed(buffer, static_cast<size_t>(n), *this);
            if (static_cast<size_t>(n) < sizeof buffer)
                break;
            continue;
        }
        if (n == 0) {
            // The server closed the connection: the port is gone.
            LoseConnectionLocked(ECONNRESET);
            return;
        }
        if (errno == EAGAIN || errno == EINTR)
            break;
        LoseConnectionLocked(errno);
        return;
    }
    FlushLocked();
}

void NetworkDevice::Negotiate(uint8_t verb, uint8_t option)
{
    std::string answer = negotiator_.Receive(verb, option);
    if (!answer.empty())
        Command(answer);
}

void NetworkDevice::Subnegotiation(uint8_t option, const uint8_t* value, size_t count)
{
    if (option != tn::OptionComPort)
        return;
    if (auto reply = tn::DecodeReply(value, count))
        HandleReply(*reply);
}

void NetworkDevice::HandleReply(const tn::Reply& reply)
{
    using namespace rfc2217;
    switch (reply.command) {
    case SET_BAUDRATE:
        if (pings_ > 0) {
            // The answer to a question behind a write, which the server
            // answers in turn before anything asked later.
            --pings_;
            return;
        }
        ++rateAnswers_;
        lastRate_ = reply.value;
        break;
    case SET_CONTROL:
        // Any answer about DTR or RTS: the port has the lines.
        if (reply.value >= ControlDtrQuery && reply.value <= ControlRtsOff) {
            hasModemLines_ = true;
            modemAnswered_ = true;
        }
        break;
    case NOTIFY_LINESTATE: {
        BeginReportLocked();
        DWORD errors = 0;
        if (reply.value & LineFraming)
            errors |= CE_FRAME;
        if (reply.value & LineParity)
            errors |= CE_RXPARITY;
        if (reply.value & LineOverrun)
            errors |= CE_OVERRUN;
        if (reply.value & LineBreak) {
            errors |= CE_BREAK;
            RaiseEventsLocked(EV_BREAK);
        }
        if (errors)
            LineErrorLocked(errors);
        EndReportLocked();
        return;
    }
    case NOTIFY_MODEMSTATE: {
        const int state = static_cast<int>(reply.value);
        const int changed = modemState_ < 0 ? 0 : (state ^ modemState_);
        DWORD events = 0;
        if ((changed & ModemCts) || (state & ModemDeltaCts))
            events |= EV_CTS;
        if ((changed & ModemDsr) || (state & ModemDeltaDsr))
            events |= EV_DSR;
        if ((changed & ModemCd) || (state & ModemDeltaCd))
            events |= EV_RLSD;
        if ((changed & ModemRi) || (state & ModemRiTrailing))
            events |= EV_RING;
        modemState_ = state;
        RaiseEventsLocked(events);
        return;
    }
    case SIGNATURE:
        // An empty one asks who we are; one with text is the server's own.
        if (reply.size == 0)
            Command(tn::ComPort(SIGNATURE, Signature()));
        return;
    case FLOWCONTROL_SUSPEND: heldByServer_ = true; return;
    case FLOWCONTROL_RESUME:
        heldByServer_ = false;
        FlushLocked();
        TransmitLocked();
        return;
    default: break;
    }
    // An answer to a setting being waited for.
    for (Expected& e : expected_) {
        if (e.answered || e.command != reply.command)
            continue;
        if (e.command == SET_CONTROL) {
            // SET-CONTROL answers are told apart by their group.
            auto group = [](uint32_t v) { return v <= 3 || v >= 13 ? 0 : v <= 6 ? 1 : v <= 9 ? 2 : 3; };
            if (group(e.value) != group(reply.value))
                continue;
        }
        e.answered = true;
        e.got = reply.value;
        break;
    }
}

template <typename Done>
DWORD NetworkDevice::PumpLocked(Clock::time_point deadline, Done done)
{
    for (;;) {
        FlushLocked();
        if (FailedLocked())
            return ECONNRESET;
        if (done())
            return 0;
        if (closedByServer_)
            return ECONNRESET;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return ETIMEDOUT;
        pollfd fd{fd_, static_cast<short>(POLLIN | (outBytes_ && !heldByServer_ ? POLLOUT : 0)), 0};
        int ms = static_cast<int>(std::chrono::ceil<milliseconds>(deadline - now).count());
        int ready = ::poll(&fd, 1, std::max(ms, 1));
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready > 0)
            ReadLocked(true);
    }
}

DWORD NetworkDevice::Refuse(const std::string& text)
{
    SetServerAnswer(text);
    return ERROR_PORT_SERVER;
}

DWORD NetworkDevice::Start()
{
    std::lock_guard lock(mutex_);
    rateAnswers_ = 0;
    if (adopted_) {
        // What arrived while nobody listened is not this handle's: it goes,
        // up to the answer to a question asked now.
        discarding_ = true;
        Command(tn::SetBaudrate(0));
        DWORD error = PumpLocked(Clock::now() + answerTimeout_, [this] { return rateAnswers_ > 0; });
        discarding_ = false;
        if (error)
            return error == ETIMEDOUT || error == ECONNRESET ? EAGAIN : error; // try a new connection
        maskSent_ = ~DWORD(0);
        SendMasksLocked();
        FlushLocked();
        return OpenedLocked();
    }
    Command(negotiator_.Start());
    Clock::time_point asked = Clock::now();
    Clock::time_point deadline = asked + answerTimeout_;
    // Data the server sends now is kept in the receive queue; it is also
    // what a server that closes at once says (ser2net: "Port already in
    // use").
    closedAtOnce_ = false;
    auto closedText = [this](const char* what) {
        closedAtOnce_ = true;
        std::string said = Quote(early_);
        return std::string("The server ") + address_ + " closed the connection " + what +
               (said.empty() ? "" : ": " + said);
    };
    // BINARY both ways and COM-PORT-OPTION are what a com port needs;
    // SUPPRESS-GO-AHEAD is a nicety that some servers refuse or leave
    // unanswered, so its answer is not waited for.
    auto needed = [this] {
        using S = tn::Negotiator::State;
        return negotiator_.Ours(tn::OptionBinary) != S::WantYes && negotiator_.Theirs(tn::OptionBinary) != S::WantYes &&
               negotiator_.Ours(tn::OptionComPort) != S::WantYes;
    };
    DWORD error = PumpLocked(deadline, needed);
    if (error == ETIMEDOUT)
        return Refuse("The server " + address_ + " did not answer the Telnet option negotiation within " +
                      std::to_string(answerTimeout_.count()) + " ms");
    if (error == ECONNRESET)
        return Refuse(closedText("during the Telnet option negotiation"));
    if (error)
        return error;
    if (!negotiator_.ComPortAccepted())
        return Refuse("The server " + address_ + " refuses the COM-PORT-OPTION (RFC 2217)");
    if (negotiator_.Ours(tn::OptionBinary) != tn::Negotiator::State::Yes ||
        negotiator_.Theirs(tn::OptionBinary) != tn::Negotiator::State::Yes)
        return Refuse("The server " + address_ + " refuses BINARY transmission");
    MeasuredRoundTrip(std::chrono::ceil<milliseconds>(Clock::now() - asked));
    // A com-port server answers a question about its rate.
    Command(tn::SetBaudrate(0));
    SendMasksLocked();
    asked = Clock::now();
    deadline = std::max(deadline, asked + answerTimeout_);
    error = PumpLocked(deadline, [this] { return rateAnswers_ > 0; });
    if (error == ETIMEDOUT)
        return Refuse("The server " + address_ + " did not answer SET-BAUDRATE within " +
                      std::to_string(answerTimeout_.count()) + " ms");
    if (error == ECONNRESET)
        return Refuse(closedText("instead of answering"));
    if (error)
        return error;

    MeasuredRoundTrip(std::chrono::ceil<milliseconds>(Clock::now() - asked));
    settings_.Flags = fBinary | DTR_CONTROL_ENABLE << 4 | RTS_CONTROL_ENABLE << 12;
    settings_.BaudRate = lastRate_ ? lastRate_ : 9600;
    return OpenedLocked();
}

// The port is open under settings_: transmit-empty follows its rate.
DWORD NetworkDevice::OpenedLocked()
{
    drain_.ConfigureNetwork();
    const int64_t charNs = CharacterTimeNs(settings_);
    drain_.SetCharacterTimes(charNs, charNs);
    open_ = true;
    return 0;
}

DWORD NetworkDevice::StartWatcher()
{
    return watcher_.Start([this] { Watch(); });
}

void NetworkDevice::DeviceShutdown()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    watcher_.Join();
    // A caller that found the device before its handle closed may still be
    // in the middle of an operation on it.
    std::lock_guard lock(mutex_);
    watcher_.CloseWake();
    if (fd_ >= 0) {
        if (open_ && !FailedLocked() && !closedByServer_ && FlushBeforeParking()) {
            auto parked = std::make_unique<netport::Parked>();
            parked->fd = fd_;
            parked->parser = parser_;
            parked->negotiator = negotiator_;
            parked->settings = settings_;
            parked->hasModemLines = hasModemLines_;
            parked->pings = pings_;
            parked->roundTrip = roundTrip_;
            netport::Lot().Park(path_, std::move(parked));
        } else {
            ::close(fd_);
        }
        fd_ = -1;
    }
}

// What is queued (the last line commands) goes out before the connection is
// kept; one that cannot take it at once is not worth keeping. Mutex held.
bool NetworkDevice::FlushBeforeParking()
{
    const Clock::time_point deadline = Clock::now() + milliseconds(50);
    while (outBytes_ && !FailedLocked() && Clock::now() < deadline) {
        FlushLocked();
        if (!outBytes_)
            break;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 5);
    }
    return outBytes_ == 0 && !FailedLocked();
}

void NetworkDevice::DeviceKick()
{
    if (FailedLocked())
        return;
    SendMasksLocked();
    TransmitLocked();
    FlushLocked();
    watcher_.Wake();
}

// ---- The watcher ------------------------------------------------------------------

void NetworkDevice::Watch()
{
    for (;;) {
        pollfd fds[2] = {{watcher_.WakeFd(), POLLIN, 0}, {fd_, 0, 0}};
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (!FailedLocked()) {
                TakeBacklogLocked();
                if (!ReceiveQueueFullLocked() && backlog_.empty() && outBytes_ <= ControlLimit)
                    fds[1].events |= POLLIN;
                if (outBytes_ && !heldByServer_)
                    fds[1].events |= POLLOUT;
            }
            nanoseconds wait = NextTimeoutLocked(Clock::now());
            if (wait >= nanoseconds(0))
                timeoutMs = static_cast<int>(std::chrono::ceil<milliseconds>(wait).count());
        }
        int count = fds[1].events ? 2 : 1;
        int ready = ::poll(fds, count, timeoutMs);
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        if (ready > 0 && (fds[0].revents & POLLIN))
            watcher_.TakeWakeups();
        if (FailedLocked())
            continue;
        BeginReportLocked();
        const short revents = ready > 0 && count == 2 ? fds[1].revents : 0;
        if (revents & (POLLIN | POLLHUP | POLLERR))
            ReadLocked(false);
        if (revents & POLLOUT)
            FlushLocked();
        if (!FailedLocked()) {
            TransmitLocked();
            FlushLocked();
            Clock::time_point now = Clock::now();
            CheckWriteDrainedLocked(now);
            CheckTransmitterLocked(now);
        }
        EndReportLocked();
    }
}

nanoseconds NetworkDevice::NextTimeoutLocked(Clock::time_point now)
{
    if (FailedLocked())
        return nanoseconds(-1);
    const Clock::time_point next = NextDrainCheckLocked();
    if (next == Clock::time_point::max())
        return nanoseconds(-1);
    return std::max(nanoseconds(0), next - now);
}

// ---- Transmitting ---------------------------------------------------------------------

void NetworkDevice::TransmitLocked()
{
    while (!writes_.empty() && !heldByServer_ && !heldByUs_ && outBytes_ < OutLimit && !FailedLocked()) {
        PendingWrite& write = writes_.front();
        if (write.taken == write.data.size())
            return; // draining
        size_t n = std::min(Chunk, write.data.size() - write.taken);
        Segment s;
        s.data = true;
        // A server that said DONT BINARY gets the non-binary form it asked
        // for: raw CRs would reach its port changed or not at all.
        s.nonBinary = negotiator_.Ours(tn::OptionBinary) != tn::Negotiator::State::Yes;
        tn::AppendEscaped(s.bytes, write.data.data() + write.taken, n, s.nonBinary);
        outBytes_ += s.bytes.size();
        out_.push_back(std::move(s));
        write.taken += n;
        drain_.Queued(Clock::now(), n);
        FlushLocked();
        if (write.taken == write.data.size()) {
            // A question behind the data: its answer carries the server's
            // acknowledgement at once, where a server that has nothing to
            // say would delay it (by up to 40 ms on Linux).
            Command(tn::SetBaudrate(0));
            ++pings_;
            FlushLocked();
            FrontWriteTakenLocked();
        }
    }
}

void NetworkDevice::DeviceAbortWrite(PendingWrite& write)
{
    if (write.taken == 0)
        return;
    DropUnsentData();
    drain_.Purged(Clock::now());
}

// ---- Settings and line operations -------------------------------------------------

void NetworkDevice::SendMasksLocked()
{
    DWORD mask = eventMask_ & (EV_ERR | EV_BREAK | EV_CTS | EV_DSR | EV_RLSD | EV_RING);
    if (mask == maskSent_)
        return;
    maskSent_ = mask;
    uint8_t line = (mask & EV_ERR ? tn::LineFraming | tn::LineParity | tn::LineOverrun : 0) |
                   (mask & EV_BREAK ? tn::LineBreak : 0);
    uint8_t modem = (mask & EV_CTS ? tn::ModemCts | tn::ModemDeltaCts : 0) |
                    (mask & EV_DSR ? tn::ModemDsr | tn::ModemDeltaDsr : 0) |
                    (mask & EV_RLSD ? tn::ModemCd | tn::ModemDeltaCd : 0) |
                    (mask & EV_RING ? tn::ModemRi | tn::ModemRiTrailing : 0);
    ComPort(tn::SET_LINESTATE_MASK, line);
    ComPort(tn::SET_MODEMSTATE_MASK, modem);
}

DWORD NetworkDevice::DeviceSetState(const DCB& dcb)
{
    using namespace rfc2217;
    if (fd_ < 0)
        return EBADF;
    expected_.clear();
    auto set = [this](uint8_t command, uint32_t value) {
        expected_.push_back(Expected{command, value});
        Command(command == SET_BAUDRATE ? tn::SetBaudrate(value) : tn::ComPortByte(command, uint8_t(value)));
    };
    set(SET_BAUDRATE, dcb.BaudRate);
    set(SET_DATASIZE, dcb.ByteSize);
    set(SET_PARITY, ParityValue(dcb.Parity));
    set(SET_STOPSIZE, StopValue(dcb.StopBits));
    set(SET_CONTROL, FlowValue(dcb));
    const size_t lineSettings = expected_.size();
    // The lines: unanswered by a port without them.
    modemAnswered_ = false;
    ComPort(SET_CONTROL, DtrControl(dcb) == DTR_CONTROL_ENABLE ? ControlDtrOn : ControlDtrOff);
    if (!(dcb.Flags & fOutxCtsFlow)) {
        DWORD rts = RtsControl(dcb);
        ComPort(SET_CONTROL, rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE ? ControlRtsOn : ControlRtsOff);
    }
    // The question behind them: once it is answered, so would they be.
    rateAnswers_ = 0;
    Command(tn::SetBaudrate(0));

    const Clock::time_point deadline = Clock::now() + answerTimeout_;
    auto settingsAnswered = [&] {
        return std::all_of(expected_.begin(), expected_.begin() + lineSettings,
                           [](const Expected& e) { return e.answered; });
    };
    DWORD error = PumpLocked(deadline, [&] { return settingsAnswered() && (rateAnswers_ >= 2 || modemAnswered_); });
    if (error && error != ETIMEDOUT)
        return error; // the connection is gone
    std::string refusal;
    for (size_t i = 0; i < lineSettings; ++i) {
        const Expected& e = expected_[i];
        if (!e.answered) {
            refusal = "The server " + address_ + " did not answer " + CommandName(e.command) + " " +
                      ValueText(e.command, e.value) + " within " + std::to_string(answerTimeout_.count()) + " ms";
            NoteRefusedSetting(commreasons::Setting::Server, dcb, 0, refusal);
            break;
        }
        bool same = e.command == SET_BAUDRATE ? RateMatches(e.value, e.got) : e.got == e.value;
        if (!same) {
            refusal = "The server " + address_ + " answered " + CommandName(e.command) + " " +
                      ValueText(e.command, e.value) + " with " + ValueText(e.command, e.got);
            NoteRefusedSetting(commreasons::Setting::Server, dcb, 0, refusal);
            break;
        }
    }
    expected_.clear();
    if (!refusal.empty()) {
        // The previous settings back, as a driver that refuses leaves them;
        // their answers are not waited for.
        Command(tn::SetBaudrate(settings_.BaudRate));
        ComPort(SET_DATASIZE, settings_.ByteSize);
        ComPort(SET_PARITY, ParityValue(settings_.Parity));
        ComPort(SET_STOPSIZE, StopValue(settings_.StopBits));
        ComPort(SET_CONTROL, FlowValue(settings_));
        FlushLocked();
        return Refuse(refusal);
    }
    // The rate question came back and DTR did not: no lines.
    if (!modemAnswered_)
        hasModemLines_ = false;
    int64_t charNs = CharacterTimeNs(dcb);
    drain_.SetCharacterTimes(charNs, charNs);
    return 0;
}

DWORD NetworkDevice::DeviceEscape(DWORD function)
{
    using namespace rfc2217;
    if (fd_ < 0)
        return EBADF;
    switch (function) {
    case SETXOFF: heldByUs_ = true; return 0;
    case SETXON:
        // Only our own hold: the server's suspend is the server's to end.
        heldByUs_ = false;
        return 0;
    case SETRTS:
    case CLRRTS:
        // The handshake owns RTS, as on a tty.
        if ((settings_.Flags & fOutxCtsFlow) || RtsControl(settings_) == RTS_CONTROL_HANDSHAKE)
            return EINVAL;
        if (hasModemLines_)
            ComPort(SET_CONTROL, function == SETRTS ? ControlRtsOn : ControlRtsOff);
        return 0;
    case SETDTR:
    case CLRDTR:
        if (hasModemLines_)
            ComPort(SET_CONTROL, function == SETDTR ? ControlDtrOn : ControlDtrOff);
        return 0;
    case SETBREAK: ComPort(SET_CONTROL, ControlBreakOn); return 0;
    case CLRBREAK: ComPort(SET_CONTROL, ControlBreakOff); return 0;
    default: return EINVAL;
    }
}

void NetworkDevice::DeviceSetRts(bool on)
{
    if (hasModemLines_)
        ComPort(tn::SET_CONTROL, on ? tn::ControlRtsOn : tn::ControlRtsOff);
    FlushLocked();
}

DWORD NetworkDevice::DevicePurge(bool receive, bool transmit)
{
    if (fd_ < 0)
        return EBADF;
    ComPort(tn::PURGE_DATA, receive && transmit ? tn::PurgeBoth : receive ? tn::PurgeReceive : tn::PurgeTransmit);
    if (transmit) {
        DropUnsentData();
        drain_.Purged(Clock::now());
    }
    return 0;
}

} // namespace

bool IsNetworkPortPath(const std::string& path)
{
    const size_t scheme = std::strlen(netport::Scheme);
    return path.size() > scheme && strncasecmp(path.c_str(), netport::Scheme, scheme) == 0;
}

void SetNetworkTimeoutsForTests(int connectMs, int answerMs)
{
    netport::SetConnectTimeout(milliseconds(connectMs));
    g_answerMs = answerMs;
}

std::shared_ptr<CommDevice> OpenNetworkDevice(const std::string& path, DWORD& error)
{
    std::string host, port;
    if (!netport::SplitAddress(path, host, port)) {
        // Not an address: no such device.
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    std::shared_ptr<NetworkDevice> device;
    if (std::optional<std::unique_ptr<netport::Parked>> kept = netport::Lot().Take(path)) {
        const netport::Parked& parked = **kept;
        device = std::make_shared<NetworkDevice>(parked.fd, path, host + ":" + port);
        device->Adopt(parked);
        if (device->Start() != 0)
            device.reset(); // gone meanwhile: a new connection
    }
    // A server that has not yet seen the end of our previous connection
    // turns a new one away at once; it is asked again a few times.
    const Clock::time_point retryEnd = Clock::now() + milliseconds(500);
    while (!device) {
        int fd = netport::Connect(host, port, error);
        if (fd < 0)
            return nullptr;
        device = std::make_shared<NetworkDevice>(fd, path, host + ":" + port);
        DWORD startError = device->Start();
        if (startError == 0)
            break;
        const bool turnedAway = startError == ERROR_PORT_SERVER && device->ClosedAtOnce();
        device.reset();
        error = startError;
        if (!turnedAway || Clock::now() >= retryEnd) {
            // Closing at once is how a server says its port is in use.
            if (turnedAway)
                NoteOpenProblem(commreasons::OpenProblem::ServerBusy);
            return nullptr;
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    if (DWORD watchError = device->StartWatcher()) {
        error = watchError;
        return nullptr;
    }
    return device;
}

} // namespace win::detail
