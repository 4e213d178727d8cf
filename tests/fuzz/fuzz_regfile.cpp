// The REGEDIT4 reader on any file content, alone and through the registry
// store as the program meets the file at start-up. What it accepts must read
// back as the same text once written, or the store's next write would cost the
// user every setting. A file it rejects is moved aside whole and a later write
// starts a new file, leaving the broken one as it was.

#include "FuzzCheck.h"
#include "RegFile.h"
#include "Registry.h"
#include "SerialDevices.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path g_root, g_dir, g_path;
int g_notices = 0;

std::string Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every value of every HKEY_CURRENT_USER key, read through TRegistry; the
// serial-device list under HKEY_LOCAL_MACHINE would store port names.
void ReadEverything()
{
    std::vector<std::string> keys;
    reg::store::Read([&](const reg::file::Document& doc) {
        for (const auto& k : doc.Keys())
            keys.push_back(k.path);
    });
    for (const auto& path : keys) {
        const size_t slash = path.find('\\');
        reg::TRegistry r;
        if (slash == std::string::npos || !reg::file::SameName(path.substr(0, slash), "HKEY_CURRENT_USER")
            || !r.OpenKey(path.substr(slash + 1), false))
            continue;
        std::vector<std::string> names;
        r.GetValueNames(names);
        for (const auto& name : names) {
            try {
                if (r.GetDataType(name) == reg::TRegDataType::rdInteger)
                    r.ReadInteger(name);
                else
                    r.ReadString(name);
            } catch (const reg::ERegistryException&) {
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // On /dev/shm where there is one, as the store syncs each write to disk.
    const fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_root = base / ("tarrowin-fuzz-reg-" + std::to_string(getpid()));
    g_dir = g_root / "cfg";
    g_path = g_dir / "Tarrowin.reg";
    // No serial device of this machine takes part: these folders do not exist.
    serialdevices::SetDiscoveryRoots(g_root / "sys", g_root / "dev");
    reg::SetFilePath(g_path);
    reg::SetNoticeHandler([](const std::string&) { ++g_notices; });
    std::atexit([] { fs::remove_all(g_root); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string content(reinterpret_cast<const char*>(data), size);
    reg::file::Document doc, again;
    reg::file::ParseError error;
    const bool accepted = reg::file::Parse(content, doc, error);
    const std::string written = reg::file::Serialize(doc);
    Check(!accepted || (reg::file::Parse(written, again, error) && reg::file::Serialize(again) == written),
          "a file read, written and read again is not the same text");
    if (!accepted)
        doc = reg::file::Document();

    fs::remove_all(g_dir);
    fs::create_directories(g_dir);
    std::ofstream(g_path, std::ios::binary) << content;
    g_notices = 0;
    ReadEverything();

    // An empty file holds nothing that could be lost and counts as read.
    const bool read = accepted || content.empty();
    const std::vector<fs::path> entries(fs::directory_iterator(g_dir), {});
    const fs::path kept = entries.size() == 1 ? entries[0] : fs::path();
    Check(read ? kept == g_path : kept.filename().string().starts_with("Tarrowin.reg.broken-"),
          "a file was moved that should stay, or a rejected one not set aside under its broken-* name");
    Check(Contents(kept) == content && g_notices == (read ? 0 : 1), "the file was changed or misreported");

    const reg::file::Value probe{.name = "FuzzProbe", .text = "written after reading"};
    const char* const key = "HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin";
    Check(reg::store::Update([&](reg::file::Document& d) { return d.EnsureKey(key).Set(probe); }),
          "a write after reading the file failed");
    doc.EnsureKey(key).Set(probe);
    Check(Contents(g_path) == reg::file::Serialize(doc), "the written file is not the file read plus the value");
    Check(kept == g_path || Contents(kept) == content, "a write changed the file that was set aside");
    return 0;
}
