// The display forms of bytes. DecodeText keeps 32..126 and shows every other
// byte as "<n>"; the code page and the panes' text (TMemo's static mapping,
// which needs no QApplication) map any bytes to text and back unchanged.

#include "CodePage.h"
#include "DecodeText.h"
#include "FuzzCheck.h"
#include "Memo.h"

#include <QString>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string shown;
    for (unsigned char b : bytes)
        shown += b >= 32 && b <= 126 ? std::string(1, static_cast<char>(b)) : "<" + std::to_string(b) + ">";
    Check(terminal::DecodeText(bytes) == shown, "DecodeText differs from its rule");

    const QString text = codepage::ToText(bytes);
    bool lossless = false;
    Check(static_cast<size_t>(text.size()) == bytes.size(), "code page text is not one character per byte");
    Check(codepage::ToBytes(text, &lossless) == bytes && lossless, "bytes -> code page text -> bytes changed them");
    Check(TMemo::FromPaneText(TMemo::ToPaneText(bytes)) == bytes, "bytes -> pane text -> bytes changed them");
    return 0;
}
