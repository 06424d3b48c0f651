#include "stage.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
// Bytes the framer holds (a packet's beginning) go on as bytes after this long
// without the rest; a slow line gets twice a packet's time on top.
constexpr int64_t kFramerHoldNs = 20000000;

double unit01(std::mt19937_64& rng) {
    return static_cast<double>(rng() >> 11) * 0x1.0p-53;
}

int64_t msToNs(double ms) {
    return static_cast<int64_t>(ms * 1e6);
}

}  // namespace

const char* wayName(Way w) {
    return w == Way::NetToSerial ? "net_to_serial" : "serial_to_net";
}

Stage::Stage(Way way, measure::Format format, const Faults& faults, int64_t start_ns, int size)
    : way_(way),
      format_(format),
      f_(faults),
      framer_(format, size),
      size_(static_cast<size_t>(measure::packetSize(format, size))),
      queue_(faults.queue > 0 ? static_cast<size_t>(faults.queue) : kLineQueueBytes),
      start_(start_ns),
      now_(start_ns),
      // Each direction draws from its own stream; both follow from the seed.
      fate_rng_(faults.seed ^ (way == Way::NetToSerial ? 0x6e6574327365ull : 0x7365723275ull)),
      shape_rng_(faults.seed * 0x9e3779b97f4a7c15ull + (way == Way::NetToSerial ? 1 : 2)),
      // A stream of its own: switching truncation on changes no other fault's picks.
      cut_rng_(faults.seed ^ (way == Way::NetToSerial ? 0x637574326e6574ull : 0x637574327365ull)),
      line_free_(start_ns) {
    if (f_.baud > 0) {
        byte_ns_ = static_cast<int64_t>(10e9 / f_.baud);
        // About 10 ms of the line per read, never less than a packet.
        read_limit_ = std::max(size_, static_cast<size_t>(f_.baud / 10 / 100));
    }
    hold_ns_ = kFramerHoldNs + 2 * static_cast<int64_t>(size_) * byte_ns_;
}

void Stage::input(const uint8_t* p, size_t n, int64_t now) {
    now_ = now;
    counts_.bytes_in += n;
    updateOutages(now);
    dropping_ = inOutage(now);
    if (way_ == Way::SerialToNet && byte_ns_ > 0) {
        // After a full read more was waiting: the line carried it without a
        // gap, even if this side came late to read it (a busy machine), and
        // reading catches up on the time lost.
        read_free_ = (read_full_ ? read_free_ : std::max(read_free_, now)) +
                     static_cast<int64_t>(n) * byte_ns_;
        read_full_ = n >= read_limit_;
    }
    pend_.insert(pend_.end(), p, p + n);
    framer_.feed(p, n, *this);
    pend_.erase(pend_.begin(), pend_.begin() + static_cast<std::ptrdiff_t>(pend_off_));
    pend_off_ = 0;
    hold_deadline_ = framer_.pending() ? now + hold_ns_ : kMax;
    advance(now);
}

void Stage::take(size_t n, uint8_t* out) {
    std::memcpy(out, pend_.data() + pend_off_, n);
    pend_off_ += n;
}

void Stage::onPacket(uint32_t, measure::Lane) {
    Unit u;
    u.packet = true;
    u.len = static_cast<uint16_t>(size_);
    u.pkt.resize(size_);
    take(size_, u.pkt.data());
    u.pos = ++counts_.packets;
    if (dropping_) {
        ++counts_.outage_dropped;
        return;
    }
    if (offline_) {
        ++counts_.disconnected;
        return;
    }
    decide(std::move(u));
}

void Stage::onCorrupt(size_t n) {
    ++counts_.damaged_in;
    rawUnit(n);
}

void Stage::onSkipped(size_t n) {
    rawUnit(n);
}

void Stage::rawUnit(size_t n) {
    if (dropping_ || offline_) {
        pend_off_ += n;
        return;
    }
    Unit u;
    u.raw.resize(n);
    take(n, u.raw.data());
    toDelay(std::move(u));
}

void Stage::updateOutages(int64_t now) {
    if (f_.outage_ms <= 0 || f_.outage_every_ms <= 0 || now < start_) return;
    const uint64_t begun = static_cast<uint64_t>((now - start_) / msToNs(f_.outage_every_ms));
    if (begun > outage_index_) outage_index_ = begun;
    counts_.outages = outage_index_;
}

bool Stage::inOutage(int64_t now) const {
    if (f_.outage_ms <= 0 || f_.outage_every_ms <= 0) return false;
    const int64_t every = msToNs(f_.outage_every_ms), since = now - start_;
    return since >= every && since % every < msToNs(f_.outage_ms);
}

void Stage::decide(Unit&& u) {
    // The same draws for every packet, whatever is switched on: a fault picks
    // the same packets alone as together with others.
    const double r = unit01(fate_rng_), r_reorder = unit01(fate_rng_);
    const double r_stray = unit01(fate_rng_), r_jitter = unit01(fate_rng_);
    const uint64_t a = fate_rng_(), b = fate_rng_();
    const double r_cut = unit01(cut_rng_);
    const uint64_t cut = 1 + cut_rng_() % (size_ - 1);
    if (r < f_.drop) {
        ++counts_.dropped;
        return;
    }
    if (r < f_.drop + f_.corrupt) {
        u.fate = Fate::Corrupt;
        const size_t at = a % size_;
        unsigned x = 1 + static_cast<unsigned>(b % 255);
        uint32_t wire;
        // A change the packet's check would miss (Fletcher-16 cannot tell 00
        // from FF) takes the next value instead.
        for (;;) {
            u.pkt[at] ^= static_cast<uint8_t>(x);
            if (!measure::parsePacket(format_, u.pkt.data(), &wire, nullptr,
                                      static_cast<int>(size_)))
                break;
            u.pkt[at] ^= static_cast<uint8_t>(x);
            x = x % 255 + 1;
        }
    } else if (r < f_.drop + f_.corrupt + f_.duplicate) {
        u.fate = Fate::Duplicate;
    } else if (r_cut < f_.truncate) {
        u.fate = Fate::Truncated;
        u.len = static_cast<uint16_t>(size_ - cut);
    }
    if (way_ == Way::NetToSerial && r_stray < f_.stray) {
        u.stray = true;
        u.stray_byte = static_cast<uint8_t>(a >> 40);
    }
    u.jitter = msToNs(r_jitter * f_.jitter_ms);

    for (Unit& h : held_) --h.remaining;
    if (r_reorder < f_.reorder) {
        u.remaining = std::max(1, f_.reorder_depth);
        held_.push_back(std::move(u));
    } else {
        toDelay(std::move(u));
    }
    releaseHeld(false);
    held_deadline_ = held_.empty() ? kMax : now_ + kReorderHoldNs;
}

void Stage::releaseHeld(bool all) {
    for (auto it = held_.begin(); it != held_.end();) {
        if (all || it->remaining <= 0) {
            Unit u = std::move(*it);
            it = held_.erase(it);
            toDelay(std::move(u));
        } else {
            ++it;
        }
    }
}

void Stage::toDelay(Unit&& u) {
    if (f_.delay_ms <= 0 && f_.jitter_ms <= 0 && delayed_.empty()) {
        output(std::move(u));
        return;
    }
    // FIFO: never before the unit ahead of it, so delay alone never reorders.
    u.release = std::max(now_ + msToNs(f_.delay_ms) + u.jitter, last_release_);
    last_release_ = u.release;
    delayed_.push_back(std::move(u));
}

void Stage::output(Unit&& u) {
    const bool dup = u.fate == Fate::Duplicate;
    const size_t total = u.packet ? u.len * (dup ? 2u : 1u) + (u.stray ? 1u : 0u) : u.raw.size();
    if (way_ == Way::NetToSerial && byte_ns_ > 0 && line_bytes_ + batch_.size() + total > queue_) {
        if (u.packet) ++counts_.overflow;
        return;
    }
    if (u.packet) {
        if (u.fate == Fate::Corrupt) {
            ++counts_.corrupted;
        } else if (u.fate == Fate::Truncated) {
            ++counts_.truncated;
            counts_.truncated_bytes += size_ - u.len;
        } else {
            // Counted as the receiving side counts: an intact first copy that
            // comes after a packet which arrived later.
            if (u.pos < max_emitted_)
                ++counts_.reordered;
            else
                max_emitted_ = u.pos;
            if (dup) ++counts_.duplicated;
        }
        if (u.stray) ++counts_.stray_bytes;
    }

    if (way_ == Way::NetToSerial) {
        if (!u.packet) {
            batch_.insert(batch_.end(), u.raw.begin(), u.raw.end());
            return;
        }
        if (u.stray) batch_.push_back(u.stray_byte);
        for (int i = 0; i < (dup ? 2 : 1); ++i)
            batch_.insert(batch_.end(), u.pkt.begin(), u.pkt.begin() + u.len);
        return;
    }

    if (f_.pack_size > 0 || f_.pack_gap_ms > 0) {
        if (u.packet) {
            for (int i = 0; i < (dup ? 2 : 1); ++i)
                pack_.insert(pack_.end(), u.pkt.begin(), u.pkt.begin() + u.len);
        } else {
            pack_.insert(pack_.end(), u.raw.begin(), u.raw.end());
        }
        const size_t size = static_cast<size_t>(f_.pack_size);
        size_t off = 0;
        while (size > 0 && pack_.size() - off >= size) {
            emit(std::vector<uint8_t>(pack_.begin() + static_cast<std::ptrdiff_t>(off),
                                      pack_.begin() + static_cast<std::ptrdiff_t>(off + size)));
            off += size;
        }
        pack_.erase(pack_.begin(), pack_.begin() + static_cast<std::ptrdiff_t>(off));
        const int64_t gap = f_.pack_gap_ms > 0 ? msToNs(f_.pack_gap_ms) : kPackTailNs;
        pack_deadline_ = pack_.empty() ? kMax : now_ + gap;
        return;
    }
    if (!u.packet) {
        emit(std::move(u.raw));
        return;
    }
    u.pkt.resize(u.len);
    if (dup) emit(std::vector<uint8_t>(u.pkt));
    emit(std::move(u.pkt));
}

void Stage::endPass() {
    if (batch_.empty()) return;
    size_t off = 0;
    while (off < batch_.size()) {
        size_t n = batch_.size() - off;
        if (f_.split > 0) {
            const size_t piece =
                1 + static_cast<size_t>(shape_rng_() % static_cast<uint64_t>(f_.split));
            n = std::min(n, piece);
        } else if (byte_ns_ > 0) {
            // A paced line delivers as it goes: what came in one read (a TCP
            // stream's many packets) leaves a packet's worth at a time, not
            // all at once when its last byte has crossed.
            n = std::min(n, size_);
        }
        std::vector<uint8_t> bytes(batch_.begin() + static_cast<std::ptrdiff_t>(off),
                                   batch_.begin() + static_cast<std::ptrdiff_t>(off + n));
        off += n;
        if (byte_ns_ > 0) {
            // The piece reaches the far end when its last byte has crossed the line.
            line_free_ = std::max(line_free_, now_) + static_cast<int64_t>(n) * byte_ns_;
            line_bytes_ += n;
            line_.push_back({std::move(bytes), line_free_});
        } else {
            emit(std::move(bytes));
        }
    }
    batch_.clear();
}

void Stage::emit(std::vector<uint8_t>&& bytes) {
    counts_.bytes_out += bytes.size();
    ++counts_.writes;
    ready_.push_back(std::move(bytes));
}

void Stage::runDue(int64_t now) {
    now_ = now;
    if (!held_.empty() && now >= held_deadline_) {
        releaseHeld(true);
        held_deadline_ = kMax;
    }
    if (framer_.pending() > 0 && now >= hold_deadline_) {
        dropping_ = inOutage(now);
        framer_.flush(*this);
        pend_.clear();
        pend_off_ = 0;
        hold_deadline_ = kMax;
    }
    while (!delayed_.empty() && delayed_.front().release <= now) {
        Unit u = std::move(delayed_.front());
        delayed_.pop_front();
        output(std::move(u));
    }
    if (!pack_.empty() && now >= pack_deadline_) {
        emit(std::move(pack_));
        pack_.clear();
        pack_deadline_ = kMax;
    }
}

void Stage::advance(int64_t now) {
    updateOutages(now);
    runDue(now);
    endPass();
    while (!line_.empty() && line_.front().due <= now) {
        line_bytes_ -= line_.front().bytes.size();
        emit(std::move(line_.front().bytes));
        line_.pop_front();
    }
}

int64_t Stage::nextDeadline() const {
    int64_t t = kMax;
    if (!held_.empty()) t = std::min(t, held_deadline_);
    if (framer_.pending() > 0) t = std::min(t, hold_deadline_);
    if (!delayed_.empty()) t = std::min(t, delayed_.front().release);
    if (!pack_.empty()) t = std::min(t, pack_deadline_);
    if (!line_.empty()) t = std::min(t, line_.front().due);
    if (f_.outage_ms > 0 && f_.outage_every_ms > 0)
        t = std::min(t,
                     start_ + static_cast<int64_t>(outage_index_ + 1) * msToNs(f_.outage_every_ms));
    return t;
}

std::vector<uint8_t> Stage::popReady() {
    std::vector<uint8_t> out = std::move(ready_.front());
    ready_.pop_front();
    return out;
}

}  // namespace sim
