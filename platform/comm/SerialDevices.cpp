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

// A port found on the machine. `path` is what is listed and opened: the
// adapter's /dev/serial/by-id link where it has one, since that name stays
// with the adapter however the kernel numbers it; the kernel's node
// otherwise. `path` is also the key its COM number is stored under.
struct Device {
    std::string path;
    std::string kernelPath;         // devRoot + "/ttyUSB0"
    std::vector<std::string> byId;  // every by-id link to it, sorted
    std::string description;
    std::string identity;
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

// The /dev/serial/by-id links udev makes for adapters, by the node they
// lead to. Only links count, and only those that resolve; a folder that is
// missing or cannot be read leaves every port under its kernel name.
std::unordered_map<std::string, std::vector<std::string>> ByIdLinks(const std::string& devRoot)
{
    const std::string dir = devRoot + "/serial/by-id";
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::unordered_map<std::string, std::vector<std::string>> out;
    for (const auto& name : names) {
        const std::string link = dir + "/" + name;
        struct stat st;
        if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        std::string target = RealPath(link);
        if (!target.empty())
            out[target].push_back(link);
    }
    return out;
}

// Serial ports the kernel knows, sorted by kernel name. A tty is real
// hardware when it has a `device` link; an 8250 port whose probe found no
// UART reports type 0 (PORT_UNKNOWN) and is left out.
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
    const auto links = ByIdLinks(devRoot);
    std::vector<Device> out;
    for (const auto& name : names) {
        const std::string entry = classDir + "/" + name;
        struct stat st;
        if (lstat((entry + "/device").c_str(), &st) != 0)
            continue;
        std::string type;
        if (ReadAttribute(entry + "/type", type) && type == "0")
            continue;
        Device device;
        device.kernelPath = devRoot + "/" + name;
        device.path = device.kernelPath;
        // The USB serial number is not part of it: a hub or an emulator
        // may give the same adapter another one in another socket.
        device.description = Describe(entry, name, sysReal);
        device.identity = device.description;
        if (std::string node = RealPath(device.kernelPath); !node.empty()) {
            if (auto l = links.find(node); l != links.end()) {
                device.byId = l->second;
                device.path = device.byId.front();
                device.identity = device.path;
            }
        }
        out.push_back(std::move(device));
    }
    return out;
}

// n of "COMn" (any case, leading zeros allowed); 0 when the text is no
// such name. Numbers start at 1 and must fit the int the window reads the
// name into and the port object opens "COM%d" with.
long ComNumber(const std::string& port)
{
    if (port.size() < 4 || !file::SameName(port.substr(0, 3), "COM"))
        return 0;
    long n = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9')
            return 0;
        n = n * 10 + (port[i] - '0');
        if (n > INT_MAX)
            return 0;
    }
    return n;
}

std::string ComName(long n)
{
    return "COM" + std::to_string(n);
}

// What the registry file says about ports, in file order: the user's own
// entries and the numbers handed out earlier.
struct Stored {
    std::vector<std::pair<std::string, std::string>> userEntries; // path, port name
    std::vector<std::pair<std::string, std::string>> assignments; // key, port name
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

// The user's name as the tool tip quotes it: one line, and not endless.
std::string Quoted(const std::string& name)
{
    constexpr size_t kShown = 64;
    std::string out = name.substr(0, kShown);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return "\"" + out + (name.size() > kShown ? "...\"" : "\"");
}

std::string UserDescription(const std::string& path, const std::string& userName, bool& present)
{
    std::string text = "vom Benutzer ";
    text += userName.empty() ? "eingetragen" : "als " + Quoted(userName) + " eingetragen";
    struct stat st;
    present = path.empty() || path[0] != '/' || stat(path.c_str(), &st) == 0;
    if (!present)
        text += ", zurzeit nicht vorhanden";
    return text;
}

// One line of the list while its number is being settled.
struct Candidate {
    Entry entry;
    std::string userName;  // the user's name when it is not listed as written
    long wanted = 0;       // the number it has a claim on, 0 for none
    bool userClaim = false; // the claim is a COM name the user wrote
    size_t order = 0;      // the claim's place in its key: earlier wins
    std::string key;       // where a number the program hands out is kept; "" for the user's COM names
    std::string movedFrom; // a kernel-name key whose number `key` takes over
};

struct Plan {
    std::vector<Entry> listed;
    std::vector<std::pair<std::string, std::string>> newAssignments; // key, port name
    std::vector<std::string> movedFrom; // kernel-name keys whose numbers moved
};

Plan MakePlan(const std::vector<Device>& present, const Stored& stored)
{
    // Every number named in the file stays reserved, for devices away too.
    std::set<long> reserved;
    std::unordered_map<std::string, size_t> userIndex, assignedIndex;
    std::unordered_map<long, int> storedCount;
    for (size_t i = 0; i < stored.userEntries.size(); ++i) {
        userIndex.emplace(file::Fold(stored.userEntries[i].first), i);
        reserved.insert(ComNumber(stored.userEntries[i].second));
    }
    for (size_t i = 0; i < stored.assignments.size(); ++i) {
        assignedIndex.emplace(file::Fold(stored.assignments[i].first), i);
        long n = ComNumber(stored.assignments[i].second);
        reserved.insert(n);
        ++storedCount[n];
    }
    reserved.erase(0);

    auto storedNumber = [&](const std::string& key, size_t& order) -> long {
        auto a = assignedIndex.find(file::Fold(key));
        if (a == assignedIndex.end())
            return 0;
        order = a->second;
        return ComNumber(stored.assignments[a->second].second);
    };
    // A user's entry claims its COM name; any other name ("ttyACM0") is
    // given a number kept under the entry's path, as a found device's is.
    auto claim = [&](Candidate& c, const std::string& userPort) {
        if (long n = ComNumber(userPort)) {
            c.wanted = n;
            c.userClaim = true;
            if (!file::SameName(userPort, ComName(n)))
                c.userName = userPort; // "COM007"
            return;
        }
        c.userName = userPort;
        c.key = c.entry.devicePath;
        c.wanted = storedNumber(c.key, c.order);
    };

    std::vector<Candidate> candidates;
    std::vector<bool> userTaken(stored.userEntries.size(), false);
    std::unordered_set<std::string> seen;
    for (const auto& device : present) {
        if (!seen.insert(file::Fold(device.path)).second)
            continue;
        Candidate c;
        c.entry.devicePath = device.path;
        c.entry.description = device.description;
        c.entry.identity = device.identity;
        // The user may name the device by its kernel name or by a link;
        // the first such entry in the file is this device's.
        std::vector<std::string> names{device.kernelPath};
        names.insert(names.end(), device.byId.begin(), device.byId.end());
        size_t user = stored.userEntries.size();
        for (const auto& name : names) {
            auto u = userIndex.find(file::Fold(name));
            if (u != userIndex.end() && u->second < user) {
                user = u->second;
                c.entry.devicePath = name; // what the user meant, spelled as the system does
            }
        }
        if (user < stored.userEntries.size()) {
            userTaken[user] = true;
            c.order = user;
            claim(c, stored.userEntries[user].second);
            if (!c.userName.empty())
                c.entry.description += "; vom Benutzer als " + Quoted(c.userName) + " eingetragen";
        } else {
            c.key = device.path;
            c.wanted = storedNumber(c.key, c.order);
            // Numbers stored before the adapter had its link were keyed by
            // its kernel name. The adapter takes that number along (the
            // kernel name must not hand it to the next adapter that gets
            // it), unless another key holds the same number.
            size_t kernelOrder = 0;
            long kernelNumber = 0;
            if (c.wanted == 0 && device.path != device.kernelPath)
                kernelNumber = storedNumber(device.kernelPath, kernelOrder);
            if (kernelNumber != 0 && storedCount[kernelNumber] == 1) {
                c.wanted = kernelNumber;
                c.order = kernelOrder;
                c.movedFrom = stored.assignments[kernelOrder].first;
            }
        }
        candidates.push_back(std::move(c));
    }
    // The user's entries are listed whether the device is there or not.
    for (size_t i = 0; i < stored.userEntries.size(); ++i) {
        const auto& [path, port] = stored.userEntries[i];
        if (userTaken[i] || !seen.insert(file::Fold(path)).second)
            continue;
        Candidate c;
        c.entry.devicePath = path;
        c.entry.identity = path;
        c.order = i;
        claim(c, port);
        c.entry.description = UserDescription(path, c.userName, c.entry.present);
        candidates.push_back(std::move(c));
    }

    // A COM number names one device. The user's names come first, in file
    // order, then the program's; whoever loses is lent a free number for
    // this listing only, so the file stays as it is and all is as before
    // once the user removes the clash.
    std::vector<Candidate*> claims;
    for (auto& c : candidates)
        if (c.wanted != 0)
            claims.push_back(&c);
    std::stable_sort(claims.begin(), claims.end(), [](const Candidate* a, const Candidate* b) {
        return a->userClaim != b->userClaim ? a->userClaim : a->order < b->order;
    });
    std::set<long> taken;
    for (Candidate* c : claims)
        if (taken.insert(c->wanted).second)
            c->entry.portName = ComName(c->wanted);

    Plan plan;
    long next = 1;
    for (auto& c : candidates) {
        if (c.entry.portName.empty()) {
            while (reserved.count(next) || taken.count(next))
                ++next;
            taken.insert(next);
            c.entry.portName = ComName(next);
            if (c.wanted != 0)
                c.entry.description += "; " + ComName(c.wanted) + " ist schon vergeben";
            else if (!c.key.empty())
                plan.newAssignments.emplace_back(c.key, c.entry.portName);
        } else if (!c.movedFrom.empty()) {
            plan.newAssignments.emplace_back(c.key, c.entry.portName);
            plan.movedFrom.push_back(c.movedFrom);
        }
        plan.listed.push_back(std::move(c.entry));
    }
    std::sort(plan.listed.begin(), plan.listed.end(),
              [](const Entry& a, const Entry& b) { return a.devicePath < b.devicePath; });
    return plan;
}

// The key without the named values.
void RemoveValues(file::Key& key, const std::vector<std::string>& names)
{
    file::Key kept;
    kept.path = key.path;
    kept.comments = key.comments;
    for (const auto& v : key.Values()) {
        bool drop = std::any_of(names.begin(), names.end(),
                                [&](const std::string& name) { return file::SameName(name, v.name); });
        if (!drop)
            kept.Set(v);
    }
    key = std::move(kept);
}

std::vector<Entry> ListWithSources()
{
    std::string sysRoot, devRoot;
    {
        std::lock_guard<std::mutex> lock(g_rootsMutex);
        sysRoot = g_sysRoot;
        devRoot = g_devRoot;
    }
    std::vector<Device> present = Discover(sysRoot, devRoot);
    present.push_back({kLoopbackPath, kLoopbackPath, {}, kLoopbackDescription, kLoopbackPath});

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
        if (!fresh.movedFrom.empty())
            RemoveValues(key, fresh.movedFrom);
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

std::string DeviceRoot()
{
    std::lock_guard<std::mutex> lock(g_rootsMutex);
    return g_devRoot;
}

std::vector<std::string> UserPaths()
{
    Stored stored;
    reg::store::Read([&](const file::Document& doc) { stored = TakeStored(doc); });
    std::vector<std::string> out;
    for (const auto& entry : stored.userEntries)
        if (!entry.first.empty() && entry.first[0] == '/')
            out.push_back(entry.first);
    return out;
}

std::vector<Entry> List()
{
    return ListWithSources();
}

std::string PathForPort(const std::string& portName)
{
    // The list has settled every clash, so a number leads to one entry.
    const long n = ComNumber(portName);
    if (n == 0)
        return {};
    for (const auto& e : ListWithSources())
        if (ComNumber(e.portName) == n)
            return e.devicePath;
    return {};
}

} // namespace serialdevices
