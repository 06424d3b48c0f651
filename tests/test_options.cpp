// The runner's and the simulator's options: one number parser for the command
// line, the channel file and the simulator; every refusal with its status
// through the real programs; the limits and counter8's window against figures
// worked out here.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "child_process.h"
#include "fault_options.h"
#include "numbers.h"
#include "options.h"
#include "scratch.h"
#include "stage.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;

namespace {

using Scratch = ts::ScratchDir;

bool parse(Args args, cli::Options* o, std::string* error) {
    args.insert(args.begin(), "convbench-cli");
    std::vector<const char*> p;
    for (const auto& s : args) p.push_back(s.c_str());
    return cli::parseOptions(static_cast<int>(p.size()), p.data(), o, error);
}

bool parses(const Args& args) {
    cli::Options o;
    std::string error;
    return parse(args, &o, &error);
}

ts::ProcessResult run(const std::string& exe, const Args& args) {
    Args a{exe};
    a.insert(a.end(), args.begin(), args.end());
    return ts::runProcess(a, 30);
}

}  // namespace

// Each text with what it must be, worked out by hand: the same in the shared
// parser, on the runner's command line, in a channel file and in the simulator.
TEST(NumbersTest, OneTextOneNumberEverywhere) {
    using P = numbers::Parsed;
    // Taken as the plain decimals they are (strtod the oracle), or refused.
    const std::pair<P, std::vector<const char*>> probabilities[] = {
        {P::Ok, {"0.5", ".5", "1.", "0", "0001"}},
        {P::OutOfRange, {"5.", "1.0000001", "99999999999999999999999999999999999999999999999999"}},
        {P::NotANumber,
         {"1e-3", " 0.5", "0.5 ", "+0.5", "-0", "0x1", "inf", "nan", "", ".", "0.1.2", "0,5",
          "0.5\n"}}};
    Scratch scratch;
    for (const auto& [want, texts] : probabilities) {
        for (const char* text : texts) {
            SCOPED_TRACE(std::string("'") + text + "'");
            const bool ok = want == P::Ok;
            const double value = ok ? std::strtod(text, nullptr) : -1;
            double v = -1;
            EXPECT_EQ(numbers::parseDecimal(text, 0, 1, &v), want);
            EXPECT_TRUE(!ok || v == value);
            sim::Faults f;
            std::string error;
            EXPECT_EQ(sim::parseFaultOption("--drop", text, &f, &error), ok) << error;
            EXPECT_TRUE(!ok || f.drop == value);
            cli::Options o;
            EXPECT_EQ(parse({"--simulate", "--drop", text}, &o, &error), ok) << error;
            EXPECT_TRUE(!ok || o.channels.at(0).faults.drop == value);
            // In a channel file blanks separate keys, and a line is a channel.
            if (std::string(text).find_first_of(" \n") != std::string::npos) continue;
            const std::string config = scratch.file("ch", std::string("drop=") + text + "\n");
            EXPECT_EQ(parse({"--simulate", "--config", config}, &o, &error), ok) << error;
            EXPECT_TRUE(!ok || o.channels.at(0).faults.drop == value);
        }
    }

    // Whole numbers: the seed takes all of 0..2^64-1 and nothing with a sign.
    const std::pair<P, std::vector<const char*>> seeds[] = {
        {P::Ok, {"0", "18446744073709551615"}},
        {P::OutOfRange, {"18446744073709551616"}},
        {P::NotANumber, {" -1", "-1", "+1", "1.0", "", "1 "}}};
    for (const auto& [want, texts] : seeds)
        for (const char* text : texts) {
            uint64_t v = 0;
            EXPECT_EQ(numbers::parseUnsigned(text, 0, UINT64_MAX, &v), want) << text;
            sim::Faults f;
            EXPECT_EQ(sim::parseFaultOption("seed", text, &f, nullptr), want == P::Ok) << text;
            EXPECT_EQ(parses({"--simulate", "--seed", text}), want == P::Ok) << text;
        }
    int64_t w = 0;
    EXPECT_EQ(numbers::parseWhole("-9223372036854775808", INT64_MIN, INT64_MAX, &w), P::Ok);
    EXPECT_EQ(w, INT64_MIN);
    EXPECT_EQ(numbers::parseWhole("-9223372036854775809", INT64_MIN, INT64_MAX, &w), P::OutOfRange);
    EXPECT_EQ(numbers::parseWhole("9223372036854775808", INT64_MIN, INT64_MAX, &w), P::OutOfRange);
    EXPECT_EQ(numbers::parseWhole("-", INT64_MIN, INT64_MAX, &w), P::NotANumber);
    EXPECT_EQ(numbers::parseWhole("-5", 0, 10, &w), P::NotANumber);

    // The simulator program reads them the same: refused with status 2, or run.
    for (const auto& [option, text, ok] :
         std::vector<std::tuple<const char*, const char*, bool>>{{"--seed", " -1", false},
                                                                 {"--duration", "1e-10", false},
                                                                 {"--truncate", "0.5", true}}) {
        const ts::ProcessResult r =
            run(CONVBENCH_SIM_EXE,
                {"--link", scratch.path + "/tty", "--duration", "0.05", option, text, "--echo"});
        EXPECT_EQ(r.status, ok ? 0 : 2) << option << " '" << text << "': " << r.err;
    }
}

// Every refusal through the real runner: status 2 and a message saying what.
TEST(OptionsRefusedTest, StatusTwoWithAReason) {
    Scratch s;
    std::string garbage(10000, 'x');
    garbage.replace(10, 3, "\x1b[2J");
    std::string lots;
    for (int i = 0; i < 1001; ++i) lots += "name=c" + std::to_string(i) + "\n";
    const Args one{"-p", "ttyX", "-a", "127.0.0.1:1"};
    auto with = [&](Args more) {
        more.insert(more.begin(), one.begin(), one.end());
        return more;
    };
    const std::string ch = "port=ttyX,address=127.0.0.1:1,";
    std::vector<std::pair<Args, std::string>> refused = {{{}, "--port"}};  // no port, no address
    for (const char* a : {"abc:1234", " 127.0.0.1:1234", "999.1.1.1:1234", "1.2.3:1234",
                          "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1"})
        refused.push_back({{"-p", "ttyX", "-a", a}, ""});
    for (const Args& more : std::vector<Args>{{"-l", "70000"},
                                              {"--baud", "12345"},
                                              {"-d", "sideways"},
                                              {"-n", "5", "-t", "2"},
                                              {"--frobnicate", "1"},
                                              {"--json"},
                                              {"--transport", "sctp"},
                                              {"--transport", "tcp-client", "-d", "net"}})
        refused.push_back({with(more), ""});
    refused.insert(
        refused.end(),
        {{{"-p", "ttyX", "-a", "010.0.0.5:4001"}, "leading zero"},
         {{"-p", "ttyX", "--transport", "tcp-client"}, ""},  // no address to connect to
         {with({"-r", "0"}), "--rate"},
         {with({"-r", "1000001"}), "0.01..1000000"},
         {with({"-r", "1e-10"}), "no exponent"},
         {with({"-t", "86401"}), "--duration"},
         {with({"-n", "0"}), "--count"},
         {with({"-n", "8640001", "-r", "100"}), "longer than 86400 s"},
         {with({"--latency-bound", "600001", "--format", "seq32"}), "--latency-bound"},
         {with({"--connect-timeout", "0"}), "--connect-timeout"},
         {with({"--tester-stall", "-1"}), "--tester-stall"},
         {with({"--max-p99", "600001"}), "--max-p99"},
         {with({"--json", "-", "--junit", "-"}), "standard output"},
         {with({"--csv", "-", "--json", "-"}), "standard output"},
         {with({"--echo"}), "need --simulate"},
         {{"--simulate", "--channel", "echo=2"}, "0 or 1"},
         {{"--simulate", "-d", "e2u", "--format", "seq32", "-r", "100000", "--latency-bound",
           "9486"},
          "1048576"},
         {{"--channel", ch, "-p", "ttyY"}, ""},
         {{"--channel", ch + "colour=red"}, ""},
         {{"--channel", ch + "drop=0.1"}, ""},  // faults need --simulate
         {{"--channel", "port=/dev/ttyX,address=127.0.0.1:1,listen=5000", "--channel",
           "port=ttyX,address=127.0.0.1:2,listen=5001"},
          ""},  // the same serial port
         {{"--channel", ch + "listen=5000", "--channel",
           "port=ttyY,address=127.0.0.1:1,listen=5000"},
          "ch1 and ch2 listen on the same UDP port 5000"},
         {{"--channel", "port=ttyX,transport=tcp-server,listen=5000", "--channel",
           "port=ttyY,transport=tcp-server,listen=5000"},
          ""},  // the same TCP listen port
         {{"--config", s.file("comments", "# only\n\n  # comments\nformat 1\n")}, "no channel"},
         {{"--config", s.path}, "is a directory"},
         {{"--config", "/proc/self/mem"}, "cannot read"},
         {{"--config", s.path + "/none"}, "No such file"},
         {{"--simulate", "--config", s.file("garbage", garbage)}, "\\x1b[2J"},
         {{"--simulate", "--config", s.file("lots", lots)}, "more than 1000 channels"}});
    for (const auto& [args, says] : refused) {
        const ts::ProcessResult r = run(CONVBENCH_CLI, args);
        SCOPED_TRACE(args.empty() ? "" : args.back().substr(0, 40));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        // Cut to a readable length, control characters shown, never raw.
        EXPECT_TRUE(r.err.size() > 10 && r.err.size() < 400) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
    }
    // Just inside the limits.
    // 100000/s x (9.485 s + the core's second of grace for late reads) fits.
    EXPECT_TRUE(parses({"--simulate", "-d", "e2u", "--format", "seq32", "-r", "100000",
                        "--latency-bound", "9485"}));
    // A seq32 run's packets over its directions: 2 x 100000/s x 671 s fits, 672 s does not.
    EXPECT_TRUE(parses({"--simulate", "--format", "seq32", "-r", "100000", "-t", "671",
                        "--latency-bound", "100"}));
    EXPECT_FALSE(parses({"--simulate", "--format", "seq32", "-r", "100000", "-t", "672",
                         "--latency-bound", "100"}));
    EXPECT_TRUE(parses(with({"-r", "0.01", "-t", "86400", "--tester-stall", "0"})));
    EXPECT_TRUE(parses(with({"-n", "8640000", "-r", "100", "--max-p99", "600000"})));
}

// counter8 tells 256 packets in flight apart: rate x bound reaching 256 is
// refused, naming the largest whole-millisecond bound that fits; that bound is
// taken and one millisecond more is not.
TEST(OptionsCounter8Test, TheLargestBoundNamedIsTheLargestThatFits) {
    for (const double rate : {1.0, 3.0, 255.9, 256.0, 300.0, 333.0, 1000.0, 7777.0, 100000.0}) {
        // Worked out apart: the largest b in whole ms with rate * b / 1000 < 256.
        int64_t b = 0;
        while (rate * static_cast<double>(b + 1) < 256000) ++b;
        const std::string r = numbers::limitText(rate);
        SCOPED_TRACE(r);
        cli::Options o;
        std::string error;
        const bool default_fits = rate * 1000 < 256000;
        EXPECT_EQ(parse({"--simulate", "-r", r}, &o, &error), default_fits);
        if (!default_fits) {
            EXPECT_NE(error.find("most " + std::to_string(b) + " ms"), std::string::npos) << error;
            EXPECT_NE(error.find("--format seq32"), std::string::npos) << error;
        }
        if (b > 10000000) continue;
        EXPECT_TRUE(parses({"--simulate", "-r", r, "--latency-bound", std::to_string(b)}));
        EXPECT_FALSE(parses({"--simulate", "-r", r, "--latency-bound", std::to_string(b + 1)}));
    }
}

// Options reach their fields, from the command line, a channel file and channel keys.
TEST(OptionsFieldsTest, EachOptionReachesItsField) {
    cli::Options o;
    std::string error;
    ASSERT_TRUE(
        parse({"--port=ttyUSB0", "-a", "10.0.0.255:502", "-d", "u2e", "-n", "600", "--format",
               "seq32", "--baud", "921600", "--max-p99", "2.5", "--tester-stall", "120"},
              &o, &error))
        << error;
    EXPECT_EQ(std::make_tuple(o.port, o.dest_port, o.u2e, o.e2u, o.count, o.baud),
              std::make_tuple(std::string("ttyUSB0"), 502, true, false, 600u, 921600));
    EXPECT_EQ(o.limits.max_p99_ms, 2.5);
    EXPECT_EQ(o.tester_stall_ms, 120);
    ASSERT_TRUE(parse(
        {"--simulate", "--echo", "--channel", "name=a", "--channel", "name=b,echo=0,truncate=0.5"},
        &o, &error))
        << error;
    ASSERT_EQ(o.channels.size(), 2u);
    EXPECT_TRUE(o.channels[0].faults.echo);
    EXPECT_FALSE(o.channels[1].faults.echo);
    EXPECT_EQ(o.channels[1].faults.truncate, 0.5);
    EXPECT_TRUE(cli::isIPv4("0.0.0.0") && cli::isIPv4("10.0.100.255"));
    EXPECT_FALSE(cli::isIPv4("010.0.0.5") || cli::isIPv4("10.00.0.5"));

    // Channels from a file and the command line; UDP and TCP may share a port number.
    Scratch s;
    o = cli::Options();
    const std::string config =
        s.file("channels",
               "format 1\n# bench 3\n"
               "port=ttyUSB0 address=10.0.0.5:4001 transport=tcp-client # x\n"
               "\n  name=right,port=ttyUSB1,transport=tcp-server,listen=4002 \n");
    ASSERT_TRUE(parse({"-d", "u2e", "--config", config, "--channel",
                       "port=ttyUSB2,address=10.0.0.6:4002,listen=4002"},
                      &o, &error))
        << error;
    ASSERT_EQ(o.channels.size(), 3u);
    EXPECT_EQ(o.channels[0].name, "ch1");
    EXPECT_EQ(o.channels[0].transport, traffic::Transport::TcpClient);
    EXPECT_EQ(o.channels[0].address(), "10.0.0.5:4001");
    EXPECT_EQ(o.channels[1].name, "right");
    EXPECT_EQ(o.channels[1].listen_port, 4002);
    EXPECT_EQ(o.channels[2].transport, traffic::Transport::Udp);
    EXPECT_TRUE(o.channels[2].u2e && !o.channels[2].e2u);  // the default direction given
}

// The help lists every option the parser takes, each spaced from its text so
// that the man page made from it keeps them apart.
TEST(OptionsHelpTest, EveryOptionListedAndSpacedFromItsText) {
    const std::string help = cli::usage();
    std::regex option_line(R"(^  (-[a-z], |    )(--[a-z0-9-]+)( [A-Z:]+)?(  +\S.*)?$)");
    std::set<std::string> listed;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (line.rfind("  -", 0) != 0 && line.rfind("      --", 0) != 0) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, option_line)) << line;
        listed.insert(m[2]);
        std::string error;
        cli::Options o;
        parse({m[2].str(), "1"}, &o, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << line;
    }
    for (const sim::FaultOption& f : sim::faultOptions())
        EXPECT_EQ(listed.count("--" + f.name), 1u) << f.name;
    EXPECT_EQ(listed.count("--tester-stall"), 1u);
}
