// The measurement core fed scripted arrival sequences: exact figures for loss,
// duplicates, reordering, damage, framing and the tail of a run.
#include <gtest/gtest.h>

#include <vector>

#include "direction.h"
#include "histogram.h"
#include "packet_format.h"

using measure::Direction;
using measure::Figures;
using measure::Format;
using Bytes = std::vector<uint8_t>;

namespace {
constexpr int64_t kMs = 1000000;
constexpr int64_t kBound = 1000 * kMs;

Bytes packet(Format f, uint64_t seq) {
    Bytes b(static_cast<size_t>(measure::packetSize(f)));
    measure::buildPacket(f, seq, b.data());
    return b;
}

// A run of `total` packets at 10 packets/s: packet n is sent at n * 100 ms. Events
// reach the core in time order, as in a real run: packets are sent as time passes.
struct Script {
    explicit Script(Format f = Format::Counter8) : f(f), d(f, kBound) {}
    void send(uint64_t upto) { total = upto; }
    void until(int64_t t) {
        for (; next <= total && static_cast<int64_t>(next) * 100 * kMs <= t; ++next)
            d.onSent(next, static_cast<int64_t>(next) * 100 * kMs);
    }
    void bytes(const Bytes& b, int64_t t) {
        until(t);
        d.onBytes(b.data(), b.size(), t);
    }
    void datagram(const uint8_t* p, size_t n, int64_t t) {
        until(t);
        d.onDatagram(p, n, t);
    }
    // Packet seq arrives `ms` after it was sent, as a stream chunk.
    void arrive(uint64_t seq, int64_t ms) {
        bytes(packet(f, seq), static_cast<int64_t>(seq) * 100 * kMs + ms * kMs);
    }
    Figures end() {
        until(INT64_MAX);
        d.finish(static_cast<int64_t>(next) * 100 * kMs + 2 * kBound, true);
        return d.figures();
    }
    Format f;
    Direction d;
    uint64_t next = 1, total = 0;
};
}  // namespace

TEST(PacketFormatTest, BothFormatsRoundTripAndEverySingleByteErrorIsCaught) {
    for (Format f : {Format::Counter8, Format::Seq32}) {
        for (uint64_t seq : {1ull, 255ull, 256ull, 0x01020304ull, 0xFFFFFFFFull}) {
            Bytes b = packet(f, seq);
            uint32_t wire = 0;
            ASSERT_TRUE(measure::parsePacket(f, b.data(), &wire));
            EXPECT_EQ(wire, f == Format::Counter8 ? (seq & 0xFF) : (seq & 0xFFFFFFFF));
            for (size_t i = 0; i < b.size(); ++i)
                for (int x = 1; x < 256; x += 37) {
                    Bytes bad = b;
                    bad[i] ^= static_cast<uint8_t>(x);
                    EXPECT_FALSE(measure::parsePacket(f, bad.data(), &wire)) << i;
                    EXPECT_TRUE(measure::nearPacket(f, bad.data())) << i;
                }
        }
    }
    EXPECT_EQ(packet(Format::Counter8, 1), (Bytes{1, 1, 2, 3, 4, 5, 0x10}));
}

TEST(MeasureTest, LossBurstLossDuplicatesAndReorderingAreCountedExactly) {
    Script r;
    r.send(20);
    for (uint64_t s : {1, 2, 3}) r.arrive(s, 5);
    // 4 lost; 5..7 lost in a burst; 8 twice; 10 before 9; 12 three times.
    r.arrive(8, 5);
    r.arrive(8, 6);
    r.arrive(10, 5);
    r.arrive(9, 120);  // 9 after 10: reordered
    for (int i = 0; i < 3; ++i) r.arrive(12, 5 + i);
    for (uint64_t s = 13; s <= 20; ++s) r.arrive(s, 5);
    const Figures f = r.end();
    EXPECT_EQ(f.sent, 20u);
    EXPECT_EQ(f.received, 15u);
    EXPECT_EQ(f.lost, 5u);  // 4, 5, 6, 7, 11
    EXPECT_EQ(f.duplicated, 3u);
    EXPECT_EQ(f.reordered, 1u);
    EXPECT_EQ(f.corrupt + f.skipped_bytes + f.late + f.in_flight, 0u);
    EXPECT_EQ(f.received + f.lost, f.sent);
    EXPECT_NEAR(f.latency.p50_us, 5000, 50);
    EXPECT_NEAR(f.latency.max_us, 120000, 1);
}

TEST(MeasureTest, CounterWrapsWithLossAroundItAndDelayNearTheLimit) {
    Script r;
    for (uint64_t s = 1; s <= 600; ++s) {
        r.send(s);
        if (s != 255 && s != 256 && s != 257 && s != 512) r.arrive(s, 3);
    }
    EXPECT_EQ(r.end().lost, 4u);

    // With a 30 s bound nothing counts lost while the delay stays below 256 periods.
    Direction wide(Format::Counter8, 30000 * kMs);
    for (uint64_t s = 1; s <= 600; ++s) {
        wide.onSent(s, static_cast<int64_t>(s) * 100 * kMs);
        if (s > 255) {
            const Bytes b = packet(Format::Counter8, s - 255);
            wide.onBytes(b.data(), b.size(), static_cast<int64_t>(s) * 100 * kMs);
        }
    }
    const Figures w = wide.figures();
    EXPECT_EQ(w.received, 345u);
    EXPECT_EQ(w.duplicated + w.corrupt + w.late + w.reordered, 0u);
    EXPECT_NEAR(w.latency.p50_us, 25.5e6, 25.5e6 * 0.005);
}

TEST(MeasureTest, StreamFramingRecoversFromStrayMissingAndDamagedBytes) {
    Script r;
    r.send(6);
    Bytes s;
    auto add = [&](const Bytes& b) { s.insert(s.end(), b.begin(), b.end()); };
    add(packet(r.f, 1));
    s.push_back(0x55);  // a stray byte
    add(packet(r.f, 2));
    Bytes damaged = packet(r.f, 3);
    damaged[4] ^= 0x40;
    add(damaged);
    Bytes cut = packet(r.f, 4);
    add(Bytes(cut.begin(), cut.begin() + 3));  // packet 4 loses its tail
    add(packet(r.f, 5));
    add(packet(r.f, 6));
    // Split at every place into two reads, the first ending mid-packet.
    for (size_t split : {size_t{1}, size_t{10}, size_t{18}, s.size() - 2}) {
        Script run;
        run.send(6);
        run.bytes(Bytes(s.begin(), s.begin() + static_cast<long>(split)), 700 * kMs);
        run.bytes(Bytes(s.begin() + static_cast<long>(split), s.end()), 700 * kMs);
        const Figures f = run.end();
        EXPECT_EQ(f.received, 4u) << split;
        EXPECT_EQ(f.corrupt, 1u) << split;
        EXPECT_EQ(f.lost, 2u) << split;  // 3 (damaged: also corrupt) and 4
        EXPECT_EQ(f.skipped_bytes, 4u) << split;
    }
}

TEST(MeasureTest, DatagramsPackedSplitOddOrEmpty) {
    Script r;
    r.send(7);
    Bytes three;
    for (uint64_t s = 1; s <= 3; ++s) {
        Bytes p = packet(r.f, s);
        three.insert(three.end(), p.begin(), p.end());
    }
    r.datagram(three.data(), three.size(), 400 * kMs);  // three packets in one
    Bytes four = packet(r.f, 4);
    const Bytes five = packet(r.f, 5);
    four.insert(four.end(), five.begin(), five.begin() + 2);  // packet 5 cut across datagrams
    r.datagram(four.data(), four.size(), 500 * kMs);
    r.datagram(five.data() + 2, 5, 510 * kMs);
    Bytes eight = packet(r.f, 6);
    eight.push_back(0);
    r.datagram(eight.data(), eight.size(), 610 * kMs);  // one packet and a stray byte
    r.datagram(nullptr, 0, 620 * kMs);                  // an empty datagram
    const Figures f = r.end();
    EXPECT_EQ(f.received, 6u);
    EXPECT_EQ(f.skipped_bytes, 1u);
    EXPECT_EQ(f.corrupt, 1u);
    EXPECT_EQ(f.lost, 1u);  // 7: the empty datagram stands for no packet
}

TEST(MeasureTest, OverdueCountsLostLateArrivalsStayLostAndTheTailDrains) {
    Script r;
    r.send(10);
    for (uint64_t s = 2; s <= 8; ++s) r.arrive(s, 2);
    r.arrive(1, 1500);  // past the 1 s bound
    EXPECT_EQ(r.d.figures().lost, 1u);
    EXPECT_EQ(r.d.figures().late, 1u) << "arrived after it was counted lost";
    // The tail: packets 9 and 10 still in flight when the run stops.
    EXPECT_EQ(r.d.figures().in_flight, 2u);
    r.d.finish(16 * 100 * kMs, false);  // a stop without draining leaves them uncounted
    EXPECT_EQ(r.d.figures().lost, 1u);
    const Figures f = r.end();
    EXPECT_EQ(f.lost, 3u);
    EXPECT_EQ(f.in_flight, 0u);
}

// A day at 1000/s in miniature: memory stays at what is in flight even when nobody
// asks for figures in between.
TEST(MeasureTest, MemoryStaysBoundedByWhatIsInFlight) {
    Direction d(Format::Counter8, kBound);
    for (uint64_t s = 1; s <= 200000; ++s) {
        d.onSent(s, static_cast<int64_t>(s) * kMs);
        if (s % 10) {  // one in ten lost
            const Bytes b = packet(Format::Counter8, s);
            d.onBytes(b.data(), b.size(), static_cast<int64_t>(s) * kMs + kMs / 2);
        }
    }
    EXPECT_LE(d.capacity(), 2048u);
    EXPECT_NEAR(static_cast<double>(d.figures().lost), 19900, 100);
}

TEST(MeasureTest, Seq32MatchesBeyond256InFlightAndFailedSendsDoNotCount) {
    Direction d(Format::Seq32, 100000 * kMs);
    for (uint64_t s = 1; s <= 5000; ++s) d.onSent(s, static_cast<int64_t>(s) * kMs);
    d.onSendFailed(5000);
    for (uint64_t s = 4999; s >= 1; --s) {  // all 4999 in flight arrive backwards
        const Bytes b = packet(Format::Seq32, s);
        d.onBytes(b.data(), b.size(), 6000 * kMs);
    }
    const Figures f = d.figures();
    EXPECT_EQ(f.sent, 4999u);
    EXPECT_EQ(f.received, 4999u);
    EXPECT_EQ(f.reordered, 4998u);
    EXPECT_EQ(f.in_flight, 0u);
}

TEST(HistogramTest, QuantilesWithinOnePercent) {
    measure::Histogram h;
    for (int64_t v = 1; v <= 1000000; ++v) h.add(v * 997);
    for (double q : {0.5, 0.9, 0.99}) {
        const double want = q * 1e6 * 997;
        EXPECT_NEAR(static_cast<double>(h.quantile(q)), want, want * 0.01) << q;
    }
    EXPECT_EQ(h.min(), 997);
    EXPECT_EQ(h.max(), 997000000);
}

// A packet short of one of its last bytes costs one corrupt packet, never the
// packet after it, in both formats and lanes, however the stream is cut.
TEST(FramerTest, AShortPacketNeverSwallowsTheNextOne) {
    for (Format f : {Format::Counter8, Format::Seq32})
        for (measure::Lane lane : {measure::Lane::Plain, measure::Lane::Alt})
            for (size_t cut = 1; cut <= 3; ++cut) {
                Bytes s;
                for (uint64_t seq = 1; seq <= 4; ++seq) {
                    Bytes p(static_cast<size_t>(measure::packetSize(f)));
                    measure::buildPacket(f, seq, p.data(), lane);
                    if (seq == 2) p.resize(p.size() - cut);
                    s.insert(s.end(), p.begin(), p.end());
                }
                for (size_t split = 1; split < s.size(); ++split) {
                    Direction d(f, kBound, lane);
                    for (uint64_t seq = 1; seq <= 4; ++seq) d.onSent(seq, 0);
                    d.onBytes(s.data(), split, kMs);
                    d.onBytes(s.data() + split, s.size() - split, kMs);
                    d.finish(2 * kBound, true);
                    const Figures g = d.figures();
                    EXPECT_EQ(g.received, 3u) << split;
                    EXPECT_EQ(g.corrupt, 1u) << split;
                    EXPECT_EQ(g.lost, 1u) << split;
                    EXPECT_EQ(g.skipped_bytes, 0u) << split;
                }
            }
}

// Each direction's lane: the other lane's packets are an echo, never received;
// a one-way run's packet is the specified one, the other lane differs only in
// its data bytes.
TEST(MeasureTest, TheOtherLanesPacketsAreEchoedNeverReceived) {
    uint8_t alt[7];
    measure::buildPacket(Format::Counter8, 1, alt, measure::Lane::Alt);
    EXPECT_EQ(Bytes(alt, alt + 7), (Bytes{1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x50}));
    for (measure::Lane own : {measure::Lane::Plain, measure::Lane::Alt}) {
        const measure::Lane other =
            own == measure::Lane::Plain ? measure::Lane::Alt : measure::Lane::Plain;
        Direction d(Format::Seq32, kBound, own);
        uint8_t p[11];
        for (uint64_t s = 1; s <= 10; ++s) {
            d.onSent(s, 0);
            measure::buildPacket(Format::Seq32, s, p, other);  // the tester's own bytes, echoed
            if (s == 10) p[2] ^= 0x10;                         // damaged: corrupt, whichever lane
            d.onBytes(p, sizeof p, kMs);
        }
        d.finish(2 * kBound, true);
        const Figures f = d.figures();
        EXPECT_EQ(f.echoed, 9u);
        EXPECT_EQ(f.corrupt, 1u);
        EXPECT_EQ(f.received, 0u);
        EXPECT_EQ(f.lost, 10u);
    }
}

// Seq32 knows every packet of the run: a copy of a received packet is a
// duplicate however late (once late and unlimited), a copy of a lost one late.
// Counter8 settles a packet once 256 newer ones are numbered, whatever the bound.
TEST(MeasureTest, LateCopiesAndTheCounter8Window) {
    Direction s(Format::Seq32, 100 * kMs);
    for (uint64_t n = 1; n <= 20000; ++n) {
        const int64_t t = static_cast<int64_t>(n) * kMs;
        s.onSent(n, t);
        if (n != 7) {
            const Bytes b = packet(Format::Seq32, n);
            s.onBytes(b.data(), b.size(), t + kMs);
        }
    }
    for (uint64_t n : {1, 7}) {
        const Bytes b = packet(Format::Seq32, n);
        s.onBytes(b.data(), b.size(), 30000 * kMs);
    }
    Figures f = s.figures();
    EXPECT_EQ(f.duplicated, 1u);
    EXPECT_EQ(f.late, 1u);
    EXPECT_EQ(f.lost, 1u);
    EXPECT_LE(s.capacity(), 2048u);  // send times for bound + grace: 1100 packets

    // Within its window a counter8 copy is still known, long after its send time
    // was forgotten (here across a state page boundary, at 16384).
    Direction w(Format::Counter8, 1000 * kMs);
    for (uint64_t n = 1; n <= 16420; ++n) {
        w.onSent(n, static_cast<int64_t>(n) * 100 * kMs);
        const Bytes b = packet(Format::Counter8, n);
        w.onBytes(b.data(), b.size(), static_cast<int64_t>(n) * 100 * kMs + kMs);
    }
    const Bytes again = packet(Format::Counter8, 16380);
    w.onBytes(again.data(), again.size(), 16421 * 100 * kMs);
    EXPECT_EQ(w.figures().duplicated, 1u);
    EXPECT_EQ(w.figures().corrupt, 0u);

    Direction c(Format::Counter8, 3600000 * kMs);
    for (uint64_t n = 1; n <= 256; ++n) c.onSent(n, static_cast<int64_t>(n) * kMs);
    EXPECT_EQ(c.figures().in_flight, 256u);
    c.onNotSent(257, 257 * kMs);  // a number used, even unsent, moves the window
    f = c.figures();
    EXPECT_EQ(f.lost, 1u);
    EXPECT_EQ(f.in_flight, 255u);
    EXPECT_EQ(f.not_sent, 1u);
    EXPECT_EQ(f.sent, f.received + f.lost + f.in_flight);
}

// The tester's own health: send lateness against deadlines, late sends,
// receive delay, and the longest stall with when it began; latency counts from
// the arrival, not from the read.
TEST(MeasureTest, TesterFiguresFromDeadlinesAndReadTimes) {
    Direction d(Format::Counter8, kBound);
    d.setPeriod(10 * kMs);
    const int64_t late_us[] = {0, 40, 5000, 25000, 60, 0};  // packet n's send, after its deadline
    for (uint64_t n = 1; n <= 6; ++n) {
        const int64_t deadline = static_cast<int64_t>(n) * 10 * kMs;
        d.onSent(n, deadline + late_us[n - 1] * 1000, deadline);
        const Bytes b = packet(Format::Counter8, n);
        const int64_t arrival = deadline + late_us[n - 1] * 1000 + 2 * kMs;
        d.onBytes(b.data(), b.size(), arrival, arrival + (n == 5 ? 30 * kMs : 0));
    }
    d.onNotSent(7, 70 * kMs);
    const Figures f = d.figures();
    EXPECT_EQ(f.sent, 6u);
    EXPECT_EQ(f.not_sent, 1u);
    EXPECT_EQ(f.received, 6u);
    EXPECT_NEAR(f.latency.max_us, 2000, 1);  // the late read of packet 5 is not latency
    EXPECT_EQ(f.tester.sent_late, 1u);       // 25 ms > one period
    EXPECT_NEAR(f.tester.send_lateness.max_us, 25000, 1);
    EXPECT_NEAR(f.tester.send_lateness.p50_us, 40, 0.2);  // rank 3 of 0, 0, 40, 60, 5000, 25000
    EXPECT_NEAR(f.tester.receive_delay.max_us, 30000, 1);
    EXPECT_DOUBLE_EQ(f.tester.longest_stall_ms, 30);
    EXPECT_NEAR(f.tester.stall_at_s, 0.04 + 0.00006 + 0.002, 1e-9);  // packet 5's arrival
}

// RFC 3550 jitter, J += (|D| - J) / 16, against transits 1, 3, 1, 3 ... ms,
// computed here step by step.
TEST(MeasureTest, JitterIsTheRfc3550Estimate) {
    Direction d(Format::Seq32, kBound);
    double j = 0;
    for (uint64_t n = 1; n <= 40; ++n) {
        const int64_t t = static_cast<int64_t>(n) * 10 * kMs;
        d.onSent(n, t);
        const Bytes b = packet(Format::Seq32, n);
        d.onBytes(b.data(), b.size(), t + (n % 2 ? 1 : 3) * kMs);
        if (n > 1) j += (2000.0 - j) / 16;
    }
    EXPECT_NEAR(d.figures().jitter_us, j, 1e-6);
}

// A thousand channels (two directions each) before their ports open hold next
// to nothing; a few packets later, a few pages.
TEST(MeasureTest, DirectionsAllocateLittleBeforeUse) {
    std::vector<Direction> ds;
    ds.reserve(2000);
    size_t heap = 0;
    for (int i = 0; i < 2000; ++i) {
        ds.emplace_back(i % 2 ? Format::Seq32 : Format::Counter8, kBound);
        heap += ds.back().memoryBytes() + sizeof(Direction);
    }
    EXPECT_LT(heap, 2000u * 1024);
    Direction& d = ds[1];
    for (uint64_t n = 1; n <= 100; ++n) {
        d.onSent(n, static_cast<int64_t>(n) * kMs);
        const Bytes b = packet(Format::Seq32, n);
        d.onBytes(b.data(), b.size(), static_cast<int64_t>(n) * kMs + 300000);
    }
    EXPECT_LT(d.memoryBytes(), 16u * 1024);
    EXPECT_EQ(measure::Histogram().memoryBytes(), 0u);
}
