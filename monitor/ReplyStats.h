#pragma once
// Reply times over a whole run: count, exact minimum and maximum, and a
// median that needs fixed memory however long the run. Values go into
// buckets on a logarithmic scale, 1% wide, one scale for each sign (a reply
// can start before our transmitter let go of the bus); the median is the
// middle of the bucket holding the middle value, so it is off by at most
// half a bucket (0.5%), or by the bottom bucket's width (1 us) near zero.

#include <array>
#include <cstdint>

namespace monitor {

class ReplyStats {
public:
    void Add(int64_t ns);
    uint64_t Count() const { return count_; }
    // Meaningless while Count() is 0.
    int64_t Min() const { return min_; }
    int64_t Max() const { return max_; }
    int64_t Median() const;

private:
    // |value| below 1 us counts as 0; above, 1% steps up to past 1000 s.
    static constexpr int64_t kFloorNs = 1000;
    static constexpr double kStep = 1.01;
    static constexpr int kBuckets = 2100;

    static int BucketOf(int64_t magnitudeNs);
    static int64_t MiddleOf(int bucket);

    uint64_t count_ = 0;
    int64_t min_ = 0;
    int64_t max_ = 0;
    uint64_t zero_ = 0;
    std::array<uint64_t, kBuckets> positive_{};
    std::array<uint64_t, kBuckets> negative_{};
};

} // namespace monitor
