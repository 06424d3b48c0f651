// convbench-cli: a converter test from the command line, with a verdict and an
// exit status for scripts and production-line stations.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>

#include "console.h"
#include "converter.h"
#include "html_report.h"
#include "options.h"
#include "report.h"
#include "session.h"

namespace {

enum Exit { kPass = 0, kFail = 1, kUsage = 2, kSetup = 3, kInterrupted = 4 };

std::string utcNow() {
    const std::time_t t = std::time(nullptr);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return b;
}

// One channel of the run: its session and, with --simulate, its converter.
struct ChannelRun {
    cli::Channel channel;
    std::unique_ptr<traffic::Session> session;
    std::unique_ptr<sim::Converter> converter;
};

traffic::SessionConfig sessionConfig(const cli::Options& o, const cli::Channel& c) {
    traffic::SessionConfig sc;
    sc.serial = c.port;
    sc.baud = c.baud;
    sc.dest_ip = c.dest_ip;
    sc.dest_port = c.dest_port;
    sc.listen_port = c.listen_port;
    sc.transport = c.transport;
    sc.e2u = c.e2u;
    sc.u2e = c.u2e;
    sc.net = c.net;
    sc.rate = o.rate;
    sc.count = o.count ? o.count : static_cast<uint64_t>(std::ceil(o.rate * o.duration_s - 1e-9));
    sc.format = o.format;
    sc.latency_bound_ns = static_cast<int64_t>(o.latency_bound_ms * 1e6);
    sc.connect_timeout_ns = static_cast<int64_t>(o.connect_timeout_ms * 1e6);
    return sc;
}

// Opens the channel's socket and serial port; with --simulate its converter
// starts in between, since it must know the listen port, and the session its
// pty and port. The first TCP connection is made later, for all channels.
bool openChannel(const cli::Options& o, ChannelRun* run, std::string* error) {
    traffic::Session& s = *run->session;
    if (!o.simulate) return s.openNetwork(error) && s.openSerial(error);
    if (!s.openNetwork(error)) return false;
    sim::Config cc;
    cc.format = o.format;
    cc.faults = run->channel.faults;
    switch (run->channel.transport) {
        case traffic::Transport::Udp:
            cc.transport = sim::Transport::Udp;
            break;
        case traffic::Transport::TcpClient:
            cc.transport = sim::Transport::TcpServer;
            break;
        case traffic::Transport::TcpServer:
            cc.transport = sim::Transport::TcpClient;
            break;
    }
    cc.peer_port = s.listenPort();
    run->converter = std::make_unique<sim::Converter>(cc);
    if (!run->converter->start(error)) {
        *error = "simulated converter: " + *error;
        return false;
    }
    s.setConverter(run->converter->ptyPath(), "127.0.0.1", run->converter->udpPort());
    return s.openSerial(error);
}

std::vector<cli::ChannelResult> snapshot(std::vector<ChannelRun>& runs, bool final, bool drained) {
    std::vector<cli::ChannelResult> out;
    for (ChannelRun& run : runs) {
        cli::ChannelResult c;
        c.channel = run.channel;
        for (traffic::Way w : traffic::kWays) {
            traffic::Monitor* m = run.session->monitor(w);
            if (m == nullptr) continue;
            const int64_t now = traffic::nowNs();
            c.directions.push_back(
                {traffic::wayName(w), final ? m->finish(now, drained) : m->figures(now)});
        }
        c.link = run.session->link();
        c.serial = run.session->serial();
        out.push_back(std::move(c));
    }
    return out;
}

// Opens a report file for writing ("-" is standard output); false if it cannot be.
bool openReport(const std::string& path, std::ofstream* file, std::string* error) {
    if (path.empty() || path == "-") return true;
    file->open(path, std::ios::out | std::ios::trunc);
    if (!*file) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Options o;
    std::string error;
    if (!cli::parseOptions(argc, argv, &o, &error)) {
        std::fprintf(stderr, "convbench-cli: %s\n(convbench-cli --help lists the options)\n",
                     error.c_str());
        return kUsage;
    }
    if (o.help) {
        std::fputs(cli::usage().c_str(), stdout);
        return kPass;
    }
    if (o.version) {
        std::printf("convbench-cli %s (JSON schema %d, CSV format %d, JUnit format %d)\n",
                    CONVBENCH_VERSION, cli::kJsonSchema, cli::kCsvFormat, cli::kJunitFormat);
        return kPass;
    }

    std::ofstream json_file, csv_file, junit_file, html_file;
    if (!openReport(o.json_path, &json_file, &error) ||
        !openReport(o.html_path, &html_file, &error) ||
        !openReport(o.csv_path, &csv_file, &error) ||
        !openReport(o.junit_path, &junit_file, &error)) {
        std::fprintf(stderr, "convbench-cli: %s\n", error.c_str());
        return kSetup;
    }
    std::ostream& csv = o.csv_path == "-" ? std::cout : csv_file;
    std::ostream& summary = o.json_path == "-" || o.junit_path == "-" ? std::cerr : std::cout;

    std::vector<ChannelRun> runs;
    const bool several = o.channels.size() > 1;
    for (const cli::Channel& c : o.channels)
        runs.push_back({c, std::make_unique<traffic::Session>(sessionConfig(o, c)), nullptr});
    for (ChannelRun& run : runs) {
        if (!openChannel(o, &run, &error)) {
            std::fprintf(stderr, "convbench-cli: %s%s\n",
                         several ? (run.channel.name + ": ").c_str() : "", error.c_str());
            return kSetup;
        }
    }
    for (ChannelRun& run : runs) {
        if (!run.session->connect(&error)) {
            std::fprintf(stderr, "convbench-cli: %s%s\n",
                         several ? (run.channel.name + ": ").c_str() : "", error.c_str());
            return kSetup;
        }
    }

    std::atomic<int> interrupted{0};
    cli::catchInterrupts(&interrupted);
    const bool progress = cli::stderrIsTerminal();
    const double total_s = o.count ? 0 : o.duration_s;
    cli::Result result;
    result.options = o;
    result.started_at = utcNow();
    if (!o.csv_path.empty()) csv << cli::csvHeader();

    const int64_t start = traffic::nowNs();
    auto elapsed = [&] { return static_cast<double>(traffic::nowNs() - start) / 1e9; };
    for (ChannelRun& run : runs) run.session->start();
    auto sendersDone = [&] {
        for (ChannelRun& run : runs)
            if (!run.session->sendersDone()) return false;
        return true;
    };
    int64_t next_row = 1, next_progress = 0;
    // Figures each second for the HTML report, per channel and direction: the
    // latency of that second, the counts so far.
    std::vector<std::vector<cli::TimePoint>> timeline;
    auto record = [&](double t, const std::vector<cli::ChannelResult>& now) {
        size_t k = 0;
        for (size_t i = 0; i < now.size(); ++i) {
            size_t dir = 0;
            for (traffic::Way w : traffic::kWays) {
                traffic::Monitor* m = runs[i].session->monitor(w);
                if (m == nullptr) continue;
                const measure::Figures& f = now[i].directions[dir++].figures;
                const measure::Latency l = m->takeIntervalLatency();
                if (timeline.size() <= k) timeline.emplace_back();
                timeline[k++].push_back({t, l.p50_us, l.p99_us, f.lost, f.duplicated, f.reordered});
            }
        }
    };
    while (!interrupted.load() && !sendersDone() && (o.count != 0 || elapsed() < o.duration_s)) {
        traffic::sleepNs(20000000);
        const double t = elapsed();
        if ((!o.csv_path.empty() || !o.html_path.empty()) && t >= static_cast<double>(next_row)) {
            const auto now = snapshot(runs, false, false);
            if (!o.csv_path.empty()) {
                csv << cli::csvRows(static_cast<double>(next_row), now);
                csv.flush();
            }
            record(static_cast<double>(next_row), now);
            ++next_row;
        }
        if (progress && t * 4 >= static_cast<double>(next_progress)) {
            std::fprintf(stderr, "\r%s\033[K",
                         cli::progressLine(t, total_s, snapshot(runs, false, false)).c_str());
            ++next_progress;
        }
    }
    for (ChannelRun& run : runs) run.session->stopSending();
    if (!interrupted.load())
        for (ChannelRun& run : runs) run.session->drain();
    result.interrupted = interrupted.load() != 0;
    for (ChannelRun& run : runs) run.session->stop();
    if (progress) std::fprintf(stderr, "\r\033[K");

    result.channels = snapshot(runs, true, !result.interrupted);
    for (size_t i = 0; i < runs.size(); ++i) {
        if (!runs[i].converter) continue;
        runs[i].converter->stop();
        result.channels[i].simulator_json = runs[i].converter->reportJson();
    }
    result.elapsed_s = elapsed();
    cli::judge(&result);
    if (!o.csv_path.empty()) csv << cli::csvRows(result.elapsed_s, result.channels);
    summary << cli::summaryText(result);
    if (!o.json_path.empty())
        (o.json_path == "-" ? std::cout : json_file) << cli::jsonReport(result);
    if (!o.junit_path.empty())
        (o.junit_path == "-" ? std::cout : junit_file) << cli::junitReport(result);
    if (!o.html_path.empty()) {
        record(result.elapsed_s, result.channels);
        cli::HtmlInput in = cli::htmlInput(result);
        size_t k = 0;
        for (size_t i = 0; i < result.channels.size(); ++i)
            for (traffic::Way w : traffic::kWays)
                if (traffic::Monitor* m = runs[i].session->monitor(w)) {
                    in.series[k].points = std::move(timeline[k]);
                    in.series[k++].latency = m->latencyBins(10);
                }
        html_file << cli::htmlReport(in);
    }
    if (result.interrupted) return kInterrupted;
    return result.failures.empty() ? kPass : kFail;
}
