#pragma once
// Cuts received bytes into frames at the line's idle gaps, and tells our own
// echo (or a collision) apart from other stations' bytes.
//
// A byte's time is its start bit's start; it ends one character time later.
// The line is idle from one byte's end to the next one's start; when that
// idle time reaches the gap, the frame ends. The gap is the user's, or 3.5
// character times, or above 19200 bit/s a fixed 1.75 ms (as Modbus RTU
// does: at high rates 3.5 characters is shorter than what UARTs and
// operating systems can hold to).
//
// While we transmit, bytes that start inside the transmit window (from TXEN
// on or the write's start up to the computed end of our last stop bit plus
// two characters for the receive path) are compared in order with what we
// sent. They form frames of their own, never merged with other bytes: once
// all we sent has come back, the echo frame is done and the next byte starts
// a new frame, even inside the window.
//
// All times are nanoseconds on the steady clock.

#include "PortJournal.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace monitor {

struct CutFrame {
    int64_t startNs = 0;
    int64_t endNs = 0;     // end of the last byte's stop bit
    std::string bytes;
    bool echoPart = false; // received inside our transmit window
    bool collision = false; // echoPart, and not what we sent
    uint32_t collisionAt = 0; // first differing byte within this frame
};

class FrameCutter {
public:
    using Sink = std::function<void(CutFrame&&)>;
    explicit FrameCutter(Sink sink) : sink_(std::move(sink)) {}

    // 0: automatic. The bit rate decides "above 19200"; 0 = unknown, then it
    // is guessed from the character time (see GapNs).
    void SetUserGapNs(int64_t ns) { userGapNs_ = ns; }
    // How late a byte may be read off the device (MonitorConfig::receiveHoldNs).
    void SetReceiveHoldNs(int64_t ns) { holdNs_ = ns; }
    void SetBitRate(uint32_t bitsPerSecond) { bitRate_ = bitsPerSecond; }
    int64_t GapNs(int64_t charNs) const;

    void Received(const journal::Record& record);
    // One of our writes: ends a receive frame and opens (or, while the last
    // one's window is still open, extends) the transmit window.
    void Transmitting(int64_t windowStartNs, int64_t wireEndNs, int64_t charNs, std::string_view sent);
    // Closes the open frame once `nowNs` is past its end + gap + holdNs. The
    // hold is for bytes already on the wire but not yet read off the device.
    void Tick(int64_t nowNs, int64_t holdNs);
    // Closes the open frame and forgets the transmit window.
    void Flush();

    bool FrameOpen() const { return open_; }

private:
    void Byte(unsigned char byte, int64_t startNs, int64_t charNs);
    void Start(int64_t startNs, bool echoPart);
    void Close();

    Sink sink_;
    int64_t userGapNs_ = 0;
    int64_t holdNs_ = 0;
    uint32_t bitRate_ = 0;

    bool open_ = false;
    CutFrame frame_;
    int64_t frameCharNs_ = 0; // the character time while the open frame came

    struct Window {
        bool active = false;
        int64_t startNs = 0;
        int64_t endNs = 0;
        std::string expected; // what we sent, in order
        size_t matched = 0;   // how much of it has come back
    } window_;
};

} // namespace monitor
