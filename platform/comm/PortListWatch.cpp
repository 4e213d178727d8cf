// The serial-device list's watch; see PortListWatch.h.

#include "PortListWatch.h"

#include "SerialDevices.h"

#include <QSocketNotifier>
#include <QTimer>

#include <libudev.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace serialdevices {

namespace {

constexpr uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The names in the device folder that can be serial ports or lead to them.
bool DeviceFolderName(const std::string& name)
{
    return name.rfind("tty", 0) == 0 || name.rfind("rfcomm", 0) == 0 || name == "serial";
}

} // namespace

PortListWatch::PortListWatch(QObject* parent) : QObject(parent)
{
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMs);
    connect(settle_, &QTimer::timeout, this, [this] {
        Rewatch();
        emit Changed();
    });

    udev_ = udev_new();
    if (udev_)
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
                     udev_monitor_enable_receiving(monitor_) < 0)) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
    }
    if (monitor_) {
        udevNotifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
        connect(udevNotifier_, &QSocketNotifier::activated, this, [this] { TakeUdev(); });
    }

    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0) {
        inotifyNotifier_ = new QSocketNotifier(inotify_, QSocketNotifier::Read, this);
        connect(inotifyNotifier_, &QSocketNotifier::activated, this, [this] { TakeInotify(); });
    }
}

PortListWatch::~PortListWatch()
{
    // The notifiers go before their descriptors.
    delete udevNotifier_;
    delete inotifyNotifier_;
    if (inotify_ >= 0)
        ::close(inotify_);
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

void PortListWatch::Rewatch()
{
    if (inotify_ < 0)
        return;
    const std::string dev = DeviceRoot();
    std::map<std::string, std::set<std::string>> wanted;
    wanted[dev] = {"tty"};
    wanted[dev + "/serial"] = {"by-id"};
    wanted[dev + "/serial/by-id"] = {""};
    for (const std::string& path : UserPaths()) {
        const size_t slash = path.rfind('/');
        wanted[slash == 0 ? "/" : path.substr(0, slash)].insert(path.substr(slash + 1));
    }

    std::map<int, Folder> kept;
    for (auto& [folder, names] : wanted) {
        if (!IsFolder(folder))
            continue;
        // The same folder gives the same descriptor: watched once.
        const int wd = inotify_add_watch(inotify_, folder.c_str(), kFolderEvents);
        if (wd < 0)
            continue;
        Folder& f = kept[wd];
        f.path = folder;
        f.names.insert(names.begin(), names.end());
    }
    for (const auto& [wd, folder] : watches_)
        if (!kept.count(wd))
            inotify_rm_watch(inotify_, wd);
    watches_ = std::move(kept);
}

void PortListWatch::Settle()
{
    if (!settle_->isActive())
        settle_->start();
}

void PortListWatch::TakeUdev()
{
    bool any = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        any = true;
        udev_device_unref(device);
    }
    if (any)
        Settle();
}

void PortListWatch::TakeInotify()
{
    alignas(inotify_event) char buffer[8192];
    bool relevant = false;
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            auto w = watches_.find(event->wd);
            if (w == watches_.end())
                continue;
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) {
                relevant = true;
                continue;
            }
            const std::string name = event->len ? event->name : "";
            const auto& names = w->second.names;
            if (names.count("") || names.count(name) || (names.count("tty") && DeviceFolderName(name)))
                relevant = true;
        }
    }
    if (relevant)
        Settle();
}

} // namespace serialdevices
