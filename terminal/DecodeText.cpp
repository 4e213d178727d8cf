#include "DecodeText.h"

namespace terminal {

std::string DecodeText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char b : text) {
        if (b >= 32 && b <= 126) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('<');
            out += std::to_string(b);
            out.push_back('>');
        }
    }
    return out;
}

} // namespace terminal
