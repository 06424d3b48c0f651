// Figures of convbench-cli through socat on loopback (prints, asserts nothing):
//   1. the tester's latency floor, each direction, p50 and p99;
//   2. the highest rate with nothing lost over 30 s, 32-bit packets, each
//      direction through socat, and the runner's UDP path to its own listen
//      port beside iperf3 -u -l 16 -b 0;
//      (--direction net, confirmed over 10 s: the runner refuses rates above
//      1000000/s, and says when that limit stopped the search);
//   3. CPU of the runner at 1000 packets/s, both directions at once, 30 s,
//      beside the CPU socat spends forwarding the same packets, with the
//      runner's thread count and its send lateness;
//   4. a soak: the runner at 1000 packets/s both ways through the simulated
//      converter with faults, RSS, descriptors, threads and CPU every minute
//      (--soak-minutes, default 10; 0 skips it);
//   5. the tester's send lateness, --direction net, at 1000/s and 50000/s.
// Each figure with a goal prints it beside.
// Usage: bench_cli [--quick] [--soak-minutes N] [--sections 12345]
#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

// The runner's highest rate (cli/options.h kMaxRate).
constexpr double kRunnerMaxRate = 1000000;

// The children of `parent` named `comm`.
std::vector<pid_t> children(pid_t parent, const std::string& comm) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        const size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && text.substr(open + 1, close - open - 1) == comm) out.push_back(pid);
    }
    closedir(d);
    return out;
}

// Waits for the child, counting its threads every 100 ms meanwhile (the
// most seen in *most_threads); its CPU seconds, its output in *out.
double finishCountingThreads(ts::Child c, std::string* out, int* most_threads) {
    *most_threads = 0;
    while (!c.waitFor(100)) *most_threads = std::max(*most_threads, c.countEntries("task"));
    const ts::Ended& e = c.wait();
    *out = e.out;
    return e.cpu_s;
}

// CPU seconds so far of a process this bench did not start itself.
double cpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int k = 3; k <= 13; ++k) rest >> field;
    rest >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool clean(const ts::Json& d, double rate) {
    if (!d.is_object() || !d.contains("lost")) return false;  // no report: a refused rate
    return d["lost"].get<uint64_t>() + d["duplicated"].get<uint64_t>() +
                   d["corrupt"].get<uint64_t>() ==
               0 &&
           d["sent"].get<uint64_t>() > 0 && d["send_rate"].get<double>() >= 0.99 * rate;
}

// The highest rate, doubling from 1000/s in short trials up to the runner's
// limit, that a run of confirm_s confirms clean. *capped: the limit itself was clean.
double highestRate(const std::function<ts::Json(double, double)>& trial, const std::string& way,
                   double confirm_s, bool* capped = nullptr) {
    // A second try: one stall of a busy machine should not end the search.
    const auto passes = [&](double r) {
        return clean(trial(r, 3)["directions"][way], r) || clean(trial(r, 3)["directions"][way], r);
    };
    double good = 0, bad = 0;
    for (double r = 1000; r <= kRunnerMaxRate;
         r = r * 2 > kRunnerMaxRate && r < kRunnerMaxRate ? kRunnerMaxRate : r * 2) {
        if (!passes(r)) {
            bad = r;
            break;
        }
        good = r;
    }
    if (capped) *capped = good >= kRunnerMaxRate;
    // Then halve the gap between the last clean rate and the first failing one
    // three times: within an eighth of the doubling step.
    for (int step = 0; step < 3 && bad > good && good > 0; ++step) {
        const double mid = (good + bad) / 2;
        (passes(mid) ? good : bad) = mid;
    }
    for (double r = good; r >= 500; r *= 0.8) {
        const ts::Json j = trial(r, confirm_s);
        const ts::Json& d = j["directions"][way];
        if (!clean(d, r) && !(d.is_object() && d.contains("sent"))) continue;  // no report
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
    std::string sections = "12345";
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

    if (want('1'))
        std::printf(
            "1. latency floor through socat (100 packets/s, 10 s; goal p50 under 200 us)\n");
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
        bool capped = false;
        const double own = highestRate(
            [&](double rate, double secs) {
                const std::string port = std::to_string(ts::freeUdpPort());
                return run({CONVBENCH_CLI, "-d", "net", "-a", "127.0.0.1:" + port, "-l", port, "-r",
                            std::to_string(rate), "-t", std::to_string(secs), "--format", "seq32",
                            "--json", "-"});
            },
            "net", 10, &capped);
        const double iperf = iperf3Rate(10);
        const char* cap = capped ? " (the runner's limit of 1000000/s stopped the search)" : "";
        if (iperf < 0)
            std::printf(
                "    runner UDP to its own port, --direction net, 10 s: %.0f packets/s%s (iperf3 "
                "missing: no ratio)\n",
                own, cap);
        else
            std::printf(
                "    runner UDP to its own port, --direction net, 10 s: %.0f packets/s%s; iperf3 "
                "-u -l 16 -b 0: %.0f packets/s; ratio %.2f (goal at least 1.0)\n",
                own, cap, iperf, own / iperf);
    }

    if (want('3')) {
        const int secs = quick ? 10 : 30;
        std::printf("3. CPU at 1000 packets/s, both directions through socat, %d s, 4000000 baud\n",
                    secs);
        auto b = bridge();
        std::vector<pid_t> socat;  // the bridge runs socat under timeout(1)
        for (const pid_t t : children(getpid(), "timeout"))
            for (const pid_t s : children(t, "socat")) socat.push_back(s);
        const double socat_before = socat.size() == 1 ? cpuSeconds(socat[0]) : -1;
        std::string out;
        int threads = 0;
        const double cpu =
            finishCountingThreads(ts::Child(runner(*b, "both",
                                               {"-r", "1000", "-t", std::to_string(secs),
                                                "--format", "seq32", "--baud", "4000000"})),
                                  &out, &threads);
        const double socat_cpu = socat_before >= 0 ? cpuSeconds(socat[0]) - socat_before : -1;
        ts::Json j;
        if (!ts::parseJson(out, &j) || !j.contains("elapsed_s")) {
            std::printf("    no JSON from the runner\n");
        } else {
            const double wall = j["elapsed_s"].get<double>();
            std::printf(
                "    runner %.2f %% of one core over %.1f s, %d threads (verdict %s); socat "
                "forwarding the same packets %.2f %%; ratio %.2f (goal: at most 0.5, and under "
                "3 %%)\n",
                100 * cpu / wall, wall, threads, j["verdict"].get<std::string>().c_str(),
                100 * socat_cpu / wall, socat_cpu > 0 ? cpu / socat_cpu : 0.0);
            for (const auto& [way, d] : j["directions"].items()) {
                const ts::Json& l = d["tester"]["send_lateness_us"];
                std::printf("    %s send lateness p50 %.0f us, p99 %.0f us, max %.0f us\n",
                            way.c_str(), l["p50"].get<double>(), l["p99"].get<double>(),
                            l["max"].get<double>());
            }
        }
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

    if (want('5')) {
        std::printf(
            "5. the tester's send lateness, --direction net, seq32, 10 s (goals p99 under "
            "100 us at 1000/s, under 500 us at 50000/s)\n");
        for (const double rate : {1000.0, 50000.0}) {
            const std::string port = std::to_string(ts::freeUdpPort());
            const ts::Json j =
                run({CONVBENCH_CLI, "-d", "net", "-a", "127.0.0.1:" + port, "-l", port, "-r",
                     std::to_string(rate), "-t", "10", "--format", "seq32", "--json", "-"});
            if (!j.contains("directions")) {
                std::printf("    %6.0f/s: no JSON from the runner\n", rate);
                continue;
            }
            const ts::Json& d = j["directions"]["net"];
            const ts::Json& l = d["tester"]["send_lateness_us"];
            std::printf(
                "    %6.0f/s: send lateness p50 %.0f us, p99 %.0f us, max %.0f us; send rate "
                "%.0f/s, lost %llu\n",
                rate, l["p50"].get<double>(), l["p99"].get<double>(), l["max"].get<double>(),
                d["send_rate"].get<double>(),
                static_cast<unsigned long long>(d["lost"].get<uint64_t>()));
        }
    }
    return 0;
}
