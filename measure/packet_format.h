// Test packet formats and the stream framer.
//
// Three formats carry a run's packets:
//  - Counter8 (7 bytes, the default): counter byte, five data bytes, and the
//    low 8 bits of the sum of the six bytes before it.
//  - Seq32 (11 bytes): a 32-bit sequence number (big-endian), five data bytes,
//    and a Fletcher-16 checksum of the nine bytes before it (big-endian).
//  - Sized (kSizedMin..kMaxPacketSize bytes, chosen per run): a 32-bit sequence
//    number (big-endian), five data bytes, size - 13 fill bytes, and the
//    CRC-32 (IEEE 802.3, as zlib computes it) of the bytes before it
//    (big-endian). Fill byte i (from 0) is 'a' + (number + i) mod 26: never a
//    data byte of either lane, never >= 0x80, never a flow-control byte.
//  - Seq7 (11 bytes), for 7-bit lines and XON/XOFF flow control: no byte is
//    >= 0x80, 0x11 or 0x13. The 32-bit number in five base-95 digits, most
//    significant first, each 0x20 + digit (0x20..0x7E); five data bytes; a
//    check byte 0x20 + (sum of (i + 1) * byte i over the ten bytes before it)
//    mod 89. A digit outside 0x20..0x7E, a number past 2^32 - 1 or a check
//    that differs makes a damaged packet.
//
// Two lanes tell the directions of a two-way run apart by their data bytes:
//  - Plain: 01 02 03 04 05 (the packet a one-way run sends, unchanged);
//  - Alt:   41 42 43 44 45 ("ABCDE").
// Both runs sit at the same place in the packet. Neither run overlaps itself
// nor the other (no end of one is the start of either), so the framer can find
// the next packet boundary after any stray, missing or damaged byte, and no
// byte of either run is >= 0x80 or a flow-control byte (0x11, 0x13).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace measure {

enum class Format { Counter8, Seq32, Sized, Seq7 };

// Which direction of a two-way run a packet belongs to (see above).
enum class Lane : uint8_t { Plain, Alt };

// The largest packet of any format: a Sized packet filling one UDP datagram
// of an Ethernet frame (1500 - 20 - 8 bytes).
constexpr int kMaxPacketSize = 1472;
// The smallest Sized packet: number, data bytes and check, no fill.
constexpr int kSizedMin = 13;

// Packets a counter8 counter byte tells apart: a packet is only matched while
// fewer than this many newer packets have been numbered.
constexpr uint64_t kCounter8Window = 256;

// A packet's length. `size` is the run's choice for Sized (a size outside
// kSizedMin..kMaxPacketSize, or 0, gives kSizedMin); fixed formats ignore it.
int packetSize(Format f, int size = 0);
const char* formatName(Format f);  // "counter8", "seq32", "sized", "seq7"
// True when no byte of the format's packets is >= 0x80, 0x11 or 0x13.
bool sevenBitSafe(Format f);
bool parseFormat(const std::string& name, Format* out);
const char* laneName(Lane l);  // "plain", "alt"

// The five data bytes of a lane.
const uint8_t* laneData(Lane l);

// Writes packet number `seq` of a run (the first is 1) into out[packetSize(f)].
// Counter8 carries seq mod 256, Seq32 and Seq7 seq mod 2^32.
// Sized carries seq mod 2^32 in packetSize(f, size) bytes.
void buildPacket(Format f, uint64_t seq, uint8_t* out, Lane lane = Lane::Plain, int size = 0);

// True when the packetSize(f) bytes at p are a valid packet of either lane;
// *wire gets the number it carries (the counter byte, or the 32-bit number),
// *lane (when given) its lane.
bool parsePacket(Format f, const uint8_t* p, uint32_t* wire, Lane* lane = nullptr, int size = 0);

// CRC-32 (IEEE 802.3, reflected, initial and final xor 0xFFFFFFFF) of n bytes.
uint32_t crc32(const uint8_t* p, size_t n);

// The shape of a packet at p: how many of the five data bytes of the lane that
// fits best are in place, with the data where a packet starting at p has them
// or up to its header's length earlier (a packet that lost its first bytes);
// *early (when given) gets by how much. Looks only at the n bytes there are.
int dataInPlace(Format f, const uint8_t* p, size_t n, size_t* early = nullptr);

// True when the packetSize(f) bytes at p have the shape of a packet (at least
// three of the five data bytes of a lane in place, see dataInPlace) without
// being a valid one: a damaged packet.
bool nearPacket(Format f, const uint8_t* p, int size = 0);

// What the framer found in a stream, in stream order; every byte fed is
// reported exactly once.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void onPacket(uint32_t wire, Lane lane) = 0;  // a valid packet (packetSize bytes)
    virtual void onCorrupt(size_t bytes) = 0;             // a damaged or short packet
    virtual void onSkipped(size_t bytes) = 0;             // bytes that belong to no packet
};

// Cuts a byte stream into packets. At each place:
//  - a valid packet (either lane) is taken whole;
//  - else, where a packet's shape shows (at least three data bytes of a lane in
//    place, where a packet starting there has them or up to its header's length
//    earlier), the bytes are a damaged packet: it ends after its packet's length
//    (less the head it lost), or earlier where a valid packet begins. So a
//    packet short of a byte costs one corrupt packet, never the start of the
//    packet after it, and a packet that lost its first bytes is one corrupt
//    packet too;
//  - else the byte is skipped alone.
// Deciding where a damaged packet ends may need the first bytes of the packet
// after it: between feeds at most two packets' worth less two bytes are kept
// (one packet's worth less a byte when no damaged packet is pending). How the
// stream is cut into feeds never changes what is found.
//
// One reading is ambiguous: a packet short of its last byte, followed by a
// byte equal to the missing one, is the same bytes as an intact packet followed
// by a packet that lost its first byte. The framer takes the valid packet
// first; either way one packet counts received, one corrupt.
class Framer {
public:
    explicit Framer(Format f, int size = 0);
    int packetSize() const { return static_cast<int>(size_); }
    void feed(const uint8_t* p, size_t n, FrameSink& sink);
    // End of the stream: bytes still held are framed as they are (a damaged
    // packet may then be shorter than its data run: at least three data bytes
    // in place still make it one), the rest skipped.
    void flush(FrameSink& sink);
    size_t pending() const { return held_; }

private:
    // Frames data[0, n); returns how many bytes it settled. With `final`, the
    // stream ends at n and everything is settled.
    size_t scan(const uint8_t* data, size_t n, bool final, FrameSink& sink) const;
    bool valid(const uint8_t* data, size_t n, size_t at, uint32_t* wire, Lane* lane) const;
    bool cannotStart(const uint8_t* data, size_t n, size_t at) const;

    Format format_;
    size_t size_;
    size_t offset_;              // where the data bytes start in a packet
    std::vector<uint8_t> hold_;  // four packets' room
    size_t held_ = 0;
};

}  // namespace measure
