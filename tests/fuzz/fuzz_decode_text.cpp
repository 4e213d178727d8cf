// The display forms of bytes: DecodeText, the code page and the panes' text.
//
// Properties, for any bytes:
//  - DecodeText keeps 32..126 and writes every other byte as "<n>", and the
//    transmit path reads that form back to the same bytes (as long as the
//    bytes themselves hold no "#" or "<", which the transmit path would take
//    as the start of an escape);
//  - bytes -> code page text -> bytes is the identity, one character per
//    byte, and is reported lossless;
//  - bytes -> pane text -> bytes is the identity (TMemo's static mapping,
//    which needs no QApplication);
// and for any text (the input read as UTF-16):
//  - text -> bytes drops exactly the characters without a byte and says so;
//    what is left maps back to the same bytes.

#include "CodePage.h"
#include "DecodeText.h"
#include "Memo.h"
#include "SendEscapes.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "display forms: %s\n", what);
    std::abort();
}

std::string ReferenceDecode(const std::string& bytes)
{
    std::string out;
    for (unsigned char b : bytes) {
        if (b >= 32 && b <= 126) {
            out += static_cast<char>(b);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%u>", static_cast<unsigned>(b));
            out += buf;
        }
    }
    return out;
}

void Bytes(const std::string& bytes)
{
    const std::string shown = terminal::DecodeText(bytes);
    if (shown != ReferenceDecode(bytes))
        Fail("DecodeText differs from its rule");
    for (char c : shown)
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126)
            Fail("DecodeText left a byte outside 32..126");
    if (bytes.find_first_of("#<") == std::string::npos && terminal::ExpandSendEscapes(shown) != bytes)
        Fail("the transmit path does not read DecodeText's form back");

    const QString text = codepage::ToText(bytes);
    if (static_cast<size_t>(text.size()) != bytes.size())
        Fail("code page text is not one character per byte");
    bool lossless = false;
    if (codepage::ToBytes(text, &lossless) != bytes || !lossless)
        Fail("bytes -> code page text -> bytes is not the identity");
    for (unsigned char b : bytes) {
        unsigned char back = 0;
        if (!codepage::ByteOf(codepage::CharOf(b), back) || back != b)
            Fail("CharOf and ByteOf disagree");
    }

    if (TMemo::FromPaneText(TMemo::ToPaneText(bytes)) != bytes)
        Fail("bytes -> pane text -> bytes is not the identity");
}

void Text(const uint8_t* data, size_t size)
{
    QString text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text.append(QChar(static_cast<char16_t>(data[i] | (data[i + 1] << 8))));

    bool lossless = false;
    const std::string bytes = codepage::ToBytes(text, &lossless);
    // Count what has a place in the code page; a surrogate pair is one
    // character without one.
    size_t fits = 0;
    bool all = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i;
            all = false;
            continue;
        }
        unsigned char b;
        if (codepage::ByteOf(u, b))
            ++fits;
        else
            all = false;
    }
    if (bytes.size() != fits || lossless != all)
        Fail("text -> bytes kept the wrong characters or misreported the loss");
    bool again = false;
    if (codepage::ToBytes(codepage::ToText(bytes), &again) != bytes || !again)
        Fail("the bytes of a text do not survive a second round");

    // The pane's reading of any text: its bytes show again as the same bytes.
    const std::string paneBytes = TMemo::FromPaneText(text);
    if (TMemo::FromPaneText(TMemo::ToPaneText(paneBytes)) != paneBytes)
        Fail("pane text -> bytes -> pane text -> bytes changed the bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes(std::string(reinterpret_cast<const char*>(data), size));
    Text(data, size);
    return 0;
}
