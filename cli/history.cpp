#include "history.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "numbers.h"
#include "report.h"
#include "spool.h"
#include "store.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

enum Exit { kOk = 0, kNotFound = 1, kUsage = 2, kStore = 3 };

int complain(const std::string& text, int status) {
    std::fprintf(stderr, "convbench-cli: %s\n", shown(text).c_str());
    return status;
}

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

std::string defaultTarget() {
    const char* v = std::getenv("CONVBENCH_DB");
    return v && *v ? v : store::defaultDbPath();
}

// Parses the command line; an error message, "" when it was taken, or "help".
std::string parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return "help";
    } catch (const CLI::ParseError& e) {
        return numbers::visible(e.what(), 200);
    }
    return "";
}

void printList(const std::vector<store::Summary>& runs, const std::string& format) {
    if (format == "json") {
        Json list = Json::array();
        for (const store::Summary& s : runs)
            list.push_back(Json{{"run_id", s.id},
                                {"started_at", s.started_at},
                                {"elapsed_s", s.elapsed_s},
                                {"program", s.program},
                                {"station", s.station},
                                {"operator", s.operator_name},
                                {"part", s.part},
                                {"dut", s.dut},
                                {"outcome", s.outcome},
                                {"status", s.status}});
        const Json j{{"history", kHistoryFormat}, {"runs", list}};
        std::fputs((j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n").c_str(), stdout);
        return;
    }
    if (format == "csv") {
        std::string out =
            "run_id,started_at,elapsed_s,program,station,operator,part,dut,outcome,status\n";
        for (const store::Summary& s : runs)
            out += s.id + "," + s.started_at + "," + fmt("%.3f", s.elapsed_s) + "," +
                   csvField(s.program) + "," + csvField(s.station) + "," +
                   csvField(s.operator_name) + "," + csvField(s.part) + "," + csvField(s.dut) +
                   "," + s.outcome + "," + s.status + "\n";
        std::fputs(out.c_str(), stdout);
        return;
    }
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-20s  %-36s  %-16s  %-16s  %-12s  %-11s  %9s\n",
                  "started (UTC)", "run", "station", "unit", "outcome", "status", "seconds");
    out += line;
    for (const store::Summary& s : runs) {
        std::snprintf(line, sizeof line, "%-20s  %-36s  %-16s  %-16s  %-12s  %-11s  %9.1f\n",
                      s.started_at.c_str(), s.id.c_str(), shown(s.station).c_str(),
                      shown(s.dut.empty() ? "-" : s.dut).c_str(), s.outcome.c_str(),
                      s.status.c_str(), s.elapsed_s);
        out += line;
    }
    out += std::to_string(runs.size()) + " run(s)\n";
    std::fputs(out.c_str(), stdout);
}

void printRun(const store::Run& r, const std::string& format) {
    if (format == "json") {
        Json j = Json::parse(store::toJson(r), nullptr, false);
        const Json out{{"history", kHistoryFormat}, {"run", j}};
        std::fputs((out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n").c_str(),
                   stdout);
        return;
    }
    if (format == "csv") {
        std::string out = "run_id,channel,dut,direction,figure,value,limit,unit,passed\n";
        for (const store::Channel& c : r.channels)
            for (const store::Direction& d : c.directions)
                for (const store::Figure& f : d.figures)
                    out += r.id + "," + csvField(c.name) + "," + csvField(c.dut) + "," +
                           csvField(d.name) + "," + f.name + "," + fmt("%.17g", f.value) + "," +
                           (f.has_limit ? fmt("%.17g", f.limit) : "") + "," + f.unit + "," +
                           (f.passed ? "1" : "0") + "\n";
        std::fputs(out.c_str(), stdout);
        return;
    }
    std::string o = "run " + r.id + ": " + r.outcome + " (" + r.status + ")\n";
    o += "  started " + r.started_at + ", " + fmt("%.1f", r.elapsed_s) + " s, " + shown(r.program) +
         " " + shown(r.version) + "\n";
    o += "  station " + shown(r.station);
    if (!r.operator_name.empty()) o += ", operator " + shown(r.operator_name);
    if (!r.part.empty()) o += ", part " + shown(r.part);
    if (!r.dut.empty()) o += ", unit " + shown(r.dut);
    o += "\n";
    for (const auto& [k, v] : r.tags) o += "  tag " + shown(k) + "=" + shown(v) + "\n";
    o += "  settings " + shown(r.settings) + "\n";
    for (const store::Channel& c : r.channels) {
        o += shown(c.name) + ": unit " + shown(c.dut.empty() ? "-" : c.dut) + ", " +
             shown(c.port.empty() ? "-" : c.port) + ", " + c.transport + " " + shown(c.address) +
             ", " + c.direction + ": " + c.outcome + "\n";
        for (const store::Direction& d : c.directions) {
            o += "  " + d.name + ": " + d.outcome + "\n";
            for (const store::Figure& f : d.figures) {
                o += "    " + f.name + " " + fmt("%g", f.value) + " " + f.unit;
                if (f.has_limit) o += " (limit " + fmt("%g", f.limit) + ")";
                if (!f.passed) o += "  FAIL";
                o += "\n";
            }
        }
    }
    o += "  " + std::to_string(r.seconds.size()) + " per-second rows\n";
    std::fputs(o.c_str(), stdout);
}

}  // namespace

int historyMain(int argc, const char* const* argv) {
    CLI::App app("Lists the runs of a results store, newest first, or shows one in full.",
                 "convbench-cli history");
    std::string target = defaultTarget(), format = "text", run_id;
    store::Filter f;
    app.add_option("--db", target,
                   "the store: a SQLite file or postgresql:// URI (default "
                   "$CONVBENCH_DB, else " +
                       store::defaultDbPath() + ")");
    app.add_option("--dut", f.dut, "only runs of this unit (serial number)");
    app.add_option("--station", f.station, "only runs of this station");
    app.add_option("--verdict", f.outcome, "only runs of this outcome")
        ->check(CLI::IsMember({"pass", "fail", "inconclusive"}));
    app.add_option("--status", f.status, "only runs that ended so")
        ->check(CLI::IsMember({"completed", "interrupted", "setup-error"}));
    app.add_option("--since", f.since,
                   "only runs started then or later: YYYY-MM-DD or "
                   "YYYY-MM-DDTHH:MM:SSZ (UTC)");
    app.add_option("--until", f.until, "only runs started before then (same forms)");
    app.add_option("--limit", f.limit, "at most this many runs, 1..1000000 (default 100)")
        ->check(CLI::Range(int64_t{1}, int64_t{1000000}));
    app.add_option("--run", run_id, "show this run in full (its run id)");
    app.add_option("--format", format, "text (default), json or csv")
        ->check(CLI::IsMember({"text", "json", "csv"}));
    const std::string error = parse(app, argc, argv);
    if (error == "help") {
        std::fputs(app.help().c_str(), stdout);
        return kOk;
    }
    if (!error.empty()) return complain("history: " + error, kUsage);
    for (const std::string* t : {&f.since, &f.until})
        if (!t->empty() && !store::isDateOrTime(*t))
            return complain(
                "history: " + numbers::quoted(*t) + " is not YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ",
                kUsage);
    store::OpenOptions options;
    options.create = false;
    std::string why;
    auto s = store::Store::open(target, options, &why);
    if (!s)
        return complain(
            "history: cannot open the results store " + store::shownTarget(target) + ": " + why,
            kStore);
    if (!run_id.empty()) {
        store::Run run;
        bool found = false;
        if (!s->get(run_id, &run, &found, &why))
            return complain("history: cannot read the store: " + why, kStore);
        if (!found) return complain("history: no run " + numbers::quoted(run_id), kNotFound);
        printRun(run, format);
        return kOk;
    }
    std::vector<store::Summary> runs;
    if (!s->list(f, &runs, &why)) return complain("history: cannot read the store: " + why, kStore);
    printList(runs, format);
    return kOk;
}

int syncMain(int argc, const char* const* argv) {
    CLI::App app("Delivers the runs kept in the spool to their results store.",
                 "convbench-cli sync");
    std::string target, spool;
    app.add_option("--db", target,
                   "deliver only the runs meant for this store (default: "
                   "every run to its own)");
    app.add_option(
        "--spool", spool,
        "the spool folder (default $CONVBENCH_SPOOL, else " + store::defaultSpoolDir() + ")");
    const std::string error = parse(app, argc, argv);
    if (error == "help") {
        std::fputs(app.help().c_str(), stdout);
        return kOk;
    }
    if (!error.empty()) return complain("sync: " + error, kUsage);
    if (spool.empty()) {
        const char* v = std::getenv("CONVBENCH_SPOOL");
        spool = v && *v ? v : store::defaultSpoolDir();
    }
    const store::SyncResult r = store::sync(target, spool, store::OpenOptions());
    std::printf("delivered %d run(s), %d recorded already, %d still spooled\n", r.delivered,
                r.already, r.left);
    for (const std::string& e : r.errors) complain("sync: " + e, kStore);
    return r.left == 0 ? kOk : kStore;
}

}  // namespace cli
