#include "run_record.h"

#include <cstdlib>
#include <fstream>

#include "spool.h"
#include "store.h"

namespace window_record {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

std::string utcNow() {
    return store::utcNow();
}

Settings settings() {
    Settings s;
    std::string base = env("XDG_CONFIG_HOME");
    if (base.empty() || base[0] != '/') base = env("HOME") + "/.config";
    std::ifstream file(base + "/convbench/window.conf");
    for (std::string line; std::getline(file, line);) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        auto trim = [](std::string t) {
            const size_t b = t.find_first_not_of(" \t\r");
            return b == std::string::npos ? "" : t.substr(b, t.find_last_not_of(" \t\r") - b + 1);
        };
        const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
        for (auto [name, field] : {std::pair<const char*, std::string*>{"db", &s.db},
                                   {"spool", &s.spool},
                                   {"dut", &s.dut},
                                   {"station", &s.station},
                                   {"operator", &s.operator_name},
                                   {"part", &s.part}})
            if (key == name) *field = value;
    }
    for (auto [name, field] : {std::pair<const char*, std::string*>{"CONVBENCH_DB", &s.db},
                               {"CONVBENCH_SPOOL", &s.spool},
                               {"CONVBENCH_DUT", &s.dut},
                               {"CONVBENCH_STATION", &s.station},
                               {"CONVBENCH_OPERATOR", &s.operator_name},
                               {"CONVBENCH_PART", &s.part}})
        if (!env(name).empty()) *field = env(name);
    return s;
}

std::string record(const Settings& s, const WindowRun& w) {
    if (s.db.empty() || s.db == "none") return "";
    store::Run r;
    r.id = store::newRunId();
    r.started_at = w.started_at;
    r.elapsed_s = w.elapsed_s;
    r.program = "convbench";
    r.version = "";
    // Identity texts the store would refuse are left out rather than the run.
    auto clean = [](const std::string& t) {
        return store::identityProblem(t, store::kMaxIdentityBytes).empty() ? t : std::string();
    };
    r.station = clean(s.station).empty() ? store::hostName() : clean(s.station);
    r.operator_name = clean(s.operator_name);
    r.part = clean(s.part);
    r.dut = clean(s.dut);
    r.status = "completed";
    const measure::Figures& f = w.figures;
    // The window has no limits of its own: the runner's defaults judge it.
    const bool failed = f.sent == 0 || f.lost > 0 || f.duplicated > 0 || f.corrupt > 0;
    r.outcome = !w.receiver_open || f.not_sent > 0 ? "inconclusive" : failed ? "fail" : "pass";
    r.settings = "{\"program\":\"convbench\",\"format\":\"counter8\",\"rate\":10}";
    store::Channel c{"window", r.dut, w.port, "udp", w.address, w.direction, r.outcome, {}};
    auto n = [](uint64_t v) { return static_cast<double>(v); };
    store::Direction d{w.direction, r.outcome, {}};
    d.figures = {{"sent", n(f.sent), false, 0, "packets", f.sent > 0},
                 {"received", n(f.received), false, 0, "packets", true},
                 {"lost", n(f.lost), true, 0, "packets", f.lost == 0},
                 {"duplicated", n(f.duplicated), true, 0, "packets", f.duplicated == 0},
                 {"reordered", n(f.reordered), false, 0, "packets", true},
                 {"corrupt", n(f.corrupt), true, 0, "packets", f.corrupt == 0},
                 {"latency_p50_ms", f.latency.p50_us / 1000, false, 0, "ms", true},
                 {"latency_p99_ms", f.latency.p99_us / 1000, false, 0, "ms", true}};
    c.directions.push_back(std::move(d));
    r.channels.push_back(std::move(c));
    r.seconds.push_back({0, w.direction, w.elapsed_s, static_cast<int64_t>(f.sent),
                         static_cast<int64_t>(f.received), static_cast<int64_t>(f.lost),
                         static_cast<int64_t>(f.duplicated), static_cast<int64_t>(f.reordered),
                         static_cast<int64_t>(f.corrupt), f.latency.p50_us, f.latency.p99_us});
    store::OpenOptions o;
    o.busy_ms = 2000;  // STOP waits for this at most
    o.connect_timeout_s = 2;
    const store::RecordResult res =
        store::record(s.db, s.spool.empty() ? store::defaultSpoolDir() : s.spool, r, o);
    if (res.recorded) return "";
    if (res.spooled) return "record kept in the spool: " + res.error;
    return "record lost: " + res.error;
}

}  // namespace window_record
