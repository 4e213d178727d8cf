#pragma once
// The thread that watches a device's descriptor (a tty, a network port's
// socket) and the eventfd through which the API side wakes it from its
// poll. The device keeps its own stop flag under its own lock; this only
// owns the thread and the wake-up descriptor.

#include "CommApi.h"

#include <functional>
#include <thread>

namespace win::detail {

class DeviceWatcher {
public:
    DeviceWatcher() = default;
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;
    ~DeviceWatcher() { Join(); CloseWake(); }

    // Creates the wake-up descriptor and runs `body` on a thread of its own;
    // 0, or the system's code.
    DWORD Start(std::function<void()> body);
    // The descriptor to poll for POLLIN beside the device's own; -1 when
    // not started or closed.
    int WakeFd() const { return wake_; }
    // Makes the watcher's poll return. Nothing once the descriptor is closed.
    void Wake();
    // Takes the wake-ups a poll reported, so that the next poll waits.
    void TakeWakeups();
    // Wakes the thread and waits for it; its device has set its stop flag.
    void Join();
    // Only once nothing polls or wakes it (after Join, under the device's
    // lock where a caller may still be inside an operation).
    void CloseWake();

private:
    int wake_ = -1;
    std::thread thread_;
};

} // namespace win::detail
