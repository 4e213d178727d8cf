#pragma once
// The texts of the monitor's columns, for the window (only for the rows it
// shows) and for the CSV export. All texts are UTF-8, except the Text column
// here: it gives the frame's own bytes, printable ASCII as it is, control
// characters as the user picks, and bytes from 0x80 up unchanged for the
// caller to show through its code page.

#include "RowStore.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace monitor {

enum class Column : uint8_t {
    Time,      // the first byte's start, local wall time with microseconds
    Gap,       // idle time since the previous frame's last byte ended, ms
    Direction, // RX, TX, or the event's text
    Length,
    Hex,
    Text,
    Address,   // Modbus RTU columns: empty unless it is chosen
    Function,
    Exception,
    Crc,
    Reply,     // reply time, ms
    Mark,      // echo, collision
    Count
};

enum class TextStyle : uint8_t {
    Dots,    // a control character shows as '.'
    Decimal, // ... as <n>, n its decimal value
};

struct FormatOptions {
    TextStyle text = TextStyle::Dots;
    bool modbus = false;
    // Added to a steady-clock time to give the wall clock's (WallOffsetNow).
    int64_t wallOffsetNs = 0;
    bool dateInTime = false; // "2024-05-02 14:03:07.123456" instead of the time alone
};

// The wall clock minus the steady clock, now; taken once per monitor, so
// that all rows shift alike if the wall clock is set.
int64_t WallOffsetNow();

const char* ColumnTitle(Column column);
std::string Cell(const RowStore& store, const Row& row, Column column, const FormatOptions& options);

std::string LocalTime(int64_t steadyNs, int64_t wallOffsetNs, bool withDate);
// Nanoseconds as milliseconds with three decimals, sign kept ("-0.250").
std::string Milliseconds(int64_t ns);
std::string HexBytes(std::string_view bytes);
std::string TextBytes(std::string_view bytes, TextStyle style);
// An event row's Direction text.
std::string EventText(const Row& row, std::string_view bytes);
// "Frames: 12, Bytes: 340, CRC-Fehler: 0, Kollisionen: 1, Antwortzeit min/Median/max: ..."
std::string SummaryText(const Summary& summary);

} // namespace monitor
