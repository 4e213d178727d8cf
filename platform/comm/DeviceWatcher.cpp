// A device's watcher thread and its wake-up descriptor; see DeviceWatcher.h.

#include "DeviceWatcher.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace win::detail {

DWORD DeviceWatcher::Start(std::function<void()> body)
{
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0)
        return errno;
    thread_ = std::thread(std::move(body));
    return 0;
}

void DeviceWatcher::Wake()
{
    if (wake_ < 0)
        return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void DeviceWatcher::TakeWakeups()
{
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(wake_, &value, sizeof value);
}

void DeviceWatcher::Join()
{
    if (!thread_.joinable())
        return;
    Wake();
    thread_.join();
}

void DeviceWatcher::CloseWake()
{
    if (wake_ >= 0) {
        ::close(wake_);
        wake_ = -1;
    }
}

} // namespace win::detail
