#pragma once
// Tells the window when the machine's serial-device list may have changed:
// an adapter plugged in or pulled out, a socat link made or removed. It
// listens to udev's announcements of ttys and watches, with inotify, the
// device folder, its serial/by-id folder and the folder of every path the
// user listed (udev is not there in every container, and a link of the
// user's is no device at all). Nothing runs while nothing changes: both
// are descriptors in the event loop, and the short settling timer runs
// only after an event.

#include <QObject>

#include <map>
#include <set>
#include <string>

class QSocketNotifier;
class QTimer;
struct udev;
struct udev_monitor;

namespace serialdevices {

class PortListWatch : public QObject {
    Q_OBJECT
public:
    // How long a burst of events (a tty, then its by-id link) is let
    // settle before Changed is said once.
    static constexpr int kSettleMs = 150;

    explicit PortListWatch(QObject* parent = nullptr);
    ~PortListWatch() override;

    // Watches the folders for the current device root and user entries
    // (read from the settings file: the owner calls it first once that may
    // be read); done again after each change, as folders come and go.
    void Rewatch();
    // Whether udev's announcements are heard (false in a container).
    bool HearsUdev() const { return monitor_ != nullptr; }

signals:
    void Changed();

private:
    void TakeUdev();
    void TakeInotify();
    void Settle();

    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    int inotify_ = -1;
    // Watch descriptor -> folder and the names in it that matter ("" for
    // any, "tty" for the device folder's ttys).
    struct Folder {
        std::string path;
        std::set<std::string> names;
    };
    std::map<int, Folder> watches_;
    QSocketNotifier* udevNotifier_ = nullptr;
    QSocketNotifier* inotifyNotifier_ = nullptr;
    QTimer* settle_ = nullptr;
};

} // namespace serialdevices
