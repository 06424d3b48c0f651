// The measurement core where the differential oracle (test_oracle.cpp, which
// judges every figure on random runs of up to 700 packets) cannot look: memory,
// and copies arriving long after their send times were forgotten.
#include <gtest/gtest.h>

#include <vector>

#include "direction.h"
#include "histogram.h"
#include "packet_format.h"

using measure::Direction;
using measure::Format;

namespace {
constexpr int64_t kMs = 1000000;
constexpr int64_t kBound = 1000 * kMs;

void deliver(Direction& d, Format f, uint64_t seq, int64_t at) {
    uint8_t p[measure::kMaxPacketSize];
    measure::buildPacket(f, seq, p);
    d.onBytes(p, static_cast<size_t>(measure::packetSize(f)), at);
}
}  // namespace

// A thousand channels (two directions each) before their ports open hold next
// to nothing. A day at 1000/s in miniature, one packet in ten lost: memory stays
// at what is in flight (send times for bound + grace: 2000 packets) even when
// nobody asks for figures in between; after a few packets, a few pages.
TEST(MeasureTest, MemoryStaysAtWhatIsInFlight) {
    std::vector<Direction> ds;
    ds.reserve(2000);
    size_t heap = 0;
    for (int i = 0; i < 2000; ++i) {
        ds.emplace_back(i % 2 ? Format::Seq32 : Format::Counter8, kBound);
        heap += ds.back().memoryBytes() + sizeof(Direction);
    }
    EXPECT_LT(heap, 2000u * 1024);
    for (size_t i : {0, 1}) {
        Direction& d = ds[i];
        const Format f = i ? Format::Seq32 : Format::Counter8;
        for (int64_t s = 1; s <= 200000; ++s) {
            d.onSent(uint64_t(s), s * kMs);
            if (s % 10) deliver(d, f, uint64_t(s), s * kMs + kMs / 2);
            if (s == 100) {
                EXPECT_LT(d.memoryBytes(), 16u * 1024);
            }
        }
        EXPECT_LE(d.capacity(), 2048u);
        EXPECT_NEAR(static_cast<double>(d.figures().lost), 19900, 100);
    }
}

// Seq32 knows every packet of the run: a copy of a received packet is a
// duplicate however late, a copy of a lost one late. Within its window a
// counter8 copy is still known long after its send time was forgotten (here
// across a state page boundary, at 16384).
TEST(MeasureTest, CopiesLongAfterTheSendTimesWereForgotten) {
    Direction s(Format::Seq32, 100 * kMs), c(Format::Counter8, kBound);
    for (int64_t n = 1; n <= 20000; ++n) {
        s.onSent(uint64_t(n), n * kMs);
        if (n != 7) deliver(s, Format::Seq32, uint64_t(n), (n + 1) * kMs);
        if (n > 16420) continue;
        c.onSent(uint64_t(n), n * 100 * kMs);
        deliver(c, Format::Counter8, uint64_t(n), n * 100 * kMs + kMs);
    }
    for (uint64_t n : {1, 7}) deliver(s, Format::Seq32, n, 30000 * kMs);
    deliver(c, Format::Counter8, 16380, 16421 * 100 * kMs);
    const measure::Figures f = s.figures(), g = c.figures();
    EXPECT_EQ(f.duplicated, 1u);
    EXPECT_EQ(f.late, 1u);
    EXPECT_EQ(f.lost, 1u);
    EXPECT_EQ(g.duplicated, 1u);
    EXPECT_EQ(g.corrupt + g.late, 0u);
}
