#pragma once
// Median, 99th percentile and extremes of a benchmark's samples.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench {

struct Figures {
    double median = 0, p99 = 0, max = 0, min = 0;
    size_t count = 0;
};

inline Figures Summarise(std::vector<double> values)
{
    Figures f;
    if (values.empty())
        return f;
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, size_t(q * double(values.size() - 1) + 0.5))];
    };
    f.median = at(0.5);
    f.p99 = at(0.99);
    f.max = values.back();
    f.min = values.front();
    f.count = values.size();
    return f;
}

} // namespace bench
