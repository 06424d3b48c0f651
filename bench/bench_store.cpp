// The results store's costs: recording a 10-minute run at 100 packets/s (one
// channel, both directions, its per-second rows) in SQLite and in PostgreSQL,
// and `history` over 100 000 stored runs filtered by unit and by week, through
// the library and as the runner's own process. The run's data is made up, not
// measured: the cost is the store's, not the traffic's.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "pg_server.h"
#include "spool.h"
#include "store.h"

namespace fs = std::filesystem;
namespace ts = testsupport;

namespace {

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// A 10-minute run at 100/s both ways, as the runner would record it.
store::Run tenMinutes(const std::string& dut) {
    store::Run r;
    r.id = store::newRunId();
    r.started_at = store::utcNow();
    r.elapsed_s = 601;
    r.program = "convbench-cli";
    r.version = "bench";
    r.station = "st-1";
    r.dut = dut;
    r.outcome = "pass";
    r.status = "completed";
    r.tags = {{"lot", "42"}};
    r.settings = "{\"rate\":100,\"duration_s\":600}";
    store::Channel c{"ch1", dut, "/dev/ttyUSB0", "udp", "10.0.0.5:4001", "both", "pass", {}};
    for (const char* way : {"e2u", "u2e"}) {
        store::Direction d{way, "pass", {}};
        for (int k = 0; k < 21; ++k)
            d.figures.push_back(
                {"figure" + std::to_string(k), 60000.0 + k, k % 3 == 0, 0, "packets", true});
        c.directions.push_back(d);
        for (int s = 1; s <= 601; ++s)
            r.seconds.push_back({0, way, double(s), s * 100, s * 100, 0, 0, 0, 0, 180.5, 620.25});
    }
    r.channels.push_back(c);
    return r;
}

void recordingCost(const std::string& label, const std::string& target, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const store::Run run = tenMinutes("SN-" + std::to_string(i));
        const auto t = std::chrono::steady_clock::now();
        const store::RecordResult r = store::record(target, "/nonexistent-spool", run, {});
        times.push_back(msSince(t));
        if (!r.recorded) {
            std::printf("%s: not recorded: %s\n", label.c_str(), r.error.c_str());
            return;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "%-11s record a 10-min run (1202 per-second rows, 42 figures): median %.1f ms, "
        "worst %.1f ms of %d\n",
        label.c_str(), times[times.size() / 2], times.back(), runs);
}

// 100 000 runs over 52 weeks of 2026, 10 000 units, 4 stations, written in
// one transaction straight into the store's tables (the store made them).
bool fillSqlite(const std::string& path) {
    std::string error;
    if (!store::Store::open(path, {}, &error)) return false;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *run = nullptr, *ch = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO runs (id, started_at, elapsed_s, program, version, station, "
                       "dut, outcome, settings, recorded_at) VALUES (?1, ?2, 10, 'convbench-cli', "
                       "'bench', ?3, ?4, ?5, '{}', ?2)",
                       -1, &run, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO channels (run_id, idx, name, dut, port, transport, address, "
                       "direction, outcome) VALUES (?1, 0, 'ch1', ?2, '', 'udp', '', 'both', ?3)",
                       -1, &ch, nullptr);
    for (int i = 0; i < 100000; ++i) {
        char id[40], at[32], dut[32], station[16];
        std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
        const int day = i * 364 / 100000;
        const time_t t = 1767225600 + day * 86400 + (i % 86400);  // from 2026-01-01
        std::strftime(at, sizeof at, "%Y-%m-%dT%H:%M:%SZ", gmtime(&t));
        std::snprintf(dut, sizeof dut, "SN-%05d", (i * 7919) % 10000);
        std::snprintf(station, sizeof station, "st-%d", i % 4);
        const char* outcome = i % 50 == 0 ? "fail" : "pass";
        sqlite3_bind_text(run, 1, id, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(run, 2, at, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(run, 3, station, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(run, 4, dut, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(run, 5, outcome, -1, SQLITE_STATIC);
        sqlite3_step(run);
        sqlite3_reset(run);
        sqlite3_bind_text(ch, 1, id, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ch, 2, dut, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ch, 3, outcome, -1, SQLITE_STATIC);
        sqlite3_step(ch);
        sqlite3_reset(ch);
    }
    sqlite3_finalize(run);
    sqlite3_finalize(ch);
    const bool ok = sqlite3_exec(db, "COMMIT; ANALYZE", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

void historyCost(const std::string& label, const std::string& target) {
    std::string error;
    auto s = store::Store::open(target, {}, &error);
    if (!s) {
        std::printf("%s: %s\n", label.c_str(), error.c_str());
        return;
    }
    std::printf("%-11s %lld runs stored\n", label.c_str(),
                static_cast<long long>(s->count(&error)));
    store::Filter unit, week, station_week;
    unit.dut = "SN-01234";
    week.since = "2026-06-01";
    week.until = "2026-06-08";
    week.limit = 1000000;
    station_week = week;
    station_week.station = "st-2";
    station_week.outcome = "fail";
    for (const auto& [what, f] : {std::pair<const char*, store::Filter>{"one unit", unit},
                                  {"one week", week},
                                  {"failures of st-2 that week", station_week}}) {
        std::vector<double> times;
        size_t found = 0;
        for (int k = 0; k < 20; ++k) {
            std::vector<store::Summary> out;
            const auto t = std::chrono::steady_clock::now();
            s->list(f, &out, &error);
            times.push_back(msSince(t));
            found = out.size();
        }
        std::sort(times.begin(), times.end());
        std::printf("%-11s history, %s: %zu runs in %.2f ms median, %.2f ms worst of 20\n",
                    label.c_str(), what, found, times[10], times.back());
    }
}

void historyProcess(const std::string& target) {
    std::vector<double> times;
    for (int k = 0; k < 10; ++k) {
        const auto t = std::chrono::steady_clock::now();
        ts::runProcess(
            {CONVBENCH_CLI, "history", "--db", target, "--dut", "SN-01234", "--format", "json"},
            60);
        times.push_back(msSince(t));
    }
    std::sort(times.begin(), times.end());
    std::printf("SQLite      convbench-cli history --dut (the whole process): %.1f ms median\n",
                times[5]);
}

}  // namespace

int main() {
    std::string dir = (fs::temp_directory_path() / "convbench-bench-store-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    recordingCost("SQLite", dir + "/record.db", 20);
    const std::string big = dir + "/100k.db";
    const auto t = std::chrono::steady_clock::now();
    if (fillSqlite(big)) {
        std::printf("SQLite      100 000 runs stored in %.0f ms (one transaction)\n", msSince(t));
        historyCost("SQLite", big);
        historyProcess(big);
    }
    ts::PgServer pg;
    const std::string why = pg.start();
    if (why.empty()) {
        recordingCost("PostgreSQL", pg.uri("postgres"), 20);
        // The same 100 000 runs, made by the server itself.
        const std::string fill =
            "INSERT INTO runs (id, started_at, elapsed_s, program, version, station, dut, "
            "outcome, settings, recorded_at) SELECT '00000000-0000-4000-8000-' || lpad(i::text, "
            "12, "
            "'0'), to_char(timestamp '2026-01-01' + (i * 364 / 100000) * interval '1 day' + (i % "
            "86400) * interval '1 second', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), 10, 'convbench-cli', "
            "'bench', 'st-' || (i % 4), 'SN-' || lpad(((i * 7919) % 10000)::text, 5, '0'), CASE "
            "WHEN i % 50 = 0 THEN 'fail' ELSE 'pass' END, '{}', '' FROM generate_series(0, 99999) "
            "i; INSERT INTO channels (run_id, idx, name, dut, port, transport, address, direction, "
            "outcome) SELECT id, 0, 'ch1', dut, '', 'udp', '', 'both', outcome FROM runs WHERE id "
            "LIKE '00000000-%'; ANALYZE";
        ts::runProcess({"psql", "-q", pg.uri("postgres"), "-c", fill}, 120);
        historyCost("PostgreSQL", pg.uri("postgres"));
    } else {
        std::printf("PostgreSQL: skipped (%s)\n", why.c_str());
    }
    fs::remove_all(dir);
    return 0;
}
