#include "CodePage.h"

#include <array>

namespace codepage {
namespace {

// 0x80..0x9F of Windows-1252; unassigned positions keep their C1 value.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

char32_t CharOf(unsigned char byte)
{
    if (byte >= 0x80 && byte <= 0x9F)
        return kHighControls[byte - 0x80];
    return byte;
}

bool ByteOf(char32_t ch, unsigned char& byte)
{
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) {
        byte = static_cast<unsigned char>(ch);
        return true;
    }
    for (size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == ch) {
            byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

QString ToText(const std::string& bytes)
{
    QString text;
    text.resize(static_cast<qsizetype>(bytes.size()));
    QChar* out = text.data();
    for (unsigned char b : bytes)
        *out++ = QChar(static_cast<char16_t>(CharOf(b)));
    return text;
}

std::string ToBytes(const QString& text, bool* lossless)
{
    std::string bytes;
    bytes.reserve(static_cast<size_t>(text.size()));
    bool ok = true;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t ch = text.at(i).unicode();
        // A surrogate pair is one character outside the code page, not two.
        if (QChar::isHighSurrogate(ch) && i + 1 < n && text.at(i + 1).isLowSurrogate()) {
            ++i;
            ok = false;
            continue;
        }
        unsigned char b;
        if (ByteOf(ch, b))
            bytes.push_back(static_cast<char>(b));
        else
            ok = false;
    }
    if (lossless)
        *lossless = ok;
    return bytes;
}

} // namespace codepage
