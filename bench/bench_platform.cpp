// Support library figures: ring put+get throughput against plain memcpy of the
// same bytes, an uncontended lock take/give, one millisecond clock reading.
//
// The ring is 1 MiB, as in the serial driver. A put+get moves each byte twice
// (into the ring and out again), so the main baseline is the same two copies
// done with memcpy through an area of the same size; a single memcpy of the
// bytes is shown as well. The summary at the end prints the ratios.
#include <benchmark/benchmark.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "oslite.h"
#include "ringbuf.h"

namespace {

constexpr int kRingSize = 1024 * 1024;

void BM_RingPutGet(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    ringb_h h = ringb_alloc(kRingSize);
    std::vector<unsigned char> src(n, 0x5A), dst(n);
    for (auto _ : state) {
        ringb_put(h, src.data(), n);
        ringb_get(h, dst.data(), n);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n);
    ringb_free(h);
}

// The same bytes copied in and out of a 1 MiB area at an advancing offset.
void BM_MemcpyInOut(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> area(kRingSize), src(n, 0x5A), dst(n);
    size_t off = 0;
    for (auto _ : state) {
        if (off + n > area.size()) off = 0;
        memcpy(area.data() + off, src.data(), n);
        benchmark::ClobberMemory();
        memcpy(dst.data(), area.data() + off, n);
        off += n;
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_MemcpyOnce(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> area(kRingSize), src(n, 0x5A);
    size_t off = 0;
    for (auto _ : state) {
        if (off + n > area.size()) off = 0;
        memcpy(area.data() + off, src.data(), n);
        off += n;
        benchmark::DoNotOptimize(area.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_SemaphoreWaitSet(benchmark::State& state) {
    OS_Semaphore_t lock = OS_AllocSemaphore();
    for (auto _ : state) {
        OS_WaitSemaphore(lock);
        OS_SetSemaphore(lock);
    }
    OS_DeleteSemaphore(lock);
}

void BM_GetKHClock(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(OS_GetKHClock());
}

}  // namespace

BENCHMARK(BM_RingPutGet)->Arg(4096)->Arg(7);
BENCHMARK(BM_MemcpyInOut)->Arg(4096)->Arg(7);
BENCHMARK(BM_MemcpyOnce)->Arg(4096)->Arg(7);
BENCHMARK(BM_SemaphoreWaitSet);
BENCHMARK(BM_GetKHClock);

namespace {

// Console output as usual, plus the throughput of each run kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rate_[r.benchmark_name()] = it->second.value;
        }
    }
    void summary() const {
        printf("\nring put+get throughput against memcpy of the same bytes\n");
        for (const char* n : {"4096", "7"}) {
            const double ring = get("BM_RingPutGet/", n);
            const double inout = get("BM_MemcpyInOut/", n);
            const double once = get("BM_MemcpyOnce/", n);
            if (ring <= 0 || inout <= 0 || once <= 0) continue;
            printf(
                "  %4s-byte chunks: ring %8.1f MB/s, memcpy in+out %8.1f MB/s (x%.2f), "
                "one memcpy %8.1f MB/s (x%.2f)\n",
                n, ring / 1e6, inout / 1e6, ring / inout, once / 1e6, ring / once);
        }
    }

private:
    double get(const std::string& name, const char* arg) const {
        auto it = rate_.find(name + arg);
        return it == rate_.end() ? 0 : it->second;
    }
    std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.summary();
    benchmark::Shutdown();
    return 0;
}
