#pragma once
// The registry file behind reg::TRegistry: its text format (REGEDIT4) and
// the one in-memory copy of it that the registry object and the
// serial-device list share.
//
// File format, one logical line each:
//
//   REGEDIT4                                (or "Windows Registry Editor Version 5.00")
//   <blank line>
//   [HKEY_CURRENT_USER\Software\Brenlow\Tarrowin]
//   "PortNumIndex"=dword:00000000
//   "MemoOut"="Port ge\x0d\x0aschlossen"
//   @="the key's unnamed value"
//   "Blob"=hex:01,02,03                     (kept as it stands, see Value::raw)
//
// Inside quotes a backslash starts one of exactly three escapes: \\ for a
// backslash, \" for a quote and \xHH (two hex digits) for any byte. The
// writer uses \xHH for bytes below 32 and for 127, so no value ever spans
// two lines; every other byte, 128..255 included, is written as it is
// (the file is Windows-1252 like every 8-bit string of the program).
// Lines starting with ';' are comments and are kept with the item they
// precede.

#include "Registry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace reg::file {

// The key whose values are the serial-device list rather than stored data.
inline constexpr const char* kSerialCommKey = "HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm";
// Where the serial-device list keeps the port names it handed out.
inline constexpr const char* kPortsKey = "HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports";

inline constexpr const char* kHeaderRegedit4 = "REGEDIT4";
inline constexpr const char* kHeaderVersion5 = "Windows Registry Editor Version 5.00";

// Windows compares key and value names without regard to case. The folded
// form (upper case within Windows-1252) is what the indexes are keyed by.
std::string Fold(const std::string& name);
bool SameName(const std::string& a, const std::string& b);

// Registry value types as the file's hex(N) notation numbers them.
enum : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
};

struct Value {
    enum class Kind { String, Dword, Raw };

    std::string name; // "" is the key's unnamed value, written @
    Kind kind = Kind::String;
    std::string text;   // Kind::String: the text as stored (may hold zero bytes)
    uint32_t dword = 0; // Kind::Dword
    // Kind::Raw: any hex(N) value. It is never rewritten: `raw` holds its
    // physical lines exactly as read (joined by '\n'), `rawType` the N and
    // `rawBytes` the decoded data for reading.
    std::string raw;
    uint32_t rawType = kRegNone;
    std::string rawBytes;
    std::vector<std::string> comments; // comment lines standing before it

    TRegDataType DataType() const;
};

class Key {
public:
    std::string path; // full path including the root, spelled as first seen
    std::vector<std::string> comments;

    const std::vector<Value>& Values() const { return values_; }
    const Value* Find(const std::string& name) const;
    // Replaces a value of the same name where it stands (keeping that
    // name's spelling and comments), otherwise appends. Returns false when
    // nothing changed.
    bool Set(Value value);

private:
    std::vector<Value> values_;
    std::unordered_map<std::string, size_t> index_;
};

class Document {
public:
    std::string header = kHeaderRegedit4;
    std::vector<std::string> trailer; // comment lines after the last value

    const std::vector<Key>& Keys() const { return keys_; }
    const Key* FindKey(const std::string& path) const;
    // True for a key written in the file and for every key above one.
    bool KeyExists(const std::string& path) const;
    // The key, appended at the end when it is not written in the file yet.
    Key& EnsureKey(const std::string& path);

    // In files with the version 5 header, hex(1) and hex(2) data are
    // UTF-16LE; in REGEDIT4 files they are 8-bit text.
    bool WideHexStrings() const;

private:
    std::vector<Key> keys_;
    std::unordered_map<std::string, size_t> index_;
    std::unordered_map<std::string, size_t> implied_; // folded ancestors -> count
};

// Escaped text for the inside of a pair of quotes, one line long.
std::string EscapeText(const std::string& text);

struct ParseError {
    int line = 0;        // 1-based physical line
    std::string reason;  // German, Windows-1252
};

// Parses the whole file. A UTF-8 or UTF-16LE byte order mark switches the
// reading to that encoding (a text that does not fit Windows-1252 is then
// an error). Returns false with `error` set when the file cannot be
// understood; `out` then holds nothing useful.
bool Parse(std::string_view bytes, Document& out, ParseError& error);

// The file text for a document: always Windows-1252, LF line ends.
std::string Serialize(const Document& doc);
// The same text handed to `sink` in pieces of up to a megabyte, so that a
// document holding long texts is written without a second copy of it.
// Stops at the first piece the sink refuses and then returns false.
bool SerializeTo(const Document& doc, const std::function<bool(std::string_view)>& sink);

// Text of a string-like value (REG_SZ / REG_EXPAND_SZ, in any notation),
// cut at its first zero byte.
std::string StringData(const Document& doc, const Value& value);

} // namespace reg::file

namespace reg::store {

// Runs `fn` on the current content of the registry file, re-read first when
// the file changed on disk. `fn` must not call back into the store.
void Read(const std::function<void(const file::Document&)>& fn);

// Re-reads the file under the folder lock, lets `fn` change the content
// and, when `fn` returns true, commits it atomically (inside a batch, at the
// batch's commit). `fn` returns false only when it changed nothing. Returns
// false (with a reason for logs) when the change could not be stored; the
// file and the content read from it are then as before. `fn` must not call
// back into the store.
bool Update(const std::function<bool(file::Document&)>& fn, std::string* reason = nullptr);

} // namespace reg::store
