// The transmit escape parser against a plain reading of its table: at each
// position ask "##", "<<", "#digits", "<digits>", anything else, in that order.

#include "FuzzCheck.h"
#include "SendEscapes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::string Reference(std::string_view text)
{
    const auto digit = [&](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    std::string out;
    while (!text.empty()) {
        const char lead = text[0];
        if (text.starts_with("##") || text.starts_with("<<")) {
            out += lead;
            text.remove_prefix(2);
        } else if ((lead == '#' || lead == '<') && digit(1)) {
            size_t digits = 1;
            while (digits < 3 && digit(1 + digits))
                ++digits;
            out += static_cast<char>(std::stoi(std::string(text.substr(1, digits))) % 256);
            text.remove_prefix(1 + digits);
            if (lead == '<' && text.starts_with(">"))
                text.remove_prefix(1);
        } else {
            out += lead;
            text.remove_prefix(1);
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Check(terminal::ExpandSendEscapes(text) == Reference(text), "ExpandSendEscapes differs from the table");
    return 0;
}
