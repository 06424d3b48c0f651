// convbench-cli: a converter test from the command line, with a verdict and an
// exit status for scripts and production-line stations.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>

#include "console.h"
#include "converter.h"
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

std::vector<cli::DirectionResult> snapshot(traffic::Session& s, bool final, bool drained) {
    std::vector<cli::DirectionResult> out;
    for (traffic::Way w : traffic::kWays) {
        traffic::Monitor* m = s.monitor(w);
        if (m == nullptr) continue;
        const int64_t now = traffic::nowNs();
        out.push_back({traffic::wayName(w), final ? m->finish(now, drained) : m->figures(now)});
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
        std::printf("convbench-cli %s (JSON schema %d, CSV format %d)\n", CONVBENCH_VERSION,
                    cli::kJsonSchema, cli::kCsvFormat);
        return kPass;
    }

    std::ofstream json_file, csv_file;
    if (!openReport(o.json_path, &json_file, &error) || !openReport(o.csv_path, &csv_file, &error)) {
        std::fprintf(stderr, "convbench-cli: %s\n", error.c_str());
        return kSetup;
    }
    std::ostream& csv = o.csv_path == "-" ? std::cout : csv_file;
    std::ostream& summary = o.json_path == "-" ? std::cerr : std::cout;

    traffic::SessionConfig sc;
    sc.serial = o.port;
    sc.baud = o.baud;
    sc.dest_ip = o.dest_ip;
    sc.dest_port = o.dest_port;
    sc.listen_port = o.listen_port;
    sc.e2u = o.e2u;
    sc.u2e = o.u2e;
    sc.net = o.net;
    sc.rate = o.rate;
    sc.count = o.count ? o.count : static_cast<uint64_t>(std::ceil(o.rate * o.duration_s - 1e-9));
    sc.format = o.format;
    sc.latency_bound_ns = static_cast<int64_t>(o.latency_bound_ms * 1e6);
    if (o.simulate && !o.listen_given) sc.listen_port = 0;  // any free port
    traffic::Session session(sc);
    std::unique_ptr<sim::Converter> converter;
    if (o.simulate) {
        // The simulated converter sends to the listen port, so the network side
        // opens first; then the session learns the converter's pty and port.
        if (!session.openNetwork(&error)) {
            std::fprintf(stderr, "convbench-cli: %s\n", error.c_str());
            return kSetup;
        }
        sim::Config cc;
        cc.peer_port = session.listenPort();
        cc.format = o.format;
        cc.faults = o.faults;
        converter = std::make_unique<sim::Converter>(cc);
        if (!converter->start(&error)) {
            std::fprintf(stderr, "convbench-cli: simulated converter: %s\n", error.c_str());
            return kSetup;
        }
        session.setConverter(converter->ptyPath(), "127.0.0.1", converter->udpPort());
        if (!session.openSerial(&error)) {
            std::fprintf(stderr, "convbench-cli: %s\n", error.c_str());
            return kSetup;
        }
    } else if (!session.open(&error)) {
        std::fprintf(stderr, "convbench-cli: %s\n", error.c_str());
        return kSetup;
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
    session.start();
    int64_t next_row = 1, next_progress = 0;
    while (!interrupted.load() && !session.sendersDone() &&
           (o.count != 0 || elapsed() < o.duration_s)) {
        traffic::sleepNs(20000000);
        const double t = elapsed();
        if (!o.csv_path.empty() && t >= static_cast<double>(next_row)) {
            csv << cli::csvRows(static_cast<double>(next_row), snapshot(session, false, false));
            csv.flush();
            ++next_row;
        }
        if (progress && t * 4 >= static_cast<double>(next_progress)) {
            std::fprintf(stderr, "\r%s\033[K",
                         cli::progressLine(t, total_s, snapshot(session, false, false)).c_str());
            ++next_progress;
        }
    }
    session.stopSending();
    if (!interrupted.load()) session.drain();
    result.interrupted = interrupted.load() != 0;
    session.stop();
    if (converter) {
        converter->stop();
        result.simulator_json = converter->reportJson();
    }
    if (progress) std::fprintf(stderr, "\r\033[K");

    result.directions = snapshot(session, true, !result.interrupted);
    result.elapsed_s = elapsed();
    cli::judge(&result);
    if (!o.csv_path.empty()) csv << cli::csvRows(result.elapsed_s, result.directions);
    summary << cli::summaryText(result);
    if (!o.json_path.empty()) (o.json_path == "-" ? std::cout : json_file) << cli::jsonReport(result);
    if (result.interrupted) return kInterrupted;
    return result.failures.empty() ? kPass : kFail;
}
