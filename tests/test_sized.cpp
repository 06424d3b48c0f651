// The sized packet format: its byte layout against an independent CRC-32; the
// framer, on sized packets of every size boundary and on seq7, through stray
// bytes, cut and damaged packets, packed and split streams.
#include <gtest/gtest.h>

#include <vector>

#include "packet_format.h"

using measure::Format;

namespace {

constexpr int kSizes[] = {measure::kSizedMin, measure::kSizedMin + 1, 64, 1471,
                          measure::kMaxPacketSize};

std::vector<uint8_t> packet(uint64_t seq, int size, measure::Lane lane = measure::Lane::Plain,
                            Format f = Format::Sized) {
    std::vector<uint8_t> p(static_cast<size_t>(measure::packetSize(f, size)));
    measure::buildPacket(f, seq, p.data(), lane, size);
    return p;
}

// Bitwise CRC-32 (IEEE), apart from the table the format uses.
uint32_t slowCrc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

struct Tally : measure::FrameSink {
    std::vector<uint32_t> wires;
    size_t corrupt = 0, corrupt_bytes = 0, skipped = 0;
    void onPacket(uint32_t wire, measure::Lane) override { wires.push_back(wire); }
    void onCorrupt(size_t n) override {
        ++corrupt;
        corrupt_bytes += n;
    }
    void onSkipped(size_t n) override { skipped += n; }
};

// Frames `bytes` in feeds of the given lengths (cycled), then flushes.
Tally frame(Format format, const std::vector<uint8_t>& bytes, int size,
            const std::vector<size_t>& feeds) {
    measure::Framer f(format, size);
    Tally t;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t n = std::min(feeds[i % feeds.size()], bytes.size() - at);
        f.feed(bytes.data() + at, n, t);
        at += n;
        EXPECT_LE(f.pending(), 2 * static_cast<size_t>(size));
    }
    f.flush(t);
    return t;
}

}  // namespace

TEST(SizedFormat, LayoutAndCheckAtEverySizeBoundary) {
    const uint8_t nine[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(measure::crc32(nine, 9), 0xCBF43926u);  // the standard check value
    EXPECT_EQ(measure::packetSize(Format::Sized, 12), measure::kSizedMin);
    EXPECT_EQ(measure::packetSize(Format::Sized, 1473), measure::kSizedMin);
    for (const int size : kSizes) {
        SCOPED_TRACE(size);
        ASSERT_EQ(measure::packetSize(Format::Sized, size), size);
        const uint64_t seq = 0x1234567890ull;  // carries its low 32 bits
        const auto p = packet(seq, size, measure::Lane::Alt);
        // Built here: the number big-endian, the Alt lane's run, the fill, the CRC big-endian.
        std::vector<uint8_t> want = {0x34, 0x56, 0x78, 0x90, 'A', 'B', 'C', 'D', 'E'};
        for (int i = 9; i < size - 4; ++i)
            want.push_back(uint8_t('a' + (uint32_t(seq) + uint32_t(i - 9)) % 26));
        const uint32_t crc = slowCrc(want.data(), want.size());
        for (int shift = 24; shift >= 0; shift -= 8) want.push_back(uint8_t(crc >> shift));
        ASSERT_EQ(p, want);
        uint32_t wire = 0;
        measure::Lane lane = measure::Lane::Plain;
        ASSERT_TRUE(measure::parsePacket(Format::Sized, p.data(), &wire, &lane, size));
        EXPECT_EQ(wire, 0x34567890u);
        EXPECT_EQ(lane, measure::Lane::Alt);
        // Any one byte changed anywhere, the fill included, is caught.
        for (size_t at = 0; at<p.size(); at += size> 64 ? 97 : 1) {
            auto q = p;
            q[at] ^= 0x20;
            EXPECT_FALSE(measure::parsePacket(Format::Sized, q.data(), &wire, nullptr, size)) << at;
            EXPECT_TRUE(measure::nearPacket(Format::Sized, q.data(), size) || at >= 4) << at;
        }
    }
}

// Stray bytes, a packet cut short, a packet missing its head, one damaged:
// every byte is accounted for, each costs one packet and never a neighbour,
// and how the stream is cut into feeds (one packed read, single bytes, odd
// pieces) never changes what is found. Sized packets of every size, and seq7.
TEST(SizedFormat, FramerResyncsOnStreamsOfEverySize) {
    std::vector<std::pair<Format, int>> formats = {{Format::Seq7, 11}};
    for (const int size : kSizes) formats.emplace_back(Format::Sized, size);
    for (const auto& [format, size] : formats) {
        SCOPED_TRACE(std::string(measure::formatName(format)) + " " + std::to_string(size));
        std::vector<uint8_t> s;
        auto add = [&s, format = format, size = size](uint64_t seq, size_t from, size_t cut) {
            const auto p =
                packet(seq, size, seq % 2 ? measure::Lane::Alt : measure::Lane::Plain, format);
            s.insert(s.end(), p.begin() + long(from), p.end() - long(cut));
        };
        add(1, 0, 0);
        s.push_back(0x7F);  // stray byte
        add(2, 0, 0);
        add(3, 0, 3);  // cut short in the fill or the check
        add(4, 0, 0);
        add(5, 2, 0);                           // lost its first two bytes
        s.insert(s.end(), {0x00, 0x13, 0x11});  // more strays
        add(6, 0, 0);
        add(7, 0, 0);
        s[s.size() - size_t(size) + 2] ^= 0x40;  // a byte of the number damaged
        add(8, 0, 0);
        const std::vector<uint32_t> want = {1, 2, 4, 6, 8};
        for (const std::vector<size_t>& feeds :
             {std::vector<size_t>{s.size()}, {1}, {7, 1, 300, 2}, {size_t(size) + 1}}) {
            const Tally t = frame(format, s, size, feeds);
            EXPECT_EQ(t.wires, want);
            EXPECT_EQ(t.corrupt, 3u);  // the cut packet, the headless one, the damaged one
            EXPECT_EQ(t.wires.size() * size_t(size) + t.corrupt_bytes + t.skipped, s.size());
            EXPECT_EQ(t.skipped, 4u);  // the strays, and only they
        }
    }
}
