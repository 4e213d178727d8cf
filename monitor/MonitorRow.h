#pragma once
// One row of the bus monitor: a received or sent frame, or an event on the
// port. Kept small because a monitor holds a million of them: times as
// nanoseconds on the steady clock, the bytes elsewhere (RowStore's arena).

#include <cstdint>
#include <limits>

namespace monitor {

enum class RowKind : uint8_t { Rx, Tx, Event };

enum class EventKind : uint8_t {
    None,       // a frame
    TxenOn,
    TxenOff,
    LineError,  // `detail`: the CE_ bits
    PortOpened, // the row's bytes: the settings text
    PortClosed,
    Settings,   // the row's bytes: the settings text, or empty
    Lost,       // `detail`: how many journal records (saturated)
};

enum RowFlag : uint8_t {
    FlagEcho = 1,       // received while we sent, identical to what we sent
    FlagCollision = 2,  // received while we sent, different: `detail` = first differing byte
    FlagCrcOk = 4,      // Modbus RTU was chosen when the frame came, and its CRC matched
    FlagCrcBad = 8,     // ... and it did not, or the frame was too short for one
};

constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

struct Row {
    int64_t startNs = 0;      // first byte's start bit / write start / the event
    int64_t endNs = 0;        // end of the last stop bit (TX: computed); events: = start
    int64_t gapNs = kNoTime;  // idle time since the previous frame's end (frames only);
                              // negative where they overlap: our echo while we still send
    int64_t replyNs = kNoTime; // RX answering our last TX: reply time
    int64_t txEmptyNs = kNoTime; // TX: when the device found its transmitter empty
    int64_t txenOffNs = kNoTime; // TX: when TXEN went back to receive
    uint64_t offset = 0;      // of the bytes in the store's arena
    uint32_t length = 0;
    uint32_t detail = 0;
    RowKind kind = RowKind::Event;
    EventKind event = EventKind::None;
    uint8_t flags = 0;

    bool IsFrame() const { return kind != RowKind::Event; }
};

} // namespace monitor

namespace monitor {
// A million rows are held: a field added here costs megabytes (README).
static_assert(sizeof(Row) <= 72, "a monitor row should stay small");
} // namespace monitor
