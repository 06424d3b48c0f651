// Figures of convbench-cli with several channels and over TCP (prints, asserts
// nothing):
//   1. 16 channels through 16 convbench-sim processes at 100 packets/s each,
//      both directions, per transport (default udp and tcp-client): lost,
//      the runner's CPU (the simulators are separate processes, their CPU is
//      printed apart), and the per-channel p99 latency beside a one-channel run
//      of the same length;
//   2. TCP reconnect: the time from a converter listening again to its first
//      packet on the new connection, median of 20, with the runner's default
//      backoff. The converter is the bench's own listener; the serial side is
//      a pty pair nobody forwards (only the network side is timed);
//   3. memory at the start: the runner's peak resident size with 1000
//      simulated channels (a channel file, --simulate, one packet each way),
//      whole and per channel, against the bound of 100 MB;
//   4. 64 channels through 64 convbench-sim processes at 10 packets/s each,
//      both directions, udp: the runner's CPU, its threads (counted while it
//      runs) and the worst channel's p99.
// Sections 1 and 4 print the runner's most threads and the goals beside.
// Usage: bench_channels [--seconds S] [--channels N] [--transports udp,tcp-client]
//                       [--sections 1234] [--memory-channels N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "pty_pair.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;

namespace {

double nowS() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

struct RunFigures {
    bool ok = false;
    uint64_t sent = 0, lost = 0, faults = 0;
    std::vector<double> p99_ms;  // per channel, the worse direction
    double runner_cpu = 0, sims_cpu = 0, wall = 0;
    int threads = 0;  // the runner's, the most counted while it ran
};

// n channels, each through a convbench-sim process of its own.
RunFigures runChannels(int n, const std::string& transport, double seconds, double rate = 100) {
    RunFigures r;
    char tmpl[] = "/tmp/convbench-chbench-XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    std::vector<ts::Child> sims;
    Args cli{CONVBENCH_CLI, "-r", std::to_string(rate), "-t", std::to_string(seconds),
             "--json",      "-"};
    for (int i = 0; i < n; ++i) {
        const std::string link = dir + "/tty" + std::to_string(i);
        const unsigned short conv = ts::freeUdpPort(), listen = ts::freeUdpPort();
        Args sim{CONVBENCH_SIM_EXE, "--link", link};
        std::string desc = "port=" + link + ",transport=" + transport;
        if (transport == "udp") {
            sim.insert(sim.end(), {"--bind", "127.0.0.1:" + std::to_string(conv), "--peer",
                                   "127.0.0.1:" + std::to_string(listen)});
            desc +=
                ",address=127.0.0.1:" + std::to_string(conv) + ",listen=" + std::to_string(listen);
        } else if (transport == "tcp-client") {
            sim.insert(sim.end(), {"--transport", "tcp-server", "--bind",
                                   "127.0.0.1:" + std::to_string(conv)});
            desc += ",address=127.0.0.1:" + std::to_string(conv);
        } else {
            sim.insert(sim.end(), {"--transport", "tcp-client", "--peer",
                                   "127.0.0.1:" + std::to_string(listen)});
            desc += ",listen=" + std::to_string(listen);
        }
        sims.emplace_back(sim);
        cli.insert(cli.end(), {"--channel", desc});
        struct stat st {};
        for (int w = 0; w < 200 && lstat(link.c_str(), &st) != 0; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double t0 = nowS();
    ts::Child::Options shown;
    shown.err = ts::Child::Output::Inherit;  // a refusal or set-up error says why
    ts::Child runner(cli, shown);
    while (!runner.waitFor(100))  // its threads, every 100 ms until it ends
        r.threads = std::max(r.threads, runner.countEntries("task"));
    const ts::Ended& ran = runner.wait();
    const std::string& out = ran.out;
    r.runner_cpu = ran.cpu_s;
    r.wall = nowS() - t0;
    for (ts::Child& s : sims) {
        s.signal(SIGTERM);
        r.sims_cpu += s.wait().cpu_s;
    }
    rmdir(dir.c_str());
    ts::Json j;
    if (!ts::parseJson(out, &j) || j["channels"].size() != static_cast<size_t>(n)) {
        std::fprintf(stderr, "runner report unreadable:\n%s\n", out.c_str());
        return r;
    }
    r.ok = true;
    for (const auto& c : j["channels"]) {
        double p99 = 0;
        for (const auto& [way, d] : c["directions"].items()) {
            r.sent += d["sent"].get<uint64_t>();
            r.lost += d["lost"].get<uint64_t>();
            r.faults += d["corrupt"].get<uint64_t>() + d["duplicated"].get<uint64_t>();
            p99 = std::max(p99, d["latency_us"]["p99"].get<double>() / 1000);
        }
        r.p99_ms.push_back(p99);
    }
    return r;
}

void sectionChannels(int n, const std::vector<std::string>& transports, double seconds) {
    std::printf(
        "== %d channels at 100 packets/s each, both directions, %.0f s, one convbench-sim "
        "process per channel (goal with 16: runner under 6 %% of a core)\n",
        n, seconds);
    for (const std::string& t : transports) {
        const RunFigures one = runChannels(1, t, seconds);
        const RunFigures many = runChannels(n, t, seconds);
        if (!one.ok || !many.ok) continue;
        std::printf(
            "%-10s 1 channel:  sent %llu lost %llu, p99 %.3f ms, runner CPU %.2f %% of a "
            "core\n",
            t.c_str(), static_cast<unsigned long long>(one.sent),
            static_cast<unsigned long long>(one.lost), one.p99_ms[0],
            100 * one.runner_cpu / one.wall);
        std::printf(
            "%-10s %d channels: sent %llu lost %llu (damaged/duplicated %llu), runner CPU "
            "%.2f %% of a core, %d threads; simulators %.2f %% together\n",
            t.c_str(), n, static_cast<unsigned long long>(many.sent),
            static_cast<unsigned long long>(many.lost),
            static_cast<unsigned long long>(many.faults), 100 * many.runner_cpu / many.wall,
            many.threads, 100 * many.sims_cpu / many.wall);
        std::printf(
            "%-10s per-channel p99: median %.3f ms, worst %.3f ms; worst minus one-channel "
            "%+.3f ms\n",
            t.c_str(), quantile(many.p99_ms, 0.5), quantile(many.p99_ms, 1.0),
            quantile(many.p99_ms, 1.0) - one.p99_ms[0]);
    }
}

// Section 4: many channels at a low rate, where the cost is per channel.
void sectionManyChannels(int n, double seconds) {
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::printf(
        "\n4. %d channels at 10 packets/s each, both directions, udp, %.0f s, one convbench-sim "
        "process per channel (goal: runner under 5 %% of a core, at most %ld threads)\n",
        n, seconds, cores + 2);
    const RunFigures f = runChannels(n, "udp", seconds, 10);
    if (!f.ok) return;
    std::printf(
        "   sent %llu lost %llu; runner CPU %.2f %% of a core, %d threads on %ld cores; "
        "simulators %.2f %% together; per-channel p99 median %.3f ms, worst %.3f ms\n",
        static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.lost),
        100 * f.runner_cpu / f.wall, f.threads, cores, 100 * f.sims_cpu / f.wall,
        quantile(f.p99_ms, 0.5), quantile(f.p99_ms, 1.0));
}

int listenOn(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Accepts the runner's connection and waits for its first bytes; the time they
// came, or a negative value after timeout_s.
double firstBytes(int listener, double timeout_s, int* conn) {
    const double end = nowS() + timeout_s;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_s * 1000)) <= 0) return -1;
    *conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (*conn < 0) return -1;
    pollfd q{*conn, POLLIN, 0};
    const int left = static_cast<int>((end - nowS()) * 1000);
    if (left <= 0 || poll(&q, 1, left) <= 0) return -1;
    const double t = nowS();
    char buf[4096];
    if (read(*conn, buf, sizeof buf) <= 0) return -1;
    return t;
}

void sectionReconnect(int rounds) {
    std::printf("== TCP reconnect: converter listening again -> first packet, %d rounds\n", rounds);
    ts::PtyPair pty;
    const unsigned short port = ts::freeUdpPort();
    int listener = listenOn(port);
    ts::Child runner({CONVBENCH_CLI, "-p", pty.slavePath(), "-a",
                      "127.0.0.1:" + std::to_string(port), "--transport", "tcp-client", "-d", "e2u",
                      "-r", "100", "-t", "3600"});
    int conn = -1;
    if (listener < 0 || firstBytes(listener, 5, &conn) < 0) {
        std::printf("the runner never connected\n");
        runner.signal(SIGINT);
        runner.wait();
        return;
    }
    std::mt19937 rng(7);
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(conn);  // the converter goes away: connection and listener
        close(listener);
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 800));
        const double back = nowS();
        listener = listenOn(port);
        const double t = firstBytes(listener, 5, &conn);
        if (t < 0) {
            std::printf("round %d: no packet within 5 s\n", i + 1);
            break;
        }
        ms.push_back((t - back) * 1000);
    }
    runner.signal(SIGINT);
    runner.wait();
    close(conn);
    close(listener);
    if (ms.empty()) return;
    std::printf(
        "reconnect to first packet: median %.1f ms, p90 %.1f ms, max %.1f ms (%zu rounds, "
        "backoff 50..400 ms, 100 packets/s)\n",
        quantile(ms, 0.5), quantile(ms, 0.9), quantile(ms, 1.0), ms.size());
}

}  // namespace

// Section 3: n simulated channels from a channel file, a one-second run; the
// peak resident size covers the start (every port open, every thread running).
void sectionMemory(int n) {
    char tmpl[] = "/tmp/convbench-chbench-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    const std::string dir = tmpl, config = dir + "/channels";
    {
        std::ofstream f(config);
        for (int i = 0; i < n; ++i) f << "name=m" << i << " direction=both\n";
    }
    const double t0 = nowS();
    const ts::Ended ran = ts::Child({CONVBENCH_CLI, "--simulate", "--config", config, "-r", "1",
                                     "-t", "1", "--json", dir + "/run.json"})
                              .wait();
    const double wall = nowS() - t0;
    ts::Json j;
    std::ifstream f(dir + "/run.json");
    std::stringstream text;
    text << f.rdbuf();
    const bool parsed =
        ts::parseJson(text.str(), &j) && j["channels"].size() == static_cast<size_t>(n);
    const double mb = static_cast<double>(ran.max_rss_kb) / 1024.0;
    std::printf("\n3. memory at the start, %d simulated channels (both directions, --simulate)\n",
                n);
    std::printf("   exit status %d, %s, %.1f s in all\n", ran.status,
                parsed ? "every channel reported" : "NO REPORT", wall);
    std::printf("   peak resident %.1f MB, %.1f KB per channel (bound 100 MB: %s)\n", mb,
                mb * 1024.0 / n, mb < 100 ? "met" : "EXCEEDED");
    unlink((dir + "/run.json").c_str());
    unlink(config.c_str());
    rmdir(dir.c_str());
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    double seconds = 60;
    int channels = 16;
    std::string sections = "1234";
    int memory_channels = 1000;
    std::vector<std::string> transports{"udp", "tcp-client"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--seconds")
            seconds = std::atof(value.c_str());
        else if (name == "--channels")
            channels = std::atoi(value.c_str());
        else if (name == "--sections")
            sections = value;
        else if (name == "--memory-channels")
            memory_channels = std::atoi(value.c_str());
        else if (name == "--transports") {
            transports.clear();
            std::stringstream s(value);
            for (std::string t; std::getline(s, t, ',');) transports.push_back(t);
        }
    }
    if (sections.find('1') != std::string::npos) sectionChannels(channels, transports, seconds);
    if (sections.find('2') != std::string::npos) sectionReconnect(20);
    if (sections.find('3') != std::string::npos) sectionMemory(memory_channels);
    if (sections.find('4') != std::string::npos) sectionManyChannels(64, seconds);
    return 0;
}
