// `convbench-cli characterize` end to end against convbench-sim, a converter
// whose limits are known: its line rate (--baud), its line queue (--queue) and
// its latency (--delay). The search must find what the simulator is. Trials are
// short (1 s) and channels run at once, so the suite stays quick.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "characterize.h"
#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "scratch.h"

namespace ts = testsupport;
using ts::Json;

namespace {

// `head`, then the words of `rest`.
std::vector<std::string> argv(std::vector<std::string> head, const std::string& rest) {
    std::istringstream in(rest);
    for (std::string w; in >> w;) head.push_back(w);
    return head;
}

// A convbench-sim to start: its packet size, its options, and the keys of
// the --channel option that reaches it.
struct SimSpec {
    int size;
    std::string faults, keys;
};

// Starts it into *sims; the --channel option.
std::string startSim(const ts::ScratchDir& dir, const SimSpec& s, std::vector<ts::Child>* sims) {
    const std::string link = dir / ("sim" + std::to_string(sims->size())),
                      bind = "127.0.0.1:" + std::to_string(ts::freeUdpPort()),
                      listen = std::to_string(ts::freeUdpPort());
    sims->emplace_back(argv({CONVBENCH_SIM_EXE}, "--link " + link + " --bind " + bind +
                                                     " --peer 127.0.0.1:" + listen +
                                                     " --format sized --duration 300 --size " +
                                                     std::to_string(s.size) + " " + s.faults));
    struct stat st {};
    for (int i = 0; i < 500 && lstat(link.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return " --channel port=" + link + ",address=" + bind + ",listen=" + listen + "," + s.keys;
}

// Runs characterize against the simulators of `specs` (channels ch1, ch2, ...
// in their order) with the arguments, and parses its JSON report back. A run
// the machine disturbed (`steady` says no of one of its results: the tool found
// a figure inconclusive, or a fixed-delay converter's latency spread) is run
// again, at most twice, against fresh simulators on fresh ports (a port picked
// free may be taken by another suite before a trial binds it): the figures
// judged are those of a steady run, if any.
Json characterize(const std::vector<SimSpec>& specs, const std::string& args,
                  bool (*steady)(const Json&) = nullptr) {
    Json j;
    for (int run = 0; run < 3; ++run) {
        const ts::ScratchDir dir;
        std::vector<ts::Child> sims;
        std::string options;
        for (const SimSpec& s : specs) options += startSim(dir, s, &sims);
        const auto cmd = argv({CONVBENCH_CLI, "characterize", "--trial", "1", "--settle", "100",
                               "--latency-bound", "600", "--json", "-"},
                              options + args);
        const ts::ProcessResult r = ts::runProcess(cmd, 240);
        EXPECT_TRUE(ts::parseJson(r.out, &j)) << r.out << r.err;
        if (r.out.find("Address already in use") != std::string::npos) continue;
        if (steady == nullptr) break;
        const Json channels = j.contains("channels") ? j["channels"] : Json();
        bool ok = !channels.empty();
        for (const Json& c : channels)
            for (const Json& result : c["results"]) ok = ok && steady(result);
        if (ok) break;
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
    const Json j =
        characterize({{13, "--baud 115200", "sizes=13,baud=115200"},
                      {64, "--baud 115200", "sizes=64,baud=115200"},
                      {64, "--baud 115200 --queue 200", "sizes=64,baud=230400,direction=e2u"}},
                     " --only throughput --resolution 0.5",
                     [](const Json& r) { return r["throughput"]["known"].get<bool>(); });
    for (const char* at : {"ch1 e2u", "ch1 u2e", "ch2 e2u", "ch2 u2e", "ch3 e2u"}) {
        SCOPED_TRACE(at);
        const Json& r = result(j, std::string(at, 3), at + 4);
        ASSERT_TRUE(r["throughput"]["known"].get<bool>()) << r.dump();
        EXPECT_NEAR(r["throughput"]["bytes_per_s"].get<double>(), 11520, 0.02 * 11520);
        // Confirmed: the last trial, at the rate found, lost nothing.
        EXPECT_TRUE(r["throughput"]["confirmed"].get<bool>());
        EXPECT_EQ(r["trials"].back()["lost"], 0);
    }
}

// A 512-byte line queue: the longest burst that loses nothing is within one
// packet of it, for small and large packets. Reports: HTML with plots and the
// data sheet are written too.
TEST(Characterize, BurstIsTheQueue) {
    const ts::ScratchDir dir;
    const Json j = characterize(
        {{13, "--baud 115200 --queue 512", "sizes=13,direction=e2u"},
         {64, "--baud 115200 --queue 512", "sizes=64,direction=e2u"}},
        " --only burst --report " + (dir / "r.html") + " --sheet " + (dir / "sheet.txt"));
    for (const auto& [ch, size] : {std::pair<const char*, int>{"ch1", 13}, {"ch2", 64}}) {
        const Json& burst = result(j, ch, "e2u")["burst"];
        ASSERT_TRUE(burst["known"].get<bool>()) << burst.dump();
        EXPECT_NEAR(burst["bytes"].get<double>(), 512, size) << ch;
    }
    EXPECT_NE(ts::readFile(dir / "r.html").find("<circle"), std::string::npos);  // its plot
    EXPECT_NE(ts::readFile(dir / "sheet.txt").find("data sheet"), std::string::npos);
}

// 20 ms of delay: latency at 10 % load is 20 ms (within 1 ms; at 921600 baud a
// packet's own line time is 0.14 ms), and the loss steps reach 0 at or below
// the throughput found. A deep queue: a simulator held up by a busy machine
// loses nothing.
TEST(Characterize, LatencyIsTheDelay) {
    const std::string faults = "--baud 921600 --delay 20 --queue 65536";
    // A run the machine held up (a median further off than 2 ms) is run again.
    const Json j = characterize({{13, faults, "sizes=13,baud=921600,direction=e2u"},
                                 {13, faults, "sizes=13,baud=921600,direction=u2e"}},
                                " --only throughput,loss,latency --trial 0.5", [](const Json& r) {
                                    if (r["latency"].empty()) return false;
                                    const Json& p50 = r["latency"][0]["p50_ms"];
                                    return p50["known"].get<bool>() &&
                                           std::abs(p50["value"].get<double>() - 20) <= 2;
                                });
    for (const auto& [ch, way] :
         {std::pair<const char*, const char*>{"ch1", "e2u"}, {"ch2", "u2e"}}) {
        SCOPED_TRACE(way);
        const Json& r = result(j, ch, way);
        ASSERT_EQ(r["latency"].size(), 4u) << r.dump();
        const Json& low = r["latency"][0];
        // The converter's own latency is the floor, 20 ms within 1 ms; the
        // median also carries the machine's wake-ups (a sanitizer build on a
        // busy machine adds about 1 ms), so it gets 2.
        const auto first = std::find_if(r["trials"].begin(), r["trials"].end(),
                                        [](const Json& t) { return t["kind"] == "latency"; });
        ASSERT_NE(first, r["trials"].end());
        EXPECT_NEAR((*first)["latency_ms"]["min"].get<double>(), 20, 1);
        EXPECT_NEAR(low["p50_ms"]["value"].get<double>(), 20, 2);
        const Json& last = r["loss"].back();
        EXPECT_EQ(last["loss_ratio"]["value"], 0);
        EXPECT_LE(last["load_pct"].get<double>(), r["throughput"]["value"].get<double>());
    }
}

// Ctrl-C ends the current trial; the reports hold the trials done so far.
TEST(Characterize, InterruptKeepsTheTrialsDone) {
    const ts::ScratchDir dir;
    ts::ProcessOptions po(60);
    po.signals = {{2500, SIGINT}};
    const auto r = ts::runProcess(argv({CONVBENCH_CLI},
                                       "characterize --simulate --baud 115200 "
                                       "--size 13 --trial 1 --settle 50 --json " +
                                           (dir / "c.json")),
                                  po);
    EXPECT_EQ(r.status, 4) << r.err;
    Json j;
    ASSERT_TRUE(ts::parseJson(ts::readFile(dir / "c.json"), &j)) << r.err;
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
    cli::ChannelCharz c;
    c.channel.name = "ch1";
    cli::SizeResult s;
    s.way = "e2u";
    s.size = 64;
    s.line_Bps = 11520;
    s.throughput_pct = {false, 0, "the tester was held up"};
    s.burst_packets = {false, 300, "nothing lost up to the longest burst tried"};
    s.burst_lower_bound = true;
    c.results.push_back(s);
    r.channels.push_back(c);
    Json j;
    ASSERT_TRUE(ts::parseJson(cli::charzJson(r), &j));
    const Json& got = j["channels"][0]["results"][0];
    EXPECT_TRUE(got["throughput"]["value"].is_null());
    EXPECT_TRUE(got["throughput"]["bytes_per_s"].is_null());
    EXPECT_EQ(got["throughput"]["note"], "the tester was held up");
    EXPECT_EQ(got["burst"]["bytes"], 300 * 64);
    EXPECT_TRUE(got["burst"]["lower_bound"].get<bool>());
    const std::string sheet = cli::charzSheet(r);
    EXPECT_NE(sheet.find("inconclusive"), std::string::npos) << sheet;
}
