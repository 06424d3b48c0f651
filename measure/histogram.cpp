#include "histogram.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace measure {
namespace {

constexpr int kSub = 128;          // buckets per power of two, and per page
constexpr int kLinear = 2 * kSub;  // values below this have a bucket each
constexpr int kBuckets = kLinear + 56 * kSub;
constexpr int kPages = kBuckets / kSub;

int bucketOf(uint64_t v) {
    if (v < static_cast<uint64_t>(kLinear)) return static_cast<int>(v);
    const int shift = 63 - __builtin_clzll(v) - 7;  // v >> shift lies in [128, 256)
    return kLinear + (shift - 1) * kSub + static_cast<int>((v >> shift) - kSub);
}

// The middle of a bucket's range.
int64_t valueOf(int b) {
    if (b < kLinear) return b;
    const int shift = (b - kLinear) / kSub + 1;
    const uint64_t low = (static_cast<uint64_t>((b - kLinear) % kSub) + kSub) << shift;
    return static_cast<int64_t>(low + (uint64_t{1} << shift) / 2);
}

}  // namespace

Histogram& Histogram::operator=(const Histogram& o) {
    if (this == &o) return *this;
    pages_.clear();
    pages_.resize(o.pages_.size());
    for (size_t i = 0; i < o.pages_.size(); ++i) {
        if (!o.pages_[i]) continue;
        pages_[i].reset(new uint64_t[kSub]);
        std::memcpy(pages_[i].get(), o.pages_[i].get(), kSub * sizeof(uint64_t));
    }
    count_ = o.count_;
    min_ = o.min_;
    max_ = o.max_;
    sum_ = o.sum_;
    return *this;
}

void Histogram::add(int64_t ns) {
    if (ns < 0) ns = 0;
    const int b = bucketOf(static_cast<uint64_t>(ns));
    if (pages_.empty()) pages_.resize(kPages);
    std::unique_ptr<uint64_t[]>& page = pages_[static_cast<size_t>(b / kSub)];
    if (!page) page.reset(new uint64_t[kSub]());
    ++page[static_cast<size_t>(b % kSub)];
    if (count_ == 0 || ns < min_) min_ = ns;
    if (count_ == 0 || ns > max_) max_ = ns;
    ++count_;
    sum_ += static_cast<double>(ns);
}

void Histogram::clear() {
    for (auto& page : pages_)
        if (page) std::fill(page.get(), page.get() + kSub, 0);
    count_ = 0;
    min_ = max_ = 0;
    sum_ = 0;
}

size_t Histogram::memoryBytes() const {
    size_t n = pages_.capacity() * sizeof(pages_[0]);
    for (const auto& page : pages_)
        if (page) n += kSub * sizeof(uint64_t);
    return n;
}

int64_t Histogram::quantile(double q) const {
    if (count_ == 0) return 0;
    // Less a hair, so that q * count landing a rounding error above a whole
    // number does not take the next sample.
    uint64_t rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_) - 1e-7));
    if (rank < 1) rank = 1;
    uint64_t seen = 0;
    for (size_t p = 0; p < pages_.size(); ++p) {
        if (!pages_[p]) continue;
        for (int i = 0; i < kSub; ++i) {
            seen += pages_[p][static_cast<size_t>(i)];
            if (seen >= rank) {
                const int64_t v = valueOf(static_cast<int>(p) * kSub + i);
                return v < min_ ? min_ : (v > max_ ? max_ : v);
            }
        }
    }
    return max_;
}

std::vector<std::pair<int64_t, uint64_t>> Histogram::bins(int per_decade) const {
    std::vector<std::pair<int64_t, uint64_t>> out;
    for (size_t p = 0; p < pages_.size(); ++p) {
        if (!pages_[p]) continue;
        for (int i = 0; i < kSub; ++i) {
            const uint64_t n = pages_[p][static_cast<size_t>(i)];
            if (n == 0) continue;
            const double v = static_cast<double>(valueOf(static_cast<int>(p) * kSub + i));
            const double step = std::floor(std::log10(v < 1 ? 1 : v) * per_decade);
            const int64_t low =
                static_cast<int64_t>(std::llround(std::pow(10.0, step / per_decade)));
            if (!out.empty() && out.back().first == low)
                out.back().second += n;
            else
                out.emplace_back(low, n);
        }
    }
    return out;
}

}  // namespace measure
