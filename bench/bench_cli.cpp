// Figures of convbench-cli through socat on loopback (prints, asserts nothing):
//   1. the tester's latency floor, each direction, p50 and p99;
//   2. the highest rate with nothing lost over 30 s, 32-bit packets, each
//      direction through socat, and the runner's UDP path to its own listen
//      port beside iperf3 -u -l 16 -b 0;
//   3. CPU of the runner at 1000 packets/s, both directions at once;
//   4. a soak: the runner at 1000 packets/s both ways through the simulated
//      converter with faults, RSS, descriptors, threads and CPU every minute
//      (--soak-minutes, default 10; 0 skips it).
// Usage: bench_cli [--quick] [--soak-minutes N] [--sections 1234]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "socat.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;

namespace {

struct Bridge {
    unsigned short conv, listen;
    ts::SocatBridge socat;
    Bridge(unsigned short c, unsigned short l) : conv(c), listen(l), socat(c, l, 3600) {}
};

std::unique_ptr<Bridge> bridge() {
    const unsigned short conv = ts::freeUdpPort();
    unsigned short listen = ts::freeUdpPort();
    while (listen == conv) listen = ts::freeUdpPort();
    auto b = std::make_unique<Bridge>(conv, listen);
    if (!b->socat.ok()) {
        std::fprintf(stderr, "socat: %s\n", b->socat.error().c_str());
        std::exit(1);
    }
    return b;
}

Args runner(const Bridge& b, const std::string& dir, Args more) {
    Args a{CONVBENCH_CLI,
           "-p",
           b.socat.ptyPath(),
           "-a",
           "127.0.0.1:" + std::to_string(b.conv),
           "-l",
           std::to_string(b.listen),
           "-d",
           dir,
           "--json",
           "-"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

ts::Json run(const Args& args, double* cpu = nullptr) {
    const ts::Ended e = ts::Child(args).wait();
    if (cpu) *cpu = e.cpu_s;
    ts::Json j;
    if (!ts::parseJson(e.out, &j)) std::fprintf(stderr, "no JSON from the runner\n");
    return j;
}

bool clean(const ts::Json& d, double rate) {
    return d["lost"].get<uint64_t>() + d["duplicated"].get<uint64_t>() +
                   d["corrupt"].get<uint64_t>() ==
               0 &&
           d["sent"].get<uint64_t>() > 0 && d["send_rate"].get<double>() >= 0.99 * rate;
}

// The highest rate, doubling from 1000/s in short trials, that a 30 s run confirms clean.
double highestRate(const std::function<ts::Json(double, double)>& trial, const std::string& way,
                   double confirm_s) {
    double good = 0;
    for (double r = 1000; r <= 512000; r *= 2) {
        if (!clean(trial(r, 3)["directions"][way], r)) break;
        good = r;
    }
    for (double r = good; r >= 500; r *= 0.8) {
        const ts::Json j = trial(r, confirm_s);
        const ts::Json& d = j["directions"][way];
        std::printf("    %-4s %8.0f/s for %.0f s: sent %llu lost %llu -> %s\n", way.c_str(), r,
                    confirm_s, static_cast<unsigned long long>(d["sent"].get<uint64_t>()),
                    static_cast<unsigned long long>(d["lost"].get<uint64_t>()),
                    clean(d, r) ? "clean" : "not clean");
        if (clean(d, r)) return r;
    }
    return 0;
}

double iperf3Rate(double seconds) {
    if (std::system("command -v iperf3 >/dev/null 2>&1") != 0) return -1;
    const std::string port = std::to_string(ts::freeUdpPort());
    ts::Child server({"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", port});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string out =
        ts::Child({"iperf3", "-u", "-l", "16", "-b", "0", "-c", "127.0.0.1", "-p", port, "-t",
                   std::to_string(static_cast<int>(seconds)), "-J"})
            .wait()
            .out;
    server.wait();
    ts::Json j;
    if (!ts::parseJson(out, &j)) return -1;
    const ts::Json& sum = j["end"]["sum"];
    // Datagrams that reached the server, per second.
    const double packets = sum["packets"].get<double>() - sum["lost_packets"].get<double>();
    return sum["seconds"].get<double>() > 0 ? packets / sum["seconds"].get<double>() : -1;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int soak_minutes = 10;
    std::string sections = "1234";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick")
            quick = true;
        else if (a == "--soak-minutes" && i + 1 < argc)
            soak_minutes = std::atoi(argv[++i]);
        else if (a == "--sections" && i + 1 < argc)
            sections = argv[++i];
    }
    auto want = [&](char c) { return sections.find(c) != std::string::npos; };
    const double confirm_s = quick ? 5 : 30;

    if (want('1')) std::printf("1. latency floor through socat (100 packets/s, 10 s)\n");
    for (const std::string way : {"e2u", "u2e"}) {
        if (!want('1')) break;
        auto b = bridge();
        const ts::Json j = run(runner(*b, way, {"-r", "100", "-t", "10"}));
        const ts::Json& l = j["directions"][way]["latency_us"];
        std::printf(
            "    %s: p50 %.0f us, p99 %.0f us (received %llu)\n", way.c_str(),
            l["p50"].get<double>(), l["p99"].get<double>(),
            static_cast<unsigned long long>(j["directions"][way]["received"].get<uint64_t>()));
    }

    if (want('2'))
        std::printf(
            "2. highest rate with nothing lost, seq32 packets, confirmed over %.0f s "
            "(serial line at 4000000 baud)\n",
            confirm_s);
    for (const std::string way : {"e2u", "u2e"}) {
        if (!want('2')) break;
        const double r = highestRate(
            [&](double rate, double secs) {
                auto b = bridge();
                return run(runner(*b, way,
                                  {"-r", std::to_string(rate), "-t", std::to_string(secs),
                                   "--format", "seq32", "--baud", "4000000"}));
            },
            way, confirm_s);
        std::printf("    %s through socat: %.0f packets/s\n", way.c_str(), r);
    }
    if (want('2')) {
        const double own = highestRate(
            [&](double rate, double secs) {
                const std::string port = std::to_string(ts::freeUdpPort());
                return run({CONVBENCH_CLI, "-d", "net", "-a", "127.0.0.1:" + port, "-l", port, "-r",
                            std::to_string(rate), "-t", std::to_string(secs), "--format", "seq32",
                            "--json", "-"});
            },
            "net", confirm_s);
        const double iperf = iperf3Rate(confirm_s);
        if (iperf < 0)
            std::printf(
                "    runner UDP to its own port: %.0f packets/s (iperf3 missing: no ratio)\n", own);
        else
            std::printf(
                "    runner UDP to its own port: %.0f packets/s; iperf3 -u -l 16 -b 0: %.0f "
                "packets/s; ratio %.2f\n",
                own, iperf, own / iperf);
    }

    if (want('3')) {
        std::printf("3. CPU at 1000 packets/s, both directions through socat, 10 s\n");
        auto b = bridge();
        double cpu = 0;
        const ts::Json j = run(runner(*b, "both", {"-r", "1000", "-t", "10", "--format", "seq32"}), &cpu);
        std::printf("    %.2f %% of one core over %.1f s (verdict %s)\n",
                    100 * cpu / j["elapsed_s"].get<double>(), j["elapsed_s"].get<double>(),
                    j["verdict"].get<std::string>().c_str());
    }

    if (want('4') && soak_minutes > 0) {
        std::printf(
            "4. soak: %d minutes at 1000 packets/s, both directions, through the "
            "simulated converter with faults\n",
            soak_minutes);
        ts::Child c({CONVBENCH_CLI, "--simulate", "-r",          "1000",
                     "--format",    "seq32",      "-t",          std::to_string(soak_minutes * 60),
                     "--drop",      "0.001",      "--duplicate", "0.001",
                     "--reorder",   "0.001",      "--corrupt",   "0.001",
                     "--delay",     "2",          "--jitter",    "1",
                     "--json",      "-"});
        long first = -1, last = -1;
        double cpu_before = c.cpuSeconds();
        for (int m = 1; m <= soak_minutes; ++m) {
            std::this_thread::sleep_for(std::chrono::seconds(m == soak_minutes ? 55 : 60));
            last = c.rssKb();
            if (first < 0) first = last;
            const double cpu = c.cpuSeconds();
            std::printf("    minute %3d: RSS %ld kB, descriptors %d, threads %d, CPU %.2f %%\n", m,
                        last, c.countEntries("fd"), c.countEntries("task"),
                        100 * (cpu - cpu_before) / (m == soak_minutes ? 55 : 60));
            std::fflush(stdout);
            cpu_before = cpu;
        }
        const ts::Ended& ended = c.wait();
        const std::string& out = ended.out;
        const double cpu = ended.cpu_s;
        ts::Json j;
        ts::parseJson(out, &j);
        std::printf(
            "    RSS growth after the first minute: %ld kB; CPU over the run %.2f %%; "
            "verdict %s (faults on: fail expected), e2u lost %llu of %llu\n",
            last - first, 100 * cpu / (soak_minutes * 60.0),
            j["verdict"].get<std::string>().c_str(),
            static_cast<unsigned long long>(j["directions"]["e2u"]["lost"].get<uint64_t>()),
            static_cast<unsigned long long>(j["directions"]["e2u"]["sent"].get<uint64_t>()));
    }
    return 0;
}
