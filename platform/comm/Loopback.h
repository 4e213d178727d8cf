#pragma once
// The built-in loopback plug: a simulated serial port with a loopback
// connector, opened through the comm API under the device path "loopback"
// (the serial-device list offers it under a COM name).
//
// It behaves like a 16550-style UART with the plug on its connector:
// - every character written goes out in its real wire time at the
//   configured rate and frame (start bit, 5 to 8 data bits, parity, 1, 1.5
//   or 2 stop bits) and comes back, data bits only, when its last stop bit
//   is out; the transmitter has a 16-character FIFO, and a write completes
//   once its last byte is in the FIFO;
// - DTR is wired to DSR and DCD, RTS to CTS: changing DTR raises EV_DSR and
//   EV_RLSD, changing RTS raises EV_CTS;
// - a break held for at least one character time comes back as a break
//   (EV_BREAK, CE_BREAK and a null character); a shorter one as a framing
//   error;
// - EV_TXEMPTY fires when the last stop bit of everything written is out;
// - output flow control holds the transmitter: CTS low under CTS output
//   flow, an XOFF received (it comes back from our own output) or set by
//   hand; RTS under handshake follows the receive queue's fill; input
//   XON/XOFF sends XOFF and XON by the queue limits;
// - settings are accepted and refused as the tty device does them.
//
// One program at a time holds the plug, as a real port is held: a lock file
// in $XDG_RUNTIME_DIR (or /tmp) is locked while it is open, so that a second
// copy of the program gets a busy port.
//
// The functions below are for tests and benchmarks only: they read the
// exact simulated times of the plug that this process has open.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace loopback {

using Clock = std::chrono::steady_clock;

// Where the lock file goes; "" restores the default. Tests give each
// process its own folder so that parallel test processes do not meet.
void SetLockDirectory(const std::string& directory);
std::string LockFilePath();

struct LineChange {
    Clock::time_point at;
    bool dtr;
    bool rts;
};

struct Trace {
    bool open = false;
    // When the last stop bit of the last character sent went out, and how
    // often the transmitter has run empty since the plug was opened.
    Clock::time_point lastStopBitOut{};
    uint64_t transmitterEmptied = 0;
    // Characters that have come back since opening.
    uint64_t charactersLooped = 0;
    // The latest changes of DTR and RTS (at most the last 1024).
    std::vector<LineChange> lineChanges;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
};

// The trace of the plug open in this process (open = false when none is).
Trace CurrentTrace();

// A device on the far end of the line, as on a bus: once our transmitter
// has run empty, it waits `delay` after our last stop bit and sends what
// `answer` makes of the bytes we sent since it last answered ("" for no
// answer), at the line's rate and frame. Its characters arrive as sent,
// also when they overlap ours (a real line would garble both). Holds for
// the plug open now and those opened later; a FarEnd without `answer`
// takes the far end away. `pauseBefore` (if set) puts extra idle time
// before the answer's byte `index`, to cut it into frames.
struct FarEnd {
    std::chrono::nanoseconds delay{};
    std::function<std::string(const std::string& request)> answer;
    std::function<std::chrono::nanoseconds(size_t index)> pauseBefore;
};
void SetFarEnd(FarEnd farEnd);

// Every character received, with the true start of its start bit: our own
// coming back and the far end's. Kept from the first call on (at most the
// latest million); each call takes what came since the last.
struct Arrival {
    Clock::time_point start;
    uint8_t byte = 0;
    bool fromFarEnd = false;
};
std::vector<Arrival> TakeArrivals();

// Receive times as a UART with its own time stamps would give them: each
// character at the end of its stop bit, however late the plug's thread got
// round to it. For tests of what is done with the times, which must not
// depend on how busy the machine is; the plug otherwise stamps each read
// when its thread brings it in, as a driver does.
void SetExactReceiveTimes(bool exact);

} // namespace loopback
