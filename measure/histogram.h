// Latency histogram with a fixed size: exact below 256 ns, then 128 buckets per
// power of two, so any quantile is within 0.4 % of the true value.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace measure {

class Histogram {
public:
    Histogram();
    void add(int64_t ns);
    void clear();
    // The value below which a share q (0..1) of the samples lie; 0 when empty.
    int64_t quantile(double q) const;
    uint64_t count() const { return count_; }
    int64_t min() const { return count_ ? min_ : 0; }
    int64_t max() const { return count_ ? max_ : 0; }
    double mean() const { return count_ ? sum_ / static_cast<double>(count_) : 0.0; }
    // The distribution in coarse bins, `per_decade` to a factor of ten: each
    // non-empty bin as (its lower bound, samples in it), lowest first.
    std::vector<std::pair<int64_t, uint64_t>> bins(int per_decade) const;

private:
    std::vector<uint64_t> buckets_;
    uint64_t count_ = 0;
    int64_t min_ = 0, max_ = 0;
    double sum_ = 0;
};

}  // namespace measure
