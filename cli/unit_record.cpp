#include "unit_record.h"

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "spool.h"
#include "store.h"

namespace cli {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string outcomeOf(bool interrupted, bool inconclusive, bool failed) {
    if (inconclusive) return "inconclusive";
    if (failed) return "fail";
    return interrupted ? "inconclusive" : "pass";
}

}  // namespace

std::string recordTarget(const Options& o) {
    if (o.db == "none") return "";
    if (!o.db.empty()) return o.db;
    const std::string from_env = env("CONVBENCH_DB");
    if (!from_env.empty()) return from_env == "none" ? "" : from_env;
    bool unit = !o.dut.empty();
    for (const Channel& c : o.channels) unit = unit || !c.dut.empty();
    return unit ? store::defaultDbPath() : "";
}

std::string spoolDir(const Options& o) {
    if (!o.spool_dir.empty()) return o.spool_dir;
    const std::string from_env = env("CONVBENCH_SPOOL");
    return from_env.empty() ? store::defaultSpoolDir() : from_env;
}

void SecondsLog::add(double t_s, const std::vector<ChannelResult>& now, bool last) {
    if (calls_++ % stride_ != 0 && !last) return;
    for (size_t i = 0; i < now.size(); ++i)
        for (const DirectionResult& d : now[i].directions) {
            const measure::Figures& f = d.figures;
            rows.push_back({static_cast<int>(i), d.name, t_s, static_cast<int64_t>(f.sent),
                            static_cast<int64_t>(f.received), static_cast<int64_t>(f.lost),
                            static_cast<int64_t>(f.duplicated), static_cast<int64_t>(f.reordered),
                            static_cast<int64_t>(f.corrupt), f.latency.p50_us, f.latency.p99_us});
        }
    if (rows.size() <= kMostSecondsRows || last) return;
    // Every other second goes (the rows of one second lie together).
    std::vector<store::Second> kept;
    size_t group = 0;
    for (size_t k = 0; k < rows.size(); ++k) {
        if (k > 0 && rows[k].t_s != rows[k - 1].t_s) ++group;
        if (group % 2 == 0) kept.push_back(std::move(rows[k]));
    }
    rows = std::move(kept);
    stride_ *= 2;
}

store::Run storeRun(const Result& r, const std::vector<store::Second>& seconds,
                    const std::string& version) {
    const Options& o = r.options;
    const Thresholds& t = o.limits;
    store::Run run;
    run.id = r.run_id.empty() ? store::newRunId() : r.run_id;
    run.started_at = r.started_at;
    run.elapsed_s = r.elapsed_s;
    run.program = "convbench-cli";
    run.version = version;
    run.station = o.station;
    run.operator_name = o.operator_name;
    run.part = o.part;
    run.dut = o.dut;
    run.outcome = r.outcome();
    run.status = r.status();
    run.tags = o.tags;
    // The settings as the JSON report has them, with its notes.
    nlohmann::ordered_json all = nlohmann::ordered_json::parse(jsonReport(r), nullptr, false);
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();
    if (!all.is_discarded()) {
        settings = all["options"];
        settings["warnings"] = all["warnings"];
        settings["inconclusive"] = all["inconclusive"];
    }
    run.settings = settings.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        store::Channel sc;
        sc.name = validUtf8(ch.name);
        sc.dut = ch.dut.empty() ? o.dut : ch.dut;
        sc.port = validUtf8(ch.port);
        sc.transport = traffic::transportName(ch.transport);
        sc.address = ch.address();
        sc.direction = ch.directionName();
        sc.outcome = outcomeOf(r.interrupted, c.inconclusive, !c.failures.empty());
        for (const DirectionResult& d : c.directions) {
            const measure::Figures& f = d.figures;
            store::Direction sd;
            sd.name = d.name;
            bool failed = false;
            auto add = [&](const char* name, double value, double limit, const char* unit) {
                const bool has_limit = limit >= 0;
                const bool passed = !has_limit || value <= limit;
                failed = failed || !passed;
                sd.figures.push_back({name, value, has_limit, has_limit ? limit : 0, unit, passed});
            };
            auto count = [](uint64_t v) { return static_cast<double>(v); };
            const bool measured = f.latency.count > 0;
            add("sent", count(f.sent), -1, "packets");
            sd.figures.back().passed = f.sent > 0;
            failed = failed || f.sent == 0;
            add("received", count(f.received), -1, "packets");
            add("lost", count(f.lost), static_cast<double>(t.max_lost), "packets");
            add("duplicated", count(f.duplicated), static_cast<double>(t.max_duplicated),
                "packets");
            add("reordered", count(f.reordered), static_cast<double>(t.max_reordered), "packets");
            add("corrupt", count(f.corrupt), static_cast<double>(t.max_corrupt), "packets");
            add("skipped_bytes", count(f.skipped_bytes), -1, "bytes");
            add("late", count(f.late), -1, "packets");
            add("unsettled", count(f.in_flight), -1, "packets");
            add("echoed", count(f.echoed), -1, "packets");
            add("not_sent", count(f.not_sent), -1, "packets");
            add("latency_min_ms", f.latency.min_us / 1000, -1, "ms");
            add("latency_mean_ms", f.latency.mean_us / 1000, -1, "ms");
            add("latency_p50_ms", f.latency.p50_us / 1000, -1, "ms");
            add("latency_p90_ms", f.latency.p90_us / 1000, -1, "ms");
            add("latency_p99_ms", f.latency.p99_us / 1000, measured ? t.max_p99_ms : -1, "ms");
            add("latency_max_ms", f.latency.max_us / 1000, -1, "ms");
            add("jitter_ms", f.jitter_us / 1000, -1, "ms");
            add("send_rate", f.send_rate, -1, "1/s");
            add("receive_rate", f.receive_rate, -1, "1/s");
            add("tester_longest_stall_ms", f.tester.longest_stall_ms, -1, "ms");
            const bool inconclusive = f.not_sent > 0 || (c.inconclusive && failed);
            sd.outcome = outcomeOf(r.interrupted, inconclusive, failed);
            sc.directions.push_back(std::move(sd));
        }
        run.channels.push_back(std::move(sc));
    }
    run.seconds = seconds;
    return run;
}

store::Run setupErrorRun(const Result& r, const std::string& why, const std::string& version) {
    store::Run run = storeRun(r, {}, version);
    run.outcome = "inconclusive";
    run.status = "setup-error";
    run.channels.clear();
    for (const Channel& ch : r.options.channels)  // so a unit's history shows it
        run.channels.push_back({validUtf8(ch.name),
                                ch.dut.empty() ? r.options.dut : ch.dut,
                                validUtf8(ch.port),
                                traffic::transportName(ch.transport),
                                ch.address(),
                                ch.directionName(),
                                "inconclusive",
                                {}});
    nlohmann::ordered_json settings = nlohmann::ordered_json::parse(run.settings, nullptr, false);
    if (settings.is_discarded()) settings = nlohmann::ordered_json::object();
    settings["setup_error"] = validUtf8(why);
    run.settings = settings.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return run;
}

bool recordRun(const Options& o, const store::Run& run, std::string* message) {
    const std::string target = recordTarget(o);
    const std::string spool = spoolDir(o);
    if (!store::isPostgresTarget(target)) {
        // The default store's folder is made on first use.
        std::error_code ec;
        const std::filesystem::path parent = std::filesystem::path(target).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    }
    const store::RecordResult r = store::record(target, spool, run, store::OpenOptions());
    const std::string where = shown(store::shownTarget(target));
    std::string out;
    if (r.recorded)
        out = "recorded run " + run.id + " in " + where;
    else if (r.spooled)
        out = "could not record the run in " + where + ": " + shown(r.error) +
              "; kept it in the spool as " + shown(r.spool_file) +
              " (convbench-cli sync delivers it)";
    else
        out = "could not record the run in " + where +
              ", nor keep it in the spool: " + shown(r.error);
    if (r.synced.delivered + r.synced.already > 0)
        out += "\nalso delivered " + std::to_string(r.synced.delivered + r.synced.already) +
               " spooled run(s)";
    if (r.synced.left > 0)
        out +=
            "\n" + std::to_string(r.synced.left) + " spooled run(s) still wait in " + shown(spool);
    *message = out;
    return r.recorded || r.spooled;
}

}  // namespace cli
