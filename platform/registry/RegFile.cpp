#include "RegFile.h"

#include "CodePage.h"
#include "Rtl.h"

#include <QChar>
#include <QList>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
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

// The value of a hex digit, -1 for any other byte. A table: \xHH escapes
// may be a third of a long text.
int HexDigit(char c)
{
    static const std::array<signed char, 256> table = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        for (int d = 0; d < 10; ++d)
            t['0' + d] = static_cast<signed char>(d);
        for (int d = 0; d < 6; ++d) {
            t['a' + d] = static_cast<signed char>(10 + d);
            t['A' + d] = static_cast<signed char>(10 + d);
        }
        return t;
    }();
    return table[static_cast<unsigned char>(c)];
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

// Flags the bytes of an eight-byte word that are '"' or '\\'. The lowest
// flag marks the first such byte; flags above it may be false.
inline uint64_t QuoteOrBackslashFlags(uint64_t v)
{
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    uint64_t q = v ^ (kOnes * '"'), b = v ^ (kOnes * '\\');
    return (((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs;
}

constexpr bool kWordScan = std::endian::native == std::endian::little;

// The first '"' or '\\' in [p, end), or end. Eight bytes at a time: a
// pane text may be tens of megabytes on one line.
const char* FindQuoteOrBackslash(const char* p, const char* end)
{
    if constexpr (kWordScan) {
        while (end - p >= 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            if (uint64_t hit = QuoteOrBackslashFlags(v))
                return p + (std::countr_zero(hit) >> 3);
            p += 8;
        }
    }
    while (p < end && *p != '"' && *p != '\\')
        ++p;
    return p;
}

// Copies from p to o up to the first '"' or '\\' (or end) and leaves both
// there. Whole words are stored, so o needs eight bytes of room beyond what
// it receives.
inline void CopyToQuoteOrBackslash(const char*& p, const char* end, char*& o)
{
    if constexpr (kWordScan) {
        while (end - p >= 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            std::memcpy(o, &v, 8);
            if (uint64_t hit = QuoteOrBackslashFlags(v)) {
                size_t n = static_cast<size_t>(std::countr_zero(hit) >> 3);
                p += n;
                o += n;
                return;
            }
            p += 8;
            o += 8;
        }
    }
    while (p < end && *p != '"' && *p != '\\')
        *o++ = *p++;
}

// Reads a quoted text starting at s[pos] == '"'; leaves pos after the
// closing quote. The text's length is found first, so that a long one
// takes its room once and exactly.
std::string ParseQuoted(std::string_view s, size_t& pos)
{
    const char* const begin = s.data();
    const char* const end = begin + s.size();
    const char* const start = begin + pos + 1; // after the opening quote

    // Sizing pass; it skips escapes as the reading pass does, and leaves
    // every complaint to that pass.
    size_t size = 0;
    for (const char* p = start;;) {
        const char* stop = FindQuoteOrBackslash(p, end);
        size += static_cast<size_t>(stop - p);
        if (stop == end || *stop == '"')
            break;
        ++size;
        p = stop + (stop + 1 < end && stop[1] == 'x' ? 4 : 2);
        if (p >= end)
            break;
    }

    constexpr size_t kSlack = 8;
    std::string out(size + kSlack, '\0');
    char* o = out.data();
    char* const oend = o + size;
    const char* p = start;
    while (p < end) {
        CopyToQuoteOrBackslash(p, end, o);
        if (o > oend || p == end)
            break; // o > oend cannot happen: both passes read the same way
        if (*p++ == '"') {
            pos = static_cast<size_t>(p - begin);
            out.resize(static_cast<size_t>(o - out.data()));
            return out;
        }
        if (p == end || o == oend)
            break;
        char e = *p++;
        if (e == '\\' || e == '"') {
            *o++ = e;
        } else if (e == 'x') {
            int hi = p < end ? HexDigit(p[0]) : -1;
            int lo = p + 1 < end ? HexDigit(p[1]) : -1;
            if (hi < 0 || lo < 0)
                throw Broken{"\\x ohne zwei Hexziffern"};
            *o++ = static_cast<char>(hi * 16 + lo);
            p += 2;
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

namespace {

// How each byte is written inside quotes: as it is, after a backslash, or
// as \xHH; up to four bytes, always stored as four.
struct Escaped {
    char bytes[4];
    unsigned char size;
};

const std::array<Escaped, 256>& EscapeTable()
{
    static const std::array<Escaped, 256> table = [] {
        static const char kHex[] = "0123456789abcdef";
        std::array<Escaped, 256> t{};
        for (int b = 0; b < 256; ++b) {
            char c = static_cast<char>(b);
            if (c == '\\' || c == '"')
                t[b] = {{'\\', c, 0, 0}, 2};
            else if (b < 32 || b == 127)
                t[b] = {{'\\', 'x', kHex[b >> 4], kHex[b & 15]}, 4};
            else
                t[b] = {{c, 0, 0, 0}, 1};
        }
        return t;
    }();
    return table;
}

size_t EscapedSize(std::string_view text)
{
    const auto& table = EscapeTable();
    size_t size = 0;
    for (char c : text)
        size += table[static_cast<unsigned char>(c)].size;
    return size;
}

// Room an escaped text needs beyond its own size: every byte is written as
// four, of which only its own count.
constexpr size_t kEscapeSlack = 3;

// Writes the escaped form of `text` at `out`, which has room for
// EscapedSize(text) + kEscapeSlack bytes; returns the end. Without
// branches, as the texts may hold any byte anywhere.
char* EscapeInto(char* out, std::string_view text)
{
    const auto& table = EscapeTable();
    for (char c : text) {
        const Escaped& e = table[static_cast<unsigned char>(c)];
        std::memcpy(out, e.bytes, 4);
        out += e.size;
    }
    return out;
}

} // namespace

std::string EscapeText(const std::string& text)
{
    const size_t size = EscapedSize(text);
    std::string out(size + kEscapeSlack, '\0');
    EscapeInto(out.data(), text);
    out.resize(size);
    return out;
}

bool Parse(std::string_view input, Document& out, ParseError& error)
{
    out = Document();
    error = ParseError();

    // A file written by a Unicode editor: accept it when every character
    // has a place in Windows-1252, since that is what values hold.
    std::string decoded;
    std::string_view bytes = input;
    auto decodeWith = [&](QStringDecoder::Encoding encoding, size_t bomSize) {
        QStringDecoder decoder(encoding, QStringDecoder::Flag::Stateless);
        QString text = decoder(QByteArrayView(input.data() + bomSize, static_cast<qsizetype>(input.size() - bomSize)));
        bool lossless = true;
        decoded = codepage::ToBytes(text, &lossless);
        bytes = decoded;
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

// Gathers the file text in pieces of about a megabyte and hands each to the
// sink, so that a document with long texts is never held a second time as
// one string.
class Writer {
public:
    explicit Writer(const std::function<bool(std::string_view)>& sink)
        : sink_(sink), buf_(new char[kSize + kEscapeSlack])
    {
    }

    void Put(char c)
    {
        if (used_ == kSize)
            Flush();
        buf_[used_++] = c;
    }
    void Put(std::string_view s)
    {
        while (!s.empty()) {
            if (used_ == kSize)
                Flush();
            size_t n = std::min(s.size(), kSize - used_);
            std::memcpy(buf_.get() + used_, s.data(), n);
            used_ += n;
            s.remove_prefix(n);
        }
    }
    // The text with the escapes of a quoted value; at most four bytes each,
    // and the buffer has the slack the escaping needs.
    void PutEscaped(std::string_view text)
    {
        while (!text.empty()) {
            if (kSize - used_ < 4 * kStep)
                Flush();
            size_t n = std::min(text.size(), (kSize - used_) / 4);
            used_ = static_cast<size_t>(EscapeInto(buf_.get() + used_, text.substr(0, n)) - buf_.get());
            text.remove_prefix(n);
        }
    }
    // Lines are written with LF alone, and the reader takes one CR off a
    // line's end. A kept line (comment, raw value) that itself ends in CR
    // therefore gets a CR LF ending, so that it reads back as it was.
    void PutLine(std::string_view text)
    {
        for (;;) {
            size_t nl = text.find('\n');
            std::string_view line = text.substr(0, nl);
            Put(line);
            if (!line.empty() && line.back() == '\r')
                Put('\r');
            Put('\n');
            if (nl == std::string_view::npos)
                return;
            text.remove_prefix(nl + 1);
        }
    }
    // False once the sink has refused a piece; nothing more reaches it.
    bool Finish()
    {
        Flush();
        return ok_;
    }

private:
    static constexpr size_t kSize = size_t(1) << 20;
    static constexpr size_t kStep = 4096;

    void Flush()
    {
        if (ok_ && used_ > 0)
            ok_ = sink_(std::string_view(buf_.get(), used_));
        used_ = 0;
    }

    const std::function<bool(std::string_view)>& sink_;
    std::unique_ptr<char[]> buf_;
    size_t used_ = 0;
    bool ok_ = true;
};

void PutName(Writer& out, const std::string& name)
{
    if (name.empty()) {
        out.Put('@');
        return;
    }
    out.Put('"');
    out.PutEscaped(name);
    out.Put('"');
}

} // namespace

bool SerializeTo(const Document& doc, const std::function<bool(std::string_view)>& sink)
{
    Writer out(sink);
    out.Put(doc.header);
    out.Put('\n');
    for (const Key& key : doc.Keys()) {
        out.Put('\n');
        for (const auto& c : key.comments)
            out.PutLine(c);
        out.Put('[');
        out.Put(key.path);
        out.Put("]\n");
        for (const Value& v : key.Values()) {
            for (const auto& c : v.comments)
                out.PutLine(c);
            switch (v.kind) {
            case Value::Kind::String:
                PutName(out, v.name);
                out.Put("=\"");
                out.PutEscaped(v.text);
                out.Put("\"\n");
                break;
            case Value::Kind::Dword:
                PutName(out, v.name);
                out.Put(rtl::Format("=dword:%08x\n", v.dword));
                break;
            case Value::Kind::Raw:
                out.PutLine(v.raw);
                break;
            }
        }
    }
    if (!doc.trailer.empty()) {
        out.Put('\n');
        for (const auto& c : doc.trailer)
            out.PutLine(c);
    }
    return out.Finish();
}

std::string Serialize(const Document& doc)
{
    std::string out;
    SerializeTo(doc, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
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
