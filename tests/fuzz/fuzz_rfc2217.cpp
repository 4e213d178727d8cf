// The network port's Telnet / RFC 2217 decoder as a hostile server would
// feed it. The first byte picks where the input is cut in two; the rest is
// the stream. Properties: the split never matters; subnegotiations stay
// within the bound; every answer of the negotiator is one well-formed
// command that refuses all but the three options; data escaped and parsed
// again comes back unchanged.

#include "FuzzCheck.h"
#include "Rfc2217.h"

#include <cstdint>
#include <string>

namespace {

using namespace rfc2217;

struct Recorder : Sink {
    std::string log;
    std::string data;
    Negotiator negotiator;
    bool inData = false;
    void Data(const uint8_t* d, size_t n) override
    {
        data.append(reinterpret_cast<const char*>(d), n);
        Check(n > 0, "no empty data runs");
        // A split may cut one run in two: runs in a row count as one.
        if (!inData)
            log += "D";
        inData = true;
    }
    void Negotiate(uint8_t verb, uint8_t option) override
    {
        inData = false;
        Check(verb >= WILL && verb <= DONT, "a negotiation verb");
        log += "N" + std::to_string(verb) + "," + std::to_string(option);
        std::string answer = negotiator.Receive(verb, option);
        Check(answer.empty() || answer.size() == 3, "one answer per command at most");
        if (!answer.empty()) {
            Check(static_cast<uint8_t>(answer[0]) == IAC && static_cast<uint8_t>(answer[2]) == option,
                  "the answer names the option asked about");
            const uint8_t v = static_cast<uint8_t>(answer[1]);
            const bool agrees = v == WILL || v == DO;
            Check(!agrees || Negotiator::Supported(option), "only BINARY, SGA and COM-PORT are agreed to");
        }
    }
    void Subnegotiation(uint8_t option, const uint8_t* v, size_t n) override
    {
        inData = false;
        Check(n <= Parser::MaxSubnegotiation, "a subnegotiation within the bound");
        log += "S" + std::to_string(option) + ":" + std::string(reinterpret_cast<const char*>(v), n);
        if (option == OptionComPort)
            if (auto reply = DecodeReply(v, n)) {
                Check(reply->command <= PURGE_DATA, "a known command");
                (void)ValueText(reply->command, reply->value);
                (void)CommandName(reply->command);
            }
    }
    void Malformed() override
    {
        inData = false;
        log += "M";
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t* stream = data + 1;
    const size_t n = size - 1;
    const size_t cut = n ? data[0] % (n + 1) : 0;

    Recorder whole, split;
    Parser a, b;
    a.Feed(stream, n, whole);
    b.Feed(stream, cut, split);
    b.Feed(stream + cut, n - cut, split);
    Check(whole.log == split.log, "the split does not matter");
    Check(whole.data == split.data, "the same data in any split");
    Check(a.InCommand() == b.InCommand(), "the same state in any split");

    // Escaped and parsed again: the bytes come back as they were.
    std::string raw(reinterpret_cast<const char*>(stream), n);
    std::string wire = Escaped(raw);
    Recorder back;
    Parser c;
    c.Feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), back);
    Check(back.data == raw, "escaped data parses back unchanged");
    Check(!c.InCommand(), "escaped data never ends inside a command");
    return 0;
}
