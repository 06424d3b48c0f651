// convbench-cli with many channels on one engine, seen from outside: a dead or
// stuck converter fails its own channel and holds up no other, every channel
// keeps its rate at high rates, an interrupt ends a run with every kind of
// descriptor open, and the runner's thread count does not grow with channels.
// Bounds on time only catch hangs; figures are judged exactly.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "pty_pair.h"
#include "scratch.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;

namespace {

using Scratch = ts::ScratchDir;

// The runner as a child, killed after timeout_s (its status then -1); SIGINT at signal_at_s, if
// asked; `watch` called about every 20 ms while it runs.
ts::ProcessResult runner(Args args, int timeout_s, double signal_at_s = -1,
                         std::function<void(ts::Child&, double)> watch = nullptr) {
    args.insert(args.begin(), CONVBENCH_CLI);
    ts::ProcessOptions o(timeout_s);
    if (signal_at_s >= 0) o.signals = {{int(signal_at_s * 1000), SIGINT}};
    o.watch = std::move(watch);
    return ts::runProcess(args, o);
}

// The JSON report a run wrote in the scratch folder.
ts::Json report(const Scratch& dir) {
    const std::string text = ts::readFile(dir / "r.json");
    ts::Json j;
    EXPECT_TRUE(ts::parseJson(text, &j)) << text.substr(0, 2000);
    return j;
}

// `run` (rate and count) with n network channels n0, n1, ... (datagrams to their own listen port
// and back), seq32 packets and the JSON report in r.json; fills *spare with free UDP ports none of
// them uses. A busy machine holds the tester up; the verdicts judged here are the converters', so
// a stall never makes a run inconclusive.
Args netChannels(int n, Args run, const Scratch& dir,
                 std::vector<unsigned short>* spare = nullptr) {
    run.insert(run.end(),
               {"--format", "seq32", "--json", dir / "r.json", "--tester-stall", "600000"});
    std::set<unsigned short> ports;  // distinct, free a moment ago
    while (ports.size() < n + (spare ? spare->size() : 0)) ports.insert(ts::freeUdpPort());
    auto port = ports.begin();
    for (int i = 0; i < n; ++i, ++port)
        run.insert(run.end(), {"--channel",
                               "name=n" + std::to_string(i) + ",direction=net,address=127.0.0.1:" +
                                   std::to_string(*port) + ",listen=" + std::to_string(*port)});
    if (spare) std::copy(port, ports.end(), spare->begin());
    return run;
}

}  // namespace

// 8 network channels at 2000 packets/s beside two stuck ones: a converter (a TCP server) that never
// reads, whose window closes within a second so the runner's writes find no room, and a serial port
// that never drains (a pty whose far end nobody reads, kept full through the run by the test: as a
// port held by flow control). Neither holds up the other channels, which pass with every packet
// counted at their rate, nor the end of the run.
TEST(LoopStuckSerial, AConverterThatNeverReadsOrAPortThatNeverDrainsHoldsUpNoOtherChannel) {
    const Scratch dir;
    // A TCP converter that accepts connections (the kernel does, from its backlog) and never
    // reads them, with a receive buffer as small as the kernel allows.
    const int deaf = ts::listenTcp(1);
    ASSERT_GE(deaf, 0);
    const ts::PtyPair tcp_serial, serial;
    ASSERT_TRUE(tcp_serial.ok() && serial.ok());
    ASSERT_EQ(fcntl(serial.slave(), F_SETFL, fcntl(serial.slave(), F_GETFL) | O_NONBLOCK), 0);
    const ts::UdpPeer nobody;  // the converter's address: nothing comes back
    std::vector<unsigned short> listen(1);
    Args args = netChannels(8, {"-r", "2000", "-n", "10000"}, dir, &listen);
    const std::string at = ",address=127.0.0.1:";
    args.insert(args.end(),
                {"--channel",
                 "name=stuck-tcp,direction=e2u,transport=tcp-client,port=" +
                     tcp_serial.slavePath() + at + std::to_string(ts::boundPort(deaf)),
                 "--channel",
                 "name=stuck-serial,direction=u2e,port=" + serial.slavePath() + at +
                     std::to_string(nobody.port()) + ",listen=" + std::to_string(listen[0])});
    const std::vector<char> fill(4096, 'x');
    size_t filled = 0;  // the runner empties the port when it opens it: filled again and again
    const ts::ProcessResult r = runner(args, 90, -1, [&](ts::Child&, double) {
        for (ssize_t n; (n = write(serial.slave(), fill.data(), fill.size())) > 0;)
            filled += static_cast<size_t>(n);
    });
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_GT(filled, 0u);
    // The stuck channels failed; every other passed with every packet sent and received, at its
    // rate (a channel its engine starves sends far below it), and none was sent much later than
    // the others: lateness p99 against the median channel's, five times it and 20 ms more, so a
    // loaded machine passes and only a channel left behind by tens of milliseconds fails.
    const ts::Json j = report(dir);
    ASSERT_EQ(j["channels"].size(), 10u);
    std::vector<double> p99;
    for (const auto& c : j["channels"]) {
        const std::string name = c["name"].get<std::string>();
        EXPECT_EQ(c["verdict"].get<std::string>(), name.rfind("stuck", 0) ? "pass" : "fail");
        if (name.rfind("stuck", 0) == 0) continue;
        const ts::Json& d = c["directions"]["net"];
        EXPECT_EQ(d["sent"].get<uint64_t>(), 10000u) << name;
        EXPECT_EQ(d["received"].get<uint64_t>(), 10000u) << name;
        EXPECT_EQ(d["lost"].get<uint64_t>(), 0u) << name;
        EXPECT_NEAR(d["send_rate"].get<double>(), 2000, 200) << name;
        p99.push_back(d["tester"]["send_lateness_us"]["p99"].get<double>());
    }
    std::vector<double> sorted = p99;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < p99.size(); ++i)
        EXPECT_LE(p99[i], 5 * sorted[p99.size() / 2] + 20000)
            << "channel n" << i << ": send lateness p99 against the median channel's";
    close(deaf);
}

// Simulated channels of every transport (each a serial port, UDP sockets, a TCP client, a TCP
// server with its connection) beside one whose converter drops everything, interrupted mid-run
// and run to the end: prompt exit with status 4 / 1, reports written whole, no child left. At the
// end the dead channel alone fails, losing exactly what it sent, and every other counts each
// packet once. Under AddressSanitizer a leak at exit changes the status.
TEST(LoopShutdownTest, ADeadConverterFailsAloneAndEveryDescriptorKindClosesAtAnInterruptOrTheEnd) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const bool interrupt : {true, false}) {
        SCOPED_TRACE(interrupt ? "interrupted" : "to the end");
        const Scratch dir;
        Args args{"--simulate",  "-r",    "200",         "-t",           interrupt ? "60" : "2",
                  "--format",    "seq32", "--json",      dir / "r.json", "--junit",
                  dir / "j.xml", "--csv", dir / "r.csv", "--channel",    "name=dead,drop=1"};
        for (const char* t : {"udp", "tcp-client", "tcp-server"})
            for (const char* way : {"both", "e2u"})
                args.insert(args.end(),
                            {"--channel", std::string("transport=") + t + ",direction=" + way});
        const ts::ProcessResult r = runner(args, 60, interrupt ? 2.0 : -1);
        EXPECT_EQ(r.status, interrupt ? 4 : 1) << r.err;
        EXPECT_TRUE(!interrupt || r.after_last_signal_s < 10) << "the run went on after SIGINT";
        const ts::Json j = report(dir);
        EXPECT_EQ(j["interrupted"].get<bool>(), interrupt);
        ASSERT_EQ(j["channels"].size(), 7u);
        size_t ways = 0;
        for (const auto& c : j["channels"]) {
            const bool dead = c["name"] == "dead";
            EXPECT_TRUE(interrupt || c["verdict"] == (dead ? "fail" : "pass")) << c["name"];
            for (const auto& [way, d] : c["directions"].items()) {
                SCOPED_TRACE(c["name"].get<std::string>() + " " + way);
                const uint64_t sent = d["sent"].get<uint64_t>();
                EXPECT_GT(sent, 0u);
                ++ways;
                if (interrupt) continue;
                EXPECT_EQ(d["received"].get<uint64_t>(), dead ? 0u : sent);
                EXPECT_EQ(d["lost"].get<uint64_t>(), dead ? sent : 0u);
                EXPECT_EQ(d["duplicated"].get<uint64_t>() + d["corrupt"].get<uint64_t>() +
                              d["skipped_bytes"].get<uint64_t>(),
                          0u);
            }
        }
        EXPECT_EQ(ways, 11u);
        for (const auto& f : j["failures"]) EXPECT_EQ(f["channel"].get<std::string>(), "dead");
        EXPECT_NE(ts::readFile(dir / "j.xml").find("</testsuites>"), std::string::npos);
        EXPECT_FALSE(ts::readFile(dir / "r.csv").empty());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // With this process the subreaper of its descendants, a child the runner left running
        // comes here when the runner ends.
        std::ifstream f("/proc/self/task/" + std::to_string(getpid()) + "/children");
        const std::vector<pid_t> left{std::istream_iterator<pid_t>(f), {}};
        EXPECT_TRUE(f.is_open() && left.empty()) << left.size() << " processes outlived the runner";
        for (pid_t p : left) kill(p, SIGKILL), waitpid(p, nullptr, 0);
    }
}

// 64 channels (56 network to network, 8 on serial ports) on at most
// cores + 2 threads, counted while they run. An engine with threads of every
// channel's own (four each) fails this.
TEST(LoopThreads, SixtyFourChannelsRunOnAtMostCoresPlusTwoThreads) {
    const Scratch dir;
    std::vector<unsigned short> listen(8);
    Args args = netChannels(56, {"-r", "10", "-t", "6"}, dir, &listen);
    const std::vector<ts::PtyPair> ptys(8);
    const ts::UdpPeer converter;  // takes the serial channels' datagrams, forwards none
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(ptys[i].ok());
        args.insert(args.end(),
                    {"--channel", "name=s" + std::to_string(i) + ",port=" + ptys[i].slavePath() +
                                      ",address=127.0.0.1:" + std::to_string(converter.port()) +
                                      ",listen=" + std::to_string(listen[i])});
    }
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    int most = 0, samples = 0;
    const ts::ProcessResult r = runner(args, 60, -1, [&](ts::Child& c, double t) {
        const int n = c.countEntries("task");  // after the start, before the end
        if (t > 2 && t < 5 && n > 0) most = std::max(most, n), ++samples;
    });
    ASSERT_GT(samples, 0) << r.err;
    EXPECT_LE(most, cores + 2) << "threads with 64 channels on " << cores << " cores";
    // The serial channels have no converter and fail; the network ones pass.
    const ts::Json j = report(dir);
    ASSERT_EQ(j["channels"].size(), 64u);
    for (size_t i = 0; i < 56; ++i) EXPECT_EQ(j["channels"][i]["verdict"], "pass") << i;
}
