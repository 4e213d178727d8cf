// The ioctl interposer behind SimulatedUart. Like the device code it needs
// termios2 from <asm/termbits.h> and keeps that to its own file.
#include "SimulatedUart.h"

#include <asm/termbits.h>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction RealIoctl()
{
    static IoctlFunction real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

struct UartState {
    dev_t device = 0;
    bool haveTermios = false;
    termios2 termios{};
    int lines = TIOCM_DTR | TIOCM_RTS; // opening a tty raises both
    bool breakOn = false;
    bool outputSuspended = false;
    int modemStatusError = 0;
    std::function<uint32_t(uint32_t)> rateRule;
};

std::recursive_mutex stateMutex;
UartState* active = nullptr;

bool IsWatched(int fd)
{
    struct stat st{};
    return active && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == active->device;
}

// Answers one ioctl on the watched tty; false passes it to the kernel.
bool Simulate(UartState& s, int fd, unsigned long request, void* arg, int& result)
{
    auto fail = [&](int error) {
        errno = error;
        result = -1;
        return true;
    };
    result = 0;
    switch (request) {
    case TCGETS2:
        if (!s.haveTermios) {
            if (RealIoctl()(fd, TCGETS2, &s.termios) != 0)
                return fail(errno);
            s.haveTermios = true;
        }
        *static_cast<termios2*>(arg) = s.termios;
        return true;
    case TCSETS2: {
        termios2 wanted = *static_cast<const termios2*>(arg);
        if (RealIoctl()(fd, TCSETS2, &wanted) != 0)
            return fail(errno);
        if (s.rateRule) {
            wanted.c_ospeed = s.rateRule(wanted.c_ospeed);
            wanted.c_ispeed = s.rateRule(wanted.c_ispeed);
        }
        s.termios = wanted;
        s.haveTermios = true;
        return true;
    }
    case TIOCMGET:
        if (s.modemStatusError)
            return fail(s.modemStatusError);
        *static_cast<int*>(arg) = s.lines;
        return true;
    case TIOCMBIS:
        s.lines |= *static_cast<const int*>(arg);
        return true;
    case TIOCMBIC:
        s.lines &= ~*static_cast<const int*>(arg);
        return true;
    case TIOCMSET:
        s.lines = *static_cast<const int*>(arg);
        return true;
    case TIOCSBRK:
        s.breakOn = true;
        return true;
    case TIOCCBRK:
        s.breakOn = false;
        return true;
    case TCXONC: {
        auto action = reinterpret_cast<uintptr_t>(arg);
        if (action == TCOOFF)
            s.outputSuspended = true;
        else if (action == TCOON)
            s.outputSuspended = false;
        else
            return false;
        return true;
    }
    default:
        return false;
    }
}

} // namespace

// Every ioctl request of this process comes through here. The third argument
// of ioctl is always one machine word (a pointer or an integer).
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    {
        std::lock_guard lock(stateMutex);
        int result = 0;
        if (IsWatched(fd) && Simulate(*active, fd, request, arg, result))
            return result;
    }
    return RealIoctl()(fd, request, arg);
}

SimulatedUart::SimulatedUart(const std::string& ttyPath)
{
    struct stat st{};
    std::lock_guard lock(stateMutex);
    active = new UartState;
    if (stat(ttyPath.c_str(), &st) == 0)
        active->device = st.st_rdev;
}

SimulatedUart::~SimulatedUart()
{
    std::lock_guard lock(stateMutex);
    delete active;
    active = nullptr;
}

namespace {

// Runs `f` on the active state under the lock.
template <typename F>
auto Locked(F f)
{
    std::lock_guard lock(stateMutex);
    return f(*active);
}

} // namespace

TtySettings SimulatedUart::Settings() const
{
    return Locked([](UartState& s) { return DecodeTermios2(&s.termios); });
}

bool SimulatedUart::Dtr() const { return Locked([](UartState& s) { return bool(s.lines & TIOCM_DTR); }); }
bool SimulatedUart::Rts() const { return Locked([](UartState& s) { return bool(s.lines & TIOCM_RTS); }); }
bool SimulatedUart::BreakOn() const { return Locked([](UartState& s) { return s.breakOn; }); }
bool SimulatedUart::OutputSuspended() const { return Locked([](UartState& s) { return s.outputSuspended; }); }

void SimulatedUart::SetLines(bool dtr, bool rts)
{
    Locked([&](UartState& s) { s.lines = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0); });
}

void SimulatedUart::SetRateRule(std::function<uint32_t(uint32_t)> rule)
{
    Locked([&](UartState& s) { s.rateRule = std::move(rule); });
}

void SimulatedUart::FailModemStatus(int error)
{
    Locked([&](UartState& s) { s.modemStatusError = error; });
}
