// `convbench-cli characterize` end to end against convbench-sim, a converter
// whose limits are known: its line rate (--baud), its line queue (--queue) and
// its latency (--delay). The search must find what the simulator is. Trials are
// short (1 s) and channels run at once, so the suite stays quick.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "characterize.h"
#include "child_process.h"
#include "json.h"
#include "loopback.h"

using testsupport::Json;

namespace {

std::string tempDir() {
    char tmpl[] = "/tmp/convbench-charz-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

// One convbench-sim, sized packets of `size` bytes, and the channel that reaches it.
struct Sim {
    testsupport::Child child;
    std::string channel;
};

Sim startSim(const std::string& dir, const std::string& name, int size,
             const std::vector<std::string>& faults, const std::string& keys) {
    const unsigned short bind = testsupport::freeUdpPort(), listen = testsupport::freeUdpPort();
    const std::string link = dir + "/" + name;
    std::vector<std::string> argv = {CONVBENCH_SIM_EXE,
                                     "--link",
                                     link,
                                     "--bind",
                                     "127.0.0.1:" + std::to_string(bind),
                                     "--peer",
                                     "127.0.0.1:" + std::to_string(listen),
                                     "--format",
                                     "sized",
                                     "--size",
                                     std::to_string(size),
                                     "--duration",
                                     "300"};
    argv.insert(argv.end(), faults.begin(), faults.end());
    Sim s{testsupport::Child(argv), "port=" + link + ",address=127.0.0.1:" + std::to_string(bind) +
                                        ",listen=" + std::to_string(listen) + "," + keys};
    struct stat st {};
    for (int i = 0; i < 500 && lstat(link.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s;
}

// Runs characterize with the arguments and parses its JSON report back. A run
// the machine disturbed (`steady` says no: the tool found a figure
// inconclusive, or a fixed-delay converter's latency spread) is run again, at
// most twice: the figures judged are those of a steady run, if there was one.
Json characterize(std::vector<std::string> args, bool (*steady)(const Json&) = nullptr) {
    args.insert(args.begin(), {CONVBENCH_CLI, "characterize", "--trial", "1", "--settle", "100",
                               "--latency-bound", "600", "--json", "-"});
    Json j;
    for (int run = 0; run < 3; ++run) {
        const testsupport::ProcessResult r = testsupport::runProcess(args, 240);
        EXPECT_TRUE(testsupport::parseJson(r.out, &j)) << r.out << r.err;
        EXPECT_EQ(j["schema"], 1) << r.err;
        if (steady == nullptr || steady(j)) break;
    }
    return j;
}

const Json& result(const Json& j, const std::string& channel, const std::string& way) {
    static const Json none;
    for (const Json& c : j["channels"])
        if (c["name"] == channel)
            for (const Json& r : c["results"])
                if (r["direction"] == way) return r;
    ADD_FAILURE() << channel << " " << way << " missing";
    return none;
}

}  // namespace

// At 115200 baud the line carries 11520 bytes/s: the throughput found is that,
// for two packet sizes each way. A third channel whose tester believes the line
// is twice as fast must find the simulator's rate by the search itself (its
// queue kept to three packets, so a short trial cannot hide an excess in it).
TEST(Characterize, ThroughputIsTheLineRate) {
    const std::string dir = tempDir();
    Sim a = startSim(dir, "a", 13, {"--baud", "115200"}, "sizes=13,baud=115200");
    Sim b = startSim(dir, "b", 64, {"--baud", "115200"}, "sizes=64,baud=115200");
    Sim c = startSim(dir, "c", 64, {"--baud", "115200", "--queue", "200"},
                     "sizes=64,baud=230400,direction=e2u");
    const Json j = characterize({"--channel", a.channel, "--channel", b.channel, "--channel",
                                 c.channel, "--only", "throughput", "--resolution", "0.5"},
                                [](const Json& j) {
                                    if (!j.is_object() || !j.contains("channels")) return false;
                                    for (const Json& c : j["channels"])
                                        for (const Json& r : c["results"])
                                            if (!r["throughput"]["known"].get<bool>()) return false;
                                    return true;
                                });
    for (const char* ch : {"ch1", "ch2", "ch3"})
        for (const char* way : {"e2u", "u2e"}) {
            if (std::string(ch) == "ch3" && std::string(way) == "u2e") continue;
            SCOPED_TRACE(std::string(ch) + " " + way);
            const Json& r = result(j, ch, way);
            ASSERT_TRUE(r["throughput"]["known"].get<bool>()) << r.dump();
            EXPECT_NEAR(r["throughput"]["bytes_per_s"].get<double>(), 11520, 0.02 * 11520);
            EXPECT_TRUE(r["throughput"]["confirmed"].get<bool>());
            // Every trial is kept with its raw figures; the last confirms without loss.
            const Json& last = r["trials"].back();
            EXPECT_EQ(last["kind"], "confirm");
            EXPECT_EQ(last["lost"], 0);
            EXPECT_EQ(last["sent"], last["count"]);
            EXPECT_NEAR(
                last["line_utilisation"].get<double>() * r["line_rate_bytes_per_s"].get<double>(),
                last["delivered_bytes_per_s"].get<double>(), 1);
        }
    // ch3 searched: loads above the simulator's rate lost packets.
    int losing = 0;
    const Json& search = result(j, "ch3", "e2u")["trials"];
    for (const Json& t : search) losing += !t["lossless"].get<bool>();
    EXPECT_GE(losing, 1);
    EXPECT_GE(search.size(), 4u);
}

// A 512-byte line queue: the longest burst that loses nothing is within one
// packet of it, for small and large packets. Reports: HTML with plots and the
// data sheet are written too.
TEST(Characterize, BurstIsTheQueue) {
    const std::string dir = tempDir();
    Sim a =
        startSim(dir, "a", 13, {"--baud", "115200", "--queue", "512"}, "sizes=13,direction=e2u");
    Sim b =
        startSim(dir, "b", 64, {"--baud", "115200", "--queue", "512"}, "sizes=64,direction=e2u");
    const Json j = characterize({"--channel", a.channel, "--channel", b.channel, "--only", "burst",
                                 "--report", dir + "/r.html", "--sheet", dir + "/sheet.txt"});
    for (const auto& [ch, size] : {std::pair<const char*, int>{"ch1", 13}, {"ch2", 64}}) {
        const Json& burst = result(j, ch, "e2u")["burst"];
        ASSERT_TRUE(burst["known"].get<bool>()) << burst.dump();
        EXPECT_NEAR(burst["bytes"].get<double>(), 512, size) << ch;
    }
    std::ifstream html(dir + "/r.html"), sheet(dir + "/sheet.txt");
    std::stringstream h, s;
    h << html.rdbuf();
    s << sheet.rdbuf();
    EXPECT_NE(h.str().find("burst search"), std::string::npos);
    EXPECT_NE(h.str().find("<circle"), std::string::npos);
    EXPECT_NE(s.str().find("data sheet"), std::string::npos);
}

// 20 ms of delay: latency at 10 % load is 20 ms (within 1 ms; at 921600 baud a
// packet's own line time is 0.14 ms), and the loss steps reach 0 at or below
// the throughput found.
TEST(Characterize, LatencyIsTheDelay) {
    const std::string dir = tempDir();
    // A deep queue: a simulator held up by a busy machine loses nothing.
    const std::vector<std::string> faults = {"--baud", "921600",  "--delay",
                                             "20",     "--queue", "65536"};
    Sim a = startSim(dir, "a", 13, faults, "sizes=13,baud=921600,direction=e2u");
    Sim b = startSim(dir, "b", 13, faults, "sizes=13,baud=921600,direction=u2e");
    const Json j = characterize(
        {"--channel", a.channel, "--channel", b.channel, "--only", "throughput,loss,latency",
         "--trial", "0.5"},
        [](const Json& j) {
            // 20 ms, give or take the line's 0.14 ms and the
            // machine's wake-ups; a run the machine held up
            // (a median further off) is run again.
            if (!j.is_object() || !j.contains("channels")) return false;
            for (const Json& c : j["channels"])
                for (const Json& r : c["results"]) {
                    if (r["latency"].empty()) return false;
                    const Json& p50 = r["latency"][0]["p50_ms"];
                    if (!p50["known"].get<bool>() || std::abs(p50["value"].get<double>() - 20) > 2)
                        return false;
                }
            return true;
        });
    for (const auto& [ch, way] :
         {std::pair<const char*, const char*>{"ch1", "e2u"}, {"ch2", "u2e"}}) {
        SCOPED_TRACE(way);
        const Json& r = result(j, ch, way);
        ASSERT_EQ(r["latency"].size(), 4u) << r.dump();
        const Json& low = r["latency"][0];
        ASSERT_TRUE(low["p50_ms"]["known"].get<bool>());
        // The converter's own latency is the floor, 20 ms within 1 ms; the
        // median also carries the machine's wake-ups (a sanitizer build on a
        // busy machine adds about 1 ms), so it gets 2.
        double floor_ms = 0;
        for (const Json& t : r["trials"])
            if (t["kind"] == "latency") {
                floor_ms = t["latency_ms"]["min"].get<double>();
                break;
            }
        EXPECT_NEAR(floor_ms, 20, 1);
        EXPECT_NEAR(low["p50_ms"]["value"].get<double>(), 20, 2);
        EXPECT_GE(low["max_ms"]["value"].get<double>(), low["p99_ms"]["value"].get<double>());
        const double found = r["throughput"]["value"].get<double>();
        const Json& last = r["loss"].back();
        EXPECT_EQ(last["loss_ratio"]["value"], 0);
        EXPECT_LE(last["load_pct"].get<double>(), found);
    }
}

// Ctrl-C ends the current trial; the reports hold the trials done so far.
TEST(Characterize, InterruptKeepsTheTrialsDone) {
    const std::string dir = tempDir();
    testsupport::ProcessOptions po;
    po.timeout_s = 60;
    po.signals = {{2500, SIGINT}};
    const auto r = testsupport::runProcess(
        {CONVBENCH_CLI, "characterize", "--simulate", "--baud", "115200", "--size", "13", "--trial",
         "1", "--settle", "50", "--json", dir + "/c.json"},
        po);
    EXPECT_EQ(r.status, 4) << r.err;
    std::ifstream f(dir + "/c.json");
    std::stringstream text;
    text << f.rdbuf();
    Json j;
    ASSERT_TRUE(testsupport::parseJson(text.str(), &j)) << r.err;
    EXPECT_TRUE(j["interrupted"].get<bool>());
    const Json& trials = result(j, "ch1", "e2u")["trials"];
    ASSERT_GE(trials.size(), 1u);
    EXPECT_EQ(trials[0]["sent"], trials[0]["count"]);
}

// The options: sizes per channel, --only, and the refusals that keep a
// characterisation from starting with settings it cannot honour.
TEST(Characterize, OptionsAndRefusals) {
    auto parse = [](std::vector<const char*> args, cli::CharzOptions* o, std::string* error) {
        return cli::parseCharacterize(static_cast<int>(args.size()), args.data(), o, error);
    };
    cli::CharzOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--channel", "port=/dev/x,address=127.0.0.1:9,sizes=13/1472", "--channel",
                       "port=/dev/y,address=127.0.0.1:9,listen=7,direction=u2e", "--size", "64,256",
                       "--only", "burst", "--trial", "0.5"},
                      &o, &error))
        << error;
    ASSERT_EQ(o.channels.size(), 2u);
    EXPECT_EQ(o.channel_sizes[0], (std::vector<int>{13, 1472}));
    EXPECT_TRUE(o.channel_sizes[1].empty());
    EXPECT_EQ(o.sizes, (std::vector<int>{64, 256}));
    EXPECT_FALSE(o.channels[1].e2u);
    EXPECT_TRUE(o.burst && !o.throughput && !o.loss && !o.latency);
    for (const std::vector<const char*>& bad :
         {std::vector<const char*>{"--simulate", "--size", "12"},
          {"--simulate", "--size", "13,1473"},
          {"--simulate", "--only", "speed"},
          {"--simulate", "--trial", "0"},
          {"-p", "/dev/x", "-a", "127.0.0.1:9", "--queue", "512"},  // a fault without --simulate
          {"--channel", "port=/dev/x,address=127.0.0.1:9,direction=net"},
          {"--simulate", "--json", "-", "--sheet", "-"},
          {"--address", "127.0.0.1:9"}}) {
        cli::CharzOptions p;
        EXPECT_FALSE(parse(bad, &p, &error)) << bad[1];
    }
}

// A figure that could not be established is null with its reason in the JSON
// and "inconclusive" on the data sheet, never a number.
TEST(Characterize, InconclusiveFiguresAreNeverNumbers) {
    cli::CharzResult r;
    r.options.sizes = {64};
    cli::ChannelCharz c;
    c.channel.name = "ch1";
    cli::SizeResult s;
    s.way = "e2u";
    s.size = 64;
    s.line_Bps = 11520;
    s.throughput_pct = {false, 0, "the tester was held up"};
    s.burst_packets = {false, 300, "nothing lost up to the longest burst tried"};
    s.burst_lower_bound = true;
    cli::LoadPoint p;
    p.load_pct = 100;
    p.loss_ratio = {true, 0.25, ""};
    s.loss.push_back(p);
    c.results.push_back(s);
    r.channels.push_back(c);
    Json j;
    ASSERT_TRUE(testsupport::parseJson(cli::charzJson(r), &j));
    const Json& got = j["channels"][0]["results"][0];
    EXPECT_TRUE(got["throughput"]["value"].is_null());
    EXPECT_TRUE(got["throughput"]["bytes_per_s"].is_null());
    EXPECT_EQ(got["throughput"]["note"], "the tester was held up");
    EXPECT_EQ(got["burst"]["bytes"], 300 * 64);
    EXPECT_TRUE(got["burst"]["lower_bound"].get<bool>());
    EXPECT_EQ(got["loss"][0]["loss_ratio"]["value"], 0.25);
    const std::string sheet = cli::charzSheet(r);
    EXPECT_NE(sheet.find("inconclusive"), std::string::npos) << sheet;
    EXPECT_NE(sheet.find(">= 300 / 19200"), std::string::npos) << sheet;
    EXPECT_NE(sheet.find("100%=25.00%"), std::string::npos) << sheet;
}
