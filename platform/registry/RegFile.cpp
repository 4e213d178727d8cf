#include "RegFile.h"

#include "CodePage.h"
#include "Rtl.h"

#include <QChar>
#include <QList>
#include <QString>
#include <QStringDecoder>

#include <array>
#include <string_view>

namespace reg::file {
namespace {

const std::array<unsigned char, 256>& FoldTable()
{
    // Upper case as Windows does it for names, limited to pairs that both
    // exist in Windows-1252 (so ä/Ä and š/Š match, µ and ß stay as they are).
    static const std::array<unsigned char, 256> table = [] {
        std::array<unsigned char, 256> t{};
        for (int b = 0; b < 256; ++b) {
            t[b] = static_cast<unsigned char>(b);
            char32_t ch = codepage::CharOf(static_cast<unsigned char>(b));
            char32_t upper = QChar::toUpper(ch);
            unsigned char ub;
            if (upper != ch && codepage::ByteOf(upper, ub))
                t[b] = ub;
        }
        return t;
    }();
    return table;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    return s.substr(i);
}

std::string_view TrimRight(std::string_view s)
{
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// Thrown inside the parser only; Parse() turns it into a ParseError.
struct Broken {
    std::string reason;
};

// Reads a quoted text starting at s[pos] == '"'; leaves pos after the
// closing quote.
std::string ParseQuoted(std::string_view s, size_t& pos)
{
    std::string out;
    ++pos; // opening quote
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"')
            return out;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (pos >= s.size())
            break;
        char e = s[pos++];
        if (e == '\\' || e == '"') {
            out.push_back(e);
        } else if (e == 'x') {
            int hi = pos < s.size() ? HexDigit(s[pos]) : -1;
            int lo = pos + 1 < s.size() ? HexDigit(s[pos + 1]) : -1;
            if (hi < 0 || lo < 0)
                throw Broken{"\\x ohne zwei Hexziffern"};
            out.push_back(static_cast<char>(hi * 16 + lo));
            pos += 2;
        } else {
            throw Broken{std::string("unbekannte Escape-Folge \\") + e};
        }
    }
    throw Broken{"schlie\xdf" "endes Anf\xfchrungszeichen fehlt"};
}

void ExpectLineEnd(std::string_view rest)
{
    if (!TrimLeft(rest).empty())
        throw Broken{"unerwarteter Text nach dem Wert"};
}

uint32_t ParseDword(std::string_view digits)
{
    digits = TrimRight(digits);
    if (digits.empty() || digits.size() > 8)
        throw Broken{"dword braucht 1 bis 8 Hexziffern"};
    uint32_t v = 0;
    for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0)
            throw Broken{"dword braucht 1 bis 8 Hexziffern"};
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
}

std::string ParseHexBytes(std::string_view list)
{
    std::string out;
    list = TrimRight(TrimLeft(list));
    if (list.empty())
        return out;
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        std::string_view item = TrimRight(TrimLeft(list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (item.empty() || item.size() > 2)
            throw Broken{"ung\xfcltige Bytefolge in hex-Daten"};
        int v = 0;
        for (char c : item) {
            int d = HexDigit(c);
            if (d < 0)
                throw Broken{"ung\xfcltige Bytefolge in hex-Daten"};
            v = v * 16 + d;
        }
        out.push_back(static_cast<char>(v));
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return out;
}

bool SameData(const Value& a, const Value& b)
{
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case Value::Kind::String: return a.text == b.text;
    case Value::Kind::Dword: return a.dword == b.dword;
    case Value::Kind::Raw: return a.raw == b.raw;
    }
    return false;
}

std::string NamePart(const std::string& name)
{
    if (name.empty())
        return "@";
    std::string quoted = "\"";
    quoted += EscapeText(name);
    quoted += '"';
    return quoted;
}

} // namespace

std::string Fold(const std::string& name)
{
    const auto& table = FoldTable();
    std::string out(name);
    for (char& c : out)
        c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return out;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    const auto& table = FoldTable();
    for (size_t i = 0; i < a.size(); ++i)
        if (table[static_cast<unsigned char>(a[i])] != table[static_cast<unsigned char>(b[i])])
            return false;
    return true;
}

TRegDataType Value::DataType() const
{
    switch (kind) {
    case Kind::String: return TRegDataType::rdString;
    case Kind::Dword: return TRegDataType::rdInteger;
    case Kind::Raw: break;
    }
    switch (rawType) {
    case kRegSz: return TRegDataType::rdString;
    case kRegExpandSz: return TRegDataType::rdExpandString;
    case kRegBinary: return TRegDataType::rdBinary;
    case kRegDword: return TRegDataType::rdInteger;
    default: return TRegDataType::rdUnknown;
    }
}

const Value* Key::Find(const std::string& name) const
{
    auto it = index_.find(Fold(name));
    return it == index_.end() ? nullptr : &values_[it->second];
}

bool Key::Set(Value value)
{
    std::string folded = Fold(value.name);
    auto it = index_.find(folded);
    if (it == index_.end()) {
        index_.emplace(std::move(folded), values_.size());
        values_.push_back(std::move(value));
        return true;
    }
    Value& old = values_[it->second];
    if (SameData(old, value))
        return false;
    // The value stays where it stood and keeps the spelling of its name.
    // A raw value carries its name inside its lines, so it keeps its own.
    if (value.kind != Value::Kind::Raw)
        value.name = old.name;
    if (value.comments.empty())
        value.comments = std::move(old.comments);
    old = std::move(value);
    return true;
}

const Key* Document::FindKey(const std::string& path) const
{
    auto it = index_.find(Fold(path));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

bool Document::KeyExists(const std::string& path) const
{
    std::string folded = Fold(path);
    return index_.count(folded) != 0 || implied_.count(folded) != 0;
}

Key& Document::EnsureKey(const std::string& path)
{
    std::string folded = Fold(path);
    auto it = index_.find(folded);
    if (it != index_.end())
        return keys_[it->second];
    for (size_t p = folded.find('\\'); p != std::string::npos; p = folded.find('\\', p + 1))
        ++implied_[folded.substr(0, p)];
    index_.emplace(std::move(folded), keys_.size());
    Key key;
    key.path = path;
    keys_.push_back(std::move(key));
    return keys_.back();
}

bool Document::WideHexStrings() const
{
    return header == kHeaderVersion5;
}

std::string EscapeText(const std::string& text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (b < 32 || b == 127) {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool Parse(const std::string& input, Document& out, ParseError& error)
{
    out = Document();
    error = ParseError();

    // A file written by a Unicode editor: accept it when every character
    // has a place in Windows-1252, since that is what values hold.
    std::string bytes;
    auto decodeWith = [&](QStringDecoder::Encoding encoding, size_t bomSize) {
        QStringDecoder decoder(encoding, QStringDecoder::Flag::Stateless);
        QString text = decoder(QByteArrayView(input.data() + bomSize, static_cast<qsizetype>(input.size() - bomSize)));
        bool lossless = true;
        bytes = codepage::ToBytes(text, &lossless);
        if (decoder.hasError() || !lossless) {
            error.line = 1;
            error.reason = "Zeichen au\xdf" "erhalb von Windows-1252 oder fehlerhafte Kodierung";
            return false;
        }
        return true;
    };
    if (input.compare(0, 3, "\xef\xbb\xbf") == 0) {
        if (!decodeWith(QStringDecoder::Utf8, 3))
            return false;
    } else if (input.compare(0, 2, "\xff\xfe") == 0) {
        if (!decodeWith(QStringDecoder::Utf16LE, 2))
            return false;
    } else {
        bytes = input;
    }

    std::vector<std::string_view> lines;
    {
        std::string_view all(bytes);
        size_t start = 0;
        while (start < all.size()) {
            size_t nl = all.find('\n', start);
            size_t end = nl == std::string_view::npos ? all.size() : nl;
            std::string_view line = all.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            lines.push_back(line);
            start = end + 1;
        }
    }

    size_t i = 0;
    try {
        if (lines.empty())
            throw Broken{"Kopfzeile REGEDIT4 fehlt"};
        std::string_view header = TrimRight(lines[0]);
        if (header != kHeaderRegedit4 && header != kHeaderVersion5)
            throw Broken{"Kopfzeile REGEDIT4 fehlt"};
        out.header = std::string(header);

        std::string currentPath; // of the last key line; empty before the first
        std::vector<std::string> comments;
        for (i = 1; i < lines.size(); ++i) {
            std::string_view line = lines[i];
            if (line.find('\0') != std::string_view::npos)
                throw Broken{"Nullbyte in der Zeile"};
            std::string_view t = TrimLeft(line);
            if (t.empty())
                continue;
            if (t[0] == ';') {
                comments.emplace_back(line);
                continue;
            }
            if (t[0] == '[') {
                size_t close = t.rfind(']');
                if (close == std::string_view::npos || !TrimLeft(t.substr(close + 1)).empty())
                    throw Broken{"Schl\xfcsselzeile ohne ]"};
                std::string_view path = t.substr(1, close - 1);
                if (path.empty() || path[0] == '-')
                    throw Broken{"ung\xfcltiger Schl\xfcsselname"};
                for (char c : path) {
                    unsigned char b = static_cast<unsigned char>(c);
                    if (b < 32 || b == 127)
                        throw Broken{"Steuerzeichen im Schl\xfcsselname"};
                }
                Key& key = out.EnsureKey(std::string(path));
                for (auto& c : comments)
                    key.comments.push_back(std::move(c));
                comments.clear();
                currentPath = key.path;
                continue;
            }
            if (t[0] != '"' && t[0] != '@')
                throw Broken{"unverst\xe4ndliche Zeile"};
            if (currentPath.empty())
                throw Broken{"Wert au\xdf" "erhalb eines Schl\xfcssels"};

            Value value;
            size_t pos = 0;
            if (t[0] == '@')
                pos = 1;
            else
                value.name = ParseQuoted(t, pos);
            std::string_view rest = TrimLeft(t.substr(pos));
            if (rest.empty() || rest[0] != '=')
                throw Broken{"= fehlt nach dem Wertnamen"};
            rest = TrimLeft(rest.substr(1));
            if (!rest.empty() && rest[0] == '"') {
                size_t p = 0;
                value.kind = Value::Kind::String;
                value.text = ParseQuoted(rest, p);
                ExpectLineEnd(rest.substr(p));
            } else if (StartsWithNoCase(rest, "dword:")) {
                value.kind = Value::Kind::Dword;
                value.dword = ParseDword(rest.substr(6));
            } else if (StartsWithNoCase(rest, "hex")) {
                value.kind = Value::Kind::Raw;
                std::string_view h = rest.substr(3);
                value.rawType = kRegBinary;
                if (!h.empty() && h[0] == '(') {
                    size_t close = h.find(')');
                    if (close == std::string_view::npos)
                        throw Broken{"hex( ohne )"};
                    value.rawType = ParseDword(h.substr(1, close - 1));
                    h = h.substr(close + 1);
                }
                if (h.empty() || h[0] != ':')
                    throw Broken{": fehlt nach hex"};
                std::string logical(h.substr(1));
                value.raw = std::string(line);
                // Long binary values run over several lines, each but the
                // last ending in a backslash.
                while (true) {
                    std::string_view l = TrimRight(logical);
                    if (l.empty() || l.back() != '\\')
                        break;
                    logical.resize(l.size() - 1);
                    if (++i >= lines.size())
                        throw Broken{"Fortsetzungszeile fehlt"};
                    if (lines[i].find('\0') != std::string_view::npos)
                        throw Broken{"Nullbyte in der Zeile"};
                    value.raw += '\n';
                    value.raw += lines[i];
                    logical += TrimLeft(lines[i]);
                }
                value.rawBytes = ParseHexBytes(logical);
            } else {
                throw Broken{"unbekannter Datentyp"};
            }
            value.comments = std::move(comments);
            comments.clear();
            out.EnsureKey(currentPath).Set(std::move(value));
        }
        out.trailer = std::move(comments);
    } catch (const Broken& b) {
        error.line = static_cast<int>(i) + 1;
        error.reason = b.reason;
        return false;
    }
    return true;
}

namespace {

// Lines are written with LF alone, and the reader takes one CR off a line's
// end. A kept line (comment, raw value) that itself ends in CR therefore
// gets a CR LF ending, so that it reads back as it was.
void PutLine(std::string& out, std::string_view text)
{
    for (;;) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        out += line;
        if (!line.empty() && line.back() == '\r')
            out += '\r';
        out += '\n';
        if (nl == std::string_view::npos)
            return;
        text.remove_prefix(nl + 1);
    }
}

} // namespace

std::string Serialize(const Document& doc)
{
    std::string out = doc.header;
    out += '\n';
    for (const Key& key : doc.Keys()) {
        out += '\n';
        for (const auto& c : key.comments)
            PutLine(out, c);
        out += '[';
        out += key.path;
        out += "]\n";
        for (const Value& v : key.Values()) {
            for (const auto& c : v.comments)
                PutLine(out, c);
            switch (v.kind) {
            case Value::Kind::String:
                out += NamePart(v.name);
                out += "=\"";
                out += EscapeText(v.text);
                out += "\"\n";
                break;
            case Value::Kind::Dword:
                out += NamePart(v.name);
                out += rtl::Format("=dword:%08x\n", v.dword);
                break;
            case Value::Kind::Raw:
                PutLine(out, v.raw);
                break;
            }
        }
    }
    if (!doc.trailer.empty()) {
        out += '\n';
        for (const auto& c : doc.trailer)
            PutLine(out, c);
    }
    return out;
}

std::string StringData(const Document& doc, const Value& value)
{
    std::string text;
    if (value.kind == Value::Kind::String) {
        text = value.text;
    } else if (value.kind == Value::Kind::Raw && doc.WideHexStrings()) {
        const std::string& b = value.rawBytes;
        QString wide;
        for (size_t i = 0; i + 1 < b.size(); i += 2) {
            char16_t u = static_cast<char16_t>(static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8));
            if (u == 0)
                break;
            wide.append(QChar(u));
        }
        // Characters without a place in the code page read as '?', as the
        // 8-bit registry functions give them.
        for (char32_t ch : wide.toUcs4()) {
            unsigned char byte;
            text.push_back(codepage::ByteOf(ch, byte) ? static_cast<char>(byte) : '?');
        }
    } else if (value.kind == Value::Kind::Raw) {
        text = value.rawBytes;
    }
    size_t zero = text.find('\0');
    if (zero != std::string::npos)
        text.resize(zero);
    return text;
}

} // namespace reg::file
