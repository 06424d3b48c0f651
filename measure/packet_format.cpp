#include "packet_format.h"

#include <algorithm>
#include <cstring>

namespace measure {
namespace {

constexpr uint8_t kData[2][5] = {{0x01, 0x02, 0x03, 0x04, 0x05}, {0x41, 0x42, 0x43, 0x44, 0x45}};

size_t dataOffset(Format f) {
    switch (f) {
        case Format::Counter8:
            return 1;
        case Format::Seq32:
        case Format::Sized:
            return 4;
        case Format::Seq7:
            return 5;
    }
    return 4;
}

// Seq7: the number's five base-95 digits, and the check byte.
constexpr unsigned kSeq7Base = 95, kSeq7Digit0 = 0x20, kSeq7CheckMod = 89;

uint8_t seq7Check(const uint8_t* p) {
    unsigned sum = 0;
    for (unsigned i = 0; i < 10; ++i) sum += (i + 1) * p[i];
    return static_cast<uint8_t>(kSeq7Digit0 + sum % kSeq7CheckMod);
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct CrcTable {
    uint32_t t[256];
    CrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
    }
};

// Sized: the fill after the data bytes, and the check at the end.
void sizedFill(uint32_t number, uint8_t* from, size_t n) {
    for (size_t i = 0; i < n; ++i) from[i] = static_cast<uint8_t>('a' + (number + i) % 26);
}

uint16_t fletcher16(const uint8_t* p, int n) {
    unsigned a = 0, b = 0;
    for (int i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>((b << 8) | a);
}

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n) {
    static const CrcTable table;
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = table.t[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

int packetSize(Format f, int size) {
    switch (f) {
        case Format::Counter8:
            return 7;
        case Format::Seq32:
        case Format::Seq7:
            return 11;
        case Format::Sized:
            return size >= kSizedMin && size <= kMaxPacketSize ? size : kSizedMin;
    }
    return 7;
}

const char* formatName(Format f) {
    switch (f) {
        case Format::Counter8:
            return "counter8";
        case Format::Seq32:
            return "seq32";
        case Format::Sized:
            return "sized";
        case Format::Seq7:
            return "seq7";
    }
    return "counter8";
}

bool sevenBitSafe(Format f) {
    return f == Format::Seq7;
}

const char* laneName(Lane l) {
    return l == Lane::Plain ? "plain" : "alt";
}

const uint8_t* laneData(Lane l) {
    return kData[l == Lane::Plain ? 0 : 1];
}

bool parseFormat(const std::string& name, Format* out) {
    if (name == "counter8")
        *out = Format::Counter8;
    else if (name == "seq32")
        *out = Format::Seq32;
    else if (name == "sized")
        *out = Format::Sized;
    else if (name == "seq7")
        *out = Format::Seq7;
    else
        return false;
    return true;
}

void buildPacket(Format f, uint64_t seq, uint8_t* out, Lane lane, int size) {
    const uint8_t* data = laneData(lane);
    switch (f) {
        case Format::Counter8: {
            out[0] = static_cast<uint8_t>(seq);
            std::memcpy(out + 1, data, 5);
            unsigned sum = 0;
            for (int i = 0; i < 6; ++i) sum += out[i];
            out[6] = static_cast<uint8_t>(sum);
            return;
        }
        case Format::Seq32: {
            for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
            std::memcpy(out + 4, data, 5);
            const uint16_t c = fletcher16(out, 9);
            out[9] = static_cast<uint8_t>(c >> 8);
            out[10] = static_cast<uint8_t>(c);
            return;
        }
        case Format::Seq7: {
            uint32_t n = static_cast<uint32_t>(seq);
            for (int i = 4; i >= 0; --i, n /= kSeq7Base)
                out[i] = static_cast<uint8_t>(kSeq7Digit0 + n % kSeq7Base);
            std::memcpy(out + 5, data, 5);
            out[10] = seq7Check(out);
            return;
        }
        case Format::Sized: {
            const size_t n = static_cast<size_t>(packetSize(f, size));
            for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
            std::memcpy(out + 4, data, 5);
            sizedFill(static_cast<uint32_t>(seq), out + 9, n - 13);
            const uint32_t c = crc32(out, n - 4);
            for (int i = 0; i < 4; ++i) out[n - 4 + i] = static_cast<uint8_t>(c >> (24 - 8 * i));
            return;
        }
    }
}

bool parsePacket(Format f, const uint8_t* p, uint32_t* wire, Lane* lane, int size) {
    const uint8_t* d = p + dataOffset(f);
    Lane l;
    if (std::memcmp(d, kData[0], 5) == 0)
        l = Lane::Plain;
    else if (std::memcmp(d, kData[1], 5) == 0)
        l = Lane::Alt;
    else
        return false;
    switch (f) {
        case Format::Counter8: {
            unsigned sum = 0;
            for (int i = 0; i < 6; ++i) sum += p[i];
            if (static_cast<uint8_t>(sum) != p[6]) return false;
            *wire = p[0];
            break;
        }
        case Format::Seq32: {
            const uint16_t c = fletcher16(p, 9);
            if (p[9] != static_cast<uint8_t>(c >> 8) || p[10] != static_cast<uint8_t>(c))
                return false;
            *wire = bigEndian32(p);
            break;
        }
        case Format::Seq7: {
            uint64_t n = 0;
            for (int i = 0; i < 5; ++i) {
                if (p[i] < kSeq7Digit0 || p[i] >= kSeq7Digit0 + kSeq7Base) return false;
                n = n * kSeq7Base + (p[i] - kSeq7Digit0);
            }
            if (n > 0xFFFFFFFFull || p[10] != seq7Check(p)) return false;
            *wire = static_cast<uint32_t>(n);
            break;
        }
        case Format::Sized: {
            // The check covers the fill: a packet whose fill a converter
            // changed is damaged, whatever the rest says.
            const size_t n = static_cast<size_t>(packetSize(f, size));
            if (crc32(p, n - 4) != bigEndian32(p + n - 4)) return false;
            *wire = bigEndian32(p);
            break;
        }
    }
    if (lane) *lane = l;
    return true;
}

int dataInPlace(Format f, const uint8_t* p, size_t n, size_t* early) {
    const size_t off = dataOffset(f);
    int best = 0;
    size_t best_early = 0;
    for (size_t e = 0; e <= off; ++e)
        for (const uint8_t* data : kData) {
            int same = 0;
            for (size_t i = 0; i < 5 && off - e + i < n; ++i) same += p[off - e + i] == data[i];
            if (same > best) best = same, best_early = e;
        }
    if (early) *early = best_early;
    return best;
}

bool nearPacket(Format f, const uint8_t* p, int size) {
    uint32_t wire;
    return dataInPlace(f, p, static_cast<size_t>(packetSize(f, size))) >= 3 &&
           !parsePacket(f, p, &wire, nullptr, size);
}

Framer::Framer(Format f, int size)
    : format_(f),
      size_(static_cast<size_t>(measure::packetSize(f, size))),
      offset_(dataOffset(f)),
      hold_(4 * size_) {}

bool Framer::valid(const uint8_t* data, size_t n, size_t at, uint32_t* wire, Lane* lane) const {
    return n - at >= size_ && parsePacket(format_, data + at, wire, lane, static_cast<int>(size_));
}

// True when the bytes there are already show that no valid packet starts at
// `at` (some data byte of each lane is out of place), however the stream goes on.
bool Framer::cannotStart(const uint8_t* data, size_t n, size_t at) const {
    if (n - at >= size_) {
        uint32_t wire;
        return !parsePacket(format_, data + at, &wire, nullptr, static_cast<int>(size_));
    }
    for (const uint8_t* run : kData) {
        bool fits = true;
        for (size_t i = 0; i < 5 && at + offset_ + i < n; ++i)
            fits = fits && data[at + offset_ + i] == run[i];
        if (fits) return false;
    }
    return true;
}

size_t Framer::scan(const uint8_t* data, size_t n, bool final, FrameSink& sink) const {
    size_t pos = 0, skipped = 0;
    const auto settleSkipped = [&] {
        if (skipped) sink.onSkipped(skipped);
        skipped = 0;
    };
    while (pos < n) {
        const size_t avail = n - pos;
        if (avail < size_ && !final) break;
        uint32_t wire;
        Lane lane;
        if (valid(data, n, pos, &wire, &lane)) {
            settleSkipped();
            sink.onPacket(wire, lane);
            pos += size_;
            continue;
        }
        size_t early = 0;
        if (dataInPlace(format_, data + pos, avail, &early) >= 3) {
            // A damaged packet: it ends with its packet's length (less the head
            // it lost), or where the earliest valid packet begins.
            size_t len = std::min(size_ - early, avail);
            bool known = true;
            for (size_t q = pos + 1; q < pos + len; ++q) {
                if (valid(data, n, q, &wire, &lane)) {
                    len = q - pos;
                    break;
                }
                if (!final && !cannotStart(data, n, q)) {
                    known = false;  // the bytes that tell have not come yet
                    break;
                }
            }
            if (!known) break;
            settleSkipped();
            sink.onCorrupt(len);
            pos += len;
            continue;
        }
        ++skipped;
        ++pos;
    }
    settleSkipped();
    return pos;
}

void Framer::feed(const uint8_t* p, size_t n, FrameSink& sink) {
    // Bytes held from earlier feeds are framed together with the start of this
    // one, a few bytes at a time, until they are settled; the rest of this
    // feed is framed in place.
    while (held_ > 0 && n > 0) {
        const size_t old = held_;
        const size_t take = std::min(n, hold_.size() - held_);
        std::memcpy(hold_.data() + held_, p, take);
        held_ += take;
        const size_t used = scan(hold_.data(), held_, false, sink);
        if (used >= old) {
            p += used - old;
            n -= used - old;
            held_ = 0;
            break;
        }
        std::memmove(hold_.data(), hold_.data() + used, held_ - used);
        held_ -= used;
        p += take;
        n -= take;
    }
    if (held_ > 0) return;
    const size_t used = scan(p, n, false, sink);
    std::memcpy(hold_.data(), p + used, n - used);
    held_ = n - used;
}

void Framer::flush(FrameSink& sink) {
    if (held_) scan(hold_.data(), held_, true, sink);
    held_ = 0;
}

}  // namespace measure
