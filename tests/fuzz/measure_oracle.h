// A differential oracle for the measuring core: a run whose every packet's fate
// is drawn from input bytes (not sent, a failed send, late sends; dropped,
// duplicated, reordered by k places, a byte damaged, bytes cut from its head or
// tail; stray bytes; the other lane's packets echoed back; the stream cut into
// reads or datagrams of any size, read late, ended and begun again as a TCP
// connection is), fed to measure::Direction, and the
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
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "direction.h"

namespace oracle {

enum class Outcome { Pass, Discard, Fail };
using Bytes = std::vector<uint8_t>;

// Choices drawn from the input bytes; past their end every choice is 0, which
// always means the plain course (sent on time, one intact copy).
struct Choices {
    const uint8_t* p;
    size_t n, i = 0;
    unsigned byte() { return i < n ? p[i++] : 0; }
    unsigned below(unsigned k) { return k ? byte() % k : 0; }
    unsigned word() { return byte() << 8 | byte(); }
    bool rare(unsigned k) { return byte() >= 256 - k; }  // true for the top k of 256
};

constexpr uint8_t kRun[2][5] = {{0x01, 0x02, 0x03, 0x04, 0x05}, {0x41, 0x42, 0x43, 0x44, 0x45}};

struct Send {
    enum How { Sent, Failed, NotSent } how;
    uint64_t seq;
    int64_t deadline, t;
};

struct Fragment {
    enum Kind { Intact, Damaged, Junk } kind = Junk;
    bool near = false;                         // a damaged copy that keeps the shape of a packet
    bool broken = false;                       // an intact copy cut in two by the end of a stream
    uint64_t seq = 0;                          // which packet (own lane), 0: an echo
    int64_t sent = 0, ready = 0, arrival = 0;  // its send time; when the network delivers it
    int reorder = 0;                           // places it is moved back in the stream
    Bytes bytes;
    size_t start = 0;  // in the stream
};

struct Chunk {
    size_t begin, end;
    int64_t arrival, read;
    bool stream_end;  // the stream (a TCP connection) ends after it
};

// One generated run, its expectation and the core's figures.
class Run {
public:
    Outcome play(const uint8_t* data, size_t size, std::string* why);

private:
    size_t size() const { return sized_ ? sized_ : seq32_ ? 11 : 7; }
    size_t head() const { return seq32_ || sized_ ? 4 : 1; }  // where the data run starts
    bool counter8() const { return !seq32_ && !sized_; }
    Bytes packet(uint64_t n, int lane) const;
    bool validAt(const Bytes& s, size_t at, size_t end) const;
    int inPlace(const Bytes& s, size_t at, size_t end, size_t* early) const;
    void generate(Choices& c);
    bool frame(std::string* why);
    Outcome expect(std::string* why);
    Outcome compare(const measure::Figures& got, std::string* why) const;

    bool seq32_ = false, datagrams_ = false, all_ = true;
    size_t sized_ = 0;  // the sized format's length, 0 for the others
    measure::Lane own_ = measure::Lane::Plain;
    int64_t period_ = 0, bound_ = 0, end_ = 0;
    std::vector<Send> sends_;
    std::vector<Fragment> frags_;
    Bytes stream_;
    std::vector<Chunk> chunks_;
    std::vector<long> events_;  // in the order the core sees them: >= 0 a send, < 0 chunk -1 - i
    measure::Figures f_;        // expected
    std::vector<int64_t> latencies_, lateness_, delays_;  // ns
    int64_t longest_stall_ = 0, stall_began_ = 0, origin_ = 0;
};

// The packet as the format defines it, built here from its definition.
inline Bytes Run::packet(uint64_t n, int lane) const {
    Bytes b(std::max<size_t>(size(), 11));
    size_t k = 0;
    for (size_t i = head(); i-- > 0;) b[k++] = static_cast<uint8_t>(n >> (8 * i));
    for (uint8_t x : kRun[lane]) b[k++] = x;
    if (sized_) {  // fill 'a' + (number + i) mod 26, then a bitwise CRC-32, big-endian
        for (size_t i = 0; k < sized_ - 4; ++i)
            b[k++] = static_cast<uint8_t>('a' + (uint32_t(n) + i) % 26);
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 0; i < k; ++i) {
            crc ^= b[i];
            for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        crc = ~crc;
        for (int i = 3; i >= 0; --i) b[k++] = static_cast<uint8_t>(crc >> (8 * i));
        return b;
    }
    unsigned s1 = 0, s2 = 0;  // counter8: the sum of the bytes; seq32: Fletcher-16
    for (size_t i = 0; i < k; ++i) {
        s1 = seq32_ ? (s1 + b[i]) % 255 : s1 + b[i];
        s2 = (s2 + s1) % 255;
    }
    if (seq32_) b[k++] = static_cast<uint8_t>(s2);
    b[k] = static_cast<uint8_t>(s1);
    return b;
}

// A valid packet of either lane at `at`: the one its number would build.
inline bool Run::validAt(const Bytes& s, size_t at, size_t end) const {
    if (at + size() > std::min(end, s.size())) return false;
    uint64_t n = 0;
    for (size_t i = 0; i < head(); ++i) n = n << 8 | s[at + i];
    for (int lane : {0, 1}) {
        // Only a lane whose data run is in place can match: the rest is not built.
        if (!std::equal(kRun[lane], kRun[lane] + 5, s.begin() + long(at + head()))) continue;
        const auto want = packet(n, lane);
        if (std::equal(want.begin(), want.begin() + size(), s.begin() + long(at))) return true;
    }
    return false;
}

// A packet's shape at `at`: data bytes of the best-fitting lane in place, among
// the bytes there are, with the data run where a packet starting at `at` has it
// or up to its header's length earlier (*early: how much; the least on a tie).
inline int Run::inPlace(const Bytes& s, size_t at, size_t end, size_t* early) const {
    int best = 0;
    for (size_t e = 0; e <= head(); ++e)
        for (const auto& run : kRun) {
            int same = 0;
            for (size_t i = 0, k = at + head() - e; i < 5; ++i, ++k)
                same += k < std::min(end, s.size()) && s[k] == run[i];
            if (same > best) best = same, *early = e;
        }
    return best;
}

inline void Run::generate(Choices& c) {
    const unsigned mode = c.byte();
    seq32_ = mode & 1;
    if (mode & 32) sized_ = measure::kSizedMin + c.below(60), seq32_ = false;
    own_ = mode & 2 ? measure::Lane::Alt : measure::Lane::Plain;
    datagrams_ = mode & 4;
    all_ = !(mode & 8);
    period_ = (1 + int64_t(c.below(200))) * 100000;  // 0.1 .. 20 ms
    const int64_t base = int64_t(c.below(40)) * period_ / 4;
    bound_ = base + (1 + int64_t(c.below(64))) * period_ / 2;
    if (mode & 16) bound_ *= 12;  // past counter8's window at times
    const uint64_t count = 1 + c.word() % 700;
    const unsigned size = static_cast<unsigned>(this->size());
    const int own = own_ == measure::Lane::Plain ? 0 : 1;
    const auto bytes = [&](uint64_t n, int lane) {
        const auto p = packet(n, lane);
        return Bytes(p.begin(), p.begin() + size);
    };

    std::vector<Fragment> order;
    int64_t t = 0;
    for (uint64_t seq = 1; seq <= count; ++seq) {
        Send s{Send::Sent, seq, int64_t(seq) * period_, 0};
        const unsigned how = c.byte(), late = c.byte();
        if (how >= 246) s.how = how >= 250 ? Send::NotSent : Send::Failed;
        int64_t lateness = int64_t(late % 8) * 7000;  // a few us
        if (late >= 250)
            lateness = int64_t(late - 248) * 3 * period_;  // a stall
        else if (late >= 230)
            lateness = int64_t(late - 228) * period_ / 10;
        s.t = t = std::max(t, s.deadline + lateness);
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
            e.bytes = bytes(c.word() * 7919u + c.byte(), 1 - own);
            e.kind = Fragment::Intact;
            if (c.rare(64)) {
                e.bytes[c.below(size)] ^= static_cast<uint8_t>(1 + c.below(255));
                e.kind = Fragment::Damaged;
                e.near = true;
            }
            e.ready = t;
            order.push_back(e);
        }
        if (s.how != Send::Sent) continue;
        const unsigned d = c.byte();
        const int copies = d >= 236 ? 0 : d >= 220 ? 2 : d >= 216 ? 3 : 1;
        for (int k = 0; k < copies; ++k) {
            Fragment p;
            p.kind = Fragment::Intact;
            p.seq = seq;
            p.sent = t;
            p.bytes = bytes(seq, own);
            const unsigned fate = c.byte();
            if (fate >= 236) {  // a byte damaged, never into another valid packet
                const size_t at = c.below(size);
                Bytes b = p.bytes;
                for (unsigned x = 1 + c.below(255);; x = x % 255 + 1) {
                    b[at] = p.bytes[at] ^ static_cast<uint8_t>(x);
                    if (!validAt(b, 0, SIZE_MAX)) break;
                }
                p.bytes = b;
                p.kind = Fragment::Damaged;
                p.near = true;
            } else if (fate >= 222) {  // its tail cut: damaged while three data bytes stay
                p.bytes.resize(size - 1 - c.below(size - 1));
                p.kind = Fragment::Damaged;
                p.near = p.bytes.size() >= head() + 3;
            } else if (fate >= 212) {  // its head cut: a damaged packet or stray bytes
                p.bytes.erase(p.bytes.begin(), p.bytes.begin() + 1 + c.below(size - 1));
                p.kind = Fragment::Junk;
            }
            const unsigned delay = c.byte();
            p.ready = t + base + int64_t(delay % 64) * period_ / 16;
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
        const size_t to = std::min(order.size() - 1, i + size_t(order[i].reorder));
        std::rotate(order.begin() + long(i), order.begin() + long(i) + 1,
                    order.begin() + long(to) + 1);
    }
    std::vector<size_t> owner;  // the fragment of each stream byte
    int64_t arrival = 0;
    for (Fragment& f : order) {
        f.arrival = arrival = std::max(arrival, f.ready);
        f.start = stream_.size();
        stream_.insert(stream_.end(), f.bytes.begin(), f.bytes.end());
        owner.resize(stream_.size(), frags_.size());
        frags_.push_back(f);
    }

    // Reads (or datagrams) of any size; each arrives with its last byte.
    int64_t last_arrival = 0, read = 0;
    for (size_t at = 0; at < stream_.size();) {
        const unsigned cut = c.byte(), late = c.byte();
        size_t n = cut >= 200 ? 1 + cut % 3 : 1 + cut % 24;
        if (datagrams_ && cut == 255) n = 0;  // an empty datagram
        n = std::min(n, stream_.size() - at);
        const int64_t a = n ? frags_[owner[at + n - 1]].arrival : last_arrival;
        int64_t delay = int64_t(late % 4) * 20000;
        if (late >= 250) delay = int64_t(late - 249) * 60000000;  // up to 420 ms
        read = std::max(read, a + delay);
        chunks_.push_back({at, at + n, a, read, !datagrams_ && late >= 120 && late < 124});
        last_arrival = a;
        at += n;
    }
    // What the core sees, in time order; at the same time, sends first.
    for (size_t si = 0, ci = 0; si < sends_.size() || ci < chunks_.size();)
        if (ci == chunks_.size() || (si < sends_.size() && sends_[si].t <= chunks_[ci].read))
            events_.push_back(long(si++));
        else
            events_.push_back(-1 - long(ci++));
    end_ = std::max(t, read) + int64_t(c.below(4)) * bound_ / 2;
}

// The framing facts from the stream itself, checked against the fragment list,
// then the framing rule applied to them: corrupt and skipped bytes.
inline bool Run::frame(std::string* why) {
    const size_t size = this->size(), n = stream_.size();
    // Where each byte's stream ends (at the next end of a TCP connection).
    std::vector<size_t> end(n, n);
    for (size_t i = chunks_.size(), e = n; i-- > 0;) {
        if (chunks_[i].stream_end) e = chunks_[i].end;
        std::fill(end.begin() + long(chunks_[i].begin), end.begin() + long(chunks_[i].end), e);
    }
    std::vector<int> kind(n, 0);  // 1 intact start, 2 damaged start with the shape
    for (Fragment& f : frags_) {
        if (f.bytes.empty()) continue;
        f.broken = f.kind == Fragment::Intact && f.start + size > end[f.start];
        if (f.kind == Fragment::Intact && !f.broken) kind[f.start] = 1;
        if (f.kind == Fragment::Damaged && f.near && f.start + f.bytes.size() <= end[f.start])
            kind[f.start] = 2;
    }
    for (size_t p = 0; p < n; ++p)
        if (validAt(stream_, p, end[p]) != (kind[p] == 1))
            return *why = "a valid packet by chance at " + std::to_string(p), false;
    std::vector<size_t> next_valid(n + 1, SIZE_MAX);
    for (size_t p = n; p-- > 0;)
        next_valid[p] = kind[p] == 1 ? p : p + 1 < end[p] ? next_valid[p + 1] : SIZE_MAX;
    // The rule, at the places it visits (never inside an intact packet): a damaged
    // packet wherever a packet's shape shows. Stray bytes before a packet whose
    // head was cut, or a cut tail before a cut head, can make one. Each stream
    // is framed apart: its end settles what was held.
    for (size_t p = 0; p < n;) {
        size_t early = 0;
        const int shape = kind[p] == 1 ? 0 : inPlace(stream_, p, end[p], &early);
        if (kind[p] == 2 && shape < 3)
            return *why = "a damaged copy without its shape at " + std::to_string(p), false;
        if (kind[p] == 1) {
            p += size;
        } else if (shape >= 3) {
            size_t len = std::min(size - early, end[p] - p);
            if (p + 1 < end[p] && next_valid[p + 1] != SIZE_MAX)
                len = std::min(len, next_valid[p + 1] - p);
            ++f_.corrupt;
            p += len;
        } else {
            ++f_.skipped_bytes;
            ++p;
        }
    }
    for (const Chunk& ch : chunks_) f_.corrupt += ch.begin == ch.end && datagrams_;
    return true;
}

inline Outcome Run::expect(std::string* why) {
    if (!frame(why)) return Outcome::Discard;
    measure::Figures& f = f_;
    // Where each chunk is, among the events: the highest number used before it.
    std::vector<uint64_t> numbered_before(chunks_.size(), 0);
    uint64_t numbered = 0;
    const auto stall = [&](int64_t d, int64_t at) {
        if (d > longest_stall_) longest_stall_ = d, stall_began_ = at;
    };
    for (long e : events_) {
        if (e < 0) {
            const Chunk& ch = chunks_[size_t(-1 - e)];
            numbered_before[size_t(-1 - e)] = numbered;
            delays_.push_back(ch.read - ch.arrival);
            stall(ch.read - ch.arrival, ch.arrival);
            continue;
        }
        const Send& s = sends_[size_t(e)];
        if (numbered == 0)
            origin_ = s.how == Send::NotSent ? s.deadline : std::min(s.t, s.deadline);
        numbered = s.seq;
        if (s.how == Send::NotSent) continue;
        lateness_.push_back(s.t - s.deadline);
        f.tester.sent_late += s.t - s.deadline > period_;
        stall(s.t - s.deadline, s.deadline);
    }
    // Each packet's fate, copy by copy in stream order.
    enum Fate { Unsent, Waiting, Received, Lost };
    std::vector<Fate> fate(sends_.size() + 1, Unsent);
    int64_t first_sent = 0, last_sent = 0, prev_transit = 0, first_recv = 0, last_recv = 0;
    for (const Send& s : sends_) {
        f.not_sent += s.how == Send::NotSent;
        if (s.how != Send::Sent) continue;
        fate[s.seq] = Waiting;
        if (f.sent++ == 0) first_sent = s.t;
        last_sent = s.t;
    }
    size_t ci = 0;
    uint64_t highest = 0;
    double jitter = 0;
    for (const Fragment& fr : frags_) {
        if (fr.kind != Fragment::Intact || fr.broken) continue;
        if (fr.seq == 0) {
            ++f.echoed;
            continue;
        }
        while (chunks_[ci].end < fr.start + size()) ++ci;  // the read with its last byte
        const Chunk& ch = chunks_[ci];
        if (counter8() && fr.seq + measure::kCounter8Window <= numbered_before[ci])
            return *why = "counter8 copy read past the window", Outcome::Discard;
        if (ch.read - ch.arrival >= measure::Direction::kReadGraceNs)
            return *why = "read later than the grace", Outcome::Discard;
        const int64_t transit = ch.arrival - fr.sent;
        Fate& st = fate[fr.seq];
        if (st == Received) {
            ++f.duplicated;
        } else if (transit > bound_) {
            ++f.late;
            st = Lost;
        } else {
            st = Received;
            f.reordered += fr.seq < highest;
            highest = std::max(highest, fr.seq);
            latencies_.push_back(transit);
            if (++f.received > 1)
                jitter += (std::fabs(double(transit - prev_transit)) - jitter) / 16;
            prev_transit = transit;
            if (f.received == 1) first_recv = ch.arrival;
            last_recv = ch.arrival;
        }
    }
    for (const Send& s : sends_) {
        if (s.how != Send::Sent || fate[s.seq] == Received) continue;
        const bool settled = all_ || fate[s.seq] == Lost || end_ - s.t > bound_ ||
                             (counter8() && s.seq + measure::kCounter8Window <= numbered);
        ++(settled ? f.lost : f.in_flight);
    }
    const auto rate = [](uint64_t n, int64_t first, int64_t last) {
        return n > 1 && last > first ? double(n - 1) * 1e9 / double(last - first) : 0.0;
    };
    f.jitter_us = jitter / 1e3;
    f.send_rate = rate(f.sent, first_sent, last_sent);
    f.receive_rate = rate(f.received, first_recv, last_recv);
    f.tester.longest_stall_ms = double(longest_stall_) / 1e6;
    f.tester.stall_at_s = stall_began_ > origin_ ? double(stall_began_ - origin_) / 1e9 : 0;
    return Outcome::Pass;
}

// A latency summary (us) against the exact samples: count, min, max exact; the
// quantiles (rank ceil(q * n)) within the histogram's 1/256; the mean to rounding.
inline bool sameLatency(const measure::Latency& got, std::vector<int64_t> v, const char* what,
                        std::string* why) {
    for (int64_t& x : v) x = std::max<int64_t>(x, 0);
    std::sort(v.begin(), v.end());
    const double n = double(v.size());
    if (v.empty()) v.push_back(0);  // no samples: every figure 0
    const auto q = [&](size_t k) {
        return double(v[std::max<size_t>((k * v.size() + 999) / 1000, 1) - 1]) / 1e3;
    };
    double sum = 0;
    for (int64_t x : v) sum += double(x);
    const double mean = sum / double(v.size()) / 1e3;
    const struct {
        const char* name;
        double got, want, tol;
    } checks[] = {{"count", double(got.count), n, 0},
                  {"min", got.min_us, q(0), 1e-9},
                  {"max", got.max_us, q(1000), 1e-9},
                  {"mean", got.mean_us, mean, 1e-9 * mean + 1e-9},
                  {"p50", got.p50_us, q(500), q(500) / 256 + 1e-9},
                  {"p90", got.p90_us, q(900), q(900) / 256 + 1e-9},
                  {"p99", got.p99_us, q(990), q(990) / 256 + 1e-9}};
    for (const auto& c : checks)
        if (std::fabs(c.got - c.want) > c.tol) {
            char buf[200];
            std::snprintf(buf, sizeof buf, "%s %s: %.10g, expected %.10g", what, c.name, c.got,
                          c.want);
            return *why = buf, false;
        }
    return true;
}

inline Outcome Run::compare(const measure::Figures& got, std::string* why) const {
    static const char* const kNames[] = {
        "sent",      "received",      "lost",         "in_flight",        "duplicated", "reordered",
        "corrupt",   "skipped_bytes", "late",         "echoed",           "not_sent",   "sent_late",
        "jitter_us", "send_rate",     "receive_rate", "longest_stall_ms", "stall_at_s"};
    const auto row = [](const measure::Figures& f) {
        return std::vector<double>{double(f.sent),       double(f.received),
                                   double(f.lost),       double(f.in_flight),
                                   double(f.duplicated), double(f.reordered),
                                   double(f.corrupt),    double(f.skipped_bytes),
                                   double(f.late),       double(f.echoed),
                                   double(f.not_sent),   double(f.tester.sent_late),
                                   f.jitter_us,          f.send_rate,
                                   f.receive_rate,       f.tester.longest_stall_ms,
                                   f.tester.stall_at_s};
    };
    const std::vector<double> a = row(got), w = row(f_);
    for (size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i] - w[i]) > 1e-9 * std::fabs(w[i]) + 1e-9) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s: %.10g, expected %.10g", kNames[i], a[i], w[i]);
            return *why = buf, Outcome::Fail;
        }
    const bool same = sameLatency(got.latency, latencies_, "latency", why) &&
                      sameLatency(got.tester.send_lateness, lateness_, "send lateness", why) &&
                      sameLatency(got.tester.receive_delay, delays_, "receive delay", why);
    return same ? Outcome::Pass : Outcome::Fail;
}

inline Outcome Run::play(const uint8_t* data, size_t size, std::string* why) {
    Choices c{data, size};
    generate(c);
    if (const Outcome e = expect(why); e != Outcome::Pass) return e;
    measure::Direction d(sized_   ? measure::Format::Sized
                         : seq32_ ? measure::Format::Seq32
                                  : measure::Format::Counter8,
                         bound_, own_, static_cast<int>(sized_));
    d.setPeriod(period_);
    for (size_t step = 0; step < events_.size(); ++step) {
        const long e = events_[step];
        if (e >= 0) {
            const Send& s = sends_[size_t(e)];
            if (s.how == Send::NotSent) d.onNotSent(s.seq, s.deadline);
            if (s.how != Send::NotSent) d.onSent(s.seq, s.t, s.deadline);
            if (s.how == Send::Failed) d.onSendFailed(s.seq);
        } else {
            const Chunk& ch = chunks_[size_t(-1 - e)];
            const uint8_t* p = stream_.data() + ch.begin;
            if (datagrams_) d.onDatagram(p, ch.end - ch.begin, ch.arrival, ch.read);
            if (!datagrams_) d.onBytes(p, ch.end - ch.begin, ch.arrival, ch.read);
            if (ch.stream_end) d.onStreamEnd();
        }
        const measure::Figures g = step % 97 == 96 ? d.figures() : measure::Figures{};
        if (g.sent != g.received + g.lost + g.in_flight)
            return *why = "sent != received + lost + in_flight after event " +
                          std::to_string(step + 1),
                   Outcome::Fail;
    }
    d.finish(end_, all_);
    return compare(d.figures(), why);
}

}  // namespace oracle
