// Unit records and the results store, end to end through the runner:
// identity in every report, runs read back through `history` in every format
// (parsed back, figures against the run's own JSON report) from a schema-1
// store brought up to date, stores that cannot be written (read-only, full,
// locked) spooling runs that `sync` or the next run delivers once, eight
// runners at once; and the same on a real PostgreSQL server the suite starts
// itself, stopped during a run.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "options.h"
#include "pg_server.h"
#include "scratch.h"
#include "spool.h"
#include "store.h"
#include "unit_record.h"
#include "xml_reader.h"

namespace ts = testsupport;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Ids = std::multiset<std::string>;
constexpr auto npos = std::string::npos;
const ts::Child::Options kKeep{ts::Child::Output::Keep, ts::Child::Output::Keep};

namespace {

ts::ProcessResult runner(const Args& args, const ts::ProcessOptions& o = {}) {
    Args argv{CONVBENCH_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return ts::runProcess(argv, o);
}

// A simulated run of the given seconds recorded in db: the runner's command
// line, its JSON report on standard output.
Args simulation(const std::string& db, const std::string& spool, const char* seconds,
                const Args& more = {}) {
    // A loaded machine may hold the in-process converter up: the bound
    // leaves it 5 s before a packet counts lost.
    Args a{CONVBENCH_CLI, "--simulate", "--tester-stall", "600000", "--latency-bound", "5000",
           "-r",          "40",         "-t",             seconds,  "--db",           db,
           "--spool",     spool,        "--json",         "-"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

ts::Json parsed(const std::string& text) {
    ts::Json j;
    EXPECT_TRUE(ts::parseJson(text, &j)) << text;
    return j;
}

// A run recorded in db: its JSON report.
ts::Json recordedRun(const std::string& db, const std::string& spool, const Args& more,
                     int status = 0) {
    const ts::ProcessResult r = ts::runProcess(simulation(db, spool, "1.2", more));
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_NE(r.err.find("recorded run"), npos) << r.err;
    return parsed(r.out);
}

// `history` as JSON: the runs listed, or the one run asked for.
ts::Json history(const std::string& db, const Args& more = {}) {
    Args args{"history", "--db", db, "--format", "json", "--limit", "1000"};
    args.insert(args.end(), more.begin(), more.end());
    const ts::ProcessResult r = runner(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return parsed(r.out);
}

Ids ids(const ts::Json& list) {
    Ids out;
    for (const ts::Json& r : list["runs"]) out.insert(r["run_id"].get<std::string>());
    return out;
}

// CSV text as Python's csv module reads it (strict): rows of fields.
ts::Json csvByPython(const std::string& text, const ts::ScratchDir& dir) {
    const ts::ProcessResult r = ts::runProcess(
        {"python3", "-c",
         "import csv, json, sys\n"
         "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
         "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
         dir.file("parse.csv", text)},
        30);
    EXPECT_EQ(r.status, 0) << r.err;
    return parsed(r.out);
}

const ts::Json* figure(const ts::Json& run, size_t channel, const std::string& dir,
                       const std::string& name) {
    for (const ts::Json& d : run["channels"][channel]["directions"])
        if (d["name"] == dir)
            for (const ts::Json& f : d["figures"])
                if (f["name"] == name) return &f;
    return nullptr;
}

// Eight runners recording into one store at once (the schema made by
// whichever comes first): every run there exactly once, seen by every station.
void eightRunnersAtOnce(const std::string& db, const ts::ScratchDir& dir) {
    std::vector<ts::Child> runners;
    for (int i = 0; i < 8; ++i)
        runners.emplace_back(simulation(db, dir / ("spool" + std::to_string(i)), "0.6",
                                        {"--dut", "SN-" + std::to_string(i), "--station",
                                         "st-" + std::to_string(i % 3)}),
                             kKeep);
    Ids all, station1;
    for (int i = 0; i < 8; ++i) {
        const ts::Ended& e = runners[i].wait();
        EXPECT_EQ(e.status, 0) << e.err;
        EXPECT_NE(e.err.find("recorded run"), npos) << e.err;
        const std::string id = parsed(e.out)["run_id"];
        all.insert(id);
        if (i % 3 == 1) station1.insert(id);
    }
    EXPECT_EQ(ids(history(db)), all);  // every run, each once, seen from anywhere
    EXPECT_EQ(ids(history(db, {"--station", "st-1"})), station1);
    // One run in full: the figures and the per-second rows came through.
    const ts::Json run = history(db, {"--run", *all.begin()})["run"];
    ASSERT_EQ(run["channels"].size(), 1u);
    EXPECT_GE(run["channels"][0]["directions"][0]["figures"].size(), 10u);
    EXPECT_GE(run["seconds"].size(), 2u);
}

}  // namespace

// Identity texts: what is refused and what is taken, with the limits the help gives.
TEST(UnitIdentityTest, EveryTextCheckedAtItsLimits) {
    cli::Options o;
    auto parse = [&o](Args args) {  // "" when taken
        args.insert(args.begin(), "convbench-cli");
        args.push_back("--simulate");
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        std::string error;
        o = cli::Options();
        return cli::parseOptions(int(argv.size()), argv.data(), &o, &error) ? "" : "no: " + error;
    };
    EXPECT_EQ(parse({"--dut", std::string(64, 'x'), "--tag", "a.b-c_1=" + std::string(128, 'v'),
                     "--operator", "Zo\xC3\xAB", "--part", "P,1\"<&>"}),
              "");
    EXPECT_FALSE(o.station.empty());  // the host name
    Args tags_33;
    for (int i = 0; i <= 32; ++i)
        tags_33.insert(tags_33.end(), {"--tag", "k" + std::to_string(i) + "=v"});
    for (const Args& bad :
         {Args{"--dut", std::string(65, 'x')}, Args{"--dut", ""}, Args{"--station", "a\nb"},
          Args{"--operator", "\x1b[31m"}, Args{"--part", "\xC3"}, Args{"--part", "\xC2\x9B"},
          Args{"--tag", "novalue"}, Args{"--tag", "k y=1"}, Args{"--tag", "=1"},
          Args{"--tag", "k=" + std::string(129, 'v')}, Args{"--tag", "k=1", "--tag", "k=2"},
          Args{"--channel", "dut=a\tb"}, Args{"--db", ""}, tags_33})
        EXPECT_NE(parse(bad), "") << bad[0] << " " << bad[1];
}

// Two runs, one unit each or one per channel, recorded in a store made by
// schema 1, which is brought up to this schema and keeps its two runs: the
// reports carry the identity, and history gives back the runs, their filters
// and their figures. A store of a newer schema is refused.
TEST(StoreHistoryTest, RunsReadBackInEveryFormatFromSchemaOne) {
    if (ts::runProcess({"python3", "-c", "pass"}, 30).status != 0 ||
        ts::runProcess({"sqlite3", "-version"}, 30).status != 0)
        GTEST_SKIP() << "no python3 or no sqlite3";
    ts::ScratchDir dir;
    const std::string db = dir / "results.db", spool = dir / "spool";
    ASSERT_EQ(ts::runProcess({"sqlite3", db, ".read " CONVBENCH_FIXTURES "/store_schema1.sql"}, 30)
                  .status,
              0);
    const std::string old1 = "11111111-1111-4111-8111-111111111111",
                      old2 = "22222222-2222-4222-8222-222222222222", unit = "SN,1\"<&>";
    const ts::Json a =
        recordedRun(db, spool,
                    {"--dut", unit, "--station", "st-1", "--operator", "Zo\xC3\xAB", "--part",
                     "P-7", "--tag", "lot=42", "--csv", dir / "a.csv", "--junit", dir / "a.xml"});
    const ts::Json b = recordedRun(
        db, spool, {"--channel", "dut=U-A,drop=0.5", "--channel", "dut=U-B", "--station", "st-2"},
        1);
    const std::string id_a = a["run_id"], id_b = b["run_id"];
    EXPECT_EQ(a["identity"]["dut"], unit);
    ts::Xml junit;
    ASSERT_TRUE(ts::parseXml(ts::readFile(dir / "a.xml"), &junit));
    std::map<std::string, std::string> props;
    for (const ts::Xml* p : junit.all("property")) props[p->attr("name")] = p->attr("value");
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"dut", unit}, {"operator", "Zo\xC3\xAB"}, {"tag.lot", "42"}, {"run_id", id_a}})
        EXPECT_EQ(props[name], value) << name;
    const ts::Json rows = csvByPython(ts::readFile(dir / "a.csv"), dir);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[1].back(), unit);  // the dut column, last

    // The list and its filters, as JSON and as CSV; schema 1's interrupted
    // verdict is an inconclusive outcome of an interrupted run.
    for (const auto& [filter, want] : std::vector<std::pair<Args, Ids>>{
             {{}, {old1, old2, id_a, id_b}},
             {{"--dut", "U-B"}, {id_b}},
             {{"--dut", unit}, {id_a}},
             {{"--dut", "SN-OLD-2"}, {old2}},
             {{"--station", "st-2"}, {id_b}},
             {{"--verdict", "fail"}, {old1, id_b}},
             {{"--verdict", "inconclusive", "--status", "interrupted"}, {old2}},
             {{"--since", "2000-01-01", "--status", "completed"}, {old1, id_a, id_b}},
             {{"--until", "2000-01-01"}, {}}})
        EXPECT_EQ(ids(history(db, filter)), want) << (filter.empty() ? "" : filter[0]);
    const ts::Json listed =
        csvByPython(runner({"history", "--db", db, "--format", "csv"}).out, dir);
    ASSERT_EQ(listed.size(), 5u);
    const size_t col = std::find(listed[0].begin(), listed[0].end(), "dut") - listed[0].begin();
    EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                            [&](const ts::Json& row) { return row[col] == unit; }),
              1)
        << listed.dump();

    // One run in full: its figures are the JSON report's.
    const ts::Json run = history(db, {"--run", id_a})["run"];
    EXPECT_EQ(run["operator"], "Zo\xC3\xAB");
    EXPECT_EQ(run["part"], "P-7");
    EXPECT_EQ(run["tags"]["lot"], "42");
    for (const char* dir_name : {"e2u", "u2e"})
        for (const char* name : {"sent", "received", "lost"}) {
            const ts::Json* f = figure(run, 0, dir_name, name);
            ASSERT_NE(f, nullptr) << name;
            EXPECT_EQ((*f)["value"], a["channels"][0]["directions"][dir_name][name]) << name;
        }
    ASSERT_GE(run["seconds"].size(), 4u);  // a second and the end, both directions
    const ts::Json last = run["seconds"].back();
    EXPECT_EQ(last[3], a["channels"][0]["directions"][last[1].get<std::string>()]["sent"]);
    // The failing run's figures as CSV (the lost packets, the limit broken), and as text.
    const ts::Json figs =
        csvByPython(runner({"history", "--db", db, "--run", id_b, "--format", "csv"}).out, dir);
    const auto lost = std::find_if(figs.begin(), figs.end(), [](const ts::Json& row) {
        return row[2] == "U-A" && row[3] == "e2u" && row[4] == "lost";
    });
    ASSERT_NE(lost, figs.end()) << figs.dump();
    EXPECT_EQ(std::stod((*lost)[5].get<std::string>()),
              b["channels"][0]["directions"]["e2u"]["lost"].get<double>());
    EXPECT_EQ((*lost)[8], "0");
    EXPECT_NE(runner({"history", "--db", db, "--run", id_b}).out.find("FAIL"), npos);
    EXPECT_EQ(runner({"history", "--db", db, "--run", "no-such-run"}).status, 1);
    const ts::Json old_run = history(db, {"--run", old1})["run"];
    const ts::Json* old_lost = figure(old_run, 0, "e2u", "lost");
    ASSERT_NE(old_lost, nullptr);
    EXPECT_EQ((*old_lost)["limit"], 0);
    EXPECT_EQ((*old_lost)["passed"], false);

    ASSERT_EQ(ts::runProcess({"sqlite3", db, "UPDATE schema_info SET version = 99"}, 30).status, 0);
    const ts::ProcessResult refused = runner({"history", "--db", db});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("schema 99, newer than schema 2"), npos) << refused.err;
}

// A store the runner cannot write, read-only to it, full (a file size limit
// stands for the disk) or locked by another writer: the run waits in the
// spool, `sync` or the next run that records delivers it, per-second rows and
// all, and delivering it again records nothing twice.
TEST(StoreSpoolTest, UnwritableStoreSpoolsDeliveredOnce) {
    for (const std::string how : {"read-only", "full", "locked"}) {
        SCOPED_TRACE(how);
        const bool full = how == "full";
        ts::ScratchDir dir;
        const std::string db = dir / "results.db", spool = dir / "spool";
        recordedRun(db, spool, {"--dut", "SN-1"});
        ts::ProcessOptions o;
        sqlite3* holder = nullptr;  // the other writer, in a transaction
        if (full) {
            o.file_size_limit = fs::file_size(db);
        } else if (how == "locked") {
            ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), 0);
        } else {  // root writes any file: the run is made by nobody, for whom it is read-only
            fs::create_directory(spool);
            ASSERT_EQ(chmod(dir.path.c_str(), 0755) | chmod(spool.c_str(), 0777), 0);
            ASSERT_EQ(chmod(db.c_str(), 0444), 0);
            o.as_nobody = true;
        }
        const ts::ProcessResult r =
            ts::runProcess(simulation(db, spool, full ? "2.2" : "0.5", {"--dut", "SN-2"}), o);
        sqlite3_close(holder);  // its transaction rolled back, the lock gone
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("kept it in the spool"), npos) << r.err;
        const std::string id = parsed(r.out)["run_id"];
        const std::string file = spool + "/" + id + ".json", kept = ts::readFile(file);
        ASSERT_FALSE(kept.empty());
        EXPECT_EQ(history(db)["runs"].size(), 1u);

        chmod(db.c_str(), 0644);
        const ts::ProcessResult s =
            full ? ts::runProcess(simulation(db, spool, "0.3", {"--dut", "SN-3"}))
                 : runner({"sync", "--db", db, "--spool", spool});
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_NE((full ? s.err : s.out)
                      .find(full ? "also delivered 1 spooled run(s)" : "delivered 1 run(s)"),
                  npos)
            << s.out << s.err;
        EXPECT_FALSE(fs::exists(file));
        EXPECT_EQ(ids(history(db, {"--dut", "SN-2"})), Ids{id});
        EXPECT_GE(history(db, {"--run", id})["run"]["seconds"].size(), 2u);
        // The same run delivered again (a sync cut off before it removed the file).
        std::ofstream(file) << kept;
        const ts::ProcessResult again = runner({"sync", "--spool", spool});
        EXPECT_NE(again.out.find("delivered 0 run(s), 1 recorded already"), npos) << again.out;
        EXPECT_EQ(history(db)["runs"].size(), full ? 3u : 2u);
    }
}

// Eight stations on one SQLite file: each waits for the others' writes.
TEST(StoreHistoryTest, EightRunnersAtOnceIntoOneFile) {
    ts::ScratchDir dir;
    eightRunnersAtOnce(dir / "results.db", dir);
}

// A unit that could not be tested is recorded too, in the default store of
// the default location when only --dut is given.
TEST(StoreHistoryTest, SetupErrorRecordedInTheDefaultStore) {
    ts::ScratchDir dir;
    const ts::ProcessResult r = ts::runProcess(
        {"env", "-u", "CONVBENCH_DB", "-u", "CONVBENCH_SPOOL", "XDG_DATA_HOME=" + dir / "data",
         "XDG_STATE_HOME=" + dir / "state", CONVBENCH_CLI, "--port", dir / "no-such-tty",
         "--address", "127.0.0.1:9", "--dut", "SN-DEAD"},
        60);
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string db = dir / "data/convbench/results.db";
    const ts::Json runs = history(db, {"--status", "setup-error"})["runs"];
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["dut"], "SN-DEAD");
    EXPECT_EQ(runs[0]["outcome"], "inconclusive");
    const ts::Json run = history(db, {"--run", runs[0]["run_id"].get<std::string>()})["run"];
    EXPECT_NE(run["settings"]["setup_error"].get<std::string>().find("no-such-tty"), npos);
}

// A day of many channels keeps a bounded, evenly thinned set of per-second
// rows, the last ones always.
TEST(StoreRecordTest, PerSecondRowsBoundedAndEven) {
    std::vector<cli::ChannelResult> now(4);
    for (cli::ChannelResult& c : now) c.directions = {{"e2u", {}}, {"u2e", {}}};
    cli::SecondsLog log;
    for (int s = 1; s <= 86400; ++s) log.add(s, now);
    log.add(86400.5, now, true);
    const std::vector<store::Second>& rows = log.rows;  // eight a second
    ASSERT_LE(rows.size(), cli::SecondsLog::kMostSecondsRows + 8);
    ASSERT_GE(rows.size(), cli::SecondsLog::kMostSecondsRows / 2);
    EXPECT_EQ(rows.back().t_s, 86400.5);
    const double step = rows[8].t_s - rows[0].t_s;
    for (size_t k = 8; k + 8 < rows.size(); k += 8)
        ASSERT_EQ(rows[k].t_s - rows[k - 8].t_s, step) << k;
}

// A run the store would not take is refused by the record call too, not
// spooled where no sync would ever take it; the same run made whole records.
TEST(StoreRecordTest, ARunWithoutOutcomeOrStatusIsRefusedNotSpooled) {
    const ts::ScratchDir dir;
    store::Run run;
    run.id = store::newRunId();
    run.started_at = store::utcNow();
    for (const auto& [outcome, status] : {std::pair{"", "completed"}, std::pair{"pass", ""}}) {
        run.outcome = outcome;
        run.status = status;
        const store::RecordResult r = store::record(dir / "runs.db", dir / "spool", run, {});
        EXPECT_FALSE(r.recorded || r.spooled) << outcome << "/" << status;
        EXPECT_NE(r.error.find("not a run record"), npos) << r.error;
    }
    EXPECT_FALSE(fs::exists(dir / "spool") && !fs::is_empty(dir / "spool"));
    run.outcome = "pass";
    run.status = "completed";
    EXPECT_TRUE(store::record(dir / "runs.db", dir / "spool", run, {}).recorded);
}

// On a server of the suite's own: eight runners at once; then the server
// stopped during a run, the run spooled, and delivered by `sync` once the
// server is back.
TEST(StorePgTest, EightRunnersAtOnceThenServerStoppedMidRun) {
    ts::PgServer server;
    const std::string why = server.start();
    if (!why.empty()) GTEST_SKIP() << "no PostgreSQL server: " << why;
    ts::ScratchDir dir;
    const std::string db = server.uri("postgres"), spool = dir / "spool";
    eightRunnersAtOnce(db, dir);

    ts::Child cut(simulation(db, spool, "1.5", {"--dut", "SN-CUT"}), kKeep);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(server.stop());
    const ts::Ended& e = cut.wait();
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.err.find("kept it in the spool"), npos) << e.err;
    ASSERT_TRUE(server.restart());
    const ts::ProcessResult s = runner({"sync", "--db", db, "--spool", spool});
    EXPECT_NE(s.out.find("delivered 1 run(s)"), npos) << s.out << s.err;
    EXPECT_EQ(ids(history(db, {"--dut", "SN-CUT"})),
              Ids{parsed(e.out)["run_id"].get<std::string>()});
    EXPECT_EQ(history(db)["runs"].size(), 9u);
}
