// convbench-cli as users run it: options, exit statuses, and the JSON, CSV and
// JUnit reports parsed back (by nlohmann-json, Python's csv module and expat),
// end to end through socat and the simulated converter on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "child_process.h"
#include "json.h"
#include "loopback.h"
#include "options.h"
#include "pty_pair.h"
#include "report.h"
#include "scratch.h"
#include "socat.h"
#include "xml_reader.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;
using ts::readFile;
using ScratchDir = ts::ScratchDir;

namespace {

ts::Json readJson(const std::string& text) {
    ts::Json j;
    std::string error;
    EXPECT_TRUE(ts::parseJson(text, &j, &error)) << error << "\n" << text;
    EXPECT_EQ(j["schema"], 3);
    return j;
}

// The conditions a run of convbench-cli may meet: signals (ms after the start,
// signal), a closed standard output, a file size limit, another user.
struct Launch : ts::ProcessOptions {
    explicit Launch(std::vector<std::pair<int, int>> at = {}) { signals = std::move(at); }
};
using Ended = ts::ProcessResult;

Ended runCli(Args args, const Launch& l = Launch()) {
    args.insert(args.begin(), CONVBENCH_CLI);
    return ts::runProcess(args, l);
}

bool pythonAvailable() {
    return access("/usr/bin/python3", X_OK) == 0;
}

// The rows of a CSV file as Python's csv module reads them (UTF-8, strict).
ts::Json csvByPython(const std::string& path) {
    const ts::ProcessResult r = ts::runProcess(
        {"/usr/bin/python3", "-c",
         "import csv, json, sys\n"
         "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
         "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
         path});
    EXPECT_EQ(r.status, 0) << r.err;
    ts::Json rows;
    EXPECT_TRUE(ts::parseJson(r.out, &rows)) << r.out;
    return rows;
}

// A JUnit report as expat reads it (well-formed XML 1.0, strict UTF-8).
ts::Xml junit(const std::string& text) {
    ts::Xml x;
    std::string error;
    EXPECT_TRUE(ts::parseXml(text, &x, &error)) << error;
    return x;
}

// A channel of each name, on /dev/ttyUSB0, with these directions, judged at `rate` packets/s.
cli::Result judged(const std::vector<cli::DirectionResult>& ways, const Args& names = {"ch1"},
                   double rate = 10) {
    cli::Result r;
    r.options.rate = rate;
    for (const std::string& name : names) {
        cli::ChannelResult c;
        c.channel.name = name;
        c.channel.port = "/dev/ttyUSB0";
        c.directions = ways;
        r.channels.push_back(c);
    }
    cli::judge(&r);
    return r;
}

}  // namespace

// Through socat each way and both at once: every packet counted once, a pass, and
// reports that parse back.
class CliRunTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CliRunTest, EveryPacketArrivesAndTheReportsSayPass) {
    if (!ts::socatAvailable() || !pythonAvailable()) GTEST_SKIP() << "no socat or python3";
    const unsigned short conv = ts::freeUdpPort();
    unsigned short listen = ts::freeUdpPort();
    while (listen == conv) listen = ts::freeUdpPort();
    ts::SocatBridge bridge(conv, listen, 60);
    ASSERT_TRUE(bridge.ok()) << bridge.error();
    const ScratchDir dir;  // every case its own files: the cases run at once under ctest -j
    const Ended r = runCli({"-p", bridge.ptyPath(), "-a", "127.0.0.1:" + std::to_string(conv), "-l",
                            std::to_string(listen), "-d", GetParam(), "-r", "50", "-n", "40",
                            "--json", "-", "--csv", dir / "run.csv", "--report", dir / "run.html"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const ts::Json j = readJson(r.out);
    EXPECT_EQ(j["verdict"], "pass");
    const std::string way = GetParam();
    const Args ways = way == "both" ? Args{"e2u", "u2e"} : Args{way};
    EXPECT_EQ(j["directions"].size(), ways.size());
    for (const std::string& w : ways) {
        const ts::Json& d = j["directions"][w];
        EXPECT_EQ(d["sent"], 40) << w;
        EXPECT_EQ(d["received"], 40) << w;
        for (const char* k : {"lost", "duplicated", "corrupt"}) EXPECT_EQ(d[k], 0) << w << k;
        EXPECT_GT(d["latency_us"]["p50"].get<double>(), 0) << w;
        EXPECT_LE(d["latency_us"]["p50"].get<double>(), d["latency_us"]["p99"].get<double>()) << w;
    }
    // The CSV: a header naming the columns; the last row per direction holds the totals.
    const ts::Json rows = csvByPython(dir / "run.csv");
    ASSERT_GT(rows.size(), ways.size());
    EXPECT_EQ(rows[0][5], "lost");
    const ts::Json& last = rows.back();
    EXPECT_EQ(ts::Json(std::vector<ts::Json>(last.begin() + 1, last.begin() + 6)),
              ts::Json({"ch1", ways.back(), "40", "40", "0"}))
        << last;
    // The HTML report: three plots a direction (drawing is checked in a browser elsewhere).
    const std::string html = readFile(dir / "run.html");
    size_t plots = 0;
    for (size_t at = 0; (at = html.find("<svg class=\"plot\"", at)) != std::string::npos; ++at)
        ++plots;
    EXPECT_EQ(plots, 3 * ways.size());
}

INSTANTIATE_TEST_SUITE_P(Directions, CliRunTest, ::testing::Values("e2u", "u2e", "both"));

// Set-up faults are status 3 with a reason: a port that is not there, a listen
// port taken, a TCP converter that refuses or never connects. SIGINT while a
// converter is awaited ends the run at once, leaving no report behind.
TEST(CliExitTest, SetUpErrorsAndAnInterruptDuringSetUp) {
    ts::PtyPair pty;  // nobody forwards what is written to it
    const std::string tty = pty.slavePath(), listen = std::to_string(ts::freeUdpPort());
    ts::UdpPeer holder;  // the listen port is taken
    const std::string held = std::to_string(holder.port()),
                      free = std::to_string(ts::freeUdpPort());
    const std::pair<Args, std::string> setup[] = {
        {{"-p", "convbench-no-such-port", "-a", "127.0.0.1:9", "-l", listen},
         "/dev/convbench-no-such-port"},
        {{"-p", tty, "-a", "127.0.0.1:9", "-l", held}, "UDP port " + held},
        {{"-p", tty, "-a", "127.0.0.1:" + free, "--transport", "tcp-client", "--connect-timeout",
          "300"},
         "over TCP: Connection refused"},
        {{"-p", tty, "-l", free, "--transport", "tcp-server", "--connect-timeout", "300"},
         "no converter connected to TCP port"}};
    for (const auto& [args, says] : setup) {
        const Ended r = runCli(args);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
    const ScratchDir empty;
    const Ended e = runCli({"-p", tty, "-l", free, "--transport", "tcp-server", "--connect-timeout",
                            "60000", "--json", empty / "run.json", "--junit", empty / "junit.xml"},
                           Launch({{500, SIGINT}}));
    EXPECT_EQ(e.status, 4) << e.err;
    EXPECT_LT(e.after_last_signal_s, 10) << "the connect went on after SIGINT";
    EXPECT_EQ(empty.files(), Args{});
}

// Names no report may be broken by: quotes, markup, control characters, bytes
// that are not UTF-8 (0xff; 0xc0 0xaf, an overlong '/'), a lone continuation.
const std::string kHostile = "q\"uo'te<&>\x01\x1b[31m\xff\xc0\xaf\x80z\xc3\xa9";
// The same as UTF-8 readers must see it: each stray byte one U+FFFD.
const std::string kHostileAsUtf8 =
    "q\"uo'te<&>\x01\x1b[31m\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdz\xc3\xa9";

// Four channels at once, one per transport (one with a hostile name) and a faulty
// one: the faulty channel fails alone, in the JSON and in the JUnit report (a
// loaded machine's stalls kept from making the run inconclusive).
TEST(CliChannelsTest, AFaultyChannelFailsAlone) {
    const ScratchDir dir;
    const Ended r =
        runCli({"--simulate", "-r", "200", "-n", "200", "--json", "-", "--junit", dir / "junit.xml",
                "--tester-stall", "10000", "--channel", "name=" + kHostile, "--channel",
                "transport=tcp-client", "--channel", "transport=tcp-server", "--channel",
                "name=faulty,direction=e2u,drop=0.05,seed=4"});
    ASSERT_EQ(r.status, 1) << r.err;
    const ts::Json j = readJson(r.out);
    ASSERT_EQ(j["channels"].size(), 4u);
    EXPECT_EQ(j["channels"][0]["name"], kHostileAsUtf8);
    for (const auto& c : j["channels"]) {
        const bool faulty = c["name"] == "faulty";
        EXPECT_EQ(c["verdict"], faulty ? "fail" : "pass") << c["name"];
        for (const auto& [way, d] : c["directions"].items()) {
            EXPECT_EQ(d["sent"], 200) << c["name"] << way;
            EXPECT_TRUE(faulty || d["received"] == 200) << c["name"] << way;
        }
        EXPECT_EQ(c.contains("link"), c["transport"] != "udp") << c["name"];
    }
    ASSERT_FALSE(j["failures"].empty());
    for (const auto& f : j["failures"])
        EXPECT_EQ(f["channel"].get<std::string>() + " " + f["figure"].get<std::string>(),
                  "faulty lost");
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "ESC reached the terminal";

    const ts::Xml x = junit(readFile(dir / "junit.xml"));
    EXPECT_EQ(x.attr("tests"), "7");
    EXPECT_EQ(x.all("testsuite").size(), 4u);
    EXPECT_EQ(x.attr("failures"), "1");
    for (const ts::Xml* tc : x.all("testcase")) {
        const auto f = tc->all("failure");
        if (f.empty()) continue;
        EXPECT_EQ(tc->attr("classname") + " " + tc->attr("name"), "convbench.faulty e2u");
        EXPECT_EQ(f[0]->attr("message").rfind("lost ", 0), 0u) << f[0]->attr("message");
        EXPECT_NE(f[0]->text.find("sent 200"), std::string::npos) << f[0]->text;
    }
}

// Every report that cannot be written whole is a set-up error (status 3) naming
// the file and the reason; the verdict is still shown, and no partial file, nor
// scratch file, is left: a full device, a folder the runner may not write (refused
// before the run), a file size limit reached halfway (the old file stays as it was).
TEST(CliReportFileTest, AReportNotWrittenWholeIsASetUpErrorAndLeavesNoPartialFile) {
    const char* why[] = {"No space left on device", "Permission denied", "File too large"};
    for (const char* flag : {"--json", "--csv", "--junit", "--report"}) {
        for (int how = 0; how < 3; ++how) {
            SCOPED_TRACE(std::string(flag) + " " + why[how]);
            const ScratchDir dir;
            const std::string target = how == 0 ? "/dev/full" : dir / "report";
            Launch l;
            if (how == 1) l.as_nobody = chmod(dir.path.c_str(), 0555) == 0;
            if (how == 2) std::ofstream(target) << "old", l.file_size_limit = 100;
            const Ended e =
                runCli({"--simulate", "-d", "e2u", "-r", "200", "-n", "20", flag, target}, l);
            EXPECT_EQ(e.status, 3) << e.err;
            EXPECT_NE(e.err.find(target + ": " + why[how]), std::string::npos) << e.err;
            EXPECT_TRUE(how == 1 || e.out.find("verdict: PASS") != std::string::npos) << e.out;
            chmod(dir.path.c_str(), 0700);
            EXPECT_EQ(dir.files(), how == 2 ? Args{"report"} : Args{});
            EXPECT_EQ(how == 2 ? readFile(target) : "old", "old");
        }
    }
}

// A reader that closed standard output does not end the run: the reports on
// files are written whole, the summary goes to standard error, and the status
// says the output was cut.
TEST(CliReportFileTest, StandardOutputClosedEarlyCutsOnlyWhatWentThere) {
    if (!pythonAvailable()) GTEST_SKIP() << "python3 is not installed";
    const ScratchDir dir;
    Launch l;
    l.stdout_closed = true;
    const Ended e = runCli({"--simulate", "-r", "200", "-n", "20", "--json", "-", "--csv",
                            dir / "run.csv", "--junit", dir / "junit.xml"},
                           l);
    EXPECT_EQ(e.status, 3) << e.err;
    EXPECT_NE(e.err.find("standard output was closed"), std::string::npos) << e.err;
    EXPECT_NE(e.err.find("verdict: PASS"), std::string::npos) << e.err;
    EXPECT_GE(csvByPython(dir / "run.csv").size(), 3u);
    EXPECT_EQ(junit(readFile(dir / "junit.xml")).attr("failures"), "0");
}

// SIGINT ends the wait for packets still in flight at once, with the figures
// of what ran. The bounds only catch a hang.
TEST(CliInterruptTest, AnInterruptEndsTheDrainAtOnce) {
    const ScratchDir dir;
    // Every packet dropped: the drain would wait a minute for them.
    const Ended e =
        runCli({"--simulate", "--channel", "direction=e2u,drop=1", "-r", "100", "-n", "5",
                "--latency-bound", "60000", "--format", "seq32", "--json", dir / "run.json"},
               Launch({{1000, SIGINT}}));
    EXPECT_EQ(e.status, 4) << e.err;
    EXPECT_LT(e.after_last_signal_s, 10) << "the drain went on after SIGINT";
    const ts::Json j = readJson(readFile(dir / "run.json"));
    EXPECT_EQ(j["verdict"], "interrupted");
    EXPECT_EQ(j["directions"]["e2u"]["sent"], 5);
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
    // 40 channels: more JSON than the pipe holds.
    const Ended e = runCli(args, Launch({{6000, SIGINT}, {6500, SIGINT}}));
    close(reader);
    EXPECT_EQ(e.status, 4) << e.err;
    EXPECT_LT(e.after_last_signal_s, 10);
    EXPECT_NE(e.err.find("interrupted again"), std::string::npos) << e.err;
    EXPECT_EQ(dir.files(), Args{"json.fifo"});
}

// Hostile names through every report, read back by real parsers: nlohmann-json,
// Python's csv module and expat, and shown on a terminal with nothing raw.
TEST(CliEscapingTest, HostileNamesSurviveEveryReport) {
    if (!pythonAvailable()) GTEST_SKIP() << "python3 is not installed";
    // Commas, CR and LF come only through a channel file or the library: here the library.
    const std::string name = kHostile + ",new\nline\r\n",
                      expected = kHostileAsUtf8 + ",new\nline\r\n";
    measure::Figures f;
    f.sent = 10, f.received = 7, f.lost = 3;
    const cli::Result r = judged({{"e2u", f}}, {name, "plain"});
    const ts::Json j = readJson(cli::jsonReport(r));  // strict UTF-8 parse
    EXPECT_EQ(j["channels"][0]["name"], expected);

    const ScratchDir dir;
    // Line breaks alone must be quoted too.
    const cli::Result breaks = judged({{"e2u", f}}, {"line\r\nbreak", "plain"});
    std::ofstream(dir / "rows.csv") << cli::csvHeader() << cli::csvRows(1.5, r.channels)
                                    << cli::csvRows(1.5, breaks.channels);
    const ts::Json rows = csvByPython(dir / "rows.csv");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[1][1], expected);
    EXPECT_EQ(rows[3][1], "line\r\nbreak");
    EXPECT_EQ(rows[1][5], "3");  // lost, in its column
    EXPECT_EQ(rows[1].size(), rows[0].size());

    const ts::Xml x = junit(cli::junitReport(r));
    // XML cannot carry C0 controls but tab, CR, LF: they become U+FFFD.
    std::string xml_name = expected;
    for (size_t at; (at = xml_name.find_first_of("\x01\x1b")) != std::string::npos;)
        xml_name.replace(at, 1, "\xef\xbf\xbd");
    EXPECT_EQ(x.all("testcase").at(0)->attr("classname"), "convbench." + xml_name);
    EXPECT_EQ(x.all("testcase")[0]->all("failure").size(), 1u);

    const std::string summary = cli::summaryText(r);
    for (unsigned char c : summary) EXPECT_TRUE(c >= 0x20 || c == '\n') << int(c);
    EXPECT_NE(summary.find("\\x1b[31m"), std::string::npos) << summary;
    EXPECT_NE(summary.find("new\\x0aline\\x0d\\x0a"), std::string::npos) << summary;
    // A C1 control sequence introducer.
    EXPECT_EQ(cli::shown(std::string("\xc2\x9b") + "2J"), "\\u009b2J");
}

// The verdict from the figures: a failure while the tester was held up, or any
// packet the tester's own port kept from being sent, is inconclusive; a pass
// stays a pass; the summary says why and tells no small lies.
TEST(CliVerdictTest, InconclusiveWhenTheTesterIsToBlame) {
    auto result = [](uint64_t lost, double stall_ms, uint64_t not_sent, double send_rate = 10) {
        measure::Figures f;  // the tester may stall 50 ms by default
        f.sent = 100, f.received = f.latency.count = 100 - lost, f.lost = lost;
        f.not_sent = not_sent, f.send_rate = send_rate;  // of 10 asked
        f.tester.longest_stall_ms = stall_ms, f.tester.stall_at_s = 12.4;
        return judged({{"u2e", f}});
    };
    EXPECT_EQ(result(0, 340, 0).verdict(), "pass");  // a pass stays a pass
    EXPECT_EQ(result(3, 20, 0).verdict(), "fail");   // a stall under the threshold
    // A serial line slower than the rate makes the sender late by the line's doing.
    EXPECT_EQ(result(3, 340, 0, 5).verdict(), "fail");
    const cli::Result stalled = result(3, 340, 0), gone = result(0, 0, 315);
    EXPECT_EQ(stalled.verdict(), "inconclusive");
    EXPECT_NE(cli::summaryText(stalled).find("held up 340 ms at 12.4 s"), std::string::npos)
        << cli::summaryText(stalled);
    EXPECT_EQ(gone.verdict(), "inconclusive");
    EXPECT_NE(cli::summaryText(gone).find("/dev/ttyUSB0 was gone: 315 packets not sent"),
              std::string::npos)
        << cli::summaryText(gone);
    const ts::Json j = readJson(cli::jsonReport(gone));
    EXPECT_EQ(j["channels"][0]["verdict"], "inconclusive");
    EXPECT_EQ(j["directions"]["u2e"]["not_sent"], 315);
    const ts::Xml x = junit(cli::junitReport(stalled));
    EXPECT_EQ(x.attr("errors") + x.attr("failures"), "10");
    ASSERT_EQ(x.all("error").size(), 1u);
    EXPECT_EQ(x.all("error")[0]->attr("type"), "inconclusive");

    // Small lies: nothing arrived, nothing sent, an echo, a net direction held back.
    measure::Figures none, echoing, slow;
    echoing.sent = 10, echoing.lost = 10, echoing.echoed = 10;
    slow.sent = 100, slow.received = 100, slow.send_rate = 50;
    slow.latency = {100, 1000, 1000, 1000, 1000, 1000, 1000};
    const std::string text =
        cli::summaryText(judged({{"e2u", none}, {"u2e", echoing}, {"net", slow}}, {"ch1"}, 100));
    EXPECT_EQ(text.find("min 0.000"), std::string::npos) << text;
    for (const char* says : {"FAIL e2u: nothing was sent", "u2e: the serial line echoes",
                             "net: sent 50 packets/s of 100 asked"})
        EXPECT_NE(text.find(says), std::string::npos) << says << "\n" << text;
}

// A run the tester itself held up (stopped for 400 ms) while the converter
// drops packets ends inconclusive, status 5.
TEST(CliVerdictTest, AHeldUpTesterMakesAFailingRunInconclusive) {
    const ScratchDir dir;
    const Ended e = runCli({"--simulate", "--channel", "direction=u2e,drop=0.2,seed=3", "-r", "200",
                            "-t", "3", "--format", "seq32", "--json", dir / "run.json"},
                           Launch({{1000, SIGSTOP}, {1400, SIGCONT}}));
    const ts::Json j = readJson(readFile(dir / "run.json"));
    EXPECT_EQ(e.status, 5) << e.err;
    EXPECT_EQ(j["verdict"], "inconclusive");
    EXPECT_GT(j["directions"]["u2e"]["tester"]["longest_stall_ms"].get<double>(), 50);
}
