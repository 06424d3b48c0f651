// convbench-cli as users run it: options, exit statuses, and the JSON and CSV
// reports parsed back, end to end through socat on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>

#include "json.h"
#include "loopback.h"
#include "options.h"
#include "process.h"
#include "pty_pair.h"
#include "socat.h"
#include "xml_reader.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;

namespace {

ts::ProcessResult runCli(Args args, int timeout_s = 60, int signal_after_ms = 0) {
    args.insert(args.begin(), CONVBENCH_CLI);
    return ts::runProcess(args, timeout_s, signal_after_ms, SIGINT);
}

ts::Json readJson(const std::string& text) {
    ts::Json j;
    std::string error;
    EXPECT_TRUE(ts::parseJson(text, &j, &error)) << error << "\n" << text;
    EXPECT_EQ(j["schema"], 2);
    return j;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

TEST(CliOptionsTest, BadInputIsRefusedWithAReason) {
    const Args bad[] = {
        {},                                       // no port, no address
        {"-p", "ttyX", "-a", "abc:1234"},         // not an address
        {"-p", "ttyX", "-a", " 127.0.0.1:1234"},  // spaces
        {"-p", "ttyX", "-a", "999.1.1.1:1234"},   // beyond 255
        {"-p", "ttyX", "-a", "1.2.3:1234"},       // three numbers
        {"-p", "ttyX", "-a", "127.0.0.1:0"},      // port 0
        {"-p", "ttyX", "-a", "127.0.0.1:65536"},  // port too large
        {"-p", "ttyX", "-a", "127.0.0.1"},        // no port
        {"-p", "ttyX", "-a", "127.0.0.1:1", "-r", "0"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "-r", "-5"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "-r", "ten"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "-l", "70000"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "--baud", "12345"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "-d", "sideways"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "-n", "5", "-t", "2"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "--frobnicate", "1"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "--json"},  // a value missing
        {"-p", "ttyX", "-a", "127.0.0.1:1", "--transport", "sctp"},
        {"-p", "ttyX", "-a", "127.0.0.1:1", "--transport", "tcp-client", "-d", "net"},
        {"-p", "ttyX", "--transport", "tcp-client"},  // no address to connect to
        {"--channel", "port=/dev/ttyX,address=127.0.0.1:1", "-p", "ttyY"},
        {"--channel", "port=/dev/ttyX,address=127.0.0.1:1,colour=red"},
        {"--channel", "port=/dev/ttyX,address=127.0.0.1:1,drop=0.1"},  // faults need --simulate
        {"--channel", "port=/dev/ttyX,address=127.0.0.1:1,listen=5000", "--channel",
         "port=ttyX,address=127.0.0.1:2,listen=5001"},  // the same serial port
        {"--channel", "port=ttyX,address=127.0.0.1:1,listen=5000", "--channel",
         "port=ttyY,address=127.0.0.1:2,listen=5000"},  // the same UDP listen port
        {"--channel", "port=ttyX,transport=tcp-server,listen=5000", "--channel",
         "port=ttyY,transport=tcp-server,listen=5000"},  // the same TCP listen port
        {"--config", "/nonexistent/convbench.channels"},
    };
    for (const Args& a : bad) {
        Args argv{"convbench-cli"};
        argv.insert(argv.end(), a.begin(), a.end());
        std::vector<const char*> p;
        for (const auto& s : argv) p.push_back(s.c_str());
        cli::Options o;
        std::string error;
        EXPECT_FALSE(cli::parseOptions(static_cast<int>(p.size()), p.data(), &o, &error))
            << argv.back();
        EXPECT_FALSE(error.empty());
    }
    const char* good[] = {
        "x",   "--port=ttyUSB0", "-a",    "10.0.0.255:502", "-d",     "u2e",       "-n",
        "600", "--format",       "seq32", "--baud",         "921600", "--max-p99", "2.5"};
    cli::Options o;
    std::string error;
    ASSERT_TRUE(cli::parseOptions(14, good, &o, &error)) << error;
    EXPECT_EQ(o.port, "ttyUSB0");
    EXPECT_EQ(o.dest_port, 502);
    EXPECT_TRUE(o.u2e && !o.e2u);
    EXPECT_EQ(o.count, 600u);
    EXPECT_EQ(o.format, measure::Format::Seq32);
    EXPECT_EQ(o.baud, 921600);
    EXPECT_EQ(o.limits.max_p99_ms, 2.5);

    // Channels from a file and the command line; UDP and TCP may share a port number.
    const std::string config = ::testing::TempDir() + "convbench.channels";
    std::ofstream(config) << "format 1\n# bench 3\n"
                             "port=ttyUSB0 address=10.0.0.5:4001 transport=tcp-client # left\n"
                             "\n  name=right,port=ttyUSB1,transport=tcp-server,listen=4002 \n";
    const char* many[] = {"x",
                          "-d",
                          "u2e",
                          "--config",
                          config.c_str(),
                          "--channel",
                          "port=ttyUSB2,address=10.0.0.6:4002,listen=4002"};
    ASSERT_TRUE(cli::parseOptions(7, many, &o, &error)) << error;
    ASSERT_EQ(o.channels.size(), 3u);
    EXPECT_EQ(o.channels[0].name, "ch1");
    EXPECT_EQ(o.channels[0].transport, traffic::Transport::TcpClient);
    EXPECT_EQ(o.channels[0].address(), "10.0.0.5:4001");
    EXPECT_EQ(o.channels[1].name, "right");
    EXPECT_EQ(o.channels[1].listen_port, 4002);
    EXPECT_EQ(o.channels[2].transport, traffic::Transport::Udp);
    EXPECT_TRUE(o.channels[2].u2e && !o.channels[2].e2u);  // the default direction given

    const ts::ProcessResult usage = runCli({"--rate", "0", "-p", "x", "-a", "127.0.0.1:1"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--rate"), std::string::npos) << usage.err;
    const ts::ProcessResult same =
        runCli({"--channel", "port=ttyX,address=127.0.0.1:1,listen=5000", "--channel",
                "port=ttyY,address=127.0.0.1:1,listen=5000"});
    EXPECT_EQ(same.status, 2);
    EXPECT_NE(same.err.find("ch1 and ch2 listen on the same UDP port 5000"), std::string::npos)
        << same.err;
    EXPECT_EQ(runCli({"--help"}).status, 0);
}

// Through socat each way and both at once: every packet counted once, a pass, and
// reports that parse back.
class CliRunTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CliRunTest, EveryPacketArrivesAndTheReportsSayPass) {
    if (!ts::socatAvailable()) GTEST_SKIP() << "socat is not installed";
    const unsigned short conv = ts::freeUdpPort();
    unsigned short listen = ts::freeUdpPort();
    while (listen == conv) listen = ts::freeUdpPort();
    ts::SocatBridge bridge(conv, listen, 60);
    ASSERT_TRUE(bridge.ok()) << bridge.error();
    const std::string csv = ::testing::TempDir() + "convbench-run.csv";
    const ts::ProcessResult r =
        runCli({"-p", bridge.ptyPath(), "-a", "127.0.0.1:" + std::to_string(conv), "-l",
                std::to_string(listen), "-d", GetParam(), "-r", "50", "-n", "40", "--json", "-",
                "--csv", csv, "--report", csv + ".html"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const ts::Json j = readJson(r.out);
    EXPECT_EQ(j["verdict"].get<std::string>(), "pass");
    const std::string dir = GetParam();
    const Args ways = dir == "both" ? Args{"e2u", "u2e"} : Args{dir};
    EXPECT_EQ(j["directions"].size(), ways.size());
    for (const std::string& w : ways) {
        const ts::Json& d = j["directions"][w];
        EXPECT_EQ(d["sent"].get<uint64_t>(), 40u) << w;
        EXPECT_EQ(d["received"].get<uint64_t>(), 40u) << w;
        EXPECT_EQ(d["lost"].get<uint64_t>() + d["duplicated"].get<uint64_t>() +
                      d["corrupt"].get<uint64_t>(),
                  0u)
            << w;
        EXPECT_GT(d["latency_us"]["p50"].get<double>(), 0) << w;
        EXPECT_LE(d["latency_us"]["p50"].get<double>(), d["latency_us"]["p99"].get<double>()) << w;
    }
    // The CSV: its header names the columns; the last row per direction holds the totals.
    std::istringstream rows(readFile(csv));
    std::string header, line, last;
    std::getline(rows, header);
    EXPECT_EQ(header.rfind("time_s,channel,direction,sent,received,lost", 0), 0u) << header;
    int n = 0;
    while (std::getline(rows, line)) ++n, last = line;
    EXPECT_GE(n, static_cast<int>(ways.size()));
    EXPECT_NE(last.find("," + ways.back() + ",40,40,0,"), std::string::npos) << last;
    // The HTML report: three plots a direction (drawing is checked in a browser elsewhere).
    const std::string html = readFile(csv + ".html");
    size_t plots = 0;
    for (size_t at = 0; (at = html.find("<svg class=\"plot\"", at)) != std::string::npos; ++at)
        ++plots;
    EXPECT_EQ(plots, 3 * ways.size());
}

INSTANTIATE_TEST_SUITE_P(Directions, CliRunTest, ::testing::Values("e2u", "u2e", "both"));

// A converter that passes nothing fails, naming the figure; set-up faults are status 3
// with a reason; SIGINT ends the run with the figures of what ran.
TEST(CliExitTest, FailSetUpErrorAndInterrupt) {
    ts::PtyPair pty;  // nobody forwards what is written to it
    const unsigned short listen = ts::freeUdpPort();
    const Args base{"-p", pty.slavePath(), "-a", "127.0.0.1:9", "-l", std::to_string(listen)};
    auto with = [&](Args more) {
        Args a = base;
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    ts::ProcessResult r = runCli(
        with({"-d", "u2e", "-r", "100", "-n", "5", "--latency-bound", "100", "--json", "-"}));
    ASSERT_EQ(r.status, 1) << r.err;
    ts::Json j = readJson(r.out);
    EXPECT_EQ(j["verdict"].get<std::string>(), "fail");
    EXPECT_EQ(j["directions"]["u2e"]["lost"].get<uint64_t>(), 5u);
    ASSERT_EQ(j["failures"].size(), 1u);
    EXPECT_EQ(j["failures"][0]["figure"].get<std::string>(), "lost");
    EXPECT_NE(r.err.find("FAIL u2e: lost 5"), std::string::npos) << r.err;

    r = runCli({"-p", "convbench-no-such-port", "-a", "127.0.0.1:9", "-l", std::to_string(listen)});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("/dev/convbench-no-such-port"), std::string::npos) << r.err;
    ts::UdpPeer holder;  // the listen port is taken
    r = runCli({"-p", pty.slavePath(), "-a", "127.0.0.1:9", "-l", std::to_string(holder.port())});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("UDP port " + std::to_string(holder.port())), std::string::npos) << r.err;

    // A TCP converter that refuses, or never connects, is a set-up error at the start.
    r = runCli({"-p", pty.slavePath(), "-a", "127.0.0.1:" + std::to_string(ts::freeUdpPort()),
                "--transport", "tcp-client", "--connect-timeout", "300"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("over TCP: Connection refused"), std::string::npos) << r.err;
    r = runCli({"-p", pty.slavePath(), "-l", std::to_string(ts::freeUdpPort()), "--transport",
                "tcp-server", "--connect-timeout", "300"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no converter connected to TCP port"), std::string::npos) << r.err;

    r = runCli(with({"-t", "60", "--json", "-"}), 30, 700);
    EXPECT_EQ(r.status, 4) << r.err;
    j = readJson(r.out);
    EXPECT_TRUE(j["interrupted"].get<bool>());
    EXPECT_EQ(j["verdict"].get<std::string>(), "interrupted");
    EXPECT_GT(j["directions"]["e2u"]["sent"].get<uint64_t>(), 0u);
    EXPECT_LT(j["elapsed_s"].get<double>(), 10);
}

// Four channels at once, one per transport and a faulty one: the faulty channel
// fails alone, in the JSON and in the JUnit report, both parsed back.
TEST(CliChannelsTest, AFaultyChannelFailsAlone) {
    const std::string junit = ::testing::TempDir() + "convbench-junit.xml";
    const ts::ProcessResult r =
        runCli({"--simulate", "-r", "200", "-n", "200", "--json", "-", "--junit", junit,
                "--channel", "transport=udp", "--channel", "transport=tcp-client", "--channel",
                "transport=tcp-server", "--channel", "name=faulty,direction=e2u,drop=0.05,seed=4"});
    ASSERT_EQ(r.status, 1) << r.err;
    const ts::Json j = readJson(r.out);
    ASSERT_EQ(j["channels"].size(), 4u);
    for (const auto& c : j["channels"]) {
        const bool faulty = c["name"].get<std::string>() == "faulty";
        EXPECT_EQ(c["verdict"].get<std::string>(), faulty ? "fail" : "pass")
            << c["name"].get<std::string>();
        for (const auto& [way, d] : c["directions"].items()) {
            EXPECT_EQ(d["sent"].get<uint64_t>(), 200u)
                << c["name"].get<std::string>() << " " << way;
            if (!faulty) {
                EXPECT_EQ(d["received"].get<uint64_t>(), 200u)
                    << c["name"].get<std::string>() << " " << way;
            }
        }
        EXPECT_EQ(c.contains("link"), c["transport"].get<std::string>() != "udp")
            << c["name"].get<std::string>();
    }
    EXPECT_EQ(j["channels"][1]["link"]["connections"].get<uint64_t>(), 1u);
    EXPECT_EQ(j["channels"][3]["directions"]["e2u"]["lost"].get<uint64_t>(),
              j["channels"][3]["simulator"]["net_to_serial"]["dropped"].get<uint64_t>());
    ASSERT_FALSE(j["failures"].empty());
    for (const auto& f : j["failures"]) EXPECT_EQ(f["channel"].get<std::string>(), "faulty");

    ts::Xml x;
    std::string error;
    ASSERT_TRUE(ts::parseXml(readFile(junit), &x, &error)) << error;
    EXPECT_EQ(x.name, "testsuites");
    EXPECT_EQ(x.attr("tests"), "7");
    EXPECT_EQ(x.attr("failures"), "1");
    EXPECT_EQ(x.all("testsuite").size(), 4u);
    int failures = 0;
    for (const ts::Xml* tc : x.all("testcase")) {
        const auto f = tc->all("failure");
        failures += static_cast<int>(f.size());
        if (f.empty()) continue;
        EXPECT_EQ(tc->attr("classname"), "convbench.faulty");
        EXPECT_EQ(tc->attr("name"), "e2u");
        EXPECT_EQ(f[0]->attr("message").rfind("lost ", 0), 0u) << f[0]->attr("message");
        EXPECT_NE(f[0]->text.find("sent 200"), std::string::npos) << f[0]->text;
    }
    EXPECT_EQ(failures, 1);
}
