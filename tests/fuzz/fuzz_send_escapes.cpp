// The transmit path's escape parser against a plain reading of its table.
//
// The reference below is written for clarity, not speed: at each position it
// asks the table's questions in order ("##", "<<", "#digits", "<digits",
// anything else) and decodes the digits with the standard library, so it
// shares no code and no loop structure with ExpandSendEscapes.

#include "SendEscapes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool IsAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string Reference(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        if (text.starts_with("##") || text.starts_with("<<")) {
            out += text[0];
            text.remove_prefix(2);
            continue;
        }
        const char lead = text[0];
        if ((lead == '#' || lead == '<') && text.size() > 1 && IsAsciiDigit(text[1])) {
            size_t digits = 1;
            while (digits < 3 && 1 + digits < text.size() && IsAsciiDigit(text[1 + digits]))
                ++digits;
            const int value = std::stoi(std::string(text.substr(1, digits)));
            out += static_cast<char>(static_cast<unsigned char>(value % 256));
            text.remove_prefix(1 + digits);
            if (lead == '<' && text.starts_with(">"))
                text.remove_prefix(1);
            continue;
        }
        out += lead;
        text.remove_prefix(1);
    }
    return out;
}

void Fail(const std::string& in, const std::string& got, const std::string& want)
{
    std::fprintf(stderr, "ExpandSendEscapes differs from the table\n  in   (%zu bytes)\n  got  %zu bytes\n  want %zu bytes\n",
                 in.size(), got.size(), want.size());
    for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
        if (i >= got.size() || i >= want.size() || got[i] != want[i]) {
            std::fprintf(stderr, "  first difference at output byte %zu\n", i);
            break;
        }
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string got = terminal::ExpandSendEscapes(text);
    const std::string want = Reference(text);
    if (got != want)
        Fail(text, got, want);
    // An escape never makes the text longer: every rule turns one or more
    // input characters into exactly one byte.
    if (got.size() > text.size())
        std::abort();
    return 0;
}
