#pragma once
// The registry as the program knows it from Windows, kept in one REGEDIT4
// text file: ${XDG_CONFIG_HOME:-$HOME/.config}/Brenlow/Tarrowin.reg.
//
// Keys are written "[HKEY_CURRENT_USER\Software\...]"; values
// "name"="text" (REG_SZ) or "name"=dword:0000000a (REG_DWORD). Texts are
// 8-bit strings that may hold every byte value 1..255 (CR and LF included),
// escaped so that the file stays one value per line and reads back exactly.
//
// The key HKEY_LOCAL_MACHINE\hardware\devicemap\serialcomm is a view onto the
// serial-device list (SerialDevices.h): one value per serial device, named by
// its device path, holding its port name "COMn".
//
// Failures raise ERegistryException with the runtime's German texts.

#include "Rtl.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace reg {

enum class HKEY { HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE };
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

class ERegistryException : public rtl::Exception {
public:
    using rtl::Exception::Exception;
};

// Where the registry file lives; tests point it elsewhere. Empty restores the
// default location.
void SetFilePath(const std::string& path);
std::string FilePath();

// Frees the store's copy of the file's values (the saved pane texts can be
// the most of it); the next use reads the file again. Does nothing inside a
// batch.
void ReleaseCache();

// Called with a German message when the file could not be read and was kept
// aside under a new name. The window shows it in a message box; without a
// handler the message goes to stderr.
void SetNoticeHandler(std::function<void(const std::string& message)> handler);

// Gathers the writes made while it lives, through any registry object of
// the thread, into one rewrite of the file at Commit(): a save of many
// values then costs one write instead of one each, and the file is at every
// moment the old or the new complete file. The values written read back at
// once; other threads wait until the batch ends. Writes the store refuses
// outright (an unusable folder, a broken file) still raise at once.
// Commit() raises "Konnte Daten für '<name>' nicht setzen", naming the first
// value the batch changed, when the file cannot be written; the values then
// read as before the batch. A batch ended without Commit() drops its
// changes. Batches nest; only the outermost one writes.
class TRegistryBatch {
public:
    TRegistryBatch();
    ~TRegistryBatch();
    TRegistryBatch(const TRegistryBatch&) = delete;
    TRegistryBatch& operator=(const TRegistryBatch&) = delete;
    void Commit();
};

class TRegistry : public rtl::TObject {
public:
    explicit TRegistry(uint32_t access = KEY_ALL_ACCESS);
    ~TRegistry() override; // closes the key

    HKEY RootKey() const { return root_; }
    void SetRootKey(HKEY root) { root_ = root; }

    // Open a key relative to the root ("Software\Brenlow\Tarrowin\"); a
    // trailing backslash is ignored. With canCreate the key is created when
    // missing. Returns true when the key is open.
    bool OpenKey(const std::string& key, bool canCreate);
    void CloseKey();
    bool HasCurrentKey() const { return !currentKey_.empty(); }

    bool ValueExists(const std::string& name) const;
    TRegDataType GetDataType(const std::string& name) const;
    // Value names of the open key in the order the store lists them; none
    // when no key is open.
    void GetValueNames(std::vector<std::string>& names) const;

    // Text up to its first zero byte; "" when missing. Raises
    // "Ungültiger Datentyp für '<name>'" for a value that is not a string.
    std::string ReadString(const std::string& name) const;
    // Raises "Konnte Daten für '<name>' nicht holen" when missing,
    // "Ungültiger Datentyp für '<name>'" when not a dword.
    int32_t ReadInteger(const std::string& name) const;
    // Raise "Konnte Daten für '<name>' nicht setzen" when the store refuses.
    // The text is taken over, not copied, when the caller hands over its own.
    void WriteString(const std::string& name, std::string value);
    void WriteInteger(const std::string& name, int32_t value);

private:
    HKEY root_ = HKEY::HKEY_CURRENT_USER;
    uint32_t access_;
    std::string currentKey_; // full path including the root's name
};

} // namespace reg
