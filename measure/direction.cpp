#include "direction.h"

#include <algorithm>
#include <cstdlib>

namespace measure {
namespace {

constexpr size_t kFirstRing = 16;
constexpr uint64_t kWordsPerPage = (uint64_t{1} << 14) * 2 / 64;

// now - then > span, without overflow (span >= 0).
bool older(int64_t now, int64_t then, int64_t span) {
    return now > then &&
           static_cast<uint64_t>(now) - static_cast<uint64_t>(then) > static_cast<uint64_t>(span);
}

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

Direction::Direction(Format format, int64_t latency_bound_ns, Lane own, int size)
    : format_(format),
      bound_(latency_bound_ns < 0 ? 0 : latency_bound_ns),
      own_(own),
      framer_(format, size),
      ring_(kFirstRing) {}

Direction::State Direction::state(uint64_t seq) const {
    const uint64_t page = seq >> kPageShift;
    if (page >= states_.size() || !states_[page]) return kUnsent;
    const uint64_t bit = (seq & ((uint64_t{1} << kPageShift) - 1)) * 2;
    return static_cast<State>((states_[page][bit / 64] >> (bit % 64)) & 3);
}

void Direction::setState(uint64_t seq, State s) {
    const uint64_t page = seq >> kPageShift;
    if (page >= states_.size()) states_.resize(page + 1);
    if (!states_[page]) states_[page].reset(new uint64_t[kWordsPerPage]());
    const uint64_t bit = (seq & ((uint64_t{1} << kPageShift) - 1)) * 2;
    uint64_t& w = states_[page][bit / 64];
    w = (w & ~(uint64_t{3} << (bit % 64))) | (uint64_t{s} << (bit % 64));
}

void Direction::trim() {
    // Settled packets leave the ring once no arrival can still need their
    // send time: counter8 past its window, any format past bound + grace.
    const int64_t keep = bound_ > INT64_MAX - kReadGraceNs ? INT64_MAX : bound_ + kReadGraceNs;
    while (base_ < expiry_) {
        const bool unmatchable = format_ == Format::Counter8 && next_ - base_ > kCounter8Window;
        if (!unmatchable && !older(now_, sentAt(base_), keep)) break;
        ++base_;
    }
    if (format_ != Format::Counter8) return;
    // Counter8 never matches a packet 256 numbers back: those states can go.
    const uint64_t matchable =
        std::min(base_, next_ > kCounter8Window ? next_ - kCounter8Window : 1);
    while (((freed_ + 1) << kPageShift) <= matchable) {
        if (freed_ < states_.size()) states_[freed_].reset();
        ++freed_;
    }
}

void Direction::settle(uint64_t seq) {
    if (state(seq) != kInFlight) return;
    setState(seq, kLost);
    --in_flight_;
    ++lost_;
}

void Direction::number(uint64_t seq, int64_t t_ns, State s) {
    trim();
    if (seq + 1 - base_ > ring_.size()) {
        size_t size = ring_.size();
        while (seq + 1 - base_ > size) size *= 2;
        std::vector<int64_t> bigger(size);
        for (uint64_t x = base_; x < next_; ++x) bigger[x & (size - 1)] = sentAt(x);
        ring_.swap(bigger);
    }
    for (uint64_t x = next_; x < seq; ++x) sentAt(x) = t_ns;  // numbers skipped: never sent
    sentAt(seq) = t_ns;
    if (s != kUnsent) setState(seq, s);
    if (s == kInFlight) ++in_flight_;
    next_ = seq + 1;
    // Counter8: a packet 256 numbers back can no longer be told from this one.
    if (format_ == Format::Counter8)
        for (; expiry_ + kCounter8Window < next_; ++expiry_) settle(expiry_);
    trim();
}

void Direction::stall(int64_t ns, int64_t began_ns) {
    if (ns <= longest_stall_) return;
    longest_stall_ = ns;
    stall_began_ = began_ns;
}

void Direction::onSent(uint64_t seq, int64_t t_ns, int64_t deadline_ns) {
    if (seq < next_) return;  // numbers only rise
    // Settle what is overdue as time goes on, so only packets in flight (and
    // those within the grace) are remembered, however rarely figures are asked for.
    expire(t_ns);
    number(seq, t_ns, kInFlight);
    if (!started_) origin_ = std::min(t_ns, deadline_ns), started_ = true;
    if (sent_ == 0) first_sent_ = t_ns;
    before_last_sent_ = last_sent_;
    last_sent_ = t_ns;
    ++sent_;
    const int64_t lateness = t_ns - deadline_ns;
    send_lateness_.add(lateness);
    if (period_ > 0 && lateness > period_) ++sent_late_;
    stall(lateness, deadline_ns);
}

void Direction::onSendFailed(uint64_t seq) {
    if (seq < base_ || seq >= next_ || state(seq) != kInFlight) return;
    setState(seq, kUnsent);
    --sent_;
    --in_flight_;
    last_sent_ = before_last_sent_;
}

void Direction::onNotSent(uint64_t seq, int64_t deadline_ns) {
    if (seq < next_) return;
    expire(deadline_ns);
    number(seq, deadline_ns, kUnsent);
    if (!started_) origin_ = deadline_ns, started_ = true;
    ++not_sent_;
}

void Direction::onBytes(const uint8_t* p, size_t n, int64_t arrival_ns, int64_t read_ns) {
    receive_delay_.add(read_ns - arrival_ns);
    stall(read_ns - arrival_ns, arrival_ns);
    arrival_ns_ = arrival_ns;
    framer_.feed(p, n, *this);
}

void Direction::onDatagram(const uint8_t* p, size_t n, int64_t arrival_ns, int64_t read_ns) {
    if (n == 0) {
        receive_delay_.add(read_ns - arrival_ns);
        stall(read_ns - arrival_ns, arrival_ns);
        ++corrupt_;
        return;
    }
    onBytes(p, n, arrival_ns, read_ns);
}

uint64_t Direction::match(uint32_t wire) const {
    if (next_ == 1) return 0;
    const uint64_t last = next_ - 1;
    const uint64_t mask = format_ == Format::Counter8 ? 0xFF : 0xFFFFFFFFull;
    // The most recent number with these low bits.
    const uint64_t seq = last - ((last - wire) & mask);
    if (seq == 0 || seq > last) return 0;
    return seq;
}

void Direction::onPacket(uint32_t wire, Lane lane) {
    if (lane != own_) {
        ++echoed_;
        return;
    }
    const uint64_t seq = match(wire);
    if (seq == 0) {  // nothing numbered carries this number
        ++corrupt_;
        return;
    }
    switch (state(seq)) {
        case kUnsent:
            ++corrupt_;
            return;
        case kReceived:
            ++duplicated_;
            return;
        case kInFlight: {
            const int64_t transit = arrival_ns_ - sentAt(seq);
            --in_flight_;
            if (transit > bound_) {  // overdue, whether or not it was settled so yet
                setState(seq, kLost);
                ++lost_;
                ++late_;
                return;
            }
            received(seq, transit);
            return;
        }
        case kLost:
            // Settled lost while its arrival waited to be read: it came in time.
            if (seq >= base_ && arrival_ns_ - sentAt(seq) <= bound_) {
                --lost_;
                received(seq, arrival_ns_ - sentAt(seq));
                return;
            }
            ++late_;
            return;
    }
}

void Direction::received(uint64_t seq, int64_t transit) {
    setState(seq, kReceived);
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
    if (now_ns > now_) now_ = now_ns;
    for (; expiry_ < next_ && older(now_, sentAt(expiry_), bound_); ++expiry_) settle(expiry_);
    trim();
}

void Direction::finish(int64_t now_ns, bool all) {
    framer_.flush(*this);
    expire(now_ns);
    if (!all) return;
    for (; expiry_ < next_; ++expiry_) settle(expiry_);
    trim();
}

Latency Direction::takeIntervalLatency() {
    const Latency l = latencyOf(interval_);
    interval_.clear();
    return l;
}

size_t Direction::memoryBytes() const {
    size_t n = ring_.capacity() * sizeof(int64_t) + states_.capacity() * sizeof(states_[0]);
    for (const auto& page : states_)
        if (page) n += kWordsPerPage * sizeof(uint64_t);
    for (const Histogram* h : {&latency_, &interval_, &send_lateness_, &receive_delay_})
        n += h->memoryBytes();
    return n;
}

Figures Direction::figures() const {
    Figures f;
    f.sent = sent_;
    f.received = received_;
    f.lost = lost_;
    f.duplicated = duplicated_;
    f.reordered = reordered_;
    f.corrupt = corrupt_;
    f.skipped_bytes = skipped_;
    f.late = late_;
    f.in_flight = in_flight_;
    f.echoed = echoed_;
    f.not_sent = not_sent_;
    f.latency = latencyOf(latency_);
    f.jitter_us = jitter_ns_ / 1e3;
    if (sent_ > 1 && last_sent_ > first_sent_)
        f.send_rate =
            static_cast<double>(sent_ - 1) * 1e9 / static_cast<double>(last_sent_ - first_sent_);
    if (received_ > 1 && last_recv_ > first_recv_)
        f.receive_rate = static_cast<double>(received_ - 1) * 1e9 /
                         static_cast<double>(last_recv_ - first_recv_);
    f.tester.send_lateness = latencyOf(send_lateness_);
    f.tester.receive_delay = latencyOf(receive_delay_);
    f.tester.sent_late = sent_late_;
    f.tester.longest_stall_ms = static_cast<double>(longest_stall_) / 1e6;
    if (started_ && stall_began_ > origin_)
        f.tester.stall_at_s = static_cast<double>(stall_began_ - origin_) / 1e9;
    return f;
}

}  // namespace measure
