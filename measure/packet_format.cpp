#include "packet_format.h"

#include <cstring>

namespace measure {
namespace {

constexpr uint8_t kData[5] = {1, 2, 3, 4, 5};

int dataOffset(Format f) { return f == Format::Counter8 ? 1 : 4; }

uint16_t fletcher16(const uint8_t* p, int n) {
    unsigned a = 0, b = 0;
    for (int i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>((b << 8) | a);
}

}  // namespace

int packetSize(Format f) { return f == Format::Counter8 ? 7 : 11; }

const char* formatName(Format f) { return f == Format::Counter8 ? "counter8" : "seq32"; }

bool parseFormat(const std::string& name, Format* out) {
    if (name == "counter8") *out = Format::Counter8;
    else if (name == "seq32") *out = Format::Seq32;
    else return false;
    return true;
}

void buildPacket(Format f, uint64_t seq, uint8_t* out) {
    if (f == Format::Counter8) {
        out[0] = static_cast<uint8_t>(seq);
        std::memcpy(out + 1, kData, 5);
        out[6] = static_cast<uint8_t>(out[0] + 15);
        return;
    }
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    std::memcpy(out + 4, kData, 5);
    const uint16_t c = fletcher16(out, 9);
    out[9] = static_cast<uint8_t>(c >> 8);
    out[10] = static_cast<uint8_t>(c);
}

bool parsePacket(Format f, const uint8_t* p, uint32_t* wire) {
    if (std::memcmp(p + dataOffset(f), kData, 5) != 0) return false;
    if (f == Format::Counter8) {
        if (static_cast<uint8_t>(p[0] + 15) != p[6]) return false;
        *wire = p[0];
        return true;
    }
    const uint16_t c = fletcher16(p, 9);
    if (p[9] != static_cast<uint8_t>(c >> 8) || p[10] != static_cast<uint8_t>(c)) return false;
    *wire = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return true;
}

bool nearPacket(Format f, const uint8_t* p) {
    const uint8_t* d = p + dataOffset(f);
    int same = 0;
    for (int i = 0; i < 5; ++i) same += d[i] == kData[i];
    uint32_t wire;
    return same >= 3 && !parsePacket(f, p, &wire);
}

Framer::Framer(Format f) : format_(f), size_(static_cast<size_t>(packetSize(f))) {}

size_t Framer::scan(const uint8_t* data, size_t n, FrameSink& sink) {
    size_t pos = 0, skipped = 0;
    while (n - pos >= size_) {
        uint32_t wire;
        if (parsePacket(format_, data + pos, &wire)) {
            if (skipped) sink.onSkipped(skipped), skipped = 0;
            sink.onPacket(wire);
            pos += size_;
        } else if (nearPacket(format_, data + pos)) {
            if (skipped) sink.onSkipped(skipped), skipped = 0;
            sink.onCorrupt();
            pos += size_;
        } else {
            ++skipped;
            ++pos;
        }
    }
    if (skipped) sink.onSkipped(skipped);
    return pos;
}

void Framer::feed(const uint8_t* p, size_t n, FrameSink& sink) {
    if (held_ > 0) {
        // Frame the bytes held from the last feed together with the start of
        // this one: at most one packet less a byte is copied.
        const size_t old = held_;
        const size_t take = n < size_ - 1 ? n : size_ - 1;
        std::memcpy(hold_ + held_, p, take);
        held_ += take;
        const size_t used = scan(hold_, held_, sink);
        if (used < old) {  // only when all of this feed fitted: keep waiting
            std::memmove(hold_, hold_ + used, held_ - used);
            held_ -= used;
            return;
        }
        // The held bytes are settled; the copied bytes not yet framed are
        // framed again from the caller's buffer.
        p += used - old;
        n -= used - old;
        held_ = 0;
    }
    const size_t used = scan(p, n, sink);
    std::memcpy(hold_, p + used, n - used);
    held_ = n - used;
}

void Framer::flush(FrameSink& sink) {
    if (held_) sink.onSkipped(held_);
    held_ = 0;
}

}  // namespace measure
