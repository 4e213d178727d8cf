#include "SendEscapes.h"

namespace terminal {
namespace {
bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}
} // namespace

std::string ExpandSendEscapes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if ((c == '#' || c == '<') && i + 1 < n) {
            if (text[i + 1] == c) {
                out.push_back(c);
                i += 2;
                continue;
            }
            if (IsDigit(text[i + 1])) {
                size_t j = i + 1;
                int value = 0;
                while (j < n && j < i + 4 && IsDigit(text[j]))
                    value = value * 10 + (text[j++] - '0');
                out.push_back(static_cast<char>(value % 256));
                if (c == '<' && j < n && text[j] == '>')
                    ++j;
                i = j;
                continue;
            }
        }
        out.push_back(c);
        ++i;
    }
    return out;
}

} // namespace terminal
