// Cost of the measurement core per packet: announcing a packet sent, and
// framing plus matching a packet received (stream and datagram), in each format.
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
        d.onSent(seq, static_cast<int64_t>(seq) * kPeriod);
        if ((seq & 1023) == 0) d.expire(static_cast<int64_t>(seq) * kPeriod);
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
            if (datagrams) d.onDatagram(p, size, t);
            else d.onBytes(p, size, t);
        }
        d.expire(t);
    }
    state.SetItemsProcessed(state.iterations() * 256);
    if (d.figures().received != seq) state.SkipWithError("packets were not all matched");
}

}  // namespace

BENCHMARK(BM_Sent)->Arg(0)->Arg(1)->ArgName("seq32");
BENCHMARK(BM_Received)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"seq32", "datagram"});
BENCHMARK_MAIN();
