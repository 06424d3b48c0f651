// Latency histogram: exact below 256 ns, then 128 buckets per power of two, so
// any quantile is within 0.4 % of the true value. Buckets are kept in pages of
// 128, each allocated when its first sample comes: an empty histogram holds no
// buckets, and one of latencies within a factor of two of each other a page or
// two (1 KiB each).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace measure {

class Histogram {
public:
    Histogram() = default;
    Histogram(const Histogram& o) { *this = o; }
    Histogram& operator=(const Histogram& o);
    Histogram(Histogram&&) = default;
    Histogram& operator=(Histogram&&) = default;

    void add(int64_t ns);  // negative values count as 0
    void clear();
    // The value below which a share q (0..1) of the samples lie: the sample of
    // rank ceil(q * count) (at least 1), to within its bucket; 0 when empty.
    int64_t quantile(double q) const;
    uint64_t count() const { return count_; }
    int64_t min() const { return count_ ? min_ : 0; }
    int64_t max() const { return count_ ? max_ : 0; }
    double mean() const { return count_ ? sum_ / static_cast<double>(count_) : 0.0; }
    // The distribution in coarse bins, `per_decade` to a factor of ten: each
    // non-empty bin as (its lower bound, samples in it), lowest first.
    std::vector<std::pair<int64_t, uint64_t>> bins(int per_decade) const;
    // Bytes of buckets allocated.
    size_t memoryBytes() const;

private:
    std::vector<std::unique_ptr<uint64_t[]>> pages_;  // empty until the first sample
    uint64_t count_ = 0;
    int64_t min_ = 0, max_ = 0;
    double sum_ = 0;
};

}  // namespace measure
