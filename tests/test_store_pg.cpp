// The results store on a real PostgreSQL server the suite starts itself:
// eight runners recording into one database at once (the schema made by
// whichever comes first), every run there exactly once and seen by every
// station; and a server stopped during a run, the run spooled and delivered
// by `sync` once the server is back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "json.h"
#include "pg_server.h"

namespace ts = testsupport;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;

namespace {

ts::PgServer* server = nullptr;
std::string skip_reason;

struct TempDir {
    std::string path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "convbench-storepg-XXXXXX").string();
        path = mkdtemp(t.data()) ? t : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

ts::ProcessResult cli(const Args& args) {
    Args argv{CONVBENCH_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return ts::runProcess(argv, 60);
}

ts::Json parsed(const std::string& text) {
    ts::Json j;
    EXPECT_TRUE(ts::parseJson(text, &j)) << text;
    return j;
}

// A database of the test's own on the suite's server.
std::string freshDatabase(const std::string& name) {
    const ts::ProcessResult r =
        ts::runProcess({"psql", "-q", server->uri(), "-c", "CREATE DATABASE " + name}, 30);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string uri = server->uri();
    return uri.substr(0, uri.rfind('/') + 1) + name;
}

std::multiset<std::string> listed(const std::string& db, const Args& more = {}) {
    Args args{"history", "--db", db, "--format", "json", "--limit", "1000"};
    args.insert(args.end(), more.begin(), more.end());
    const ts::ProcessResult r = cli(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::multiset<std::string> out;
    const ts::Json list = parsed(r.out);
    for (const ts::Json& run : list["runs"]) out.insert(run["run_id"].get<std::string>());
    return out;
}

class StorePgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new ts::PgServer;
        if (ts::runProcess({"psql", "--version"}, 30).status != 0)
            skip_reason = "no psql (postgresql-client)";
        else if (!server->start(&skip_reason))
            skip_reason = "no PostgreSQL server: " + skip_reason;
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    }
};

}  // namespace

TEST_F(StorePgTest, EightRunnersAtOnceEveryRunOnce) {
    TempDir dir;
    const std::string db = freshDatabase("eight");
    std::vector<ts::Child> runners;
    for (int i = 0; i < 8; ++i)
        runners.emplace_back(
            Args{CONVBENCH_CLI, "--simulate", "--tester-stall", "600000", "-r", "40", "-t", "0.6",
                 "--dut", "SN-" + std::to_string(i), "--station", "st-" + std::to_string(i % 3),
                 "--db", db, "--spool", dir / ("spool" + std::to_string(i)), "--json",
                 dir / ("run" + std::to_string(i) + ".json")},
            ts::Child::Options{ts::Child::Output::Null, ts::Child::Output::Keep, SIGKILL});
    std::multiset<std::string> ids;
    std::set<std::string> station1;
    for (int i = 0; i < 8; ++i) {
        const ts::Ended& e = runners[i].wait();
        EXPECT_EQ(e.status, 0) << e.err;
        EXPECT_NE(e.err.find("recorded run"), std::string::npos) << e.err;
        std::stringstream text;
        text << std::ifstream(dir / ("run" + std::to_string(i) + ".json")).rdbuf();
        const std::string id = parsed(text.str())["run_id"];
        ids.insert(id);
        if (i % 3 == 1) station1.insert(id);
    }
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 8u);
    EXPECT_EQ(listed(db), ids);  // every run, each once, seen from anywhere
    const std::multiset<std::string> st1 = listed(db, {"--station", "st-1"});
    EXPECT_EQ(std::set<std::string>(st1.begin(), st1.end()), station1);
    EXPECT_EQ(listed(db, {"--dut", "SN-5"}).size(), 1u);
    // One run in full: the figures and the per-second rows came through.
    const ts::Json run =
        parsed(cli({"history", "--db", db, "--run", *ids.begin(), "--format", "json"}).out)["run"];
    ASSERT_EQ(run["channels"].size(), 1u);
    EXPECT_GE(run["channels"][0]["directions"][0]["figures"].size(), 10u);
    EXPECT_GE(run["seconds"].size(), 2u);
}

TEST_F(StorePgTest, ServerStoppedMidRunSpooledThenSynced) {
    TempDir dir;
    const std::string db = freshDatabase("outage"), spool = dir / "spool";
    const ts::ProcessResult first = cli({"--simulate", "--tester-stall", "600000", "-r", "40", "-t",
                                         "0.3", "--dut", "SN-1", "--db", db, "--spool", spool});
    ASSERT_EQ(first.status, 0) << first.err;
    ts::Child run(
        Args{CONVBENCH_CLI, "--simulate", "--tester-stall", "600000", "-r", "40", "-t", "1.5",
             "--dut", "SN-2", "--db", db, "--spool", spool, "--json", dir / "run.json"},
        ts::Child::Options{ts::Child::Output::Keep, ts::Child::Output::Keep, SIGKILL});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(server->stop());
    const ts::Ended& e = run.wait();
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.err.find("kept it in the spool"), std::string::npos) << e.err;
    ASSERT_TRUE(server->restart());
    const ts::ProcessResult s = cli({"sync", "--db", db, "--spool", spool});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("delivered 1 run(s)"), std::string::npos) << s.out;
    std::stringstream text;
    text << std::ifstream(dir / "run.json").rdbuf();
    const std::string id = parsed(text.str())["run_id"];
    EXPECT_EQ(listed(db, {"--dut", "SN-2"}), std::multiset<std::string>{id});
    EXPECT_EQ(listed(db).size(), 2u);
    EXPECT_NE(cli({"sync", "--db", db, "--spool", spool}).out.find("delivered 0 run(s), 0"),
              std::string::npos);
}
