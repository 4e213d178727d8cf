// Closed ttys kept open for a moment; see TtyParking.h. termios2 comes from
// <asm/termbits.h>, which cannot be combined with <termios.h>.

#include "TtyParking.h"

#include "HandleParking.h"

#include <asm/termbits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace win::detail::ttyparking {

namespace {

// Never destroyed: a port object destroyed late in the program's exit may
// still park its device. What is parked when the program ends is let go for
// good first thing at exit.
HandleParking<dev_t, int>& TheLot()
{
    static auto* lot = [] {
        auto* made = new HandleParking<dev_t, int>(Linger, [](int& fd) { Release(fd); });
        std::atexit([] { TheLot().ReleaseAll(); });
        return made;
    }();
    return *lot;
}

} // namespace

void Park(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        Release(fd);
        return;
    }
    TheLot().Park(st.st_rdev, fd);
}

int Take(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return -1;
    std::optional<int> fd = TheLot().Take(st.st_rdev);
    if (!fd)
        return -1;
    // A device pulled out while parked is not taken over.
    pollfd p{*fd, 0, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        Release(*fd);
        return -1;
    }
    return *fd;
}

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
