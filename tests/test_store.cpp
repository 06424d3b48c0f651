// Unit records and the SQLite results store, end to end through the runner:
// identity in every report, runs read back through `history` in every format
// (parsed back, figures against the run's own JSON report), a schema-1 store
// brought up to date, and stores that cannot be written (read-only, full,
// locked) spooling runs that `sync` or the next run delivers once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "json.h"
#include "options.h"
#include "run_record.h"
#include "spool.h"
#include "store.h"
#include "unit_record.h"
#include "xml_reader.h"

namespace ts = testsupport;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "convbench-store-XXXXXX").string();
        path = mkdtemp(t.data()) ? t : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string readFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

ts::ProcessResult runner(const Args& args, const ts::ProcessOptions& o = {}) {
    Args argv{CONVBENCH_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return ts::runProcess(argv, o);
}

ts::Json parsed(const std::string& text) {
    ts::Json j;
    EXPECT_TRUE(ts::parseJson(text, &j)) << text;
    return j;
}

// `history` as JSON: the runs listed, or the one run asked for.
ts::Json history(const std::string& db, const Args& more = {}) {
    Args args{"history", "--db", db, "--format", "json", "--limit", "1000"};
    args.insert(args.end(), more.begin(), more.end());
    const ts::ProcessResult r = runner(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const ts::Json j = parsed(r.out);
    EXPECT_EQ(j["history"], 1);
    return j;
}

std::set<std::string> ids(const ts::Json& list) {
    std::set<std::string> out;
    for (const ts::Json& r : list["runs"]) out.insert(r["run_id"].get<std::string>());
    return out;
}

// CSV text as Python's csv module reads it (strict): rows of fields.
ts::Json csvByPython(const std::string& text, const TempDir& dir) {
    const std::string path = dir / "parse.csv";
    std::ofstream(path) << text;
    const ts::ProcessResult r = ts::runProcess(
        {"python3", "-c",
         "import csv, json, sys\n"
         "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
         "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
         path},
        30);
    EXPECT_EQ(r.status, 0) << r.err;
    return parsed(r.out);
}

bool havePython() {
    return ts::runProcess({"python3", "-c", "pass"}, 30).status == 0;
}

// A run recorded in db: its JSON report.
ts::Json recordedRun(const std::string& db, const std::string& spool, const Args& more,
                     const std::string& json_path, int status = 0) {
    Args args{"--simulate", "--tester-stall", "600000", "-r",     "40",     "-t", "1.2", "--db",
              db,           "--spool",        spool,    "--json", json_path};
    args.insert(args.end(), more.begin(), more.end());
    const ts::ProcessResult r = runner(args);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_NE(r.err.find("recorded run"), std::string::npos) << r.err;
    return parsed(readFile(json_path));
}

const ts::Json* figure(const ts::Json& run, size_t channel, const std::string& dir,
                       const std::string& name) {
    for (const ts::Json& d : run["channels"][channel]["directions"])
        if (d["name"] == dir)
            for (const ts::Json& f : d["figures"])
                if (f["name"] == name) return &f;
    return nullptr;
}

size_t spooled(const std::string& dir) {
    std::error_code ec;
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir, ec))
        n += e.path().extension() == ".json" && e.path().filename().string()[0] != '.';
    return n;
}

}  // namespace

// Identity texts: what is refused and what is taken, with the limits the help gives.
TEST(UnitIdentityTest, EveryTextCheckedAtItsLimits) {
    auto parse = [](Args args, cli::Options* o) {
        args.insert(args.begin(), "convbench-cli");
        args.insert(args.end(), {"--simulate"});
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        std::string error;
        const bool ok = cli::parseOptions(static_cast<int>(argv.size()), argv.data(), o, &error);
        return ok ? std::string() : error.empty() ? "refused" : error;
    };
    cli::Options o;
    EXPECT_EQ(parse({"--dut", std::string(64, 'x'), "--tag", "a.b-c_1=" + std::string(128, 'v'),
                     "--operator", "Zo\xC3\xAB", "--part", "P,1\"<&>"},
                    &o),
              "");
    EXPECT_EQ(o.dut.size(), 64u);
    EXPECT_FALSE(o.station.empty());  // the host name
    ASSERT_EQ(o.tags.size(), 1u);
    EXPECT_EQ(o.tags[0].first, "a.b-c_1");
    for (const Args& bad :
         {Args{"--dut", std::string(65, 'x')}, Args{"--dut", ""}, Args{"--station", "a\nb"},
          Args{"--operator", "\x1b[31m"}, Args{"--part", "\xC3"}, Args{"--part", "\xC2\x9B"},
          Args{"--tag", "novalue"}, Args{"--tag", "k y=1"}, Args{"--tag", "=1"},
          Args{"--tag", "k=" + std::string(129, 'v')}, Args{"--tag", "k=1", "--tag", "k=2"},
          Args{"--channel", "dut=a\tb"}, Args{"--db", ""}}) {
        cli::Options refused;
        EXPECT_NE(parse(bad, &refused), "") << bad[0] << " " << bad[1];
    }
    Args many;
    for (int i = 0; i <= 32; ++i)
        many.insert(many.end(), {"--tag", "k" + std::to_string(i) + "=v"});
    cli::Options too_many;
    EXPECT_NE(parse(many, &too_many).find("more than 32"), std::string::npos);
}

// Two runs, one unit each or one per channel: every report carries the
// identity, and history gives back the runs, their filters and their figures.
TEST(StoreHistoryTest, RunsReadBackInEveryFormat) {
    if (!havePython()) GTEST_SKIP() << "no python3 to parse CSV with";
    TempDir dir;
    const std::string db = dir / "results.db", spool = dir / "spool";
    const std::string unit = "SN,1\"<&>";
    const ts::Json a =
        recordedRun(db, spool,
                    {"--dut", unit, "--station", "st-1", "--operator", "Zo\xC3\xAB", "--part",
                     "P-7", "--tag", "lot=42", "--csv", dir / "a.csv", "--junit", dir / "a.xml"},
                    dir / "a.json");
    const ts::Json b = recordedRun(
        db, spool, {"--channel", "dut=U-A,drop=0.5", "--channel", "dut=U-B", "--station", "st-2"},
        dir / "b.json", 1);
    const std::string id_a = a["run_id"], id_b = b["run_id"];
    EXPECT_NE(id_a, id_b);
    // The reports: JSON identity, JUnit properties, the CSV's dut column.
    EXPECT_EQ(a["identity"]["dut"], unit);
    EXPECT_EQ(a["identity"]["tags"]["lot"], "42");
    EXPECT_EQ(a["outcome"], "pass");
    EXPECT_EQ(b["outcome"], "fail");
    EXPECT_EQ(b["status"], "completed");
    EXPECT_EQ(b["channels"][1]["dut"], "U-B");
    ts::Xml junit;
    ASSERT_TRUE(ts::parseXml(readFile(dir / "a.xml"), &junit));
    std::map<std::string, std::string> props;
    for (const ts::Xml* p : junit.all("property")) props[p->attr("name")] = p->attr("value");
    EXPECT_EQ(props["dut"], unit);
    EXPECT_EQ(props["operator"], "Zo\xC3\xAB");
    EXPECT_EQ(props["tag.lot"], "42");
    EXPECT_EQ(props["run_id"], id_a);
    const ts::Json rows = csvByPython(readFile(dir / "a.csv"), dir);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0].back(), "dut");
    EXPECT_EQ(rows[1].back(), unit);

    // The list and its filters.
    EXPECT_EQ(ids(history(db)), (std::set<std::string>{id_a, id_b}));
    EXPECT_EQ(ids(history(db, {"--dut", "U-B"})), std::set<std::string>{id_b});
    EXPECT_EQ(ids(history(db, {"--dut", unit})), std::set<std::string>{id_a});
    EXPECT_EQ(ids(history(db, {"--station", "st-2"})), std::set<std::string>{id_b});
    EXPECT_EQ(ids(history(db, {"--verdict", "fail"})), std::set<std::string>{id_b});
    EXPECT_EQ(ids(history(db, {"--since", "2000-01-01", "--status", "completed"})).size(), 2u);
    EXPECT_TRUE(ids(history(db, {"--until", "2000-01-01"})).empty());
    const ts::Json listed =
        csvByPython(runner({"history", "--db", db, "--format", "csv"}).out, dir);
    ASSERT_EQ(listed.size(), 3u);
    const size_t dut_col = std::find(listed[0].begin(), listed[0].end(), "dut") - listed[0].begin();
    std::set<std::string> duts{listed[1][dut_col], listed[2][dut_col]};
    EXPECT_TRUE(duts.count(unit)) << listed.dump();

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
    // The failing run's figures as CSV: the lost packets, the limit broken.
    const ts::Json figs =
        csvByPython(runner({"history", "--db", db, "--run", id_b, "--format", "csv"}).out, dir);
    bool seen = false;
    for (const ts::Json& row : figs)
        if (row[2] == "U-A" && row[3] == "e2u" && row[4] == "lost") {
            seen = true;
            EXPECT_EQ(std::stod(row[5].get<std::string>()),
                      b["channels"][0]["directions"]["e2u"]["lost"].get<double>());
            EXPECT_EQ(row[6], "0");
            EXPECT_EQ(row[8], "0");
        }
    EXPECT_TRUE(seen) << figs.dump();
    const ts::ProcessResult text = runner({"history", "--db", db, "--run", id_b});
    EXPECT_NE(text.out.find("FAIL"), std::string::npos) << text.out;
    EXPECT_EQ(runner({"history", "--db", db, "--run", "no-such-run"}).status, 1);
}

// A store made by schema 1 is brought up to this schema and keeps its runs; a
// store of a newer schema is refused, and a run meant for it spooled.
TEST(StoreSchemaTest, SchemaOneStoreMigratesNewerRefused) {
    if (ts::runProcess({"sqlite3", "-version"}, 30).status != 0) GTEST_SKIP() << "no sqlite3";
    TempDir dir;
    const std::string db = dir / "old.db";
    ASSERT_EQ(ts::runProcess({"sqlite3", db, ".read " CONVBENCH_FIXTURES "/store_schema1.sql"}, 30)
                  .status,
              0);
    const ts::Json old = history(db);
    ASSERT_EQ(old["runs"].size(), 2u);
    for (const ts::Json& r : old["runs"]) {
        if (r["run_id"] == "22222222-2222-4222-8222-222222222222") {
            EXPECT_EQ(r["outcome"], "inconclusive");
            EXPECT_EQ(r["status"], "interrupted");
        } else {
            EXPECT_EQ(r["outcome"], "fail");
            EXPECT_EQ(r["status"], "completed");
        }
    }
    const ts::Json run = history(db, {"--run", "11111111-1111-4111-8111-111111111111"})["run"];
    const ts::Json* lost = figure(run, 0, "e2u", "lost");
    ASSERT_NE(lost, nullptr);
    EXPECT_EQ((*lost)["limit"], 0);
    EXPECT_EQ((*lost)["passed"], false);
    recordedRun(db, dir / "spool", {"--dut", "SN-NEW", "--operator", "ann"}, dir / "new.json");
    EXPECT_EQ(ids(history(db, {"--dut", "SN-OLD-2"})).size(), 1u);
    EXPECT_EQ(history(db)["runs"].size(), 3u);
    EXPECT_EQ(ts::runProcess({"sqlite3", db, "SELECT version FROM schema_info"}, 30).out, "2\n");

    ASSERT_EQ(ts::runProcess({"sqlite3", db, "UPDATE schema_info SET version = 99"}, 30).status, 0);
    const ts::ProcessResult refused = runner({"history", "--db", db});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("schema 99, newer than schema 2"), std::string::npos) << refused.err;
    const ts::ProcessResult run_anyway =
        runner({"--simulate", "--tester-stall", "600000", "-r", "40", "-t", "0.3", "--db", db,
                "--spool", dir / "spool", "--dut", "SN-9"});
    EXPECT_EQ(run_anyway.status, 0) << run_anyway.err;
    EXPECT_NE(run_anyway.err.find("kept it in the spool"), std::string::npos) << run_anyway.err;
    EXPECT_EQ(spooled(dir / "spool"), 1u);
}

// A store the runner may not write: the run waits in the spool; sync delivers
// it, and delivering it again records nothing twice.
TEST(StoreSpoolTest, ReadOnlyStoreSpoolsSyncDeliversOnce) {
    TempDir dir;
    const std::string db = dir / "results.db", spool = dir / "spool";
    recordedRun(db, spool, {"--dut", "SN-1"}, dir / "first.json");
    fs::create_directory(spool);
    // Root writes any file: the run is made by nobody then, for whom it is read-only.
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(spool.c_str(), 0777), 0);
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(db.c_str(), 0444), 0);
    }
    ts::ProcessOptions as_nobody;
    as_nobody.as_nobody = true;
    const ts::ProcessResult r =
        runner({"--simulate", "--tester-stall", "600000", "-r", "40", "-t", "0.5", "--dut", "SN-2",
                "--db", db, "--spool", spool, "--json", "-"},
               as_nobody);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("could not record the run in"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("kept it in the spool"), std::string::npos) << r.err;
    const std::string id = parsed(r.out)["run_id"];
    ASSERT_EQ(spooled(spool), 1u);
    EXPECT_EQ(history(db)["runs"].size(), 1u);
    const std::string file = spool + "/" + id + ".json";
    const std::string kept = readFile(file);

    chmod(db.c_str(), 0644);
    const ts::ProcessResult s = runner({"sync", "--db", db, "--spool", spool});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("delivered 1 run(s)"), std::string::npos) << s.out;
    EXPECT_EQ(spooled(spool), 0u);
    EXPECT_EQ(ids(history(db, {"--dut", "SN-2"})), std::set<std::string>{id});
    // The same run delivered again (a sync cut off before it removed the file).
    std::ofstream(file) << kept;
    const ts::ProcessResult again = runner({"sync", "--spool", spool});
    EXPECT_NE(again.out.find("delivered 0 run(s), 1 recorded already"), std::string::npos)
        << again.out;
    EXPECT_EQ(history(db)["runs"].size(), 2u);
    EXPECT_EQ(history(db, {"--run", id})["run"]["dut"], "SN-2");
}

// A store that cannot grow (a file size limit stands for a full disk): the
// run is spooled, and the next run that records delivers it.
TEST(StoreSpoolTest, FullStoreSpoolsNextRunDelivers) {
    TempDir dir;
    const std::string db = dir / "results.db", spool = dir / "spool";
    recordedRun(db, spool, {"--dut", "SN-1"}, dir / "first.json");
    ts::ProcessOptions limited;
    limited.file_size_limit = fs::file_size(db);
    const ts::ProcessResult r = runner({"--simulate", "--tester-stall", "600000", "-r", "40", "-t",
                                        "2.2", "--dut", "SN-2", "--db", db, "--spool", spool},
                                       limited);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("kept it in the spool"), std::string::npos) << r.err;
    EXPECT_EQ(spooled(spool), 1u);
    EXPECT_EQ(history(db)["runs"].size(), 1u);
    const ts::ProcessResult next =
        runner({"--simulate", "--tester-stall", "600000", "-r", "40", "-t", "0.3", "--dut", "SN-3",
                "--db", db, "--spool", spool});
    EXPECT_NE(next.err.find("also delivered 1 spooled run(s)"), std::string::npos) << next.err;
    EXPECT_EQ(spooled(spool), 0u);
    const ts::Json all = history(db);
    EXPECT_EQ(all["runs"].size(), 3u);
    EXPECT_EQ(ids(history(db, {"--dut", "SN-2"})).size(), 1u);
}

// Through the library: a store another writer holds locked spools the run;
// eight threads recording at once into one file lose nothing.
TEST(StoreSpoolTest, LockedStoreSpoolsAndWritersAtOnceLoseNothing) {
    TempDir dir;
    const std::string db = dir / "results.db", spool = dir / "spool";
    auto make = [](const std::string& dut) {
        store::Run r;
        r.id = store::newRunId();
        r.started_at = store::utcNow();
        r.program = "test";
        r.station = "st";
        r.dut = dut;
        r.outcome = "pass";
        r.status = "completed";
        r.channels.push_back({"ch1", dut, "", "udp", "", "e2u", "pass", {}});
        r.channels[0].directions.push_back(
            {"e2u", "pass", {{"sent", 10, false, 0, "packets", true}}});
        for (int s = 1; s <= 30; ++s)
            r.seconds.push_back({0, "e2u", double(s), s, s, 0, 0, 0, 0, 1, 2});
        return r;
    };
    store::OpenOptions quick;
    quick.busy_ms = 100;
    ASSERT_TRUE(store::record(db, spool, make("first"), quick).recorded);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const store::Run locked_out = make("locked");
    const store::RecordResult r = store::record(db, spool, locked_out, quick);
    EXPECT_FALSE(r.recorded);
    EXPECT_TRUE(r.spooled) << r.error;
    EXPECT_NE(r.error.find("locked"), std::string::npos) << r.error;
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    std::vector<std::thread> writers;
    std::vector<std::string> written[8];
    for (int w = 0; w < 8; ++w)
        writers.emplace_back([&, w] {
            for (int k = 0; k < 5; ++k) {
                const store::Run run = make("w" + std::to_string(w));
                if (store::record(db, dir / ("spool" + std::to_string(w)), run, {}).recorded)
                    written[w].push_back(run.id);
            }
        });
    for (std::thread& t : writers) t.join();
    const store::SyncResult s = store::sync(db, spool, quick);
    EXPECT_EQ(s.delivered, 1);
    std::string error;
    auto st = store::Store::open(db, quick, &error);
    ASSERT_TRUE(st) << error;
    std::vector<store::Summary> all;
    store::Filter f;
    f.limit = 1000;
    ASSERT_TRUE(st->list(f, &all, &error)) << error;
    std::multiset<std::string> seen;
    for (const store::Summary& x : all) seen.insert(x.id);
    EXPECT_EQ(seen.size(), 42u);
    EXPECT_EQ(seen.count(locked_out.id), 1u);
    for (const auto& w : written) {
        EXPECT_EQ(w.size(), 5u);
        for (const std::string& id : w) EXPECT_EQ(seen.count(id), 1u);
    }
    store::Run back;
    bool found = false;
    ASSERT_TRUE(st->get(locked_out.id, &back, &found, &error));
    EXPECT_EQ(back.seconds.size(), 30u);
}

// A unit that could not be tested is recorded too, in the default store of
// the default location when only --dut is given.
TEST(StoreHistoryTest, SetupErrorRecordedInTheDefaultStore) {
    TempDir dir;
    const ts::ProcessResult r = ts::runProcess(
        {"env", "-u", "CONVBENCH_DB", "-u", "CONVBENCH_SPOOL", "XDG_DATA_HOME=" + dir / "data",
         "XDG_STATE_HOME=" + dir / "state", CONVBENCH_CLI, "--port", dir / "no-such-tty",
         "--address", "127.0.0.1:9", "--dut", "SN-DEAD"},
        60);
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string db = dir / "data/convbench/results.db";
    ASSERT_TRUE(fs::exists(db)) << r.err;
    const ts::Json runs = history(db, {"--status", "setup-error"});
    ASSERT_EQ(runs["runs"].size(), 1u);
    EXPECT_EQ(runs["runs"][0]["dut"], "SN-DEAD");
    EXPECT_EQ(runs["runs"][0]["outcome"], "inconclusive");
    const ts::Json run =
        history(db, {"--run", runs["runs"][0]["run_id"].get<std::string>()})["run"];
    EXPECT_NE(run["settings"]["setup_error"].get<std::string>().find("no-such-tty"),
              std::string::npos);
}

// What the window records at STOP (its settings from the file and the
// environment), and the note its status line shows when the store refuses.
TEST(WindowRecordTest, StopRecordsOrSaysWhy) {
    TempDir dir;
    fs::create_directories(dir / "config/convbench");
    std::ofstream(dir / "config/convbench/window.conf")
        << "# the bench's store\ndb = " << dir / "w.db"
        << "\nspool=" << dir / "spool"
        << "\ndut=SN-FILE\nstation=bench-1\n";
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("CONVBENCH_DUT", "SN-W", 1);
    unsetenv("CONVBENCH_DB");
    unsetenv("CONVBENCH_SPOOL");
    window_record::Settings s = window_record::settings();
    unsetenv("CONVBENCH_DUT");
    EXPECT_EQ(s.db, dir / "w.db");
    EXPECT_EQ(s.dut, "SN-W");  // the environment over the file
    EXPECT_EQ(s.station, "bench-1");
    window_record::WindowRun run;
    run.started_at = "2026-12-07T10:00:00Z";
    run.elapsed_s = 10;
    run.direction = "e2u";
    run.figures.sent = 100;
    run.figures.received = 98;
    run.figures.lost = 2;
    EXPECT_EQ(window_record::record(s, run), "");
    const ts::Json list = history(s.db);
    ASSERT_EQ(list["runs"].size(), 1u);
    EXPECT_EQ(list["runs"][0]["dut"], "SN-W");
    EXPECT_EQ(list["runs"][0]["outcome"], "fail");
    const ts::Json back = history(s.db, {"--run", list["runs"][0]["run_id"].get<std::string>()});
    EXPECT_EQ((*figure(back["run"], 0, "e2u", "received"))["value"], 98);
    s.db = dir / "no-such-folder/w.db";
    const std::string note = window_record::record(s, run);
    EXPECT_EQ(note.rfind("record kept in the spool: ", 0), 0u) << note;
    EXPECT_EQ(spooled(s.spool), 1u);
}

// A day of many channels keeps a bounded, evenly thinned set of per-second
// rows, the last ones always.
TEST(StoreRecordTest, PerSecondRowsBoundedAndEven) {
    std::vector<cli::ChannelResult> now(4);
    for (cli::ChannelResult& c : now) c.directions = {{"e2u", {}}, {"u2e", {}}};
    cli::SecondsLog log;
    const int seconds = 86400;
    for (int s = 1; s <= seconds; ++s) log.add(s, now);
    log.add(86400.5, now, true);
    EXPECT_LE(log.rows.size(), cli::SecondsLog::kMostSecondsRows + 8);
    EXPECT_GE(log.rows.size(), cli::SecondsLog::kMostSecondsRows / 2);
    std::vector<double> times;
    for (size_t k = 0; k < log.rows.size(); k += 8) times.push_back(log.rows[k].t_s);
    ASSERT_GE(times.size(), 3u);
    EXPECT_EQ(times.back(), 86400.5);
    const double step = times[1] - times[0];
    for (size_t k = 1; k + 1 < times.size(); ++k) EXPECT_EQ(times[k] - times[k - 1], step) << k;
}
