// The REGEDIT4 reader: any file content, through the parser alone and through
// the registry store as the program meets it at start-up.
//
// Parser: never a crash and never an endless loop (libFuzzer's -timeout
// catches the latter). What it accepts, written back, reads again to the
// same document: the store writes exactly that text when a value changes, so
// a text it could not read back would cost the user every setting at the
// next start.
//
// Store: the content is put where the settings file lives and read through
// TRegistry, every value of every key (but the serial-device list's). A file the parser accepts stays as it
// is; a file it rejects is moved aside whole (Tarrowin.reg.broken-*) and is
// never overwritten: a later write starts a new file and leaves the broken
// one unchanged. The write itself must succeed and give exactly the document
// read plus the value written.
//
// The folder lives on /dev/shm where there is one, as the store syncs each
// write to disk.

#include "RegFile.h"
#include "Registry.h"
#include "SerialDevices.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_dir;
std::string g_path;
std::vector<std::string> g_notices;

const char* const kSettingsKey = "HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin";

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "REGEDIT4 reader: %s\n", what);
    std::abort();
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool ReadFile(const std::string& path, std::string& out)
{
    out.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

void WriteFile(const std::string& path, const std::string& content)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        Fail("cannot write the test file");
    close(fd);
}

void ParserAlone(const std::string& content, bool& accepted, reg::file::Document& doc)
{
    reg::file::ParseError error;
    accepted = reg::file::Parse(content, doc, error);
    if (!accepted) {
        if (error.line < 1 || error.reason.empty())
            Fail("a rejected file without a line or a reason");
        doc = reg::file::Document();
        return;
    }
    const std::string written = reg::file::Serialize(doc);
    reg::file::Document again;
    if (!reg::file::Parse(written, again, error))
        Fail("the reader rejects what the writer wrote for a file it accepted");
    if (written != reg::file::Serialize(again))
        Fail("a file read, written and read again is not the same document");
}

// Everything the program could read from the file, through TRegistry.
void ReadEverything()
{
    std::vector<std::string> keys;
    reg::store::Read([&](const reg::file::Document& doc) {
        for (const auto& k : doc.Keys())
            keys.push_back(k.path);
    });
    for (const auto& path : keys) {
        const size_t slash = path.find('\\');
        const std::string root = path.substr(0, slash);
        reg::TRegistry r;
        if (reg::file::SameName(root, "HKEY_LOCAL_MACHINE"))
            r.SetRootKey(reg::HKEY::HKEY_LOCAL_MACHINE);
        else if (!reg::file::SameName(root, "HKEY_CURRENT_USER"))
            continue;
        std::string relative = slash == std::string::npos ? std::string() : path.substr(slash + 1);
        // OpenKey ignores backslashes around the relative path, so
        // "[HKEY_LOCAL_MACHINE\\hardware\devicemap\serialcomm\]" opens
        // that key too.
        while (!relative.empty() && relative.front() == '\\')
            relative.erase(0, 1);
        while (!relative.empty() && relative.back() == '\\')
            relative.pop_back();
        // That key shows the serial-device list, not the file's values; its
        // reading hands out port names and stores them, by design.
        if (reg::file::SameName(root + "\\" + relative, reg::file::kSerialCommKey))
            continue;
        if (!r.OpenKey(relative, false))
            continue;
        std::vector<std::string> names;
        r.GetValueNames(names);
        for (const auto& name : names) {
            r.ValueExists(name);
            try {
                switch (r.GetDataType(name)) {
                case reg::TRegDataType::rdString:
                case reg::TRegDataType::rdExpandString: r.ReadString(name); break;
                case reg::TRegDataType::rdInteger: r.ReadInteger(name); break;
                default: r.ReadString(name); break;
                }
            } catch (const reg::ERegistryException&) {
            }
        }
    }
}

void ThroughTheStore(const std::string& content, bool accepted, reg::file::Document doc)
{
    for (const auto& name : Entries(g_dir))
        unlink((g_dir + "/" + name).c_str());
    WriteFile(g_path, content);
    g_notices.clear();

    ReadEverything();

    // An empty file holds nothing that could be lost and counts as read.
    const bool kept = accepted || content.empty();
    std::string now;
    auto names = Entries(g_dir);
    std::string brokenName;
    if (kept) {
        if (names.size() != 1 || !ReadFile(g_path, now) || now != content)
            Fail("a file the reader accepts was changed or moved");
        if (!g_notices.empty())
            Fail("a notice for a file the reader accepts");
    } else {
        if (names.size() != 1 || names[0].rfind("Tarrowin.reg.broken-", 0) != 0)
            Fail("a rejected file was not moved aside under its broken-* name");
        brokenName = names[0];
        if (!ReadFile(g_dir + "/" + brokenName, now) || now != content)
            Fail("a rejected file was not kept as it was");
        if (g_notices.size() != 1)
            Fail("a rejected file was not reported exactly once");
        doc = reg::file::Document();
    }

    reg::file::Value probe;
    probe.name = "FuzzProbe";
    probe.text = "written after reading";
    std::string reason;
    if (!reg::store::Update([&](reg::file::Document& d) { return d.EnsureKey(kSettingsKey).Set(probe); }, &reason))
        Fail("a write after reading the file failed");
    doc.EnsureKey(kSettingsKey).Set(probe);
    if (!ReadFile(g_path, now) || now != reg::file::Serialize(doc))
        Fail("the written file is not the document read plus the value written");
    if (!brokenName.empty() && (!ReadFile(g_dir + "/" + brokenName, now) || now != content))
        Fail("a write changed the file that was set aside");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
    std::string templ = base + "/tarrowin-fuzz-reg-XXXXXX";
    if (!mkdtemp(templ.data()))
        Fail("cannot make a folder");
    const std::string root = templ;
    mkdir((root + "/sys").c_str(), 0700);
    mkdir((root + "/dev").c_str(), 0700);
    mkdir((root + "/cfg").c_str(), 0700);
    // No serial device of this machine takes part.
    serialdevices::SetDiscoveryRoots(root + "/sys", root + "/dev");
    g_dir = root + "/cfg";
    g_path = g_dir + "/Tarrowin.reg";
    reg::SetFilePath(g_path);
    reg::SetNoticeHandler([](const std::string& m) { g_notices.push_back(m); });
    std::atexit([] {
        const std::string cfg = g_dir, root = g_dir.substr(0, g_dir.rfind('/'));
        for (const auto& name : Entries(cfg))
            unlink((cfg + "/" + name).c_str());
        rmdir(cfg.c_str());
        rmdir((root + "/sys").c_str());
        rmdir((root + "/dev").c_str());
        rmdir(root.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string content(reinterpret_cast<const char*>(data), size);
    bool accepted = false;
    reg::file::Document doc;
    ParserAlone(content, accepted, doc);
    ThroughTheStore(content, accepted, doc);
    return 0;
}
