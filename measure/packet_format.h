// Test packet formats and the stream framer.
//
// Two formats carry a run's packets:
//  - Counter8 (7 bytes, the default): counter byte, data 01 02 03 04 05, and the
//    low 8 bits of the sum of the six bytes before it.
//  - Seq32 (11 bytes): a 32-bit sequence number (big-endian), data 01 02 03 04 05,
//    and a Fletcher-16 checksum of the nine bytes before it (big-endian).
// Both keep the data run 01..05 at a fixed place; it never overlaps itself, so
// the framer can find the next packet boundary after any stray, missing or
// damaged byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace measure {

enum class Format { Counter8, Seq32 };

constexpr int kMaxPacketSize = 11;

int packetSize(Format f);
const char* formatName(Format f);  // "counter8", "seq32"
bool parseFormat(const std::string& name, Format* out);

// Writes packet number `seq` of a run (the first is 1) into out[packetSize(f)].
// Counter8 carries seq mod 256, Seq32 seq mod 2^32.
void buildPacket(Format f, uint64_t seq, uint8_t* out);

// True when the packetSize(f) bytes at p are a valid packet; *wire gets the
// number it carries (the counter byte, or the 32-bit number).
bool parsePacket(Format f, const uint8_t* p, uint32_t* wire);

// True when the bytes at p have the shape of a packet (at least three of the five
// data bytes in place) without being a valid one: a damaged packet.
bool nearPacket(Format f, const uint8_t* p);

// What the framer found in a stream.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void onPacket(uint32_t wire) = 0;  // a valid packet
    virtual void onCorrupt() = 0;              // a damaged packet, skipped whole
    virtual void onSkipped(size_t bytes) = 0;  // bytes that belong to no packet
};

// Cuts a byte stream into packets. Where the bytes at the current place are not
// a valid packet, a damaged packet is skipped whole and any other byte alone,
// until a valid packet starts. Keeps at most one packet's worth of bytes between
// feeds.
class Framer {
public:
    explicit Framer(Format f);
    void feed(const uint8_t* p, size_t n, FrameSink& sink);
    // End of the stream: bytes still held are counted as skipped.
    void flush(FrameSink& sink);
    size_t pending() const { return held_; }

private:
    // Frames data[0, n); returns how many bytes it consumed.
    size_t scan(const uint8_t* data, size_t n, FrameSink& sink);

    Format format_;
    size_t size_;
    uint8_t hold_[2 * kMaxPacketSize];
    size_t held_ = 0;
};

}  // namespace measure
