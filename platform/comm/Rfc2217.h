#pragma once
// Telnet (RFC 854, 855, 1143) with the Com Port Control Option (RFC 2217):
// the byte codec of the network port, without any I/O.
//
// - Encoding: data with every IAC doubled; option negotiation; the com-port
//   subnegotiations a client sends.
// - Parser: a streaming decoder that survives any split of its input. It
//   hands on data runs (IAC IAC undoubled), negotiation commands and
//   subnegotiations. Its memory is bounded: a subnegotiation longer than
//   MaxSubnegotiation is swallowed up to its IAC SE and reported as
//   oversized, one cut short by another command is reported as truncated.
// - Negotiator: the option state of both sides (RFC 1143's "Q method"
//   without its queue bits): it agrees to BINARY, SUPPRESS-GO-AHEAD and
//   COM-PORT-OPTION and refuses every other option, answers only a change of
//   state, so two parties can never loop.
// - The values of RFC 2217's commands and their decoding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rfc2217 {

// Telnet commands.
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;

// Options.
constexpr uint8_t OptionBinary = 0;
constexpr uint8_t OptionSuppressGoAhead = 3;
constexpr uint8_t OptionComPort = 44;

// Com-port commands as the client sends them; the server answers with the
// same command plus ServerOffset.
enum Command : uint8_t {
    SIGNATURE = 0,
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6,
    NOTIFY_MODEMSTATE = 7,
    FLOWCONTROL_SUSPEND = 8,
    FLOWCONTROL_RESUME = 9,
    SET_LINESTATE_MASK = 10,
    SET_MODEMSTATE_MASK = 11,
    PURGE_DATA = 12,
};
constexpr uint8_t ServerOffset = 100;

// SET-PARITY values.
constexpr uint8_t ParityNone = 1, ParityOdd = 2, ParityEven = 3, ParityMark = 4, ParitySpace = 5;
// SET-STOPSIZE values.
constexpr uint8_t StopOne = 1, StopTwo = 2, StopOneAndHalf = 3;
// SET-CONTROL values (0 asks for the outbound flow control, 4 for break, 7
// for DTR, 10 for RTS).
constexpr uint8_t ControlFlowQuery = 0, ControlFlowNone = 1, ControlFlowXonXoff = 2, ControlFlowHardware = 3,
                  ControlBreakQuery = 4, ControlBreakOn = 5, ControlBreakOff = 6, ControlDtrQuery = 7,
                  ControlDtrOn = 8, ControlDtrOff = 9, ControlRtsQuery = 10, ControlRtsOn = 11, ControlRtsOff = 12,
                  ControlInboundQuery = 13, ControlInboundNone = 14, ControlInboundXonXoff = 15,
                  ControlInboundHardware = 16;
// NOTIFY-LINESTATE bits (and SET-LINESTATE-MASK).
constexpr uint8_t LineTimeout = 0x80, LineShiftEmpty = 0x40, LineHoldingEmpty = 0x20, LineBreak = 0x10,
                  LineFraming = 0x08, LineParity = 0x04, LineOverrun = 0x02, LineDataReady = 0x01;
// NOTIFY-MODEMSTATE bits (and SET-MODEMSTATE-MASK).
constexpr uint8_t ModemCd = 0x80, ModemRi = 0x40, ModemDsr = 0x20, ModemCts = 0x10, ModemDeltaCd = 0x08,
                  ModemRiTrailing = 0x04, ModemDeltaDsr = 0x02, ModemDeltaCts = 0x01;
// PURGE-DATA values.
constexpr uint8_t PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3;

// ---- Encoding -------------------------------------------------------------

// Appends `data` with every IAC doubled; in Telnet's non-binary form (the
// peer said DONT BINARY) every CR is also followed by a NUL, so that it
// arrives as a bare CR.
void AppendEscaped(std::string& out, const uint8_t* data, size_t count, bool nonBinary = false);
std::string Escaped(const std::string& data);
// IAC verb option.
std::string Negotiation(uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
std::string ComPort(uint8_t command, const std::string& value);
std::string SetBaudrate(uint32_t rate); // 0 asks for the current rate
std::string ComPortByte(uint8_t command, uint8_t value);

// ---- Decoding -------------------------------------------------------------

// What the parser found, in input order.
class Sink {
public:
    virtual ~Sink() = default;
    // Plain data (undoubled); `data` is valid during the call only.
    virtual void Data(const uint8_t* data, size_t count) = 0;
    // WILL, WONT, DO or DONT for an option.
    virtual void Negotiate(uint8_t verb, uint8_t option) = 0;
    // A complete subnegotiation: its option and value (undoubled).
    virtual void Subnegotiation(uint8_t option, const uint8_t* value, size_t count) = 0;
    // A subnegotiation dropped: longer than the bound, or cut short by a
    // command other than SE.
    virtual void Malformed() {}
};

class Parser {
public:
    // Large enough for every com-port message (a signature text included).
    static constexpr size_t MaxSubnegotiation = 256;

    void Feed(const uint8_t* data, size_t count, Sink& sink);
    void Reset();
    // Whether the input so far ends inside a command or subnegotiation.
    bool InCommand() const { return state_ != State::Data; }

private:
    enum class State { Data, Iac, Verb, SbOption, SbValue, SbIac };
    State state_ = State::Data;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    bool oversized_ = false;
    size_t size_ = 0;
    uint8_t value_[MaxSubnegotiation];
};

// The option state of both sides. Each incoming command gives the answer to
// send ("" for none); Start gives the opening requests.
class Negotiator {
public:
    enum class State : uint8_t { No, Yes, WantYes };

    static bool Supported(uint8_t option);
    // WILL BINARY, DO BINARY, WILL SGA, DO SGA, WILL COM-PORT-OPTION.
    std::string Start();
    std::string Receive(uint8_t verb, uint8_t option);

    State Ours(uint8_t option) const { return us_[option]; }
    State Theirs(uint8_t option) const { return him_[option]; }
    // The server takes com-port commands (it said DO COM-PORT-OPTION).
    bool ComPortAccepted() const { return us_[OptionComPort] == State::Yes; }
    // No request of ours is still unanswered.
    bool Settled() const;

private:
    State us_[256] = {};  // we WILL
    State him_[256] = {}; // they WILL
};

// A com-port message from the server, its command back in client terms.
struct Reply {
    uint8_t command = 0;
    uint32_t value = 0; // the rate for SET-BAUDRATE, else the first byte
    size_t size = 0;    // bytes of value
};
// Null for something that is not a server's com-port message (a client
// command, an empty or malformed value).
std::optional<Reply> DecodeReply(const uint8_t* value, size_t count);

// Readable names for the answers in messages: "SET-PARITY", "even", "1.5".
const char* CommandName(uint8_t command);
std::string ValueText(uint8_t command, uint32_t value);

} // namespace rfc2217
