#pragma once
// The one mapping between 8-bit byte strings and displayed text: Windows-1252,
// with its five unassigned positions (0x81, 0x8D, 0x8F, 0x90, 0x9D) mapped to
// the C1 control characters of the same value. Every byte value therefore has
// exactly one character, and bytes -> text -> bytes is the identity.

#include <QString>
#include <string>

namespace codepage {

// Each byte becomes one character (never fails).
QString ToText(const std::string& bytes);

// Unicode code point for one byte.
char32_t CharOf(unsigned char byte);

// Byte for one character; false when the character is outside the code page.
bool ByteOf(char32_t ch, unsigned char& byte);

// Characters outside the code page are dropped and *lossless (if given) is
// set to false; everything else maps back to its byte.
std::string ToBytes(const QString& text, bool* lossless = nullptr);

} // namespace codepage
