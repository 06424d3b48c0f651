// A differential oracle for the measuring core: a run whose every packet's fate
// is drawn from input bytes (not sent, a failed send, late sends; dropped,
// duplicated, reordered by k places, a byte damaged, bytes cut from its head or
// tail; stray bytes; the other lane's packets echoed back; the stream cut into
// reads or datagrams of any size, read late), fed to measure::Direction, and the
// figures expected computed here from the list of packets, apart from the core:
// its own packet builder, no framer.
//
// Assumptions that keep the expectation unambiguous (a case that breaks one is
// discarded, not judged):
//  - stray bytes are >= 0x80, never a data byte of either lane;
//  - in the stream as built, a valid packet starts exactly where an intact copy
//    was put (a cut tail followed by a cut head can join into one: discarded);
//  - counter8: every copy is read before 256 newer numbers were used (beyond
//    the window no counter byte can name its packet);
//  - reads come less than Direction::kReadGraceNs after the arrival.
// The framing rule is then applied to the stream as the README states it: at
// each place a valid packet (an intact copy) is taken whole; where a packet's
// shape shows (three data bytes of a lane in place, where a packet starting
// there has them or up to its header's length earlier: every damaged copy that
// keeps three, a copy whose head was cut by less than its header, and chance
// patterns such as stray bytes before a packet whose head was cut) a damaged
// packet counts corrupt and extends over its packet's length less the head it
// lost, or to the next valid packet if that comes first; any other byte is
// skipped alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "direction.h"

namespace oracle {

enum class Outcome { Pass, Discard, Fail };

// Choices drawn from the input bytes; past their end every choice is 0, which
// always means the plain course (sent on time, one intact copy).
class Choices {
public:
    Choices(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    unsigned byte() { return i_ < n_ ? p_[i_++] : 0; }
    unsigned below(unsigned k) { return k ? byte() % k : 0; }
    unsigned word() { return byte() << 8 | byte(); }
    // True for the top `k` of 256 values.
    bool rare(unsigned k) { return byte() >= 256 - k; }

private:
    const uint8_t* p_;
    size_t n_, i_ = 0;
};

constexpr uint8_t kRun[2][5] = {{0x01, 0x02, 0x03, 0x04, 0x05}, {0x41, 0x42, 0x43, 0x44, 0x45}};

inline size_t sizeOf(bool seq32) {
    return seq32 ? 11 : 7;
}
inline size_t runAt(bool seq32) {
    return seq32 ? 4 : 1;
}

// The packet as the format defines it, built here from its definition, into
// out[sizeOf(seq32)].
inline void writePacket(bool seq32, uint64_t n, int lane, uint8_t* out) {
    size_t k = 0;
    if (!seq32) {
        out[k++] = static_cast<uint8_t>(n & 0xFF);
    } else {
        for (int shift = 24; shift >= 0; shift -= 8)
            out[k++] = static_cast<uint8_t>((n >> shift) & 0xFF);
    }
    for (int i = 0; i < 5; ++i) out[k++] = kRun[lane][i];
    if (!seq32) {
        unsigned sum = 0;
        for (size_t i = 0; i < k; ++i) sum += out[i];
        out[k] = static_cast<uint8_t>(sum & 0xFF);
        return;
    }
    unsigned s1 = 0, s2 = 0;  // Fletcher-16
    for (size_t i = 0; i < k; ++i) {
        s1 = (s1 + out[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    out[k] = static_cast<uint8_t>(s2);
    out[k + 1] = static_cast<uint8_t>(s1);
}

inline std::vector<uint8_t> makePacket(bool seq32, uint64_t n, int lane) {
    std::vector<uint8_t> b(sizeOf(seq32));
    writePacket(seq32, n, lane, b.data());
    return b;
}

// A valid packet of either lane at `at`: the one its number would build.
inline bool validAt(bool seq32, const std::vector<uint8_t>& s, size_t at) {
    const size_t size = sizeOf(seq32);
    if (at + size > s.size()) return false;
    uint64_t n = 0;
    for (size_t i = 0; i < (seq32 ? 4u : 1u); ++i) n = n << 8 | s[at + i];
    uint8_t want[11];
    for (int lane = 0; lane < 2; ++lane) {
        writePacket(seq32, n, lane, want);
        if (std::equal(want, want + size, s.begin() + static_cast<long>(at))) return true;
    }
    return false;
}

// A packet's shape at `at`: data bytes of the best-fitting lane in place, among
// the bytes there are, with the data run where a packet starting at `at` has it
// or up to its header's length earlier (*early: how much; the least on a tie).
inline int inPlace(bool seq32, const std::vector<uint8_t>& s, size_t at, size_t* early = nullptr) {
    int best = 0;
    if (early) *early = 0;
    for (size_t e = 0; e <= runAt(seq32); ++e)
        for (const auto& run : kRun) {
            int same = 0;
            for (size_t i = 0; i < 5; ++i) {
                const size_t k = at + runAt(seq32) - e + i;
                if (k < s.size() && s[k] == run[i]) ++same;
            }
            if (same > best) {
                best = same;
                if (early) *early = e;
            }
        }
    return best;
}

struct Send {
    enum How { Sent, Failed, NotSent } how;
    uint64_t seq;
    int64_t deadline, t;
};

struct Fragment {
    enum Kind { Intact, Damaged, Junk } kind = Junk;
    bool near = false;  // a damaged copy that keeps the shape of a packet
    bool own = false;   // an intact packet of the direction's own lane
    uint64_t seq = 0;   // which packet (own lane)
    int64_t sent = 0;   // its send time
    int64_t ready = 0;  // when the network would deliver it
    int reorder = 0;    // places it is moved back in the stream
    std::vector<uint8_t> bytes;
    size_t start = 0;  // in the stream
    int64_t arrival = 0;
};

struct Chunk {
    size_t begin, end;
    int64_t arrival, read;
};

struct Expected {
    measure::Figures f;
    std::vector<int64_t> latencies, lateness, delays;  // ns
    int64_t longest_stall = 0, stall_began = 0, origin = 0;
};

// One generated run, its expectation and the core's figures.
class Run {
public:
    Outcome play(const uint8_t* data, size_t size, std::string* why);

private:
    void generate(Choices& c);
    bool frame(std::string* why);
    Outcome expect(std::string* why);
    Outcome compare(const measure::Figures& got, std::string* why) const;

    bool seq32_ = false, datagrams_ = false, all_ = true;
    measure::Lane own_ = measure::Lane::Plain;
    int64_t period_ = 0, bound_ = 0, end_ = 0;
    std::vector<Send> sends_;
    std::vector<Fragment> frags_;
    std::vector<uint8_t> stream_;
    std::vector<Chunk> chunks_;
    // Events in the order the core sees them: >= 0 a send, < 0 chunk -1 - i.
    std::vector<long> events_;
    Expected x_;
};

inline void Run::generate(Choices& c) {
    const unsigned mode = c.byte();
    seq32_ = mode & 1;
    own_ = mode & 2 ? measure::Lane::Alt : measure::Lane::Plain;
    datagrams_ = mode & 4;
    all_ = !(mode & 8);
    period_ = (1 + static_cast<int64_t>(c.below(200))) * 100000;  // 0.1 .. 20 ms
    const int64_t base = static_cast<int64_t>(c.below(40)) * period_ / 4;
    bound_ = base + (1 + static_cast<int64_t>(c.below(64))) * period_ / 2;
    if (mode & 16) bound_ *= 12;  // past counter8's window at times
    const uint64_t count = 1 + c.word() % 700;
    const size_t size = sizeOf(seq32_);
    const int own = own_ == measure::Lane::Plain ? 0 : 1;

    std::vector<Fragment> order;
    int64_t t = 0;
    for (uint64_t seq = 1; seq <= count; ++seq) {
        Send s{Send::Sent, seq, static_cast<int64_t>(seq) * period_, 0};
        const unsigned how = c.byte();
        if (how >= 250)
            s.how = Send::NotSent;
        else if (how >= 246)
            s.how = Send::Failed;
        const unsigned late = c.byte();
        int64_t lateness = static_cast<int64_t>(late % 8) * 7000;  // a few us
        if (late >= 250)
            lateness = static_cast<int64_t>(late - 248) * 3 * period_;  // a stall
        else if (late >= 230)
            lateness = static_cast<int64_t>(late - 228) * period_ / 10;
        t = std::max(t, s.deadline + lateness);
        s.t = t;
        sends_.push_back(s);

        if (c.rare(12)) {  // stray bytes before it
            Fragment j;
            for (unsigned k = 0, n = 1 + c.below(3); k < n; ++k)
                j.bytes.push_back(static_cast<uint8_t>(0x80 | c.byte()));
            j.ready = t;
            order.push_back(j);
        }
        if (c.rare(12)) {  // the other lane's packet: an echo of the tester's own bytes
            Fragment e;
            e.bytes = makePacket(seq32_, c.word() * 7919u + c.byte(), 1 - own);
            e.kind = Fragment::Intact;
            if (c.rare(64)) {
                e.bytes[c.below(static_cast<unsigned>(size))] ^=
                    static_cast<uint8_t>(1 + c.below(255));
                e.kind = Fragment::Damaged;
                e.near = true;
            }
            e.ready = t;
            order.push_back(e);
        }
        if (s.how != Send::Sent) continue;
        const unsigned copies_draw = c.byte();
        const int copies = copies_draw >= 236   ? 0
                           : copies_draw >= 220 ? 2
                           : copies_draw >= 216 ? 3
                                                : 1;
        for (int k = 0; k < copies; ++k) {
            Fragment p;
            p.kind = Fragment::Intact;
            p.own = true;
            p.seq = seq;
            p.sent = t;
            p.bytes = makePacket(seq32_, seq, own);
            const unsigned fate = c.byte();
            if (fate >= 236) {  // a byte damaged, never into another valid packet
                const size_t at = c.below(static_cast<unsigned>(size));
                unsigned x = 1 + c.below(255);
                for (;; x = x % 255 + 1) {
                    std::vector<uint8_t> b = p.bytes;
                    b[at] ^= static_cast<uint8_t>(x);
                    if (!validAt(seq32_, b, 0)) {
                        p.bytes = b;
                        break;
                    }
                }
                p.kind = Fragment::Damaged;
                p.near = true;
            } else if (fate >= 222) {  // its tail cut: damaged while three data bytes stay
                const size_t cut = 1 + c.below(static_cast<unsigned>(size - 1));
                p.bytes.resize(size - cut);
                p.kind = Fragment::Damaged;
                p.near = p.bytes.size() >= runAt(seq32_) + 3;
            } else if (fate >= 212) {  // its head cut: a damaged packet or stray bytes
                const size_t cut = 1 + c.below(static_cast<unsigned>(size - 1));
                p.bytes.erase(p.bytes.begin(), p.bytes.begin() + static_cast<long>(cut));
                p.kind = Fragment::Junk;
            }
            if (p.kind != Fragment::Intact) p.own = false;
            const unsigned delay = c.byte();
            p.ready = t + base + static_cast<int64_t>(delay % 64) * period_ / 16;
            if (delay >= 252) p.ready += bound_;  // past its bound
            const unsigned r = c.byte();
            if (r >= 240) p.reorder = 1 + static_cast<int>(r % 8);
            order.push_back(p);
        }
    }
    // The network: by the time each copy is ready, then some moved back k places.
    std::stable_sort(order.begin(), order.end(),
                     [](const Fragment& a, const Fragment& b) { return a.ready < b.ready; });
    for (size_t i = order.size(); i-- > 0;) {
        const size_t to = std::min(order.size() - 1, i + static_cast<size_t>(order[i].reorder));
        std::rotate(order.begin() + static_cast<long>(i), order.begin() + static_cast<long>(i) + 1,
                    order.begin() + static_cast<long>(to) + 1);
    }
    int64_t arrival = 0;
    for (Fragment& f : order) {
        arrival = std::max(arrival, f.ready);
        f.arrival = arrival;
        f.start = stream_.size();
        stream_.insert(stream_.end(), f.bytes.begin(), f.bytes.end());
    }
    frags_ = std::move(order);

    // Reads (or datagrams) of any size; each arrives with its last byte.
    std::vector<size_t> owner(stream_.size());
    for (size_t i = 0; i < frags_.size(); ++i)
        for (size_t k = 0; k < frags_[i].bytes.size(); ++k) owner[frags_[i].start + k] = i;
    int64_t last_arrival = 0, read = 0;
    for (size_t at = 0; at < stream_.size();) {
        const unsigned cut = c.byte();
        size_t n = 1 + cut % 24;
        if (cut >= 200) n = 1 + cut % 3;
        if (datagrams_ && cut == 255) n = 0;  // an empty datagram
        n = std::min(n, stream_.size() - at);
        const int64_t a = n ? frags_[owner[at + n - 1]].arrival : last_arrival;
        const unsigned late = c.byte();
        int64_t delay = static_cast<int64_t>(late % 4) * 20000;
        if (late >= 250) delay = static_cast<int64_t>(late - 249) * 60000000;  // up to 420 ms
        read = std::max(read, a + delay);
        chunks_.push_back({at, at + n, a, read});
        last_arrival = a;
        at += n;
    }
    // What the core sees, in time order; at the same time, sends first.
    size_t si = 0, ci = 0;
    while (si < sends_.size() || ci < chunks_.size()) {
        if (ci == chunks_.size() || (si < sends_.size() && sends_[si].t <= chunks_[ci].read))
            events_.push_back(static_cast<long>(si++));
        else
            events_.push_back(-1 - static_cast<long>(ci++));
    }
    end_ = std::max(t, read) + static_cast<int64_t>(c.below(4)) * bound_ / 2;
}

// The framing facts from the stream itself, checked against the fragment list,
// then the framing rule applied to them: corrupt and skipped bytes.
inline bool Run::frame(std::string* why) {
    const size_t size = sizeOf(seq32_), n = stream_.size();
    std::vector<int> kind(n, 0);  // 1 intact start, 2 damaged start with the shape
    for (const Fragment& f : frags_) {
        if (f.bytes.empty()) continue;
        if (f.kind == Fragment::Intact) kind[f.start] = 1;
        if (f.kind == Fragment::Damaged && f.near) kind[f.start] = 2;
    }
    for (size_t p = 0; p < n; ++p)
        if (validAt(seq32_, stream_, p) != (kind[p] == 1)) {
            *why = "a valid packet by chance at " + std::to_string(p);
            return false;
        }
    std::vector<size_t> next_valid(n + 1, SIZE_MAX);
    for (size_t p = n; p-- > 0;) next_valid[p] = kind[p] == 1 ? p : next_valid[p + 1];
    // The rule, at the places it visits (never inside an intact packet): a damaged
    // packet wherever a packet's shape shows. Stray bytes before a packet whose
    // head was cut, or a cut tail before a cut head, can make one.
    measure::Figures& f = x_.f;
    for (size_t p = 0; p < n;) {
        size_t early = 0;
        const int shape = kind[p] == 1 ? 0 : inPlace(seq32_, stream_, p, &early);
        if (kind[p] == 2 && shape < 3) {
            *why = "a damaged copy without its shape at " + std::to_string(p);
            return false;
        }
        if (kind[p] == 0 && shape >= 3) kind[p] = 2;
        if (kind[p] == 1) {
            p += size;
        } else if (kind[p] == 2) {
            size_t len = std::min(size - early, n - p);
            if (next_valid[p + 1] != SIZE_MAX) len = std::min(len, next_valid[p + 1] - p);
            ++f.corrupt;
            p += len;
        } else {
            ++f.skipped_bytes;
            ++p;
        }
    }
    for (const Chunk& ch : chunks_) f.corrupt += ch.begin == ch.end && datagrams_;
    return true;
}

inline Outcome Run::expect(std::string* why) {
    if (!frame(why)) return Outcome::Discard;
    measure::Figures& f = x_.f;
    const size_t size = sizeOf(seq32_);
    // Where each chunk is, among the events: the highest number used before it.
    std::vector<uint64_t> numbered_before(chunks_.size(), 0);
    uint64_t numbered = 0;
    bool origin_set = false;
    for (long e : events_) {
        if (e >= 0) {
            const Send& s = sends_[static_cast<size_t>(e)];
            numbered = s.seq;
            if (!origin_set)
                x_.origin = s.how == Send::NotSent ? s.deadline : std::min(s.t, s.deadline);
            origin_set = true;
            if (s.how == Send::NotSent) continue;
            const int64_t lateness = s.t - s.deadline;
            x_.lateness.push_back(lateness);
            if (lateness > period_) ++f.tester.sent_late;
            if (lateness > x_.longest_stall)
                x_.longest_stall = lateness, x_.stall_began = s.deadline;
        } else {
            const Chunk& ch = chunks_[static_cast<size_t>(-1 - e)];
            numbered_before[static_cast<size_t>(-1 - e)] = numbered;
            const int64_t d = ch.read - ch.arrival;
            x_.delays.push_back(d);
            if (d > x_.longest_stall) x_.longest_stall = d, x_.stall_began = ch.arrival;
        }
    }
    // Each packet's fate, copy by copy in stream order.
    enum Fate { Unsent, Waiting, Received, Lost };
    std::vector<Fate> fate(sends_.size() + 1, Unsent);
    int64_t first_sent = 0, last_sent = 0;
    for (const Send& s : sends_) {
        if (s.how != Send::Sent) {
            f.not_sent += s.how == Send::NotSent;
            continue;
        }
        fate[s.seq] = Waiting;
        if (f.sent++ == 0) first_sent = s.t;
        last_sent = s.t;
    }
    size_t ci = 0;
    uint64_t highest = 0;
    double jitter = 0;
    int64_t prev_transit = 0, first_recv = 0, last_recv = 0;
    for (const Fragment& fr : frags_) {
        if (fr.kind != Fragment::Intact) continue;
        if (!fr.own) {
            ++f.echoed;
            continue;
        }
        const size_t last_byte = fr.start + size - 1;
        while (chunks_[ci].end <= last_byte) ++ci;
        const Chunk& ch = chunks_[ci];
        if (!seq32_ && fr.seq + measure::kCounter8Window <= numbered_before[ci]) {
            *why = "counter8 copy read past the window";
            return Outcome::Discard;
        }
        if (ch.read - ch.arrival >= measure::Direction::kReadGraceNs) {
            *why = "read later than the grace";
            return Outcome::Discard;
        }
        const int64_t transit = ch.arrival - fr.sent;
        Fate& st = fate[fr.seq];
        if (st == Received) {
            ++f.duplicated;
        } else if (transit > bound_) {
            ++f.late;
            st = Lost;
        } else {
            st = Received;
            ++f.received;
            if (fr.seq < highest) ++f.reordered;
            highest = std::max(highest, fr.seq);
            x_.latencies.push_back(transit);
            if (f.received > 1)
                jitter += (std::fabs(static_cast<double>(transit - prev_transit)) - jitter) / 16;
            prev_transit = transit;
            if (f.received == 1) first_recv = ch.arrival;
            last_recv = ch.arrival;
        }
    }
    for (const Send& s : sends_) {
        if (s.how != Send::Sent || fate[s.seq] == Received) continue;
        const bool settled = all_ || fate[s.seq] == Lost || end_ - s.t > bound_ ||
                             (!seq32_ && s.seq + measure::kCounter8Window <= numbered);
        ++(settled ? f.lost : f.in_flight);
    }
    f.jitter_us = jitter / 1e3;
    if (f.sent > 1 && last_sent > first_sent)
        f.send_rate =
            static_cast<double>(f.sent - 1) * 1e9 / static_cast<double>(last_sent - first_sent);
    if (f.received > 1 && last_recv > first_recv)
        f.receive_rate =
            static_cast<double>(f.received - 1) * 1e9 / static_cast<double>(last_recv - first_recv);
    f.tester.longest_stall_ms = static_cast<double>(x_.longest_stall) / 1e6;
    f.tester.stall_at_s =
        x_.stall_began > x_.origin ? static_cast<double>(x_.stall_began - x_.origin) / 1e9 : 0;
    return Outcome::Pass;
}

namespace detail {
// The sample of rank ceil(q * n) (q in thousandths), in microseconds.
inline double exactQuantile(std::vector<int64_t> v, int64_t q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    int64_t rank = (q * static_cast<int64_t>(v.size()) + 999) / 1000;
    rank = std::max<int64_t>(rank, 1);
    return static_cast<double>(std::max<int64_t>(v[static_cast<size_t>(rank - 1)], 0)) / 1e3;
}

// A latency summary against the exact samples: count, min, max exact; the
// quantiles within the histogram's 1/256; the mean to rounding.
inline bool sameLatency(const measure::Latency& got, std::vector<int64_t> v, const char* what,
                        std::string* why) {
    for (int64_t& x : v) x = std::max<int64_t>(x, 0);
    char buf[200];
    if (got.count != v.size()) {
        std::snprintf(buf, sizeof buf, "%s: count %llu, expected %zu", what,
                      static_cast<unsigned long long>(got.count), v.size());
        *why = buf;
        return false;
    }
    if (v.empty()) return true;
    const double lo = static_cast<double>(*std::min_element(v.begin(), v.end())) / 1e3;
    const double hi = static_cast<double>(*std::max_element(v.begin(), v.end())) / 1e3;
    double sum = 0;
    for (int64_t x : v) sum += static_cast<double>(x);
    const double mean = sum / static_cast<double>(v.size()) / 1e3;
    const struct {
        const char* name;
        double got, want, tol;
    } checks[] = {
        {"min", got.min_us, lo, 1e-9},
        {"max", got.max_us, hi, 1e-9},
        {"mean", got.mean_us, mean, 1e-9 * mean + 1e-9},
        {"p50", got.p50_us, exactQuantile(v, 500), exactQuantile(v, 500) / 256 + 1e-9},
        {"p90", got.p90_us, exactQuantile(v, 900), exactQuantile(v, 900) / 256 + 1e-9},
        {"p99", got.p99_us, exactQuantile(v, 990), exactQuantile(v, 990) / 256 + 1e-9},
    };
    for (const auto& c : checks)
        if (std::fabs(c.got - c.want) > c.tol) {
            std::snprintf(buf, sizeof buf, "%s %s: %.6f us, expected %.6f", what, c.name, c.got,
                          c.want);
            *why = buf;
            return false;
        }
    return true;
}
}  // namespace detail

inline Outcome Run::compare(const measure::Figures& got, std::string* why) const {
    const measure::Figures& w = x_.f;
    const struct {
        const char* name;
        uint64_t got, want;
    } counts[] = {
        {"sent", got.sent, w.sent},
        {"received", got.received, w.received},
        {"lost", got.lost, w.lost},
        {"in_flight", got.in_flight, w.in_flight},
        {"duplicated", got.duplicated, w.duplicated},
        {"reordered", got.reordered, w.reordered},
        {"corrupt", got.corrupt, w.corrupt},
        {"skipped_bytes", got.skipped_bytes, w.skipped_bytes},
        {"late", got.late, w.late},
        {"echoed", got.echoed, w.echoed},
        {"not_sent", got.not_sent, w.not_sent},
        {"sent_late", got.tester.sent_late, w.tester.sent_late},
    };
    for (const auto& c : counts)
        if (c.got != c.want) {
            *why = std::string(c.name) + ": " + std::to_string(c.got) + ", expected " +
                   std::to_string(c.want);
            return Outcome::Fail;
        }
    const struct {
        const char* name;
        double got, want;
    } reals[] = {
        {"jitter_us", got.jitter_us, w.jitter_us},
        {"send_rate", got.send_rate, w.send_rate},
        {"receive_rate", got.receive_rate, w.receive_rate},
        {"longest_stall_ms", got.tester.longest_stall_ms, w.tester.longest_stall_ms},
        {"stall_at_s", got.tester.stall_at_s, w.tester.stall_at_s},
    };
    for (const auto& r : reals)
        if (std::fabs(r.got - r.want) > 1e-9 * std::fabs(r.want) + 1e-9) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s: %.9f, expected %.9f", r.name, r.got, r.want);
            *why = buf;
            return Outcome::Fail;
        }
    if (!detail::sameLatency(got.latency, x_.latencies, "latency", why) ||
        !detail::sameLatency(got.tester.send_lateness, x_.lateness, "send lateness", why) ||
        !detail::sameLatency(got.tester.receive_delay, x_.delays, "receive delay", why))
        return Outcome::Fail;
    return Outcome::Pass;
}

inline Outcome Run::play(const uint8_t* data, size_t size, std::string* why) {
    Choices c(data, size);
    generate(c);
    const Outcome e = expect(why);
    if (e != Outcome::Pass) return e;

    measure::Direction d(seq32_ ? measure::Format::Seq32 : measure::Format::Counter8, bound_, own_);
    d.setPeriod(period_);
    size_t step = 0;
    for (long e : events_) {
        if (e >= 0) {
            const Send& s = sends_[static_cast<size_t>(e)];
            if (s.how == Send::NotSent) {
                d.onNotSent(s.seq, s.deadline);
            } else {
                d.onSent(s.seq, s.t, s.deadline);
                if (s.how == Send::Failed) d.onSendFailed(s.seq);
            }
        } else {
            const Chunk& ch = chunks_[static_cast<size_t>(-1 - e)];
            const uint8_t* p = stream_.data() + ch.begin;
            if (datagrams_)
                d.onDatagram(p, ch.end - ch.begin, ch.arrival, ch.read);
            else
                d.onBytes(p, ch.end - ch.begin, ch.arrival, ch.read);
        }
        if (++step % 97 == 0) {
            const measure::Figures g = d.figures();
            if (g.sent != g.received + g.lost + g.in_flight) {
                *why = "sent != received + lost + in_flight after event " + std::to_string(step);
                return Outcome::Fail;
            }
        }
    }
    d.finish(end_, all_);
    return compare(d.figures(), why);
}

}  // namespace oracle
