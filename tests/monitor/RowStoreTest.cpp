#include "RowStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace monitor;

// Past capacity + 1% the oldest rows go down to capacity, in one block; the
// numbers and the bytes of the rows kept stay right through the arena's
// compaction, and the summary is not touched by dropping.
TEST(MonitorRowStore, DropsOldestInBlocksAndKeepsBytesAndSummary)
{
    RowStore store(200); // drops when 203 are held
    std::vector<uint64_t> dropsAt;
    for (int i = 0; i < 1000; ++i) {
        Row row;
        row.kind = RowKind::Rx;
        row.startNs = i;
        const uint64_t firstBefore = store.FirstSeq();
        const uint64_t seq = store.Push(row, "frame " + std::to_string(i));
        ++store.MutableSummary().frames;
        EXPECT_EQ(seq, static_cast<uint64_t>(i));
        if (store.FirstSeq() != firstBefore)
            dropsAt.push_back(seq);
        ASSERT_LE(store.Size(), 202u);
    }
    // A drop each time the slack of 2 is passed, never row by row.
    ASSERT_FALSE(dropsAt.empty());
    for (size_t i = 1; i < dropsAt.size(); ++i)
        EXPECT_EQ(dropsAt[i] - dropsAt[i - 1], 3u);
    EXPECT_EQ(store.EndSeq(), 1000u);
    EXPECT_FALSE(store.Has(store.FirstSeq() - 1));
    for (uint64_t seq = store.FirstSeq(); seq < store.EndSeq(); ++seq) {
        ASSERT_EQ(store.At(seq).startNs, static_cast<int64_t>(seq));
        ASSERT_EQ(store.Bytes(store.At(seq)), "frame " + std::to_string(seq));
    }
    EXPECT_EQ(store.GetSummary().frames, 1000u);

    store.Clear();
    EXPECT_EQ(store.Size(), 0u);
    Row row;
    EXPECT_EQ(store.Push(row, "after"), 1000u);
    EXPECT_EQ(store.Bytes(store.At(1000)), "after");
}

// Min and max exact, the median within the histogram's half-bucket (0.5%),
// for a spread over four decades, with negative values, and an even count.
TEST(MonitorReplyStats, MedianWithinResolutionMinMaxExact)
{
    std::mt19937_64 random(7);
    std::vector<int64_t> values;
    ReplyStats stats;
    for (int i = 0; i < 20001; ++i) {
        // 10 us .. 100 ms, log-uniform, a tenth of them negative.
        const double exponent = std::uniform_real_distribution<double>(4, 8)(random);
        int64_t v = static_cast<int64_t>(std::pow(10.0, exponent));
        if (i % 10 == 0)
            v = -v;
        values.push_back(v);
        stats.Add(v);
    }
    std::vector<int64_t> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(stats.Count(), sorted.size());
    EXPECT_EQ(stats.Min(), sorted.front());
    EXPECT_EQ(stats.Max(), sorted.back());
    const double median = static_cast<double>(sorted[sorted.size() / 2]);
    EXPECT_NEAR(static_cast<double>(stats.Median()), median, median * 0.005 + 1);

    // Mostly negative: the median is found among the negative buckets.
    ReplyStats early;
    for (int64_t v : {-5000000, -3000000, -2000000, 4000000})
        early.Add(v);
    EXPECT_NEAR(early.Median(), -3000000, 3000000 * 0.005);
    ReplyStats one;
    one.Add(1234567);
    EXPECT_EQ(one.Median(), 1234567); // bounded by the exact min and max
}
