// Closed ttys kept open for a moment; see TtyParking.h. termios2 comes from
// <asm/termbits.h>, which cannot be combined with <termios.h>.

#include "TtyParking.h"

#include <asm/termbits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace win::detail::ttyparking {

namespace {

using Clock = std::chrono::steady_clock;

class Lot {
public:
    void Park(int fd)
    {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            Release(fd);
            return;
        }
        std::lock_guard lock(mutex_);
        slots_.push_back({fd, st.st_rdev, Clock::now() + Linger});
        // The reaper runs only while something is parked, so a program (or
        // a test counting threads) that has let every port go has no thread
        // of ours left.
        if (!reaping_) {
            reaping_ = true;
            std::thread([this] { Reap(); }).detach();
        }
        wake_.notify_all();
    }

    int Take(const std::string& path)
    {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            return -1;
        int fd = -1;
        {
            std::lock_guard lock(mutex_);
            for (auto it = slots_.begin(); it != slots_.end(); ++it) {
                if (it->device == st.st_rdev) {
                    fd = it->fd;
                    slots_.erase(it);
                    break;
                }
            }
        }
        if (fd < 0)
            return -1;
        // A device pulled out while parked is not taken over.
        pollfd p{fd, 0, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            Release(fd);
            return -1;
        }
        return fd;
    }

    void ReleaseAll()
    {
        std::vector<Slot> slots;
        {
            std::lock_guard lock(mutex_);
            slots.swap(slots_);
        }
        for (const Slot& slot : slots)
            Release(slot.fd);
    }

private:
    struct Slot {
        int fd;
        dev_t device;
        Clock::time_point until;
    };

    void Reap()
    {
        std::unique_lock lock(mutex_);
        while (!slots_.empty()) {
            Clock::time_point next = Clock::time_point::max();
            for (const Slot& slot : slots_)
                next = std::min(next, slot.until);
            wake_.wait_until(lock, next);
            std::vector<int> due;
            Clock::time_point now = Clock::now();
            for (auto it = slots_.begin(); it != slots_.end();) {
                if (it->until <= now) {
                    due.push_back(it->fd);
                    it = slots_.erase(it);
                } else {
                    ++it;
                }
            }
            lock.unlock();
            for (int fd : due)
                Release(fd);
            lock.lock();
        }
        reaping_ = false;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Slot> slots_;
    bool reaping_ = false;
};

// Never destroyed (the reaper is detached and uses it): a port object destroyed late in the program's exit may
// still park its device. What is parked when the program ends is let go for
// good first thing at exit.
Lot& TheLot()
{
    static Lot* lot = [] {
        auto* made = new Lot;
        std::atexit([] { TheLot().ReleaseAll(); });
        return made;
    }();
    return *lot;
}

} // namespace

void Park(int fd) { TheLot().Park(fd); }
int Take(const std::string& path) { return TheLot().Take(path); }
void ReleaseAll() { TheLot().ReleaseAll(); }

void Release(int fd)
{
    // B0 left behind keeps the next open from raising DTR and RTS; leaving
    // B0 drops both now, as a close does anyway.
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) == 0) {
        t.c_cflag &= ~(CBAUD | CIBAUD);
        t.c_cflag |= B0;
        t.c_ispeed = t.c_ospeed = 0;
        ioctl(fd, TCSETS2, &t);
    }
    ioctl(fd, TIOCNXCL);
    ::close(fd);
}

} // namespace win::detail::ttyparking
