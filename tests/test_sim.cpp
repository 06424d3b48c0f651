// The simulated converter's fault stage on its own: packets in with times,
// writes or datagrams out, judged by the tester's own measurement core.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
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
using Sizes = std::vector<size_t>;

namespace {

constexpr int64_t kMs = 1000000;

// Options as "name=value ..." onto f; false at the first refused.
bool parse(const std::string& opts, Faults* f, std::string* error) {
    std::istringstream in(opts);
    for (std::string o; in >> o;) {
        const size_t eq = o.find('=');
        if (!sim::parseFaultOption(o.substr(0, eq), o.substr(eq + 1), f, error)) return false;
    }
    return true;
}

Faults make(const std::string& opts) {
    Faults f;
    std::string error;
    EXPECT_TRUE(parse("seed=7 " + opts, &f, &error)) << error;
    return f;
}

// A stage with the tester's measurement of its far end.
struct Bench {
    Format fmt;
    Way way;
    Stage st;
    measure::Direction far;
    std::vector<Bytes> outs;
    Bytes stream;  // every byte out, in order

    Bench(Way w, const Faults& f, Format format = Format::Counter8)
        : fmt(format), way(w), st(w, format, f, 0), far(format, 3600 * 1000 * kMs) {}

    void step(int64_t t) {
        st.advance(t);
        while (st.hasReady()) {
            outs.push_back(st.popReady());
            const Bytes& b = outs.back();
            if (way == Way::SerialToNet)
                far.onDatagram(b.data(), b.size(), t);
            else
                far.onBytes(b.data(), b.size(), t);
            stream.insert(stream.end(), b.begin(), b.end());
        }
    }
    void runUntil(int64_t t) {
        for (int64_t d; (d = st.nextDeadline()) <= t;) step(d);
        step(t);
    }
    void input(const Bytes& b, int64_t t) {
        runUntil(t);
        st.input(b.data(), b.size(), t);
        step(t);
    }
    Sizes sizes() const {
        Sizes out;
        for (const Bytes& o : outs) out.push_back(o.size());
        return out;
    }
    // Packets first..last, back to back.
    Bytes packets(uint64_t first, uint64_t last) const {
        const size_t size = static_cast<size_t>(measure::packetSize(fmt));
        Bytes out(size * (last - first + 1));
        for (uint64_t i = first; i <= last; ++i)
            measure::buildPacket(fmt, i, out.data() + (i - first) * size);
        return out;
    }
    void send(uint64_t seq, int64_t t) {
        runUntil(t);
        far.onSent(seq, t);
        input(packets(seq, seq), t);
    }
    // n packets, one input each, every `every` ns; then everything settles.
    measure::Figures run(int n, int64_t every = kMs) {
        for (int i = 0; i < n; ++i) send(static_cast<uint64_t>(i + 1), i * every);
        runUntil(n * every + 10000 * kMs);
        far.finish(n * every + 10000 * kMs, true);
        return far.figures();
    }
};

}  // namespace

// No faults: every byte through unchanged and in order, bytes that are no
// packet included (a tail too short to be one goes on after the hold time).
// The network side sends a datagram per packet, the serial side writes once per input.
TEST(SimStage, NoFaultsForwardsUnchangedInOrder) {
    for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
        Bench b(way, Faults{});
        Bytes in = b.packets(1, 3);
        in.insert(in.begin() + 14, {'x', 'y'});  // packet, packet, stray bytes, packet
        in.push_back('z');
        b.input(Bytes(in.begin(), in.begin() + 7), 0);
        b.input(Bytes(in.begin() + 7, in.begin() + 19), 1 * kMs);  // ends inside packet 3
        b.input(Bytes(in.begin() + 19, in.end() - 1), 2 * kMs);
        b.input({'z'}, 3 * kMs);
        b.runUntil(100 * kMs);
        EXPECT_EQ(b.stream, in);
        EXPECT_EQ(b.sizes(), (way == Way::SerialToNet ? Sizes{7, 7, 2, 7, 1} : Sizes{7, 7, 9, 1}));
        EXPECT_EQ(b.st.counts().packets, 3u);
        EXPECT_EQ(b.st.counts().bytes_out, in.size());
    }
}

// Every fault together, both ways and both formats: the tester's own core on
// the far side sees exactly what the stage counted (the runner's suite does the
// same fault by fault through real sockets, and a slow line's overflow); one
// draw decides drop, corrupt and duplicate; the same seed gives the same stream.
TEST(SimStage, FaultCountsAreWhatTheTesterMeasures) {
    const Faults all = make(
        "drop=0.1 corrupt=0.1 duplicate=0.1 reorder=0.2 reorder-depth=2 stray=0.1 delay=1 "
        "jitter=3 split=5 pack-size=10 outage=50 outage-every=700");
    const Faults exclusive = make("drop=0.3 corrupt=0.3 duplicate=0.4");
    for (const Format fmt : {Format::Counter8, Format::Seq32}) {
        for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
            SCOPED_TRACE(std::string(measure::formatName(fmt)) + " " + sim::wayName(way));
            for (const Faults* f : {&all, &exclusive}) {
                Bench b(way, *f, fmt);
                const measure::Figures fig = b.run(3000);
                const Counts& n = b.st.counts();
                EXPECT_EQ(fig.lost, n.dropped + n.overflow + n.outage_dropped + n.corrupted);
                EXPECT_EQ(std::tie(fig.corrupt, fig.duplicated, fig.reordered, fig.skipped_bytes),
                          std::tie(n.corrupted, n.duplicated, n.reordered, n.stray_bytes));
                EXPECT_EQ(fig.received + fig.lost, n.packets);
                EXPECT_GT(n.dropped, 200u);
                if (f == &exclusive) {
                    EXPECT_EQ(n.dropped + n.corrupted + n.duplicated, n.packets);
                    continue;
                }
                EXPECT_GT(n.reordered + n.corrupted + n.outage_dropped, 0u);
                EXPECT_EQ(n.stray_bytes > 0, way == Way::NetToSerial);
                Bench again(way, *f, fmt);
                again.run(3000);
                EXPECT_EQ(again.stream, b.stream);
            }
        }
    }
}

// Reorder: a held packet goes after the next K packets, or alone after the hold
// time. Packing: datagrams of pack_size bytes cut across packets, the rest after
// the gap (or after the tail time with a size alone). Split: one datagram's bytes
// in writes of 1..N bytes.
TEST(SimStage, ReorderPackAndSplitReleaseWhenDue) {
    Bench r(Way::SerialToNet, make("reorder=1 reorder-depth=2"));
    r.send(1, 0);
    r.runUntil(sim::kReorderHoldNs - 1);
    EXPECT_TRUE(r.outs.empty());
    r.runUntil(sim::kReorderHoldNs);
    EXPECT_EQ(r.outs.size(), 1u);
    Bench all(Way::SerialToNet, make("reorder=1 reorder-depth=2"));
    for (uint64_t i = 1; i <= 4; ++i) all.send(i, 0);
    EXPECT_EQ(all.outs.size(), 2u);  // each goes once two later ones came in

    Bench s(Way::SerialToNet, make("pack-size=10"));
    s.input(s.packets(1, 5), 0);
    EXPECT_EQ(s.outs.size(), 3u);
    s.runUntil(sim::kPackTailNs);
    EXPECT_EQ(s.sizes(), (Sizes{10, 10, 10, 5}));
    EXPECT_EQ(s.stream, s.packets(1, 5));

    Bench g(Way::SerialToNet, make("pack-gap=5"));
    for (uint64_t i = 1; i <= 3; ++i) g.send(i, int64_t(i - 1) * kMs);
    g.runUntil(7 * kMs - 1);
    EXPECT_TRUE(g.outs.empty());
    g.runUntil(7 * kMs);
    ASSERT_EQ(g.outs.size(), 1u);
    EXPECT_EQ(g.outs[0].size(), 21u);

    Bench p(Way::NetToSerial, make("split=3"));
    p.input(p.packets(1, 10), 0);
    EXPECT_EQ(p.stream, p.packets(1, 10));
    const Sizes sizes = p.sizes();
    EXPECT_EQ(*std::max_element(sizes.begin(), sizes.end()), 3u);
}

// The serial side is read no faster than its line: at 9600 baud (960 bytes/s)
// 70 bytes read hold the next read back 70 byte times, and a read takes at
// most 10 ms of the line. (The line's pace and queue the other way are the
// characterisation suite's, against the simulator program.)
TEST(SimStage, TheSerialSideIsReadAtTheLineRate) {
    Stage s(Way::SerialToNet, Format::Counter8, make("baud=9600"), 0);
    const Bytes seventy(70, 0);
    s.input(seventy.data(), seventy.size(), 0);
    EXPECT_NEAR(double(s.readableAt()), 70.0 * 1e9 / 960, 100);
    EXPECT_EQ(s.readLimit(), 9u);
    // Read late: after a full read more was waiting, and the line went on
    // without a gap; after a short one it starts afresh when read.
    const int64_t byte = int64_t(1e9 / 960);
    s.input(seventy.data(), 5, s.readableAt() + 1000000000);
    EXPECT_NEAR(double(s.readableAt()), 75.0 * 1e9 / 960, 100);
    s.input(seventy.data(), 9, 5000000000);
    EXPECT_NEAR(double(s.readableAt()), double(5000000000 + 9 * byte), 100);
}

// Refused when parsed, or as a whole (the draws' sum, an outage with no period).
// Number ranges and the seed are the options suite's.
TEST(SimStage, OptionsRejectBadValues) {
    for (const char* bad : {"split=-1", "delay=nan", "bogus=1", "reorder-depth=0",
                            "drop=0.6 corrupt=0.5", "outage=100"}) {
        Faults f;
        std::string e;
        EXPECT_FALSE(parse(bad, &f, &e) && sim::checkFaults(f, &e)) << bad;
    }
}

// Truncate: each packet it picks goes on as a proper prefix of itself, the
// packets around it whole; nothing else changes. Told from the output alone:
// the stream is walked packet by packet against what went in. (What the
// runner makes of a cut packet is the runner's suite's.)
TEST(SimStage, TruncateCutsThePickedPacketsAlone) {
    for (const Format fmt : {Format::Counter8, Format::Seq32}) {
        for (const Way way : {Way::SerialToNet, Way::NetToSerial}) {
            SCOPED_TRACE(std::string(measure::formatName(fmt)) + " " + sim::wayName(way));
            Bench b(way, make("truncate=0.25"), fmt);
            b.run(2000);
            const size_t size = static_cast<size_t>(measure::packetSize(fmt));
            // lens[i]: how much of packet i+1 the stream holds, found by backtracking.
            std::vector<size_t> lens;
            std::function<bool(size_t, uint64_t)> walk = [&](size_t pos, uint64_t i) {
                if (i > 2000) return pos == b.stream.size();
                const Bytes p = b.packets(i, i);
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
            for (const size_t len : lens) cut += len < size, cut_bytes += size - len;
            const Counts& n = b.st.counts();
            EXPECT_EQ(std::tie(n.truncated, n.truncated_bytes), std::tie(cut, cut_bytes));
            EXPECT_NEAR(double(cut), 500, 90);  // 0.25 of 2000, well within 4 sigma
            // Every cut length 1..size-1 turns up; none is the whole packet.
            EXPECT_GT(cut_bytes, cut);
            EXPECT_LT(cut_bytes, cut * (size - 1));
            // A cut packet is still its own datagram.
            if (way == Way::SerialToNet) {
                EXPECT_EQ(b.outs.size(), 2000u);
            }
        }
    }
}

// Truncate draws apart from the other faults: switched on beside them it picks
// none of their packets and leaves their picks as they were; at 1 it cuts every
// packet they left intact, datagram by datagram, the others as they were.
TEST(SimStage, TruncateKeepsTheOtherFaultsPicks) {
    Bench a(Way::SerialToNet, make("drop=0.1 corrupt=0.1 duplicate=0.1"));
    Bench w(Way::SerialToNet, make("drop=0.1 corrupt=0.1 duplicate=0.1 truncate=1"));
    a.run(1000);
    w.run(1000);
    const Counts &x = a.st.counts(), &y = w.st.counts();
    EXPECT_EQ(std::tie(x.dropped, x.corrupted, x.duplicated),
              std::tie(y.dropped, y.corrupted, y.duplicated));
    EXPECT_EQ(x.truncated, 0u);
    EXPECT_EQ(y.truncated, y.packets - y.dropped - y.corrupted - y.duplicated);
    ASSERT_EQ(a.outs.size(), w.outs.size());
    for (size_t i = 0; i < a.outs.size(); ++i) {
        const Bytes &o = a.outs[i], &c = w.outs[i];
        EXPECT_LE(c.size(), o.size());
        EXPECT_TRUE(c.size() < o.size() ? std::equal(c.begin(), c.end(), o.begin()) : c == o);
    }
}
