// The Telnet / RFC 2217 codec on its own: escaping, the streaming parser in
// every split of its input, option negotiation, the com-port messages.

#include "Rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace rfc2217;

std::string Bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

// What the parser reported, written out so that tests compare one text.
struct Recorder : Sink {
    std::string data;
    std::vector<std::string> events;
    void Data(const uint8_t* d, size_t n) override { data.append(reinterpret_cast<const char*>(d), n); }
    void Negotiate(uint8_t verb, uint8_t option) override
    {
        events.push_back("neg " + std::to_string(verb) + " " + std::to_string(option));
    }
    void Subnegotiation(uint8_t option, const uint8_t* v, size_t n) override
    {
        std::string s = "sb " + std::to_string(option) + ":";
        for (size_t i = 0; i < n; ++i)
            s += " " + std::to_string(v[i]);
        events.push_back(s);
    }
    void Malformed() override { events.push_back("malformed"); }
};

Recorder ParseInPieces(const std::string& input, const std::vector<size_t>& cuts)
{
    Recorder r;
    Parser p;
    size_t at = 0;
    for (size_t cut : cuts) {
        p.Feed(reinterpret_cast<const uint8_t*>(input.data()) + at, cut - at, r);
        at = cut;
    }
    p.Feed(reinterpret_cast<const uint8_t*>(input.data()) + at, input.size() - at, r);
    return r;
}

TEST(Rfc2217Codec, EscapingDoublesEveryIacAndNothingElse)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {Bytes({255}), Bytes({255, 255})},
        {Bytes({255, 255, 255}), Bytes({255, 255, 255, 255, 255, 255})},
        {Bytes({1, 255, 2}), Bytes({1, 255, 255, 2})},
        {Bytes({254, 253, 250, 240}), Bytes({254, 253, 250, 240})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Escaped(c.in), c.out);
}

TEST(Rfc2217Codec, EveryByteSurvivesEscapingAndParsingInEverySplit)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    all += std::string(40, '\xff');
    const std::string wire = Escaped(all);
    // One cut anywhere, and byte by byte.
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        Recorder r = ParseInPieces(wire, {cut});
        ASSERT_EQ(r.data, all) << "cut at " << cut;
        ASSERT_TRUE(r.events.empty());
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < wire.size(); ++i)
        every.push_back(i);
    EXPECT_EQ(ParseInPieces(wire, every).data, all);
}

TEST(Rfc2217Codec, ParserSeparatesDataCommandsAndSubnegotiations)
{
    struct Case {
        const char* what;
        std::string wire;
        std::string data;
        std::vector<std::string> events;
    } cases[] = {
        {"negotiation between data", "a" + Bytes({255, 251, 0}) + "b", "ab", {"neg 251 0"}},
        {"all four verbs", Bytes({255, 251, 3, 255, 252, 1, 255, 253, 44, 255, 254, 24}), "",
         {"neg 251 3", "neg 252 1", "neg 253 44", "neg 254 24"}},
        {"baud rate answer", Bytes({255, 250, 44, 101, 0, 0, 0x4b, 0, 255, 240}), "", {"sb 44: 101 0 0 75 0"}},
        {"IAC doubled inside a value", Bytes({255, 250, 44, 101, 0, 0, 255, 255, 255, 240}), "",
         {"sb 44: 101 0 0 255"}},
        {"one-byte commands ignored", "x" + Bytes({255, 241, 255, 249, 255, 246, 255, 240}) + "y", "xy", {}},
        {"subnegotiation cut short by a command", Bytes({255, 250, 44, 101, 0, 255, 253, 3}) + "z", "z",
         {"malformed", "neg 253 3"}},
        {"subnegotiation cut short by data IAC IAC stays inside", Bytes({255, 250, 44, 1, 255, 255, 2, 255, 240}),
         "", {"sb 44: 1 255 2"}},
        {"subnegotiation without an option", Bytes({255, 250, 255, 240}) + "q", "q", {"malformed"}},
        {"empty subnegotiation", Bytes({255, 250, 44, 255, 240}), "", {"sb 44:"}},
    };
    for (const Case& c : cases) {
        for (size_t cut = 0; cut <= c.wire.size(); ++cut) {
            Recorder r = ParseInPieces(c.wire, {cut});
            EXPECT_EQ(r.data, c.data) << c.what << ", cut at " << cut;
            EXPECT_EQ(r.events, c.events) << c.what << ", cut at " << cut;
        }
    }
}

TEST(Rfc2217Codec, OversizedSubnegotiationIsSwallowedWithBoundedMemory)
{
    std::string wire = Bytes({255, 250, 44, 0});
    wire += std::string(100000, 'S');
    wire += Bytes({255, 240}) + "after";
    Recorder r = ParseInPieces(wire, {5000, 50000});
    EXPECT_EQ(r.events, std::vector<std::string>{"malformed"});
    EXPECT_EQ(r.data, "after");
    static_assert(sizeof(Parser) < 1024, "the parser holds at most one bounded subnegotiation");
}

TEST(Rfc2217Codec, ParserSurvivesIacFloods)
{
    // Odd and even runs of IAC: pairs are data, a lone one starts a command.
    Recorder even = ParseInPieces(std::string(20000, '\xff'), {7, 9999});
    EXPECT_EQ(even.data, std::string(10000, '\xff'));
    Parser p;
    Recorder odd;
    std::string wire(20001, '\xff');
    p.Feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), odd);
    EXPECT_EQ(odd.data.size(), 10000u);
    EXPECT_TRUE(p.InCommand());
}

TEST(Rfc2217Codec, EncodesTheComPortCommands)
{
    struct Case {
        std::string got, want;
    } cases[] = {
        {SetBaudrate(9600), Bytes({255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240})},
        {SetBaudrate(0), Bytes({255, 250, 44, 1, 0, 0, 0, 0, 255, 240})},
        // A rate with an IAC byte in it is escaped.
        {SetBaudrate(0x0000FFFF), Bytes({255, 250, 44, 1, 0, 0, 255, 255, 255, 255, 255, 240})},
        {ComPortByte(SET_DATASIZE, 7), Bytes({255, 250, 44, 2, 7, 255, 240})},
        {ComPortByte(SET_PARITY, ParityMark), Bytes({255, 250, 44, 3, 4, 255, 240})},
        {ComPortByte(SET_PARITY, ParitySpace), Bytes({255, 250, 44, 3, 5, 255, 240})},
        {ComPortByte(SET_STOPSIZE, StopOneAndHalf), Bytes({255, 250, 44, 4, 3, 255, 240})},
        {ComPortByte(SET_CONTROL, ControlFlowHardware), Bytes({255, 250, 44, 5, 3, 255, 240})},
        {ComPortByte(SET_CONTROL, ControlDtrOn), Bytes({255, 250, 44, 5, 8, 255, 240})},
        {ComPortByte(SET_CONTROL, ControlRtsOff), Bytes({255, 250, 44, 5, 12, 255, 240})},
        {ComPortByte(SET_CONTROL, ControlBreakOn), Bytes({255, 250, 44, 5, 5, 255, 240})},
        {ComPortByte(SET_LINESTATE_MASK, LineBreak | LineFraming), Bytes({255, 250, 44, 10, 0x18, 255, 240})},
        {ComPortByte(SET_MODEMSTATE_MASK, 0xFF), Bytes({255, 250, 44, 11, 255, 255, 255, 240})},
        {ComPortByte(PURGE_DATA, PurgeBoth), Bytes({255, 250, 44, 12, 3, 255, 240})},
        {ComPort(FLOWCONTROL_SUSPEND, ""), Bytes({255, 250, 44, 8, 255, 240})},
        {ComPort(FLOWCONTROL_RESUME, ""), Bytes({255, 250, 44, 9, 255, 240})},
        {Negotiation(WILL, OptionComPort), Bytes({255, 251, 44})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(Rfc2217Codec, DecodesTheServersAnswers)
{
    struct Case {
        std::string value;
        bool valid;
        uint8_t command;
        uint32_t number;
    } cases[] = {
        {Bytes({101, 0, 0, 0x4b, 0}), true, SET_BAUDRATE, 19200},
        {Bytes({101, 0, 3, 0xe8, 0}), true, SET_BAUDRATE, 256000},
        {Bytes({101, 0, 0, 0x4b}), false, 0, 0}, // short
        {Bytes({102, 7}), true, SET_DATASIZE, 7},
        {Bytes({103, 5}), true, SET_PARITY, ParitySpace},
        {Bytes({104, 3}), true, SET_STOPSIZE, StopOneAndHalf},
        {Bytes({105, 2}), true, SET_CONTROL, ControlFlowXonXoff},
        {Bytes({106, 0x18}), true, NOTIFY_LINESTATE, 0x18},
        {Bytes({107, 0x31}), true, NOTIFY_MODEMSTATE, 0x31},
        {Bytes({108}), true, FLOWCONTROL_SUSPEND, 0},
        {Bytes({109}), true, FLOWCONTROL_RESUME, 0},
        {Bytes({112, 1}), true, PURGE_DATA, 1},
        {Bytes({102}), false, 0, 0},       // no value
        {Bytes({102, 7, 7}), false, 0, 0}, // too long
        {Bytes({2, 7}), false, 0, 0},      // a client's command
        {Bytes({113, 1}), false, 0, 0},    // past the last command
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        auto reply = DecodeReply(reinterpret_cast<const uint8_t*>(c.value.data()), c.value.size());
        ASSERT_EQ(reply.has_value(), c.valid) << testing::PrintToString(c.value);
        if (reply) {
            EXPECT_EQ(reply->command, c.command);
            EXPECT_EQ(reply->value, c.number);
        }
    }
}

TEST(Rfc2217Codec, NegotiatorAgreesToItsOptionsAndRefusesTheRest)
{
    Negotiator n;
    EXPECT_EQ(n.Start(), Bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44}));
    EXPECT_FALSE(n.Settled());
    struct Step {
        uint8_t verb, option;
        std::string answer;
    } steps[] = {
        // ser2net's opening, in its order.
        {WILL, 3, ""},                       // answers our DO SGA
        {DO, 3, ""},                         // answers our WILL SGA
        {WILL, 1, Bytes({255, 254, 1})},     // ECHO: refused
        {DONT, 1, ""},                       // already off: no answer
        {DO, 0, ""},
        {WILL, 0, ""},
        {DO, 44, ""},
        // Again: states that hold are not answered, so nobody loops.
        {DO, 44, ""},
        {WILL, 0, ""},
        {DO, 24, Bytes({255, 252, 24})},     // TERMINAL-TYPE refused
        {DO, 24, Bytes({255, 252, 24})},     // and again, each time asked
        {WONT, 24, ""},
        {DONT, 3, Bytes({255, 252, 3})},     // switched off: acknowledged
        {DO, 3, Bytes({255, 251, 3})},       // and on again
    };
    for (const Step& s : steps)
        EXPECT_EQ(n.Receive(s.verb, s.option), s.answer) << int(s.verb) << " " << int(s.option);
    EXPECT_TRUE(n.Settled());
    EXPECT_TRUE(n.ComPortAccepted());
}

TEST(Rfc2217Codec, RefusedComPortOptionIsSeen)
{
    Negotiator n;
    n.Start();
    EXPECT_EQ(n.Receive(DONT, OptionComPort), "");
    EXPECT_FALSE(n.ComPortAccepted());
    EXPECT_EQ(n.Ours(OptionComPort), Negotiator::State::No);
}

TEST(Rfc2217Codec, AnswersAreNamedForMessages)
{
    EXPECT_STREQ(CommandName(SET_STOPSIZE), "SET-STOPSIZE");
    EXPECT_EQ(ValueText(SET_STOPSIZE, StopOneAndHalf), "1.5");
    EXPECT_EQ(ValueText(SET_PARITY, ParityMark), "mark");
    EXPECT_EQ(ValueText(SET_CONTROL, ControlFlowHardware), "hardware flow control");
    EXPECT_EQ(ValueText(SET_BAUDRATE, 19200), "19200");
    EXPECT_EQ(ValueText(SET_PARITY, 77), "77");
}

} // namespace
