#include "RowStore.h"

#include <algorithm>

namespace monitor {

RowStore::RowStore(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}

uint64_t RowStore::Push(Row row, std::string_view bytes)
{
    row.offset = arenaBase_ + arena_.size();
    row.length = static_cast<uint32_t>(bytes.size());
    arena_.append(bytes);
    rows_.push_back(row);
    const uint64_t seq = EndSeq() - 1;
    // One percent over before dropping: the view then removes a block of
    // rows once in a while instead of one row on every new one.
    const size_t slack = std::max<size_t>(capacity_ / 100, 1);
    if (rows_.size() > capacity_ + slack)
        DropOldest(rows_.size() - capacity_);
    return seq;
}

std::string_view RowStore::Bytes(const Row& row) const
{
    return std::string_view(arena_).substr(row.offset - arenaBase_, row.length);
}

void RowStore::DropOldest(size_t count)
{
    count = std::min(count, rows_.size());
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(count));
    firstSeq_ += count;
    // Compacting moves the live bytes once for at least as many dropped
    // ones, which keeps it amortised O(1) per byte.
    const uint64_t liveFrom = rows_.empty() ? arenaBase_ + arena_.size() : rows_.front().offset;
    const size_t dead = static_cast<size_t>(liveFrom - arenaBase_);
    if (dead > 0 && dead >= arena_.size() / 2) {
        arena_.erase(0, dead);
        arenaBase_ += dead;
        if (arena_.capacity() > 4 * std::max<size_t>(arena_.size(), 4096))
            arena_.shrink_to_fit();
    }
}

void RowStore::Clear()
{
    DropOldest(rows_.size());
}

} // namespace monitor
