#pragma once
// USB serial adapters with a latency timer (FTDI's) hold received bytes
// until their buffer fills or the timer runs out, 16 ms unless told
// otherwise: frames merge and reply times mean nothing. While such a port
// is open it runs with the driver's low-latency flag (which the FTDI driver
// turns into a 1 ms timer, and which any user may set on a port they have
// open); at the close the flag goes back to what it was.

#include "PortJournal.h"

#include <memory>
#include <optional>
#include <string>

namespace win::detail {

// What the kernel is asked. The tty answers through its serial-info ioctls
// and sysfs; tests answer as a driver would.
class LatencyControl {
public:
    virtual ~LatencyControl() = default;
    // The kernel driver's name ("ftdi_sio", "serial8250"); "" when the
    // device has none (a pty).
    virtual std::string Driver() = 0;
    virtual bool Usb() = 0;
    // The low-latency flag; nothing when the driver has no serial info.
    virtual std::optional<bool> LowLatency() = 0;
    virtual bool SetLowLatency(bool on) = 0;
    // The latency timer in milliseconds, where the driver shows it.
    virtual std::optional<int> TimerMs() = 0;
};

class AdapterLatency {
public:
    // At the open: lowers the latency of an adapter that has a timer.
    void Open(LatencyControl& control);
    // At the close: gives the flag back.
    void Close(LatencyControl& control);
    journal::Latency Now(LatencyControl& control) const;

private:
    std::string driver_;
    bool usb_ = false;
    bool timer_ = false;   // the adapter has a latency timer
    bool lowered_ = false; // we set the flag, and take it back at the close
};

// The tty's own answers, for the device behind `fd`.
std::unique_ptr<LatencyControl> MakeTtyLatencyControl(int fd);

} // namespace win::detail
