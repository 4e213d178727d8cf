#include "ReplyStats.h"

#include <algorithm>
#include <cmath>

namespace monitor {

int ReplyStats::BucketOf(int64_t magnitudeNs)
{
    const double steps = std::log(static_cast<double>(magnitudeNs) / kFloorNs) / std::log(kStep);
    return std::clamp(static_cast<int>(steps), 0, kBuckets - 1);
}

int64_t ReplyStats::MiddleOf(int bucket)
{
    // Geometric middle of [floor * step^b, floor * step^(b+1)).
    return static_cast<int64_t>(std::llround(kFloorNs * std::pow(kStep, bucket + 0.5)));
}

void ReplyStats::Add(int64_t ns)
{
    if (count_ == 0) {
        min_ = max_ = ns;
    } else {
        min_ = std::min(min_, ns);
        max_ = std::max(max_, ns);
    }
    ++count_;
    if (ns > -kFloorNs && ns < kFloorNs)
        ++zero_;
    else if (ns > 0)
        ++positive_[BucketOf(ns)];
    else
        ++negative_[BucketOf(-ns)];
}

int64_t ReplyStats::Median() const
{
    if (count_ == 0)
        return 0;
    // The lower middle for an even count: the rank (count - 1) / 2 from the
    // smallest, walking the negative buckets from the largest magnitude down.
    uint64_t rank = (count_ - 1) / 2;
    int64_t value = 0;
    bool found = false;
    for (int b = kBuckets - 1; b >= 0 && !found; --b) {
        if (rank < negative_[b]) {
            value = -MiddleOf(b);
            found = true;
        } else {
            rank -= negative_[b];
        }
    }
    if (!found) {
        if (rank < zero_) {
            value = 0;
            found = true;
        } else {
            rank -= zero_;
        }
    }
    for (int b = 0; b < kBuckets && !found; ++b) {
        if (rank < positive_[b]) {
            value = MiddleOf(b);
            found = true;
        } else {
            rank -= positive_[b];
        }
    }
    // A bucket's middle may lie outside what was seen; the exact ends bound it.
    return std::clamp(value, min_, max_);
}

} // namespace monitor
