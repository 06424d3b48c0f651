#include "direction.h"

#include <cstdlib>

namespace measure {
namespace {
// Settled packets stay known for this many sends, so a late copy of a Counter8
// packet still finds the packet it belongs to.
constexpr uint64_t kHistory = 256;
}  // namespace

Direction::Direction(Format format, int64_t latency_bound_ns)
    : format_(format), bound_(latency_bound_ns), framer_(format), ring_(1024) {}

void Direction::grow() {
    std::vector<Entry> bigger(ring_.size() * 2);
    for (uint64_t s = base_; s < next_; ++s) bigger[s & (bigger.size() - 1)] = at(s);
    ring_.swap(bigger);
}

void Direction::trim() {
    while (base_ < expiry_ && next_ - base_ > kHistory) ++base_;
}

void Direction::onSent(uint64_t seq, int64_t t_ns) {
    if (seq < next_) return;  // numbers only rise
    // Settle what is overdue as time goes on, so only packets in flight (and
    // the last kHistory) are remembered, however rarely figures are asked for.
    expire(t_ns);
    while (seq + 1 - base_ > ring_.size()) {
        trim();
        if (seq + 1 - base_ <= ring_.size()) break;
        grow();
    }
    for (uint64_t s = next_; s < seq; ++s) at(s) = {t_ns, kUnsent};
    at(seq) = {t_ns, kInFlight};
    next_ = seq + 1;
    if (sent_ == 0) first_sent_ = t_ns;
    last_sent_ = t_ns;
    ++sent_;
    ++in_flight_;
}

void Direction::onSendFailed(uint64_t seq) {
    if (seq < base_ || seq >= next_ || at(seq).state != kInFlight) return;
    at(seq).state = kUnsent;
    --sent_;
    --in_flight_;
}

void Direction::onBytes(const uint8_t* p, size_t n, int64_t t_ns) {
    arrival_ns_ = t_ns;
    framer_.feed(p, n, *this);
}

void Direction::onDatagram(const uint8_t* p, size_t n, int64_t t_ns) {
    if (n == 0) {
        ++corrupt_;
        return;
    }
    onBytes(p, n, t_ns);
}

uint64_t Direction::match(uint32_t wire) const {
    if (next_ == 1) return 0;
    const uint64_t last = next_ - 1;
    uint64_t seq;
    if (format_ == Format::Counter8) {
        seq = last - ((last - wire) & 0xFF);
    } else {
        // The 64-bit number nearest below the last sent with these low 32 bits.
        seq = last - ((last - wire) & 0xFFFFFFFFull);
    }
    if (seq == 0 || seq > last) return 0;
    return seq;
}

void Direction::onPacket(uint32_t wire) {
    const uint64_t seq = match(wire);
    if (seq == 0) {  // nothing sent carries this number
        ++corrupt_;
        return;
    }
    if (seq < base_) {  // settled and forgotten long ago
        ++late_;
        return;
    }
    Entry& e = at(seq);
    switch (e.state) {
        case kUnsent:
            ++corrupt_;
            return;
        case kReceived:
            ++duplicated_;
            return;
        case kLost:
            ++late_;
            return;
        case kInFlight:
            break;
    }
    --in_flight_;
    const int64_t transit = arrival_ns_ - e.sent_ns;
    if (transit > bound_) {  // overdue, whether or not it was declared so yet
        e.state = kLost;
        ++lost_;
        ++late_;
        return;
    }
    e.state = kReceived;
    ++received_;
    if (seq < max_received_)
        ++reordered_;
    else
        max_received_ = seq;

    latency_.add(transit);
    interval_.add(transit);
    if (received_ > 1) {
        const double d = static_cast<double>(std::llabs(transit - last_transit_));
        jitter_ns_ += (d - jitter_ns_) / 16.0;
    }
    last_transit_ = transit;
    if (received_ == 1) first_recv_ = arrival_ns_;
    last_recv_ = arrival_ns_;
}

void Direction::expire(int64_t now_ns) {
    while (expiry_ < next_ && now_ns - at(expiry_).sent_ns > bound_) {
        Entry& e = at(expiry_);
        if (e.state == kInFlight) {
            e.state = kLost;
            --in_flight_;
            ++lost_;
        }
        ++expiry_;
    }
    trim();
}

void Direction::finish(int64_t now_ns, bool all) {
    framer_.flush(*this);
    expire(now_ns);
    if (!all) return;
    for (; expiry_ < next_; ++expiry_) {
        Entry& e = at(expiry_);
        if (e.state == kInFlight) {
            e.state = kLost;
            --in_flight_;
            ++lost_;
        }
    }
    trim();
}

namespace {
Latency latencyOf(const Histogram& h) {
    Latency l;
    l.count = h.count();
    l.min_us = static_cast<double>(h.min()) / 1e3;
    l.mean_us = h.mean() / 1e3;
    l.p50_us = static_cast<double>(h.quantile(0.50)) / 1e3;
    l.p90_us = static_cast<double>(h.quantile(0.90)) / 1e3;
    l.p99_us = static_cast<double>(h.quantile(0.99)) / 1e3;
    l.max_us = static_cast<double>(h.max()) / 1e3;
    return l;
}
}  // namespace

Latency Direction::takeIntervalLatency() {
    const Latency l = latencyOf(interval_);
    interval_.clear();
    return l;
}

Figures Direction::figures() const {
    Figures f;
    f.sent = sent_;
    f.received = received_;
    // A damaged packet stands for a packet sent: it is counted as corrupt, not
    // also as lost.
    f.lost = lost_ > corrupt_ ? lost_ - corrupt_ : 0;
    f.duplicated = duplicated_;
    f.reordered = reordered_;
    f.corrupt = corrupt_;
    f.skipped_bytes = skipped_;
    f.late = late_;
    f.in_flight = in_flight_;
    f.latency = latencyOf(latency_);
    f.jitter_us = jitter_ns_ / 1e3;
    if (sent_ > 1 && last_sent_ > first_sent_)
        f.send_rate =
            static_cast<double>(sent_ - 1) * 1e9 / static_cast<double>(last_sent_ - first_sent_);
    if (received_ > 1 && last_recv_ > first_recv_)
        f.receive_rate = static_cast<double>(received_ - 1) * 1e9 /
                         static_cast<double>(last_recv_ - first_recv_);
    return f;
}

}  // namespace measure
