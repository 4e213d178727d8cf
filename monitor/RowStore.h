#pragma once
// The monitor's rows, bounded, with a summary over the whole run.
//
// Rows are numbered from the monitor's start (`FirstSeq()` is the oldest kept
// row, `EndSeq()` one past the newest); a number never changes its row. When
// more than capacity + 1% are held the oldest are dropped down to capacity in
// one go, so a view on it removes rows seldom and in large blocks.
//
// A row costs sizeof(Row) (72 bytes) plus its bytes in one shared arena; the
// arena is compacted when its dropped front passes half of it, so up to that
// much again may be held for a while.
//
// The summary counts everything since the monitor started (or since
// ResetSummary), dropped rows included: it is the run's record, not the
// view's.

#include "MonitorRow.h"
#include "ReplyStats.h"

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace monitor {

struct Summary {
    uint64_t frames = 0;     // RX and TX frames; our echo and collisions counted apart
    uint64_t rxFrames = 0;
    uint64_t txFrames = 0;
    uint64_t echoFrames = 0;
    uint64_t bytes = 0;      // in the counted frames
    uint64_t crcErrors = 0;  // RX frames (not echo) failing the Modbus check
    uint64_t collisions = 0;
    uint64_t lineErrors = 0; // line-error rows
    uint64_t lost = 0;       // journal records lost
    ReplyStats reply;
};

class RowStore {
public:
    static constexpr size_t kDefaultCapacity = 1000000;

    explicit RowStore(size_t capacity = kDefaultCapacity);

    // Appends; may drop the oldest rows. The row's offset and length are set
    // here. Returns its number.
    uint64_t Push(Row row, std::string_view bytes);

    uint64_t FirstSeq() const { return firstSeq_; }
    uint64_t EndSeq() const { return firstSeq_ + rows_.size(); }
    size_t Size() const { return rows_.size(); }
    size_t Capacity() const { return capacity_; }
    bool Has(uint64_t seq) const { return seq >= FirstSeq() && seq < EndSeq(); }

    // `seq` must be kept (Has).
    const Row& At(uint64_t seq) const { return rows_[seq - firstSeq_]; }
    Row& At(uint64_t seq) { return rows_[seq - firstSeq_]; }
    std::string_view Bytes(const Row& row) const;

    const Summary& GetSummary() const { return summary_; }
    Summary& MutableSummary() { return summary_; }
    void ResetSummary() { summary_ = Summary{}; }

    // Drops every row; numbering goes on.
    void Clear();

private:
    void DropOldest(size_t count);

    size_t capacity_;
    uint64_t firstSeq_ = 0;
    std::deque<Row> rows_;
    std::string arena_;
    uint64_t arenaBase_ = 0; // the offset of arena_[0]
    Summary summary_;
};

} // namespace monitor
