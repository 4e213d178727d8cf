#include "SerialDevices.h"

#include "CodePage.h"
#include "RegFile.h"

#include <QString>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serialdevices {

namespace file = reg::file;

namespace {

constexpr const char* kLoopbackPath = "loopback";
constexpr const char* kLoopbackDescription =
    "eingebauter Loopback-Stecker (simulierter Port mit R\xfc" "ckleitung)";

std::mutex g_rootsMutex;
std::string g_sysRoot = "/sys";
std::string g_devRoot = "/dev";

struct Device {
    std::string path;
    std::string description;
};

struct Listed {
    Entry entry;
    bool fromUser = false; // named by the user under the serialcomm key
};

// First line of a small sysfs attribute, without trailing blanks.
// Only attribute files are read here; device nodes are never opened.
bool ReadAttribute(const std::string& path, std::string& out)
{
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n < 0)
        return false;
    out.assign(buf, static_cast<size_t>(n));
    size_t nl = out.find('\n');
    if (nl != std::string::npos)
        out.resize(nl);
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t' || out.back() == '\r'))
        out.pop_back();
    return true;
}

std::string RealPath(const std::string& path)
{
    std::string out;
    if (char* real = realpath(path.c_str(), nullptr)) {
        out = real;
        free(real);
    }
    return out;
}

std::string LinkBaseName(const std::string& link)
{
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string target(buf, static_cast<size_t>(n));
    size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

std::string ParentOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// "ttyUSB0 (ftdi_sio, FT232R USB UART)": the driver behind the port and,
// for USB adapters, the product name, found by walking up a few levels of
// the device tree.
std::string Describe(const std::string& ttyEntry, const std::string& name, const std::string& sysRealRoot)
{
    std::string dir = RealPath(ttyEntry + "/device");
    std::string driver, product, interfaceText;
    for (int level = 0; level < 4 && !dir.empty(); ++level) {
        if (sysRealRoot.empty() || dir.compare(0, sysRealRoot.size() + 1, sysRealRoot + "/") != 0)
            break;
        if (driver.empty()) {
            std::string d = LinkBaseName(dir + "/driver");
            // "port" and "ctrl" belong to the kernel's serial-core layer
            // that every UART port has; the real driver sits above them.
            if (!d.empty() && d != "port" && d != "ctrl")
                driver = d;
        }
        if (product.empty())
            ReadAttribute(dir + "/product", product);
        if (level <= 1 && interfaceText.empty())
            ReadAttribute(dir + "/interface", interfaceText);
        dir = ParentOf(dir);
    }
    if (product.empty())
        product = interfaceText;
    std::string detail = driver;
    if (!product.empty())
        detail += (detail.empty() ? "" : ", ") + product;
    if (detail.empty())
        return name;
    // sysfs texts are UTF-8; the program's strings are Windows-1252.
    return name + " (" + codepage::ToBytes(QString::fromUtf8(detail)) + ")";
}

// Serial ports the kernel knows, sorted by name. A tty is real hardware
// when it has a `device` link; an 8250 port whose probe found no UART
// reports type 0 (PORT_UNKNOWN) and is left out.
std::vector<Device> Discover(const std::string& sysRoot, const std::string& devRoot)
{
    std::vector<std::string> names;
    const std::string classDir = sysRoot + "/class/tty";
    if (DIR* d = opendir(classDir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());

    const std::string sysReal = RealPath(sysRoot);
    std::vector<Device> out;
    for (const auto& name : names) {
        const std::string entry = classDir + "/" + name;
        struct stat st;
        if (lstat((entry + "/device").c_str(), &st) != 0)
            continue;
        std::string type;
        if (ReadAttribute(entry + "/type", type) && type == "0")
            continue;
        out.push_back({devRoot + "/" + name, Describe(entry, name, sysReal)});
    }
    return out;
}

// n of "COMn" (any case), 0 when the text is not such a name.
long ComNumber(const std::string& port)
{
    if (port.size() < 4 || port.size() > 12)
        return 0;
    if (!file::SameName(port.substr(0, 3), "COM"))
        return 0;
    long n = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9')
            return 0;
        n = n * 10 + (port[i] - '0');
    }
    return n;
}

// What the registry file says about ports: the user's own entries and the
// numbers handed out earlier.
struct Stored {
    std::vector<std::pair<std::string, std::string>> userEntries; // path, port name
    std::vector<std::pair<std::string, std::string>> assignments;
};

Stored TakeStored(const file::Document& doc)
{
    Stored s;
    auto strings = [&](const char* keyPath, std::vector<std::pair<std::string, std::string>>& out) {
        const file::Key* key = doc.FindKey(keyPath);
        if (!key)
            return;
        for (const auto& v : key->Values()) {
            reg::TRegDataType t = v.DataType();
            if (t != reg::TRegDataType::rdString && t != reg::TRegDataType::rdExpandString)
                continue;
            std::string port = file::StringData(doc, v);
            if (!v.name.empty() && !port.empty())
                out.emplace_back(v.name, port);
        }
    };
    strings(file::kSerialCommKey, s.userEntries);
    strings(file::kPortsKey, s.assignments);
    return s;
}

struct Plan {
    std::vector<Listed> listed;
    std::vector<std::pair<std::string, std::string>> newAssignments;
};

std::string UserDescription(const std::string& path)
{
    std::string text = "vom Benutzer eingetragen";
    struct stat st;
    if (!path.empty() && path[0] == '/' && stat(path.c_str(), &st) != 0)
        text += ", zurzeit nicht vorhanden";
    return text;
}

Plan MakePlan(const std::vector<Device>& present, const Stored& stored)
{
    Plan plan;
    std::set<long> used;
    std::unordered_map<std::string, const std::string*> user, assigned;
    for (const auto& [path, port] : stored.userEntries) {
        user.emplace(file::Fold(path), &port);
        used.insert(ComNumber(port));
    }
    for (const auto& [path, port] : stored.assignments) {
        assigned.emplace(file::Fold(path), &port);
        used.insert(ComNumber(port));
    }

    std::unordered_set<std::string> seen;
    long next = 1;
    for (const auto& device : present) {
        std::string folded = file::Fold(device.path);
        if (!seen.insert(folded).second)
            continue;
        Listed l;
        l.entry.devicePath = device.path;
        l.entry.description = device.description;
        if (auto u = user.find(folded); u != user.end()) {
            l.entry.portName = *u->second;
            l.fromUser = true;
        } else if (auto a = assigned.find(folded); a != assigned.end()) {
            l.entry.portName = *a->second;
        } else {
            while (used.count(next))
                ++next;
            used.insert(next);
            l.entry.portName = "COM" + std::to_string(next);
            plan.newAssignments.emplace_back(device.path, l.entry.portName);
        }
        plan.listed.push_back(std::move(l));
    }
    // The user's entries are listed whether the device is there or not.
    for (const auto& [path, port] : stored.userEntries) {
        if (!seen.insert(file::Fold(path)).second)
            continue;
        Listed l;
        l.entry = {path, port, UserDescription(path)};
        l.fromUser = true;
        plan.listed.push_back(std::move(l));
    }
    std::sort(plan.listed.begin(), plan.listed.end(),
              [](const Listed& a, const Listed& b) { return a.entry.devicePath < b.entry.devicePath; });
    return plan;
}

std::vector<Listed> ListWithSources()
{
    std::string sysRoot, devRoot;
    {
        std::lock_guard<std::mutex> lock(g_rootsMutex);
        sysRoot = g_sysRoot;
        devRoot = g_devRoot;
    }
    std::vector<Device> present = Discover(sysRoot, devRoot);
    present.push_back({kLoopbackPath, kLoopbackDescription});

    Stored stored;
    reg::store::Read([&](const file::Document& doc) { stored = TakeStored(doc); });
    Plan plan = MakePlan(present, stored);
    if (plan.newAssignments.empty())
        return std::move(plan.listed);

    // New devices: hand out their numbers under the file lock, from the
    // file's current content, so two copies of the program agree.
    Plan fresh;
    bool storedOk = reg::store::Update([&](file::Document& doc) {
        fresh = MakePlan(present, TakeStored(doc));
        if (fresh.newAssignments.empty())
            return false;
        file::Key& key = doc.EnsureKey(file::kPortsKey);
        for (const auto& [path, port] : fresh.newAssignments) {
            file::Value v;
            v.name = path;
            v.kind = file::Value::Kind::String;
            v.text = port;
            key.Set(std::move(v));
        }
        return true;
    });
    // A configuration that cannot be written still gets a usable list;
    // the numbers are then handed out again the same way next time.
    return storedOk ? std::move(fresh.listed) : std::move(plan.listed);
}

} // namespace

void SetDiscoveryRoots(const std::string& sysRoot, const std::string& devRoot)
{
    std::lock_guard<std::mutex> lock(g_rootsMutex);
    g_sysRoot = sysRoot;
    g_devRoot = devRoot;
}

std::vector<Entry> List()
{
    std::vector<Entry> out;
    for (auto& l : ListWithSources())
        out.push_back(std::move(l.entry));
    return out;
}

std::string PathForPort(const std::string& portName)
{
    // When a user entry and a handed-out number name the same port, the
    // user's entry wins: it is the more recent and deliberate choice.
    std::vector<Listed> listed = ListWithSources();
    for (bool fromUser : {true, false})
        for (const auto& l : listed)
            if (l.fromUser == fromUser && reg::file::SameName(l.entry.portName, portName))
                return l.entry.devicePath;
    return {};
}

} // namespace serialdevices
