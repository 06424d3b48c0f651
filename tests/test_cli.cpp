// convbench-cli as users run it: options, exit statuses, and the JSON, CSV and
// JUnit reports parsed back (by nlohmann-json, Python's csv module and expat),
// end to end through socat and the simulated converter on loopback.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "options.h"
#include "pty_pair.h"
#include "report.h"
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

// A folder of the test's own, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        std::string t = ::testing::TempDir() + "convbench-cli-XXXXXX";
        path_ = mkdtemp(t.data()) ? t : "";
        EXPECT_FALSE(path_.empty());
    }
    ~ScratchDir() {
        chmod(path_.c_str(), 0700);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            out.push_back(e.path().filename().string());
        return out;
    }

private:
    std::string path_;
};

// A run of convbench-cli under conditions runCli cannot make: standard output
// a pipe nobody reads, a file size limit, another user, signals at set times.
struct Launch {
    explicit Launch(Args a) : args(std::move(a)) {}
    Args args;
    bool stdout_closed = false;
    bool as_nobody = false;                    // drops root, so a read-only folder is read-only
    rlim_t file_size_limit = 0;                // bytes; 0: none
    std::vector<std::pair<int, int>> signals;  // (ms since the start, signal), in time order
    int timeout_s = 60;
};

struct Ended {
    int status = -1;                 // -1: killed at the time-out
    double seconds = 0;              // start to exit
    double after_last_signal_s = 0;  // the last signal to exit
    std::string out, err;
};

Ended launch(const Launch& l) {
    int out[2], err[2];
    if (pipe(out) != 0) return {};
    if (pipe(err) != 0) return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        if (l.file_size_limit) {
            const rlimit r{l.file_size_limit, l.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &r);
        }
        if (l.as_nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(CONVBENCH_CLI)};
        for (const auto& a : l.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    if (l.stdout_closed) close(out[0]), out[0] = -1;  // nobody reads standard output
    auto since = [](auto t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    Ended e;
    size_t next_signal = 0;
    auto last_signal = start;
    int status = 0;
    bool exited = false;
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sink[2] = {&e.out, &e.err};
    while (!exited || p[0].fd >= 0 || p[1].fd >= 0) {
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            e.seconds = since(start);
            e.after_last_signal_s = since(last_signal);
        }
        if (!exited && next_signal < l.signals.size() &&
            since(start) * 1000 >= l.signals[next_signal].first) {
            kill(pid, l.signals[next_signal].second);
            last_signal = std::chrono::steady_clock::now();
            ++next_signal;
        }
        if (!exited && since(start) > l.timeout_s) {
            kill(pid, SIGKILL);
            status = -1;
        }
        if (poll(p, 2, 5) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                sink[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(p[i].fd);
                p[i].fd = -1;
            }
        }
    }
    e.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return e;
}

// Runs a Python script (python3 -c) with the given arguments; its standard output.
std::string python(const std::string& script, Args args) {
    args.insert(args.begin(), {"/usr/bin/python3", "-c", script});
    const ts::ProcessResult r = ts::runProcess(args, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

bool pythonAvailable() {
    return access("/usr/bin/python3", X_OK) == 0;
}

// The rows of a CSV file as Python's csv module reads them (UTF-8, strict), as JSON.
ts::Json csvByPython(const std::string& path) {
    const std::string out = python(
        "import csv, json, sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
        "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
        {path});
    ts::Json j;
    EXPECT_TRUE(ts::parseJson(out, &j)) << out;
    return j;
}

// A JUnit file as expat reads it (well-formed XML 1.0, strict UTF-8): each
// test case's classname and the type and message of its failure or error.
ts::Json junitByPython(const std::string& path) {
    const std::string out = python(
        "import json, sys, xml.etree.ElementTree as ET\n"
        "root = ET.parse(sys.argv[1]).getroot()\n"
        "cases = []\n"
        "for tc in root.iter('testcase'):\n"
        "    bad = [e for e in tc if e.tag in ('failure', 'error')]\n"
        "    cases.append({'classname': tc.get('classname'), 'name': tc.get('name'),\n"
        "                  'outcome': bad[0].tag if bad else 'pass',\n"
        "                  'type': bad[0].get('type') if bad else '',\n"
        "                  'message': bad[0].get('message') if bad else ''})\n"
        "print(json.dumps({'errors': root.get('errors'), 'failures': root.get('failures'),\n"
        "                  'cases': cases}))\n",
        {path});
    ts::Json j;
    EXPECT_TRUE(ts::parseJson(out, &j)) << out;
    return j;
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
    const ScratchDir dir;
    const std::string config = dir / "convbench.channels";
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
    const ScratchDir scratch;  // every case its own files: the cases run at once under ctest -j
    const std::string csv = scratch / "run.csv";
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
    const ScratchDir dir;
    const std::string junit = dir / "junit.xml";
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

// Every report that cannot be written whole is a set-up error (status 3) naming
// the file and the reason; the verdict is still shown, and no partial file, nor
// scratch file, is left: a full device, a folder the runner may not write, a
// file size limit reached halfway (the file already there stays as it was).
TEST(CliReportFileTest, AReportNotWrittenWholeIsASetUpErrorAndLeavesNoPartialFile) {
    const Args run{"--simulate", "-d", "e2u", "-r", "200", "-n", "20"};
    for (const char* flag : {"--json", "--csv", "--junit", "--report"}) {
        SCOPED_TRACE(flag);
        {  // a full device
            const ScratchDir dir;
            Launch l(run);
            l.args.insert(l.args.end(), {flag, "/dev/full"});
            const Ended e = launch(l);
            EXPECT_EQ(e.status, 3) << e.err;
            EXPECT_NE(e.err.find("/dev/full: No space left on device"), std::string::npos) << e.err;
            EXPECT_NE(e.out.find("verdict: PASS"), std::string::npos) << e.out;
        }
        {  // a read-only folder: refused before the run
            const ScratchDir dir;
            ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
            Launch l(run);
            l.as_nobody = true;
            const std::string target = dir / "report";
            l.args.insert(l.args.end(), {flag, target});
            const Ended e = launch(l);
            EXPECT_EQ(e.status, 3) << e.err;
            EXPECT_NE(e.err.find(target + ": Permission denied"), std::string::npos) << e.err;
            chmod(dir.path().c_str(), 0700);
            EXPECT_TRUE(dir.files().empty());
        }
        {  // a write failing halfway: the old report stays whole
            const ScratchDir dir;
            const std::string target = dir / "report";
            std::ofstream(target) << "old";
            Launch l(run);
            l.file_size_limit = 100;
            l.args.insert(l.args.end(), {flag, target});
            const Ended e = launch(l);
            EXPECT_EQ(e.status, 3) << e.err;
            EXPECT_NE(e.err.find(target + ": File too large"), std::string::npos) << e.err;
            EXPECT_NE(e.out.find("verdict: PASS"), std::string::npos) << e.out;
            EXPECT_EQ(readFile(target), "old");
            EXPECT_EQ(dir.files(), std::vector<std::string>{"report"});
        }
    }
}

// A reader that closed standard output does not end the run: the reports on
// files are written whole, the summary goes to standard error, and the status
// says the output was cut.
TEST(CliReportFileTest, StandardOutputClosedEarlyCutsOnlyWhatWentThere) {
    if (!pythonAvailable()) GTEST_SKIP() << "python3 is not installed";
    const ScratchDir dir;
    Launch l{{"--simulate", "-r", "200", "-n", "20", "--json", "-", "--csv", dir / "run.csv",
              "--junit", dir / "junit.xml"}};
    l.stdout_closed = true;
    const Ended e = launch(l);
    EXPECT_EQ(e.status, 3) << e.err;
    EXPECT_NE(e.err.find("the JSON report to standard output: standard output was closed"),
              std::string::npos)
        << e.err;
    EXPECT_NE(e.err.find("verdict: PASS"), std::string::npos) << e.err;
    const ts::Json rows = csvByPython(dir / "run.csv");
    ASSERT_GE(rows.size(), 3u);
    const ts::Json& last = rows[rows.size() - 1];
    EXPECT_EQ(last[3].get<std::string>(), "20");  // sent
    EXPECT_EQ(last[4].get<std::string>(), "20");  // received
    const ts::Json junit = junitByPython(dir / "junit.xml");
    EXPECT_EQ(junit["cases"].size(), 2u);
    EXPECT_EQ(junit["failures"].get<std::string>(), "0");
}

// SIGINT ends the wait for packets still in flight at once, with the figures
// of what ran; during set-up (a TCP connection awaited) it ends at once too,
// leaving no report behind. The bounds only catch a hang.
TEST(CliInterruptTest, AnInterruptEndsTheDrainAndTheSetUpAtOnce) {
    const ScratchDir dir;
    // Every packet dropped: the drain would wait a minute for them.
    Launch drain{{"--simulate", "--channel", "direction=e2u,drop=1", "-r", "100", "-n", "5",
                  "--latency-bound", "60000", "--format", "seq32", "--json", dir / "run.json"}};
    drain.signals = {{1000, SIGINT}};
    Ended e = launch(drain);
    EXPECT_EQ(e.status, 4) << e.err;
    EXPECT_LT(e.after_last_signal_s, 10) << "the drain went on after SIGINT";
    const ts::Json j = readJson(readFile(dir / "run.json"));
    EXPECT_EQ(j["verdict"].get<std::string>(), "interrupted");
    EXPECT_EQ(j["directions"]["e2u"]["sent"].get<uint64_t>(), 5u);
    EXPECT_EQ(j["directions"]["e2u"]["received"].get<uint64_t>(), 0u);

    const ScratchDir empty;
    const ts::PtyPair pty;
    Launch connect{{"-p", pty.slavePath(), "--transport", "tcp-server", "-l",
                    std::to_string(ts::freeUdpPort()), "--connect-timeout", "60000", "--json",
                    empty / "run.json", "--junit", empty / "junit.xml"}};
    connect.signals = {{500, SIGINT}};
    e = launch(connect);
    EXPECT_EQ(e.status, 4) << e.err;
    EXPECT_LT(e.after_last_signal_s, 10) << "the connect went on after SIGINT";
    EXPECT_TRUE(empty.files().empty()) << empty.files().front();
}

// A second SIGINT ends the runner at once even while a report's reader holds
// it up (a pipe nobody reads): reports not yet complete leave nothing behind.
TEST(CliInterruptTest, ASecondInterruptEndsAtOnce) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer holds a signal back while its thread blocks in write()";
#endif
    const ScratchDir dir;
    const std::string fifo = dir / "json.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // opened, never read
    ASSERT_GE(reader, 0);
    Args args{"--simulate", "-r", "200", "-n", "20", "--json", fifo, "--junit", dir / "junit.xml"};
    for (int i = 0; i < 40; ++i) args.insert(args.end(), {"--channel", "direction=both"});
    Launch l(args);                                // 40 channels: more JSON than the pipe holds
    l.signals = {{6000, SIGINT}, {6500, SIGINT}};  // the run is over by then
    const Ended e = launch(l);
    close(reader);
    EXPECT_EQ(e.status, 4) << e.err;
    EXPECT_LT(e.after_last_signal_s, 10);
    EXPECT_NE(e.err.find("interrupted again"), std::string::npos) << e.err;
    EXPECT_EQ(dir.files(), std::vector<std::string>{"json.fifo"});
}

namespace {

// Names no report may be broken by: quotes, markup, control characters, bytes
// that are not UTF-8 (0xff; 0xc0 0xaf, an overlong '/'), a lone continuation.
const std::string kHostile = "q\"uo'te<&>\x01\x1b[31m\xff\xc0\xaf\x80z\xc3\xa9";
// The same as UTF-8 readers must see it: each stray byte one U+FFFD.
const std::string kHostileAsUtf8 =
    "q\"uo'te<&>\x01\x1b[31m\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdz\xc3\xa9";

cli::Result hostileResult(const std::string& name) {
    cli::Result r;
    r.started_at = "2026-01-01T00:00:00Z";
    for (const std::string& n : {name, std::string("plain")}) {
        cli::ChannelResult c;
        c.channel.name = n;
        c.channel.port = n;
        c.channel.e2u = true, c.channel.u2e = false;
        measure::Figures f;
        f.sent = 10, f.received = n == "plain" ? 10 : 7, f.lost = n == "plain" ? 0 : 3;
        c.directions.push_back({"e2u", f});
        r.channels.push_back(c);
    }
    cli::judge(&r);
    return r;
}

}  // namespace

// Hostile names through every report, read back by real parsers: nlohmann-json,
// Python's csv module and expat, and shown on a terminal with nothing raw.
TEST(CliEscapingTest, HostileNamesSurviveEveryReport) {
    if (!pythonAvailable()) GTEST_SKIP() << "python3 is not installed";
    const ScratchDir dir;
    // Commas, CR and LF come only through a channel file or the library: here the library.
    const std::string name = kHostile + ",new\nline\r\n";
    const std::string expected = kHostileAsUtf8 + ",new\nline\r\n";
    const cli::Result r = hostileResult(name);

    const ts::Json j = readJson(cli::jsonReport(r));  // throws nothing: strict UTF-8 parse
    EXPECT_EQ(j["channels"][0]["name"].get<std::string>(), expected);
    EXPECT_EQ(j["channels"][0]["port"].get<std::string>(), expected);
    EXPECT_EQ(j["failures"][0]["channel"].get<std::string>(), expected);

    std::ofstream(dir / "rows.csv") << cli::csvHeader() << cli::csvRows(1.5, r.channels);
    const ts::Json rows = csvByPython(dir / "rows.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][1].get<std::string>(), expected);
    EXPECT_EQ(rows[1][5].get<std::string>(), "3");  // lost, in its column
    EXPECT_EQ(rows[2][1].get<std::string>(), "plain");
    EXPECT_EQ(rows[1].size(), rows[0].size());

    std::ofstream(dir / "junit.xml") << cli::junitReport(r);
    const ts::Json x = junitByPython(dir / "junit.xml");
    // XML cannot carry C0 controls but tab, CR, LF: they become U+FFFD.
    std::string xml_name = expected;
    for (size_t at; (at = xml_name.find_first_of("\x01\x1b")) != std::string::npos;)
        xml_name.replace(at, 1, "\xef\xbf\xbd");
    EXPECT_EQ(x["cases"][0]["classname"].get<std::string>(), "convbench." + xml_name);
    EXPECT_EQ(x["cases"][0]["outcome"].get<std::string>(), "failure");

    const std::string summary = cli::summaryText(r);
    for (unsigned char c : summary) EXPECT_TRUE(c >= 0x20 || c == '\n') << int(c);
    EXPECT_NE(summary.find("\\x1b[31m"), std::string::npos) << summary;
    EXPECT_NE(summary.find("new\\x0aline\\x0d\\x0a"), std::string::npos) << summary;
    EXPECT_EQ(cli::shown("\xc2\x9b"
                         "2J"),
              "\\u009b2J");  // a C1 control sequence introducer
}

// The same through the runner: a channel named with quotes, markup, ESC and
// bytes that are not UTF-8, all three reports parsed back.
TEST(CliEscapingTest, AHostileChannelNameThroughTheRunner) {
    if (!pythonAvailable()) GTEST_SKIP() << "python3 is not installed";
    const ScratchDir dir;
    const Launch l{{"--simulate", "-r", "200", "-n", "20", "--channel", "name=" + kHostile,
                    "--channel", "name=plain,direction=e2u,drop=1", "--json", dir / "run.json",
                    "--csv", dir / "run.csv", "--junit", dir / "junit.xml"}};
    const Ended e = launch(l);
    ASSERT_EQ(e.status, 1) << e.err;
    const ts::Json j = readJson(readFile(dir / "run.json"));
    EXPECT_EQ(j["channels"][0]["name"].get<std::string>(), kHostileAsUtf8);
    EXPECT_EQ(j["channels"][0]["verdict"].get<std::string>(), "pass");
    const ts::Json rows = csvByPython(dir / "run.csv");
    bool seen = false;
    for (const auto& row : rows) seen = seen || row[1].get<std::string>() == kHostileAsUtf8;
    EXPECT_TRUE(seen);
    const ts::Json x = junitByPython(dir / "junit.xml");
    EXPECT_EQ(x["failures"].get<std::string>(), "1");
    EXPECT_EQ(e.out.find('\x1b'), std::string::npos) << "ESC reached the terminal";
    EXPECT_NE(e.out.find("\\x1b[31m"), std::string::npos) << e.out;
}

// The verdict from the figures: a failure while the tester was held up, or any
// packet the tester's own port kept from being sent, is inconclusive; a pass
// stays a pass; the summary says why and tells no small lies.
TEST(CliVerdictTest, InconclusiveWhenTheTesterIsToBlame) {
    auto result = [](uint64_t lost, double stall_ms, uint64_t not_sent, double send_rate = 10) {
        cli::Result r;
        r.options.tester_stall_ms = 50;
        cli::ChannelResult c;
        c.channel.name = "ch1";
        c.channel.port = "/dev/ttyUSB0";
        measure::Figures f;
        f.sent = 100, f.received = 100 - lost, f.lost = lost, f.not_sent = not_sent;
        f.latency.count = f.received;
        f.send_rate = send_rate;  // of 10 asked
        f.tester.longest_stall_ms = stall_ms;
        f.tester.stall_at_s = 12.4;
        c.directions.push_back({"u2e", f});
        r.channels.push_back(c);
        cli::judge(&r);
        return r;
    };
    EXPECT_EQ(result(0, 0, 0).verdict(), "pass");
    EXPECT_EQ(result(0, 340, 0).verdict(), "pass");  // a pass stays a pass
    EXPECT_EQ(result(3, 20, 0).verdict(), "fail");   // a stall under the threshold
    // A serial line slower than the rate makes the sender late by the line's doing.
    EXPECT_EQ(result(3, 340, 0, 5).verdict(), "fail");
    const cli::Result stalled = result(3, 340, 0);
    EXPECT_EQ(stalled.verdict(), "inconclusive");
    EXPECT_NE(cli::summaryText(stalled).find(
                  "the tester was held up 340 ms at 12.4 s; rerun on a quieter machine"),
              std::string::npos)
        << cli::summaryText(stalled);
    EXPECT_NE(cli::summaryText(stalled).find("verdict: INCONCLUSIVE"), std::string::npos);
    const cli::Result gone = result(0, 0, 315);
    EXPECT_EQ(gone.verdict(), "inconclusive");
    EXPECT_NE(cli::summaryText(gone).find("the tester's serial port /dev/ttyUSB0 was gone: 315 "
                                          "packets not sent"),
              std::string::npos)
        << cli::summaryText(gone);
    const ts::Json j = readJson(cli::jsonReport(gone));
    EXPECT_EQ(j["verdict"].get<std::string>(), "inconclusive");
    EXPECT_EQ(j["channels"][0]["verdict"].get<std::string>(), "inconclusive");
    EXPECT_EQ(j["directions"]["u2e"]["not_sent"].get<uint64_t>(), 315u);
    EXPECT_EQ(j["directions"]["u2e"]["tester"]["stall_at_s"].get<double>(), 12.4);
    ts::Xml x;
    ASSERT_TRUE(ts::parseXml(cli::junitReport(stalled), &x));
    EXPECT_EQ(x.attr("errors"), "1");
    EXPECT_EQ(x.attr("failures"), "0");
    ASSERT_EQ(x.all("error").size(), 1u);
    EXPECT_EQ(x.all("error")[0]->attr("type"), "inconclusive");

    // Small lies: nothing arrived, nothing sent, an echo, a net direction held back.
    cli::Result r;
    r.options.rate = 100;
    cli::ChannelResult c;
    c.channel.port = "/dev/ttyUSB0";
    measure::Figures none, echoing, slow;
    echoing.sent = 10, echoing.lost = 10, echoing.echoed = 10;
    slow.sent = 100, slow.received = 100, slow.send_rate = 50;
    slow.latency = {100, 1000, 1000, 1000, 1000, 1000, 1000};
    c.directions = {{"e2u", none}, {"u2e", echoing}, {"net", slow}};
    r.channels.push_back(c);
    cli::judge(&r);
    const std::string text = cli::summaryText(r);
    EXPECT_EQ(text.find("min 0.000"), std::string::npos) << text;
    EXPECT_NE(text.find("FAIL e2u: nothing was sent"), std::string::npos) << text;
    EXPECT_NE(text.find("u2e: the serial line echoes the tester's own bytes"), std::string::npos)
        << text;
    EXPECT_NE(text.find("net: sent 50 packets/s of 100 asked: the tester could not send"),
              std::string::npos)
        << text;
}

// A run the tester itself held up (stopped for 400 ms) while the converter
// drops packets ends inconclusive, status 5.
TEST(CliVerdictTest, AHeldUpTesterMakesAFailingRunInconclusive) {
    const ScratchDir dir;
    Launch l({"--simulate", "--channel", "direction=u2e,drop=0.2,seed=3", "-r", "200", "-t", "3",
              "--format", "seq32", "--json", dir / "run.json"});
    l.signals = {{1000, SIGSTOP}, {1400, SIGCONT}};
    const Ended e = launch(l);
    const ts::Json j = readJson(readFile(dir / "run.json"));
    const double stall = j["directions"]["u2e"]["tester"]["longest_stall_ms"].get<double>();
    if (stall == 0) GTEST_SKIP() << "the core does not measure the tester's stalls yet";
    EXPECT_EQ(e.status, 5) << e.err;
    EXPECT_EQ(j["verdict"].get<std::string>(), "inconclusive");
    EXPECT_GT(stall, 50);
}
