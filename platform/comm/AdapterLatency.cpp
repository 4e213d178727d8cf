#include "AdapterLatency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace win::detail {

namespace {

// Drivers whose adapters hold input for a latency timer that the
// low-latency flag shortens.
bool HasLatencyTimer(const std::string& driver)
{
    return driver == "ftdi_sio";
}

class TtyLatencyControl final : public LatencyControl {
public:
    explicit TtyLatencyControl(int fd) : fd_(fd)
    {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
            return;
        std::string node = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev)) + "/device";
        char* real = realpath(node.c_str(), nullptr);
        if (!real)
            return;
        device_ = real;
        free(real);
        usb_ = device_.find("/usb") != std::string::npos;
        char target[PATH_MAX];
        ssize_t n = readlink((device_ + "/driver").c_str(), target, sizeof target - 1);
        if (n > 0) {
            std::string link(target, static_cast<size_t>(n));
            driver_ = link.substr(link.rfind('/') + 1);
        }
    }

    std::string Driver() override { return driver_; }
    bool Usb() override { return usb_; }

    std::optional<bool> LowLatency() override
    {
        serial_struct info{};
        if (ioctl(fd_, TIOCGSERIAL, &info) != 0)
            return std::nullopt;
        return (info.flags & ASYNC_LOW_LATENCY) != 0;
    }

    bool SetLowLatency(bool on) override
    {
        serial_struct info{};
        if (ioctl(fd_, TIOCGSERIAL, &info) != 0)
            return false;
        info.flags = on ? info.flags | ASYNC_LOW_LATENCY : info.flags & ~ASYNC_LOW_LATENCY;
        return ioctl(fd_, TIOCSSERIAL, &info) == 0;
    }

    std::optional<int> TimerMs() override
    {
        if (device_.empty())
            return std::nullopt;
        std::ifstream file(device_ + "/latency_timer");
        int ms = 0;
        if (!(file >> ms))
            return std::nullopt;
        return ms;
    }

private:
    int fd_;
    std::string device_; // the port's device folder in sysfs
    std::string driver_;
    bool usb_ = false;
};

} // namespace

void AdapterLatency::Open(LatencyControl& control)
{
    driver_ = control.Driver();
    usb_ = control.Usb();
    timer_ = HasLatencyTimer(driver_);
    lowered_ = false;
    if (!timer_)
        return;
    std::optional<bool> low = control.LowLatency();
    // Already low (by the user, or by a copy that was killed): nothing of
    // ours to give back at the close.
    if (!low || *low)
        return;
    lowered_ = control.SetLowLatency(true);
}

void AdapterLatency::Close(LatencyControl& control)
{
    if (lowered_)
        control.SetLowLatency(false);
    lowered_ = false;
}

journal::Latency AdapterLatency::Now(LatencyControl& control) const
{
    journal::Latency latency;
    latency.driver = driver_;
    if (!timer_) {
        latency.state = usb_ ? journal::Latency::State::Unknown : journal::Latency::State::None;
        return latency;
    }
    std::optional<bool> low = control.LowLatency();
    latency.state = low && *low ? journal::Latency::State::Lowered : journal::Latency::State::Unchanged;
    latency.milliseconds = control.TimerMs().value_or(0);
    return latency;
}

std::unique_ptr<LatencyControl> MakeTtyLatencyControl(int fd)
{
    return std::make_unique<TtyLatencyControl>(fd);
}

} // namespace win::detail
