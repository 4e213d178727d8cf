#pragma once
// What a bus monitor needs from an open port and the Windows-shaped comm
// interface has no word for: when each byte came off the device, what went
// out and when, when the control lines moved, the line errors, and how long
// a USB adapter holds received bytes before it passes them on.
//
// A device keeps a journal only while someone has started it; it is filled
// where the bytes and events pass through the driver's upper half, on the
// device's own thread or inside the API call, so its times do not depend on
// when the window gets round to reading. Times are on the steady clock.
//
// Receive times: a read from the device returns what arrived since the last
// one. Its time is taken right after the read; the bytes are taken to have
// come back to back, the last one's stop bit ending at that moment, so byte
// i of n started (n - i) character times earlier. How close that is depends
// on the device (README, "Bus monitor").

#include "CommApi.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace journal {

using Clock = std::chrono::steady_clock;

enum class Kind : uint8_t {
    // Bytes off the device. `at`: the start of the first byte's start bit,
    // worked back from the read; `charNs`: one character's time then.
    Received,
    // A write handed to the device. `at`: the write's start; `wireEnd`: the
    // computed end of its last stop bit (after what was still going out).
    Sent,
    // The device found its transmitter empty (the last stop bit out, as
    // far as the device can tell).
    TransmitterEmpty,
    // DTR or RTS set by a call (or by the device itself): `dtr`, `rts` are
    // the lines after it.
    Lines,
    // Line errors at `at`: CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER,
    // CE_BREAK bits in `errors`.
    LineError,
    // New line settings; `charNs` is one character's time from now on.
    Settings,
    // Records were lost because nobody took them in time; `count` of them.
    Lost,
};

struct Record {
    Kind kind = Kind::Received;
    Clock::time_point at{};
    Clock::time_point wireEnd{};
    int64_t charNs = 0;
    uint32_t errors = 0;
    uint64_t count = 0;
    bool dtr = false;
    bool rts = false;
    std::string bytes;
};

// The line error counts since the port was opened.
struct LineCounts {
    bool known = false; // false: the driver does not count them (a pty)
    uint64_t frame = 0;
    uint64_t parity = 0;
    uint64_t overrun = 0;
    uint64_t breaks = 0;
};

// How long the adapter holds received bytes before passing them on.
struct Latency {
    enum class State : uint8_t {
        None,      // no such hold: a UART, a pty, the loopback plug
        Lowered,   // an adapter with a latency timer, set to its lowest while open
        Unchanged, // an adapter with a latency timer that could not be lowered
        Unknown,   // a USB or network device whose hold cannot be read
    };
    State state = State::None;
    int milliseconds = 0; // the hold now, where known (0 = none)
    std::string driver;   // the kernel driver's name, where there is one
};

// On the open device behind `device` (a handle of the comm API). Start and
// Stop return false for a handle that is not an open device. At most
// `capacity` records are kept between two Takes; beyond, the oldest go and a
// Lost record says how many.
bool Start(win::HANDLE device, size_t capacity = 1 << 20);
bool Stop(win::HANDLE device);
// Moves the kept records, in order, to the end of `out`; how many.
size_t Take(win::HANDLE device, std::vector<Record>& out);
LineCounts Counts(win::HANDLE device);
Latency GetLatency(win::HANDLE device);

// One character's time on the line in `dcb`'s frame (start bit, data bits,
// parity, stop bits), in nanoseconds: the unit of the records' charNs.
int64_t CharacterNs(const win::DCB& dcb);

// The start of byte `index` of a Received record.
inline Clock::time_point ByteStart(const Record& record, size_t index)
{
    return record.at + std::chrono::nanoseconds(record.charNs * static_cast<int64_t>(index));
}

} // namespace journal
