#pragma once
// Journal records as the devices write them, and the monitor's rows as short
// texts ("RX 01 02", "TX 01 03 [Echo]", "TXEN an") to compare against.

#include "BusMonitor.h"
#include "RowFormat.h"

#include <string>
#include <vector>

namespace monitortest {

using journal::Clock;
using journal::Kind;
using journal::Record;

// One character at 9600 and at 115200 bit/s, 8N1 (10 bits).
constexpr int64_t kChar9600 = 1041667;
constexpr int64_t kChar115200 = 86806;
constexpr int64_t kT0 = 1000000000; // an arbitrary steady-clock moment

inline Clock::time_point At(int64_t ns)
{
    return Clock::time_point(std::chrono::nanoseconds(ns));
}

inline Record Received(int64_t startNs, std::string bytes, int64_t charNs)
{
    Record r;
    r.kind = Kind::Received;
    r.at = At(startNs);
    r.charNs = charNs;
    r.bytes = std::move(bytes);
    return r;
}

// A write at `startNs` going out at once: its wire end n characters later.
inline Record Sent(int64_t startNs, std::string bytes, int64_t charNs)
{
    Record r;
    r.kind = Kind::Sent;
    r.at = At(startNs);
    r.wireEnd = At(startNs + charNs * static_cast<int64_t>(bytes.size()));
    r.charNs = charNs;
    r.bytes = std::move(bytes);
    return r;
}

inline Record Lines(int64_t atNs, bool dtr)
{
    Record r;
    r.kind = Kind::Lines;
    r.at = At(atNs);
    r.dtr = dtr;
    return r;
}

inline std::vector<std::string> Describe(const monitor::RowStore& store)
{
    std::vector<std::string> rows;
    for (uint64_t seq = store.FirstSeq(); seq < store.EndSeq(); ++seq) {
        const monitor::Row& row = store.At(seq);
        monitor::FormatOptions options;
        std::string text = monitor::Cell(store, row, monitor::Column::Direction, options);
        const std::string hex = monitor::Cell(store, row, monitor::Column::Hex, options);
        if (!hex.empty())
            text += " " + hex;
        const std::string mark = monitor::Cell(store, row, monitor::Column::Mark, options);
        if (!mark.empty())
            text += " [" + mark + "]";
        rows.push_back(text);
    }
    return rows;
}

inline const monitor::Row& Last(const monitor::RowStore& store, uint64_t back = 0)
{
    return store.At(store.EndSeq() - 1 - back);
}

} // namespace monitortest
