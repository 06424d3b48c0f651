// convbench-cli: a converter test from the command line, with a verdict and an
// exit status for scripts and production-line stations.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

#include "characterize.h"
#include "console.h"
#include "converter.h"
#include "history.h"
#include "html_report.h"
#include "options.h"
#include "report.h"
#include "report_file.h"
#include "session.h"
#include "unit_record.h"

namespace {

// Points of the HTML report's time line kept over all series (about 48 MB).
constexpr size_t kMostTimePoints = size_t{1} << 20;

enum Exit { kPass = 0, kFail = 1, kUsage = 2, kSetup = 3, kInterrupted = 4, kInconclusive = 5 };

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
    traffic::SessionConfig sc = c.session();
    sc.e2u = c.e2u;
    sc.u2e = c.u2e;
    sc.net = c.net;
    sc.rate = o.rate;
    sc.count = o.count ? o.count : static_cast<uint64_t>(std::ceil(o.rate * o.duration_s - 1e-9));
    sc.format = o.format;
    sc.size = o.size;
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
    cc.size = o.size;
    cc.faults = run->channel.faults;
    switch (run->channel.transport) {
        case traffic::Transport::Udp:
            cc.transport = sim::Transport::Udp;
            break;
        case traffic::Transport::TcpClient:
            cc.transport = sim::Transport::TcpServer;
            break;
        case traffic::Transport::Rfc2217:
            cc.transport = sim::Transport::TcpServer;
            cc.telnet = true;
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

// Calls fn(run, index) for every channel, many at once: stopping a channel
// waits for its threads to notice, and a thousand channels one after the other
// would add those waits up to a minute.
template <typename Fn>
void eachChannel(std::vector<ChannelRun>& runs, Fn fn) {
    const size_t workers = std::min<size_t>(runs.size(), 64);
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (size_t w = 0; w < workers; ++w)
        pool.emplace_back([&] {
            for (size_t i; (i = next++) < runs.size();) fn(runs[i], i);
        });
    for (std::thread& t : pool) t.join();
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
        if (final) {
            c.line = run.session->line();
            c.rfc2217 = run.session->rfc2217();
        }
        out.push_back(std::move(c));
    }
    return out;
}

// A message for the terminal: whatever came from the user (names, paths)
// with its control characters made visible, line by line.
std::string forTerminal(const std::string& text) {
    std::string out;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        out += cli::shown(text.substr(from, nl - from)) + "\n";
    return out + cli::shown(text.substr(from));
}

void complain(const std::string& text) {
    std::fprintf(stderr, "convbench-cli: %s\n", forTerminal(text).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "characterize")  // a subcommand of its own
        return cli::characterizeMain(argc - 2, argv + 2);
    if (argc > 1 && std::string(argv[1]) == "history") return cli::historyMain(argc - 1, argv + 1);
    if (argc > 1 && std::string(argv[1]) == "sync") return cli::syncMain(argc - 1, argv + 1);
    cli::Options o;
    std::string error;
    if (!cli::parseOptions(argc, argv, &o, &error)) {
        complain(error + "\n(convbench-cli --help lists the options)");
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

    // Signals: until the run begins an interrupt ends at once and writes
    // nothing; a reader closing standard output makes writes fail, not the run.
    cli::ignoreWriteSignals();
    cli::catchInterrupts(nullptr);
    // Every report is prepared before anything opens, so a report that cannot
    // be written is known before the run, not after it.
    cli::ReportFile json("JSON report"), html("HTML report"), csv("CSV report"),
        junit("JUnit report"), summary_out("summary");
    const bool report_on_stdout =
        o.json_path == "-" || o.html_path == "-" || o.csv_path == "-" || o.junit_path == "-";
    for (cli::ReportFile* r : {&json, &html, &csv, &junit}) {
        const std::string& path = r == &json   ? o.json_path
                                  : r == &html ? o.html_path
                                  : r == &csv  ? o.csv_path
                                               : o.junit_path;
        if (!r->open(path)) {
            complain(r->error());
            return kSetup;
        }
    }
    if (!report_on_stdout) summary_out.open("-");

    // With a results store, a unit that could not even be tested is recorded
    // too: status setup-error, the reason among its settings.
    const bool recording = !cli::recordTarget(o).empty();
    cli::Result result;
    result.options = o;
    result.run_id = store::newRunId();
    result.started_at = utcNow();
    auto setupFailed = [&](const std::string& why) {
        complain(why);
        if (!recording) return kSetup;
        std::string where;
        cli::recordRun(o, cli::setupErrorRun(result, why, CONVBENCH_VERSION), &where);
        std::fprintf(stderr, "convbench-cli: %s\n", where.c_str());
        return kSetup;
    };

    // Each channel's session is made just before its port opens: nothing is
    // allocated for a channel ahead of the ones before it.
    std::vector<ChannelRun> runs;
    runs.reserve(o.channels.size());
    const bool several = o.channels.size() > 1;
    for (const cli::Channel& c : o.channels) {
        runs.push_back({c, std::make_unique<traffic::Session>(sessionConfig(o, c)), nullptr});
        if (!openChannel(o, &runs.back(), &error))
            return setupFailed((several ? c.name + ": " : "") + error);
    }
    for (ChannelRun& run : runs) {
        if (!run.session->connect(&error))
            return setupFailed((several ? run.channel.name + ": " : "") + error);
    }

    // From here an interrupt stops the run, which reports what ran; a second
    // one ends at once.
    static std::atomic<int> interrupted{0};
    cli::catchInterrupts(&interrupted);
    const bool progress = cli::stderrIsTerminal();
    const double total_s = o.count ? 0 : o.duration_s;
    result.started_at = utcNow();
    csv.write(cli::csvHeader());

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
    cli::SecondsLog seconds;  // the store's per-second rows
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
                std::vector<cli::TimePoint>& points = timeline[k++];
                points.push_back({t, l.p50_us, l.p99_us, f.lost, f.duplicated, f.reordered});
                // A long run keeps a coarser time line rather than growing without bound:
                // all series together hold about kMostTimePoints points (48 bytes each).
                const size_t most = std::max<size_t>(64, kMostTimePoints / (now.size() * 2));
                if (points.size() >= 2 * most) points = cli::thin(points, most);
            }
        }
    };
    // A run by count ends when every packet is sent; a run by duration lasts
    // its duration, however few packets that is.
    while (!interrupted.load() && (o.count != 0 ? !sendersDone() : elapsed() < o.duration_s)) {
        traffic::sleepNs(20000000);
        const double t = elapsed();
        if ((csv.wanted() || html.wanted() || recording) && t >= static_cast<double>(next_row)) {
            const auto now = snapshot(runs, false, false);
            csv.write(cli::csvRows(static_cast<double>(next_row), now, o.dut));
            if (html.wanted()) record(static_cast<double>(next_row), now);
            if (recording) seconds.add(static_cast<double>(next_row), now);
            ++next_row;
        }
        if (progress && t * 4 >= static_cast<double>(next_progress)) {
            std::fprintf(stderr, "\r%s\033[K",
                         cli::progressLine(t, total_s, snapshot(runs, false, false)).c_str());
            ++next_progress;
        }
    }
    for (ChannelRun& run : runs) run.session->stopSending();
    eachChannel(runs, [](ChannelRun& run, size_t) { run.session->drain(interrupted); });
    result.interrupted = interrupted.load() != 0;
    eachChannel(runs, [](ChannelRun& run, size_t) { run.session->stop(); });
    if (progress) std::fprintf(stderr, "\r\033[K");

    result.channels = snapshot(runs, true, !result.interrupted);
    eachChannel(runs, [&](ChannelRun& run, size_t i) {
        if (!run.converter) return;
        run.converter->stop();
        result.channels[i].simulator_json = run.converter->reportJson();
    });
    result.elapsed_s = elapsed();
    cli::judge(&result);
    csv.write(cli::csvRows(result.elapsed_s, result.channels, o.dut));
    const std::string summary = cli::summaryText(result);
    if (summary_out.wanted()) {
        summary_out.write(summary);
        if (summary_out.failed()) std::fputs(summary.c_str(), stderr);  // still shown
    } else {
        std::fputs(summary.c_str(), stderr);
    }
    json.write(cli::jsonReport(result));
    junit.write(cli::junitReport(result));
    if (html.wanted()) {
        record(result.elapsed_s, result.channels);
        cli::HtmlInput in = cli::htmlInput(result);
        size_t k = 0;
        for (size_t i = 0; i < result.channels.size(); ++i)
            for (traffic::Way w : traffic::kWays)
                if (traffic::Monitor* m = runs[i].session->monitor(w)) {
                    in.series[k].points = std::move(timeline[k]);
                    in.series[k++].latency = m->latencyBins(10);
                }
        html.write(cli::htmlReport(in));
    }
    // The record: in the store, or kept in the spool; lost only if neither
    // could take it, which is a set-up error like a report not written.
    bool written = true;
    if (recording) {
        seconds.add(result.elapsed_s, result.channels, true);
        std::string where;
        written = cli::recordRun(o, cli::storeRun(result, seconds.rows, CONVBENCH_VERSION), &where);
        std::fprintf(stderr, "convbench-cli: %s\n", where.c_str());
    }
    // A report not written whole is a set-up error whatever the verdict: the
    // verdict is in the summary, the reason on standard error.
    for (cli::ReportFile* r : {&csv, &json, &junit, &html, &summary_out}) {
        if (r->finish()) continue;
        complain(r->error());
        written = false;
    }
    if (!written) return kSetup;
    if (result.interrupted) return kInterrupted;
    if (!result.inconclusive.empty()) return kInconclusive;
    return result.failures.empty() ? kPass : kFail;
}
