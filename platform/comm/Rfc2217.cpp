// Telnet and RFC 2217 encoding and decoding; see Rfc2217.h.

#include "Rfc2217.h"

#include <cstring>

namespace rfc2217 {

void AppendEscaped(std::string& out, const uint8_t* data, size_t count, bool nonBinary)
{
    size_t plain = 0;
    for (size_t i = 0; i < count; ++i) {
        const bool cr = nonBinary && data[i] == '\r';
        if (data[i] != IAC && !cr)
            continue;
        out.append(reinterpret_cast<const char*>(data + plain), i + 1 - plain);
        out.push_back(static_cast<char>(cr ? 0 : IAC));
        plain = i + 1;
    }
    out.append(reinterpret_cast<const char*>(data + plain), count - plain);
}

std::string Escaped(const std::string& data)
{
    std::string out;
    AppendEscaped(out, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return out;
}

std::string Negotiation(uint8_t verb, uint8_t option)
{
    return std::string{static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

std::string ComPort(uint8_t command, const std::string& value)
{
    std::string out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(OptionComPort),
                    static_cast<char>(command)};
    AppendEscaped(out, reinterpret_cast<const uint8_t*>(value.data()), value.size());
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

std::string SetBaudrate(uint32_t rate)
{
    // Network byte order.
    std::string value{static_cast<char>(rate >> 24), static_cast<char>(rate >> 16), static_cast<char>(rate >> 8),
                      static_cast<char>(rate)};
    return ComPort(SET_BAUDRATE, value);
}

std::string ComPortByte(uint8_t command, uint8_t value)
{
    return ComPort(command, std::string(1, static_cast<char>(value)));
}

// ---- Parser -----------------------------------------------------------------

void Parser::Reset()
{
    state_ = State::Data;
    oversized_ = false;
    size_ = 0;
}

void Parser::Feed(const uint8_t* data, size_t count, Sink& sink)
{
    size_t plain = 0; // start of the data run not yet handed on
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = data[i];
        switch (state_) {
        case State::Data:
            if (c == IAC) {
                if (i > plain)
                    sink.Data(data + plain, i - plain);
                state_ = State::Iac;
            }
            continue; // the run goes on
        case State::Iac:
            if (c == IAC) {
                sink.Data(&c, 1);
                state_ = State::Data;
            } else if (c >= WILL && c <= DONT) {
                verb_ = c;
                state_ = State::Verb;
            } else if (c == SB) {
                state_ = State::SbOption;
            } else {
                // NOP, GA, DM, AYT and the other one-byte commands, and a
                // stray SE: nothing for a com port to do.
                state_ = State::Data;
            }
            break;
        case State::Verb:
            sink.Negotiate(verb_, c);
            state_ = State::Data;
            break;
        case State::SbOption:
            if (c == IAC) {
                // No option: not a subnegotiation after all.
                sink.Malformed();
                state_ = State::Iac;
                break;
            }
            option_ = c;
            size_ = 0;
            oversized_ = false;
            state_ = State::SbValue;
            break;
        case State::SbValue:
            if (c == IAC) {
                state_ = State::SbIac;
            } else if (size_ < MaxSubnegotiation) {
                value_[size_++] = c;
            } else {
                oversized_ = true;
            }
            break;
        case State::SbIac:
            if (c == IAC) {
                if (size_ < MaxSubnegotiation)
                    value_[size_++] = c;
                else
                    oversized_ = true;
                state_ = State::SbValue;
            } else if (c == SE) {
                if (oversized_)
                    sink.Malformed();
                else
                    sink.Subnegotiation(option_, value_, size_);
                size_ = 0;
                state_ = State::Data;
            } else {
                // Another command inside a subnegotiation: the
                // subnegotiation was cut short; the command counts.
                sink.Malformed();
                size_ = 0;
                state_ = State::Iac;
                --i; // look at this byte again as a command
            }
            break;
        }
        plain = i + 1;
    }
    if (state_ == State::Data && count > plain)
        sink.Data(data + plain, count - plain);
}

// ---- Negotiator ---------------------------------------------------------------

bool Negotiator::Supported(uint8_t option)
{
    return option == OptionBinary || option == OptionSuppressGoAhead || option == OptionComPort;
}

std::string Negotiator::Start()
{
    std::string out;
    auto want = [&](State* side, uint8_t verb, uint8_t option) {
        if (side[option] != State::No)
            return;
        side[option] = State::WantYes;
        out += Negotiation(verb, option);
    };
    want(us_, WILL, OptionBinary);
    want(him_, DO, OptionBinary);
    want(us_, WILL, OptionSuppressGoAhead);
    want(him_, DO, OptionSuppressGoAhead);
    // The server side of the option is the one that does the com port;
    // the client only says it will send com-port commands.
    want(us_, WILL, OptionComPort);
    return out;
}

std::string Negotiator::Receive(uint8_t verb, uint8_t option)
{
    // WILL/WONT speak of their side, DO/DONT of ours.
    const bool theirs = verb == WILL || verb == WONT;
    const bool enable = verb == WILL || verb == DO;
    State& state = theirs ? him_[option] : us_[option];
    const uint8_t agree = theirs ? DO : WILL;
    const uint8_t refuse = theirs ? DONT : WONT;
    // The server's own COM-PORT-OPTION side is not something a client asks
    // for; it is agreed to as harmless all the same.
    switch (state) {
    case State::No:
        if (!enable)
            return {};
        if (Supported(option)) {
            state = State::Yes;
            return Negotiation(agree, option);
        }
        return Negotiation(refuse, option);
    case State::Yes:
        if (enable)
            return {};
        state = State::No;
        return Negotiation(refuse, option);
    case State::WantYes:
        // The answer to our request, either way; nothing to say back.
        state = enable ? State::Yes : State::No;
        return {};
    }
    return {};
}

bool Negotiator::Settled() const
{
    for (int i = 0; i < 256; ++i)
        if (us_[i] == State::WantYes || him_[i] == State::WantYes)
            return false;
    return true;
}

// ---- Replies ----------------------------------------------------------------

std::optional<Reply> DecodeReply(const uint8_t* value, size_t count)
{
    if (count < 1 || value[0] < ServerOffset || value[0] > ServerOffset + PURGE_DATA)
        return std::nullopt;
    Reply reply;
    reply.command = static_cast<uint8_t>(value[0] - ServerOffset);
    reply.size = count - 1;
    const uint8_t* v = value + 1;
    switch (reply.command) {
    case SIGNATURE:
        return reply; // a text: nothing to decode
    case SET_BAUDRATE:
        if (reply.size != 4)
            return std::nullopt;
        reply.value = uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3];
        return reply;
    case FLOWCONTROL_SUSPEND:
    case FLOWCONTROL_RESUME:
        // No value; one sent all the same is ignored.
        return reply;
    default:
        if (reply.size != 1)
            return std::nullopt;
        reply.value = v[0];
        return reply;
    }
}

const char* CommandName(uint8_t command)
{
    static const char* const names[] = {"SIGNATURE",           "SET-BAUDRATE",       "SET-DATASIZE",
                                        "SET-PARITY",          "SET-STOPSIZE",       "SET-CONTROL",
                                        "NOTIFY-LINESTATE",    "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND",
                                        "FLOWCONTROL-RESUME",  "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
                                        "PURGE-DATA"};
    return command <= PURGE_DATA ? names[command] : "an unknown command";
}

std::string ValueText(uint8_t command, uint32_t value)
{
    switch (command) {
    case SET_PARITY: {
        static const char* const names[] = {"query", "none", "odd", "even", "mark", "space"};
        if (value <= ParitySpace)
            return names[value];
        break;
    }
    case SET_STOPSIZE:
        if (value == StopOne)
            return "1";
        if (value == StopTwo)
            return "2";
        if (value == StopOneAndHalf)
            return "1.5";
        break;
    case SET_CONTROL: {
        static const char* const names[] = {
            "flow control query", "no flow control", "XON/XOFF flow control", "hardware flow control",
            "break query",        "break on",        "break off",             "DTR query",
            "DTR on",             "DTR off",         "RTS query",             "RTS on",
            "RTS off",            "inbound flow control query", "no inbound flow control",
            "inbound XON/XOFF flow control", "inbound hardware flow control"};
        if (value < sizeof names / sizeof names[0])
            return names[value];
        break;
    }
    default: break;
    }
    return std::to_string(value);
}

} // namespace rfc2217
