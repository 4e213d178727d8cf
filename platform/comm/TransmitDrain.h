#pragma once
// When has the last stop bit of what was written left the line?
//
// A transceiver's transmit enable may only drop after that moment, or the
// last character is cut off on the bus. No tty driver reports it exactly for
// every kind of port, so the moment is worked out from what the device can
// answer, always erring late:
//
// - Exact line status (serial-core UARTs, the 8250 among them): the line
//   status register's "transmitter empty" reads the hardware, holding and
//   shift register and the kernel's buffer together. Done when it says
//   empty, and not before the computed wire end.
// - No line status (a pty, and USB adapters without a line-status register:
//   CH340, CP210x, PL2303, CDC-ACM): the kernel's queue count is all there
//   is. Once it reads 0, the chip may still hold what it was handed last, at
//   most its own buffer, which it only starts on after the USB transfer. The
//   guard runs from that moment for the wire time of the bytes that can
//   still be in the chip, plus one character, plus the USB allowance.
// - Cached line status (FTDI adapters): the status comes with the chip's
//   status packets and can be one latency-timer period old, so an "empty"
//   may describe the time before the last bytes arrived. The guard of a
//   device without line status applies first; after it, a "not empty" is
//   waited out for up to two latency periods (a driver that never reports
//   empty, as some emulations do, must not keep the transmitter on).
// - Network port (RFC 2217 to a serial device server): the socket's queue
//   count (bytes not yet sent or not yet acknowledged by the server's TCP)
//   is all there is. Once it reads 0, the server holds what it took and its
//   port may not have sent any of it: the guard runs from that moment for
//   the wire time of everything written since the line was last quiet, plus
//   one character. Where the bytes really are on the far side, and how long
//   the acknowledgement took to come back, nobody can know.
//
// Character times use the slower of the requested and the granted rate, and
// nothing is ever reported before the computed wire end: the bytes cannot be
// out before they have been on the wire for their own time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace win::detail {

// What the device can be asked. The tty answers through ioctls; tests
// answer as a driver would (stale status, output held, no status at all).
class DrainProbe {
public:
    virtual ~DrainProbe() = default;
    // Bytes the kernel still holds for the device; 0 when it cannot tell.
    virtual int QueuedBytes() = 0;
    // The transmitter-empty bit; nothing when the device cannot tell.
    virtual std::optional<bool> TransmitterEmpty() = 0;
};

enum class LineStatusKind { None, Exact, Cached };

// How long to wait before asking the kernel's queue count again: about
// until the bytes it holds could be out, and ever longer (up to a bound)
// while the count does not move, as when output is held by flow control.
class QueuePoll {
public:
    using nanoseconds = std::chrono::nanoseconds;
    // `quick`: the queue is expected to drain faster than the wire (over
    // USB), so the moment it runs empty is looked for about every
    // millisecond rather than at the wire's pace.
    nanoseconds Next(int queued, int64_t charNs, bool quick = false);
    void Reset() { last_ = 0, unchanged_ = 0, wait_ = nanoseconds(0); }

private:
    int last_ = 0;
    int unchanged_ = 0; // questions in a row without the count going down
    nanoseconds wait_{0};
};

class TransmitDrain {
public:
    using Clock = std::chrono::steady_clock;
    using nanoseconds = std::chrono::nanoseconds;

    // Bytes a USB chip may still hold once the kernel has handed everything
    // over: the largest transmit buffer of the common adapters, rounded up.
    static constexpr size_t UsbChipBacklog = 1024;
    // A UART's transmit FIFO, where a driver has no line status.
    static constexpr size_t UartFifoBacklog = 128;
    // The chip may start a packet up to one USB frame after the transfer
    // completed.
    static constexpr nanoseconds UsbAllowance = std::chrono::milliseconds(1);
    // An FTDI chip's default latency timer: how old its status can be,
    // unless the device says what its timer is set to.
    static constexpr nanoseconds StatusLatency = std::chrono::milliseconds(16);
    // How often the kernel queue and the line status are looked at near the
    // end, and how seldom at most while output is held.
    static constexpr nanoseconds PollInterval = std::chrono::microseconds(200);
    static constexpr nanoseconds MaxHeldWait = std::chrono::milliseconds(50);
    static constexpr nanoseconds QuickPoll = std::chrono::milliseconds(1);
    // Prompt: how long before the moment the device stops sleeping and
    // keeps looking (a thread's wake-up can come this late).
    static constexpr nanoseconds PromptLead = std::chrono::microseconds(1000);

    void Configure(LineStatusKind kind, bool usb);
    // A network port: no line status, and the whole burst may still be
    // held on the far side when the socket's queue runs empty.
    void ConfigureNetwork() { kind_ = LineStatusKind::None, usb_ = false, network_ = true; }
    // Character times at the requested and at the granted rate.
    void SetCharacterTimes(int64_t requestedNs, int64_t grantedNs);
    // The adapter's latency timer as it runs (a cached status is at most
    // this old).
    void SetStatusLatency(nanoseconds latency) { statusLatency_ = latency; }
    // Prompt: something (TXEN) waits to be let go at the moment; the last
    // stretch before it is watched without sleeping.
    void SetPrompt(bool prompt) { prompt_ = prompt; }
    int64_t CharacterNs() const { return charNs_; }
    LineStatusKind Kind() const { return kind_; }

    // `bytes` were handed to the kernel at `now`.
    void Queued(Clock::time_point now, size_t bytes);
    // The kernel's output queue was thrown away.
    void Purged(Clock::time_point now);
    // Nobody waits for the moment any more.
    void Forget() { Finish(); }
    // The device cannot read its line status after all.
    void LoseLineStatus() { kind_ = LineStatusKind::None; }

    bool Pending() const { return pending_; }
    // When Check should run next (only while Pending).
    Clock::time_point NextCheck() const { return next_; }
    // True once the last stop bit is out (Pending is then false); otherwise
    // NextCheck says when to look again.
    bool Check(Clock::time_point now, DrainProbe& probe);
    // The earliest moment the line can be quiet: the computed wire end.
    Clock::time_point WireEnd() const { return wireEnd_; }

private:
    nanoseconds Chars(size_t n) const { return nanoseconds(charNs_ * static_cast<int64_t>(n)); }
    Clock::time_point GuardEnd() const;
    // When to look again for `moment`: then, or while prompt from a little
    // before it on, continuously.
    Clock::time_point Toward(Clock::time_point moment, Clock::time_point now) const;
    bool Finish();

    LineStatusKind kind_ = LineStatusKind::None;
    bool usb_ = false;
    bool network_ = false;
    int64_t charNs_ = 0;
    nanoseconds statusLatency_ = StatusLatency;
    bool prompt_ = false;

    bool pending_ = false;
    size_t burst_ = 0;                  // bytes queued since the line was last quiet
    Clock::time_point wireEnd_{};
    Clock::time_point next_{};
    std::optional<Clock::time_point> queueEmptyAt_;
    QueuePoll queuePoll_;
};

} // namespace win::detail
