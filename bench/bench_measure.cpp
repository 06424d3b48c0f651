// Cost of the measurement core per packet: announcing a packet sent, and
// framing plus matching a packet received (stream and datagram), in each format;
// framing a stream where one packet in ten is short of its last byte; and the
// memory a direction holds before use and at 1000 packets/s.
#include <benchmark/benchmark.h>

#include <vector>

#include "direction.h"

namespace {

constexpr int64_t kPeriod = 1000000;  // 1 ms between packets
constexpr int64_t kBound = 1000000000;

void BM_Sent(benchmark::State& state) {
    measure::Direction d(static_cast<measure::Format>(state.range(0)), kBound);
    uint64_t seq = 0;
    for (auto _ : state) {
        ++seq;
        const int64_t deadline = static_cast<int64_t>(seq) * kPeriod;
        d.onSent(seq, deadline + 1500, deadline);
        if ((seq & 1023) == 0) d.expire(deadline);
    }
    state.SetItemsProcessed(state.iterations());
}

// Packets sent in batches of 256, then received as a stream, one packet per read.
void BM_Received(benchmark::State& state) {
    const auto f = static_cast<measure::Format>(state.range(0));
    const bool datagrams = state.range(1) != 0;
    const size_t size = static_cast<size_t>(measure::packetSize(f));
    measure::Direction d(f, kBound);
    std::vector<uint8_t> wire(256 * size);
    uint64_t seq = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 256; ++i) {
            ++seq;
            d.onSent(seq, static_cast<int64_t>(seq) * kPeriod);
            measure::buildPacket(f, seq, wire.data() + static_cast<size_t>(i) * size);
        }
        state.ResumeTiming();
        const int64_t t = static_cast<int64_t>(seq) * kPeriod;
        for (int i = 0; i < 256; ++i) {
            const uint8_t* p = wire.data() + static_cast<size_t>(i) * size;
            if (datagrams)
                d.onDatagram(p, size, t);
            else
                d.onBytes(p, size, t);
        }
        d.expire(t);
    }
    state.SetItemsProcessed(state.iterations() * 256);
    if (d.figures().received != seq) state.SkipWithError("packets were not all matched");
}

// Every tenth packet short of its last byte: the framer resumes at the next one.
void BM_DamagedStream(benchmark::State& state) {
    const auto f = static_cast<measure::Format>(state.range(0));
    const size_t size = static_cast<size_t>(measure::packetSize(f));
    measure::Direction d(f, kBound);
    std::vector<uint8_t> wire;
    uint64_t seq = 0, damaged = 0;
    for (auto _ : state) {
        state.PauseTiming();
        wire.clear();
        for (int i = 0; i < 256; ++i) {
            ++seq;
            d.onSent(seq, static_cast<int64_t>(seq) * kPeriod);
            uint8_t p[measure::kMaxPacketSize];
            measure::buildPacket(f, seq, p);
            const bool cut = seq % 10 == 0;
            damaged += cut;
            wire.insert(wire.end(), p, p + size - (cut ? 1 : 0));
        }
        state.ResumeTiming();
        d.onBytes(wire.data(), wire.size(), static_cast<int64_t>(seq) * kPeriod);
    }
    state.SetItemsProcessed(state.iterations() * 256);
    d.finish(static_cast<int64_t>(seq) * kPeriod, false);
    const measure::Figures fig = d.figures();
    if (fig.corrupt != damaged || fig.received + fig.corrupt != seq)
        state.SkipWithError("a damaged packet cost more than itself");
}

// Bytes a direction holds: before its first packet, and after 10 s at 1000/s
// (seq32, every packet received after 300 us, bound 1 s).
void BM_DirectionMemory(benchmark::State& state) {
    size_t before = 0, after = 0;
    for (auto _ : state) {
        measure::Direction d(measure::Format::Seq32, kBound);
        before = d.memoryBytes() + sizeof d;
        uint8_t p[measure::kMaxPacketSize];
        for (uint64_t seq = 1; seq <= 10000; ++seq) {
            const int64_t t = static_cast<int64_t>(seq) * kPeriod;
            d.onSent(seq, t);
            measure::buildPacket(measure::Format::Seq32, seq, p);
            d.onBytes(p, 11, t + 300000, t + 320000);
        }
        after = d.memoryBytes() + sizeof d;
    }
    state.counters["bytes_before_use"] = static_cast<double>(before);
    state.counters["bytes_after_10s"] = static_cast<double>(after);
}

}  // namespace

BENCHMARK(BM_DamagedStream)->Arg(0)->Arg(1)->ArgName("seq32");
BENCHMARK(BM_DirectionMemory)->Iterations(3);
BENCHMARK(BM_Sent)->Arg(0)->Arg(1)->ArgName("seq32");
BENCHMARK(BM_Received)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"seq32", "datagram"});
BENCHMARK_MAIN();
