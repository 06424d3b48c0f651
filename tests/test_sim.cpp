// The simulated converter's fault stage on its own: packets in with times,
// writes or datagrams out, judged by the tester's own measurement core.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "direction.h"
#include "stage.h"

using measure::Format;
using sim::Counts;
using sim::Faults;
using sim::Stage;
using sim::Way;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int64_t kMs = 1000000;

// A stage with the tester's measurement of its far end.
struct Bench {
    Format fmt;
    Way way;
    Stage st;
    measure::Direction far;
    std::vector<Bytes> outs;
    std::vector<int64_t> out_times;
    Bytes stream;  // every byte out, in order

    Bench(Way w, const Faults& f, Format format = Format::Counter8)
        : fmt(format), way(w), st(w, format, f, 0), far(format, 3600 * 1000 * kMs) {}

    void drain(int64_t t) {
        while (st.hasReady()) {
            Bytes b = st.popReady();
            if (way == Way::SerialToNet)
                far.onDatagram(b.data(), b.size(), t);
            else
                far.onBytes(b.data(), b.size(), t);
            stream.insert(stream.end(), b.begin(), b.end());
            out_times.push_back(t);
            outs.push_back(std::move(b));
        }
    }
    void runUntil(int64_t t) {
        for (int64_t d; (d = st.nextDeadline()) <= t;) {
            st.advance(d);
            drain(d);
        }
        st.advance(t);
        drain(t);
    }
    void input(const Bytes& b, int64_t t) {
        runUntil(t);
        st.input(b.data(), b.size(), t);
        drain(t);
    }
    Bytes packet(uint64_t seq) const {
        Bytes p(static_cast<size_t>(measure::packetSize(fmt)));
        measure::buildPacket(fmt, seq, p.data());
        return p;
    }
    Bytes packets(uint64_t n) const {
        Bytes out;
        for (uint64_t i = 1; i <= n; ++i) {
            const Bytes p = packet(i);
            out.insert(out.end(), p.begin(), p.end());
        }
        return out;
    }
    void send(uint64_t seq, int64_t t) {
        runUntil(t);
        far.onSent(seq, t);
        input(packet(seq), t);
    }
    // n packets, one input each, every `every` ns from t0; then everything settles.
    measure::Figures run(int n, int64_t every = kMs, int64_t t0 = 0) {
        for (int i = 0; i < n; ++i) send(static_cast<uint64_t>(i + 1), t0 + i * every);
        const int64_t end = t0 + n * every + 10000 * kMs;
        runUntil(end);
        far.finish(end, true);
        return far.figures();
    }
};

// The tester's figures follow from the sim's counts.
void expectTesterSees(const Counts& c, const measure::Figures& f) {
    EXPECT_EQ(f.lost, c.dropped + c.overflow + c.outage_dropped + c.corrupted);
    EXPECT_EQ(f.corrupt, c.corrupted);
    EXPECT_EQ(f.duplicated, c.duplicated);
    EXPECT_EQ(f.reordered, c.reordered);
    EXPECT_EQ(f.skipped_bytes, c.stray_bytes);
    EXPECT_EQ(f.received + f.lost, c.packets);
}

Faults make(std::initializer_list<std::pair<const char*, const char*>> opts, uint64_t seed = 7) {
    Faults f;
    f.seed = seed;
    std::string error;
    for (const auto& [name, value] : opts)
        EXPECT_TRUE(sim::parseFaultOption(name, value, &f, &error)) << error;
    return f;
}

}  // namespace

// No faults: every byte through unchanged and in order, bytes that are no
// packet included (a tail too short to be one goes on after the hold time).
// The network side sends a datagram per packet, the serial side writes once per input.
TEST(SimStage, NoFaultsForwardsUnchangedInOrder) {
    for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
        Bench b(way, Faults{});
        Bytes in;
        const auto feed = [&](const Bytes& x, int64_t t) {
            in.insert(in.end(), x.begin(), x.end());
            b.input(x, t);
        };
        feed(b.packet(1), 0);
        Bytes two = b.packet(2), three = b.packet(3);
        two.insert(two.end(), {'x', 'y'});
        two.insert(two.end(), three.begin(), three.begin() + 3);
        feed(two, 1 * kMs);  // packet, stray bytes, start of a packet
        feed(Bytes(three.begin() + 3, three.end()), 2 * kMs);
        feed({'z'}, 3 * kMs);
        b.runUntil(100 * kMs);
        EXPECT_EQ(b.stream, in);
        const std::vector<size_t> sizes = way == Way::SerialToNet
                                              ? std::vector<size_t>{7, 7, 2, 7, 1}
                                              : std::vector<size_t>{7, 7, 9, 1};
        std::vector<size_t> got;
        for (const Bytes& o : b.outs) got.push_back(o.size());
        EXPECT_EQ(got, sizes);
        EXPECT_EQ(b.st.counts().packets, 3u);
        EXPECT_EQ(b.st.counts().bytes_out, in.size());
    }
}

// Every fault together, both ways and both formats: the tester's own core on
// the far side sees exactly what the stage counted (the runner's suite does the
// same fault by fault through real sockets); one draw decides drop, corrupt and
// duplicate; the same seed gives the same stream.
TEST(SimStage, FaultCountsAreWhatTheTesterMeasures) {
    const Faults all = make({{"drop", "0.1"},
                             {"corrupt", "0.1"},
                             {"duplicate", "0.1"},
                             {"reorder", "0.2"},
                             {"reorder-depth", "2"},
                             {"stray", "0.1"},
                             {"delay", "1"},
                             {"jitter", "3"},
                             {"split", "5"},
                             {"pack-size", "10"},
                             {"outage", "50"},
                             {"outage-every", "700"}});
    // Seq32 only with a slow line: its queue holds more than a counter byte tells apart.
    const Faults slow = make({{"drop", "0.1"}, {"duplicate", "0.2"}, {"baud", "9600"}});
    const Faults exclusive = make({{"drop", "0.3"}, {"corrupt", "0.3"}, {"duplicate", "0.4"}});
    for (const Format fmt : {Format::Counter8, Format::Seq32}) {
        for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
            SCOPED_TRACE(std::string(fmt == Format::Seq32 ? "seq32 " : "counter8 ") +
                         sim::wayName(way));
            for (const Faults* f : {&all, &slow, &exclusive}) {
                if (f == &slow && fmt == Format::Counter8) continue;
                Bench b(way, *f, fmt);
                const int64_t every = f->baud ? 10 * kMs / 3 : kMs;  // twice what 9600 carries
                const measure::Figures fig = b.run(3000, every);
                const Counts& n = b.st.counts();
                expectTesterSees(n, fig);
                EXPECT_GT(n.dropped, 200u);
                if (f == &exclusive) {
                    EXPECT_EQ(n.dropped + n.corrupted + n.duplicated, n.packets);
                }
                if (f == &all) {
                    EXPECT_GT(n.reordered + n.corrupted + n.outage_dropped, 0u);
                    EXPECT_EQ(n.stray_bytes > 0, way == Way::NetToSerial);
                    Bench again(way, *f, fmt);
                    again.run(3000, every);
                    EXPECT_EQ(again.stream, b.stream);
                }
            }
        }
    }
}

// A held packet goes after the next K packets, or alone after the hold time.
TEST(SimStage, ReorderReleasesAfterDepthOrHoldTime) {
    Bench b(Way::SerialToNet, make({{"reorder", "1"}, {"reorder-depth", "2"}}));
    b.send(1, 0);
    b.runUntil(sim::kReorderHoldNs - 1);
    EXPECT_TRUE(b.outs.empty());
    b.runUntil(sim::kReorderHoldNs);
    ASSERT_EQ(b.outs.size(), 1u);
    // Every packet held: each goes once two later ones came in.
    Bench c(Way::SerialToNet, make({{"reorder", "1"}, {"reorder-depth", "2"}}));
    for (uint64_t i = 1; i <= 4; ++i) c.send(i, 0);
    EXPECT_EQ(c.outs.size(), 2u);
}

// Packing: datagrams of pack_size bytes cut across packets, the rest after the
// gap (or after the tail time with a size alone).
TEST(SimStage, PackBySizeAndByGap) {
    Bench s(Way::SerialToNet, make({{"pack-size", "10"}}));
    const Bytes five = s.packets(5);
    s.input(five, 0);
    ASSERT_EQ(s.outs.size(), 3u);
    EXPECT_EQ(s.outs[2].size(), 10u);
    s.runUntil(sim::kPackTailNs);
    ASSERT_EQ(s.outs.size(), 4u);
    EXPECT_EQ(s.outs[3].size(), 5u);
    EXPECT_EQ(s.stream, five);

    Bench g(Way::SerialToNet, make({{"pack-gap", "5"}}));
    for (uint64_t i = 1; i <= 3; ++i) g.send(i, int64_t(i - 1) * kMs);
    g.runUntil(7 * kMs - 1);
    EXPECT_TRUE(g.outs.empty());
    g.runUntil(7 * kMs);
    ASSERT_EQ(g.outs.size(), 1u);
    EXPECT_EQ(g.outs[0].size(), 21u);
}

// Split: one datagram's bytes in separate writes of 1..N bytes.
TEST(SimStage, SplitWritesPieces) {
    Bench b(Way::NetToSerial, make({{"split", "3"}}));
    b.input(b.packets(10), 0);
    EXPECT_EQ(b.stream, b.packets(10));
    size_t largest = 0;
    for (const Bytes& o : b.outs) largest = std::max(largest, o.size());
    EXPECT_EQ(largest, 3u);
}

// A line at 9600 baud carries 960 bytes/s; its queue holds 1024 bytes and the
// serial side is read no faster than the line.
TEST(SimStage, BaudPacesTheLine) {
    const int64_t byte = 1000000000LL / 960;
    Bench b(Way::NetToSerial, make({{"baud", "9600"}}));
    b.send(1, 0);
    b.send(2, 0);
    b.runUntil(20 * kMs);
    ASSERT_EQ(b.out_times.size(), 2u);
    EXPECT_NEAR(double(b.out_times[0]), 7.0 * byte, 10);
    EXPECT_NEAR(double(b.out_times[1]), 14.0 * byte, 10);

    Bench o(Way::NetToSerial, make({{"baud", "9600"}}));
    for (int i = 1; i <= 1000; ++i) o.send(uint64_t(i), 0);
    EXPECT_EQ(o.st.counts().overflow, 1000u - sim::kLineQueueBytes / 7);

    Stage s(Way::SerialToNet, Format::Counter8, make({{"baud", "9600"}}), 0);
    const Bytes seventy(70, 0);
    s.input(seventy.data(), seventy.size(), 0);
    EXPECT_NEAR(double(s.readableAt()), 70.0 * byte, 100);
    EXPECT_EQ(s.readLimit(), 9u);
}

TEST(SimStage, OptionsRejectBadValues) {
    Faults f;
    std::string e;
    for (const std::string bad :
         {"drop=1.5", "drop=x", "split=-1", "delay=nan", "seed=-3", "bogus=1", "reorder-depth=0"}) {
        const size_t eq = bad.find('=');
        EXPECT_FALSE(sim::parseFaultOption(bad.substr(0, eq), bad.substr(eq + 1), &f, &e)) << bad;
    }
    EXPECT_TRUE(sim::parseFaultOption("--seed", "18446744073709551615", &f, &e));
    EXPECT_EQ(f.seed, UINT64_MAX);
    f.drop = 0.6;
    f.corrupt = 0.5;
    EXPECT_FALSE(sim::checkFaults(f, &e));
    f = Faults{};
    f.outage_ms = 100;
    EXPECT_FALSE(sim::checkFaults(f, &e));
}

// Truncate: each packet it picks goes on as a proper prefix of itself, the
// packets around it whole; nothing else changes. Told from the output alone:
// the stream is walked packet by packet against what went in.
TEST(SimStage, TruncateCutsThePickedPacketsAlone) {
    for (const Format fmt : {Format::Counter8, Format::Seq32}) {
        for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
            SCOPED_TRACE(std::string(measure::formatName(fmt)) + " " + sim::wayName(way));
            Faults f = make({});
            f.truncate = 0.25;
            Bench b(way, f, fmt);
            b.run(2000);
            const size_t size = static_cast<size_t>(measure::packetSize(fmt));
            // lens[i]: how much of packet i+1 the stream holds, found by backtracking.
            std::vector<size_t> lens;
            std::function<bool(size_t, uint64_t)> walk = [&](size_t pos, uint64_t i) {
                if (i > 2000) return pos == b.stream.size();
                const Bytes p = b.packet(i);
                for (size_t len = size; len > 0; --len) {
                    if (pos + len > b.stream.size() ||
                        !std::equal(p.begin(), p.begin() + long(len), b.stream.begin() + long(pos)))
                        continue;
                    lens.push_back(len);
                    if (walk(pos + len, i + 1)) return true;
                    lens.pop_back();
                }
                return false;
            };
            ASSERT_TRUE(walk(0, 1)) << "the output is not the packets, each whole or cut";
            uint64_t cut = 0, cut_bytes = 0;
            for (const size_t len : lens) {
                cut += len < size;
                cut_bytes += size - len;
            }
            const Counts& n = b.st.counts();
            EXPECT_EQ(n.truncated, cut);
            EXPECT_EQ(n.truncated_bytes, cut_bytes);
            EXPECT_NEAR(double(cut), 500, 90);  // 0.25 of 2000, well within 4 sigma
            // Every cut length 1..size-1 turns up; none is the whole packet.
            EXPECT_GT(cut_bytes, cut);
            EXPECT_LT(cut_bytes, cut * (size - 1));
            if (way == Way::SerialToNet) {
                EXPECT_EQ(b.outs.size(), 2000u);  // a cut packet is still its own datagram
            }
        }
    }
}

// Truncate draws apart from the other faults: switched on beside them it picks
// none of their packets and leaves their picks as they were; at 1 it cuts every
// packet they left intact.
TEST(SimStage, TruncateKeepsTheOtherFaultsPicks) {
    const Faults alone = make({{"drop", "0.1"}, {"corrupt", "0.1"}, {"duplicate", "0.1"}});
    Faults with = alone;
    with.truncate = 1;
    Bench a(Way::SerialToNet, alone), w(Way::SerialToNet, with);
    a.run(1000);
    w.run(1000);
    const Counts &x = a.st.counts(), &y = w.st.counts();
    EXPECT_EQ(std::make_tuple(x.dropped, x.corrupted, x.duplicated),
              std::make_tuple(y.dropped, y.corrupted, y.duplicated));
    EXPECT_EQ(x.truncated, 0u);
    EXPECT_EQ(y.truncated, y.packets - y.dropped - y.corrupted - y.duplicated);
    // Datagram by datagram: the intact ones cut, the others as they were.
    ASSERT_EQ(a.outs.size(), w.outs.size());
    for (size_t i = 0; i < a.outs.size(); ++i) {
        const Bytes& o = a.outs[i];
        const Bytes& c = w.outs[i];
        if (c.size() == o.size()) {
            EXPECT_EQ(c, o);
        } else {
            EXPECT_LT(c.size(), o.size());
            EXPECT_TRUE(std::equal(c.begin(), c.end(), o.begin()));
        }
    }
}

// The tester's core on the far side of a truncating stage: a cut packet is lost
// and costs its neighbours nothing; what is left of it is one damaged packet, or
// bytes of none when too little is left.
TEST(SimStage, ACutPacketCostsTheTesterNoNeighbour) {
    for (const Format fmt : {Format::Counter8, Format::Seq32}) {
        for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
            SCOPED_TRACE(std::string(measure::formatName(fmt)) + " " + sim::wayName(way));
            Faults f = make({});
            f.truncate = 0.2;
            Bench b(way, f, fmt);
            const measure::Figures fig = b.run(2000);
            const Counts& n = b.st.counts();
            const uint64_t size = static_cast<uint64_t>(measure::packetSize(fmt));
            EXPECT_EQ(fig.received, n.packets - n.truncated);
            EXPECT_EQ(fig.lost, n.truncated);
            EXPECT_EQ(fig.duplicated + fig.reordered, 0u);
            EXPECT_GT(fig.corrupt, 0u);
            EXPECT_LE(fig.corrupt, n.truncated);
            EXPECT_LE(fig.skipped_bytes, n.truncated * size - n.truncated_bytes);
        }
    }
}
