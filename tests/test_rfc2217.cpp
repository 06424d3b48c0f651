// RFC 2217: the runner's Telnet client alone (negotiation, refusals, 0xFF
// both ways, answers unlike the settings); against the simulated converter in
// RFC 2217 mode (the settings it recorded, a raw TCP run's damage, the fault
// that drops the second IAC) and in plain TCP (refused); end to end against
// ser2net, a real converter in that mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "child_process.h"
#include "converter.h"
#include "json.h"
#include "report.h"
#include "scratch.h"
#include "ser2net.h"
#include "telnet.h"

namespace ts = testsupport;
using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using engine::Rfc2217Client;

namespace {

constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
constexpr uint8_t kComPort = 44;

// The runner with these arguments (split at spaces) and its JSON report.
std::pair<ts::Json, ts::ProcessResult> runCli(const std::string& how) {
    std::istringstream in(how);
    Args args = {CONVBENCH_CLI};
    for (std::string w; in >> w;) args.push_back(w);
    const ts::ProcessResult r = ts::runProcess(args, 60);
    ts::Json j;
    if (r.status == 0 || r.status == 1) {
        EXPECT_TRUE(ts::parseJson(r.out, &j)) << r.err << r.out;
    }
    return {j, r};
}

uint64_t u(const ts::Json& j, const char* key) {
    return j[key].get<uint64_t>();
}

Bytes feed(Rfc2217Client& c, const Bytes& in, Bytes* data) {
    Bytes reply;
    for (uint8_t b : in) c.feed(&b, 1, data, &reply);  // a byte at a time: every state split
    return reply;
}

TEST(Rfc2217Client, NegotiatesSetsInOrderRefusesTheRestAndUnescapes) {
    const UART_Line_t line{7, UART_kParityEven, 2, UART_kFlowXonXoff};
    Rfc2217Client c(65535, line);  // a baud holding 0xFF bytes: escaped inside SB too
    Bytes out;
    c.begin(&out);
    EXPECT_EQ(out,
              (Bytes{IAC, WILL, kComPort, IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3}));
    Bytes data;
    // Offers it does not know are refused; its own offers acknowledged need no answer.
    EXPECT_EQ(feed(c, {IAC, WILL, 1, IAC, DO, 34, IAC, WILL, 0, IAC, DO, 3}, &data),
              (Bytes{IAC, DONT, 1, IAC, WONT, 34}));
    EXPECT_FALSE(c.accepted());
    // Agreed: baud, data size, parity, stop size, then flow control.
    EXPECT_EQ(feed(c, {IAC, DO, kComPort}, &data),
              (Bytes{IAC, SB, kComPort, 1, 0, 0,   IAC, IAC, IAC, IAC, IAC, SE,  //
                     IAC, SB, kComPort, 2, 7, IAC, SE,                           //
                     IAC, SB, kComPort, 3, 3, IAC, SE,                           //
                     IAC, SB, kComPort, 4, 2, IAC, SE,                           //
                     IAC, SB, kComPort, 5, 2, IAC, SE}));
    EXPECT_TRUE(c.accepted());
    // Answers among data, a notification and an answer to another control
    // query: the data comes out whole, 0xFF unescaped.
    const Bytes answers = {
        0x41, IAC, IAC,      0x42, IAC,  SB,  kComPort, 101, 0,   0,   IAC, IAC,
        IAC,  IAC, IAC,      SE,   IAC,  SB,  kComPort, 102, 7,   IAC, SE,  0x43,  //
        IAC,  SB,  kComPort, 106,  0x60, IAC, SE,                                  //
        IAC,  SB,  kComPort, 103,  1,    IAC, SE,                                  //
        IAC,  SB,  kComPort, 105,  8,    IAC, SE,                                  //
        IAC,  SB,  kComPort, 104,  2,    IAC, SE,       IAC, 241, IAC, IAC};
    EXPECT_TRUE(feed(c, answers, &data).empty());
    EXPECT_EQ(data, (Bytes{0x41, IAC, 0x42, 0x43, IAC}));
    EXPECT_FALSE(c.allAnswered());  // flow control not yet
    feed(c, {IAC, SB, kComPort, 105, 2, IAC, SE}, &data);
    EXPECT_TRUE(c.allAnswered());
    EXPECT_EQ(c.differences(), std::vector<std::string>{"parity: asked even, answered none"});
    EXPECT_EQ(feed(c, {IAC, DONT, kComPort}, &data), (Bytes{IAC, WONT, kComPort}));
    EXPECT_TRUE(c.refused());
}

// Each answer unlike the setting is a note; with --strict-rfc2217 the channel fails.
TEST(Rfc2217Client, AnswersUnlikeTheSettingsFailOnlyWhenStrict) {
    for (bool strict : {false, true}) {
        cli::Result r;
        r.options.strict_rfc2217 = strict;
        cli::ChannelResult c;
        c.channel.transport = traffic::Transport::Rfc2217;
        c.rfc2217.accepted = true;
        c.rfc2217.differences = {"baud: asked 921600, answered 115200"};
        cli::DirectionResult d{"e2u", {}};
        d.figures.sent = d.figures.received = 10;
        c.directions.push_back(d);
        r.channels.push_back(c);
        cli::judge(&r);
        EXPECT_EQ(r.verdict(), strict ? "fail" : "pass");
        EXPECT_TRUE(std::any_of(r.warnings.begin(), r.warnings.end(), [](const std::string& w) {
            return w.find("rfc2217: baud: asked 921600, answered 115200") != std::string::npos;
        }));
        ts::Json j;
        ASSERT_TRUE(ts::parseJson(cli::jsonReport(r), &j));
        EXPECT_EQ(j["channels"][0]["rfc2217"]["differences"][0], c.rfc2217.differences[0]);
        EXPECT_EQ(j["channels"][0]["failures"].size(), strict ? 1u : 0u);
        // JUnit: the direction's test case carries the channel's failure.
        EXPECT_EQ(cli::junitReport(r).find("unlike what was asked") != std::string::npos, strict);
    }
}

// The packets of 1..n whose bytes hold 0xFF (counter byte or checksum) on a
// lane whose data bytes sum to `data_sum`, by the test's own arithmetic, and
// the packets a Telnet reader loses for them: each 0xFF takes the byte after
// it, so the packet goes, and with a checksum 0xFF the next one's counter too.
struct FfCount {
    uint64_t bytes = 0, lost = 0;
};
FfCount ffPackets(uint64_t n, unsigned data_sum) {
    FfCount f;
    for (uint64_t s = 1; s <= n; ++s) {
        const unsigned counter = s % 256, check = (counter + data_sum) % 256;
        if (counter == 255) ++f.bytes, ++f.lost;
        if (check == 255) f.bytes += 1, f.lost += s < n ? 2 : 1;
    }
    return f;
}
constexpr unsigned kPlainSum = 1 + 2 + 3 + 4 + 5, kAltSum = 0x41 + 0x42 + 0x43 + 0x44 + 0x45;

// The simulator records the settings asked; every connection made again
// negotiates afresh, five settings each time; and the sender paces the serial
// line by its frame: at 9600 baud 8N2 a byte takes 11 bits, so the 11-byte
// seq7 packet (XON/XOFF) goes out at most 9600 / 121 a second.
TEST(Rfc2217Sim, TheSimulatorRecordsTheSettingsAskedOnEachConnection) {
    const auto [j, r] = runCli(
        "--simulate --transport rfc2217 -b 9600 --stop-bits 2 --flow xonxoff -d u2e -r 200 -n 250 "
        "--disconnect-every 500 --disconnect-for 50 --latency-bound 500 --tester-stall 600000 "
        "--json -");
    ASSERT_EQ(r.status, 1) << r.err;  // what the drops cost
    const ts::Json& ch = j["channels"][0];
    const ts::Json asked =
        ts::Json::parse(R"({"baud": "9600", "data_bits": "8", "parity": "none", "stop_bits": "2",)"
                        R"("flow": "xonxoff"})");
    EXPECT_EQ(ch["simulator"]["rfc2217"]["settings"], asked);
    for (const auto& [name, value] : asked.items()) {
        EXPECT_EQ(ch["rfc2217"]["settings"][name]["asked"], value) << name;
        EXPECT_EQ(ch["rfc2217"]["settings"][name]["answered"], value) << name;
    }
    EXPECT_EQ(ch["line_read"]["stop_bits"], 2);
    EXPECT_EQ(ch["line_read"]["flow"], "xonxoff");
    EXPECT_EQ(ch["line_read"]["baud"], 9600);
    ASSERT_GE(u(ch["link"], "connections"), 2u);
    // (The last connection may end the run before its settings went.)
    const size_t received = ch["simulator"]["rfc2217"]["received"].size();
    EXPECT_GE(received, 5 * (u(ch["link"], "connections") - 1));
    EXPECT_EQ(received % 5, 0u);
    EXPECT_LE(j["directions"]["u2e"]["send_rate"].get<double>(), 9600.0 / 121 * 1.01);
}

// A converter in Telnet mode (or plain TCP), the simulator run here; the
// runner as given.
struct TelnetSim {
    explicit TelnetSim(bool drop_iac, bool telnet = true) {
        cfg.link = dir / "tty";
        cfg.transport = sim::Transport::TcpServer;
        cfg.telnet = telnet;
        cfg.drop_iac = drop_iac;
        conv = std::make_unique<sim::Converter>(cfg);
        std::string error;
        EXPECT_TRUE(conv->start(&error)) << error;
    }
    std::pair<ts::Json, ts::ProcessResult> run(const std::string& how) {
        return runCli("-r 200 -n 600 --latency-bound 1250 --tester-stall 600000 --json - --port " +
                      cfg.link + " --address 127.0.0.1:" + std::to_string(conv->udpPort()) + " " +
                      how);
    }
    ts::ScratchDir dir;
    sim::Config cfg;
    std::unique_ptr<sim::Converter> conv;
};

// Against a converter in Telnet mode: raw TCP loses each 0xFF it sends with
// the byte after it, and finds each one coming back doubled. Then the fault, a
// data 0xFF sent alone: an rfc2217 runner reads it as a Telnet command and
// loses the packet; the simulator says how many it sent so. A converter that
// never agrees to COM-PORT-OPTION (plain TCP): no RFC 2217, no run.
TEST(Rfc2217Sim, RawTcpAndADroppedSecondIacBreakOn0xFFAndPlainTcpIsRefused) {
    const FfCount plain = ffPackets(600, kPlainSum), alt = ffPackets(600, kAltSum);
    ASSERT_GT(plain.lost, 0u);
    {
        TelnetSim s(false);
        const auto [j, r] = s.run("--transport tcp-client -d both");
        ASSERT_EQ(r.status, 1) << r.err;
        const ts::Json &e2u = j["directions"]["e2u"], &u2e = j["directions"]["u2e"];
        EXPECT_EQ(u(e2u, "lost"), plain.lost);
        EXPECT_EQ(u(e2u, "received"), 600 - plain.lost);
        EXPECT_GT(u(e2u, "corrupt") + u(e2u, "skipped_bytes"), 0u);
        EXPECT_EQ(u(u2e, "received"), 600u);
        // The doubled 0xFF bytes, and the converter's DO COM-PORT-OPTION first.
        EXPECT_EQ(u(u2e, "skipped_bytes"), alt.bytes + 3);
    }
    TelnetSim s(true);
    const auto [j, r] = s.run("--transport rfc2217 -d u2e");
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(u(j["directions"]["u2e"], "lost"), plain.lost);
    EXPECT_EQ(u(j["directions"]["u2e"], "received"), 600 - plain.lost);
    ts::Json sim;
    ASSERT_TRUE(ts::parseJson(s.conv->telnetJson(), &sim)) << s.conv->telnetJson();
    EXPECT_EQ(sim["iac_dropped"], plain.bytes);

    TelnetSim tcp(false, false);
    const auto [none, refused] = tcp.run("--transport rfc2217 --connect-timeout 800");
    EXPECT_EQ(refused.status, 3) << refused.err;
    EXPECT_NE(refused.err.find("RFC 2217"), std::string::npos) << refused.err;
}

// ser2net: both ways exact over its Telnet port, 0xFF bytes through unharmed
// (counter8 at 150/s: the counter byte is 0xFF every 256 packets), the
// settings acknowledged.
TEST(Rfc2217Ser2net, BothWaysExactAndSettingsAcknowledged) {
    ts::Ser2net s;
    if (ts::ser2netPath().empty()) GTEST_SKIP() << s.error();
    ASSERT_TRUE(s.ok()) << s.error();
    const auto [j, r] =
        runCli("--port " + s.ptyPath() + " --address 127.0.0.1:" + std::to_string(s.telnetPort()) +
               " --transport rfc2217 -b 57600 --stop-bits 2 -r 150 -n 700 "
               "--latency-bound 1700 --tester-stall 1000 --json -");
    // A tester held up past a second on a loaded machine can outrun counter8's
    // window: the run says so (inconclusive), and judges nothing then.
    if (r.status == 5) GTEST_SKIP() << "the tester was held up: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    for (const char* way : {"e2u", "u2e"}) {
        const ts::Json& d = j["directions"][way];
        EXPECT_EQ(u(d, "received"), 700u) << way;
        EXPECT_EQ(u(d, "lost") + u(d, "corrupt") + u(d, "skipped_bytes"), 0u) << way;
    }
    const ts::Json& rfc = j["channels"][0]["rfc2217"];
    for (const auto& [name, setting] : rfc["settings"].items())
        EXPECT_EQ(setting["answered"], setting["asked"]) << name;
    EXPECT_EQ(rfc["settings"]["baud"]["answered"], "57600");
    EXPECT_EQ(rfc["settings"]["stop_bits"]["answered"], "2");
}

}  // namespace
