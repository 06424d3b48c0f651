// Line settings read back from a pseudo-terminal after opening, each option
// alone; the seq7 packet against its byte rules and the framer's guarantees;
// the packet format against the line (chosen, or refused).
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "json.h"
#include "options.h"
#include "packet_format.h"
#include "pty_pair.h"
#include "uart.h"

namespace ts = testsupport;

namespace {

// Whether this kernel's ptys keep a frame flag at all: newer ones force CS8 and
// no parity on a pty, which the driver must then report as refused.
bool ptyKeeps(tcflag_t size, tcflag_t parity) {
    ts::PtyPair p;
    termios t;
    tcgetattr(p.slave(), &t);
    cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD)) | size | parity;
    tcsetattr(p.slave(), TCSANOW, &t);
    termios b;
    tcgetattr(p.slave(), &b);
    return (b.c_cflag & (CSIZE | PARENB | PARODD)) == (size | parity);
}

struct LineCase {
    const char* name;
    UART_Line_t line;
    tcflag_t cflag_on;  // termios bits the slave must carry, read by the test itself
    tcflag_t iflag_on;
};

TEST(LineSettings, EachOptionReadBackFromAPty) {
    const LineCase cases[] = {
        {"8N1", UART_Line_t{8, UART_kParityNone, 1, UART_kFlowNone}, CS8, 0},
        {"8N2", UART_Line_t{8, UART_kParityNone, 2, UART_kFlowNone}, CS8 | CSTOPB, 0},
        {"rtscts", UART_Line_t{8, UART_kParityNone, 1, UART_kFlowRtsCts}, CS8 | CRTSCTS, 0},
        {"xonxoff", UART_Line_t{8, UART_kParityNone, 1, UART_kFlowXonXoff}, CS8, IXON | IXOFF},
        {"7E1", UART_Line_t{7, UART_kParityEven, 1, UART_kFlowNone}, CS7 | PARENB, 0},
        {"8M1", UART_Line_t{8, UART_kParityMark, 1, UART_kFlowNone}, CS8 | PARENB | PARODD | CMSPAR,
         0},
        {"8S1", UART_Line_t{8, UART_kParitySpace, 1, UART_kFlowNone}, CS8 | PARENB | CMSPAR, 0},
    };
    const bool sizes = ptyKeeps(CS7, 0), parity = ptyKeeps(CS8, PARENB);
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        ts::PtyPair p;
        ASSERT_TRUE(p.ok());
        char refused[64] = "x";
        const UART_Port_t port =
            UART_OpenPortLine(p.slavePath().c_str(), 57600, &c.line, refused, sizeof refused);
        const bool keeps =
            (c.line.data_bits == 8 || sizes) && (c.line.parity == UART_kParityNone || parity);
        if (!keeps) {
            // Refused, naming the setting the port did not keep.
            EXPECT_EQ(port, UART_kNoPort);
            const std::string want = c.line.data_bits != 8
                                         ? "data bits " + std::to_string(c.line.data_bits)
                                         : std::string("parity ") + UART_ParityName(c.line.parity);
            EXPECT_EQ(std::string(refused), want);
            continue;
        }
        ASSERT_NE(port, UART_kNoPort) << refused;
        EXPECT_STREQ(refused, "");
        termios t;  // the test's own look at the terminal
        ASSERT_EQ(tcgetattr(p.slave(), &t), 0);
        const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
        EXPECT_EQ(t.c_cflag & frame, c.cflag_on);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag_on);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
        int baud = 0;
        UART_Line_t back;
        ASSERT_EQ(UART_GetLine(port, &baud, &back), 0);
        EXPECT_EQ(baud, 57600);
        EXPECT_EQ(back.data_bits, c.line.data_bits);
        EXPECT_EQ(back.parity, c.line.parity);
        EXPECT_EQ(back.stop_bits, c.line.stop_bits);
        EXPECT_EQ(back.flow, c.line.flow);
        UART_ClosePort(port, 0);
    }
}

// The seq7 packet by the test's own arithmetic: five base-95 digits from 0x20,
// the data, and the weighted sum mod 89 from 0x20.
std::vector<uint8_t> seq7ByHand(uint32_t n, measure::Lane lane) {
    std::vector<uint8_t> p(11);
    uint64_t v = n;
    for (int i = 4; i >= 0; --i) {
        p[static_cast<size_t>(i)] = static_cast<uint8_t>(0x20 + v % 95);
        v /= 95;
    }
    const uint8_t first = lane == measure::Lane::Plain ? 0x01 : 0x41;
    for (int i = 0; i < 5; ++i) p[static_cast<size_t>(5 + i)] = static_cast<uint8_t>(first + i);
    unsigned sum = 0;
    for (unsigned i = 0; i < 10; ++i) sum += (i + 1) * p[i];
    p[10] = static_cast<uint8_t>(0x20 + sum % 89);
    return p;
}

TEST(Seq7, BytesAreSevenBitSafeAndMatchTheLayout) {
    using measure::Format;
    ASSERT_EQ(measure::packetSize(Format::Seq7), 11);
    std::vector<uint64_t> seqs = {
        1, 2, 94, 95, 96, 9024, 9025, 857375, 0xFFFFFFFFull, 0x100000000ull};
    for (uint64_t s = 1; s < 0xFFFFFFFFull; s = s * 7 + 3) seqs.push_back(s);
    for (uint64_t s : seqs)
        for (measure::Lane lane : {measure::Lane::Plain, measure::Lane::Alt}) {
            uint8_t p[11];
            measure::buildPacket(Format::Seq7, s, p, lane);
            const std::vector<uint8_t> want = seq7ByHand(static_cast<uint32_t>(s), lane);
            EXPECT_EQ(std::vector<uint8_t>(p, p + 11), want) << s;
            for (uint8_t b : p) {
                EXPECT_LT(b, 0x80) << s;
                EXPECT_NE(b, 0x11) << s;
                EXPECT_NE(b, 0x13) << s;
            }
            uint32_t wire = 0;
            measure::Lane got;
            ASSERT_TRUE(measure::parsePacket(Format::Seq7, p, &wire, &got)) << s;
            EXPECT_EQ(wire, static_cast<uint32_t>(s));
            EXPECT_EQ(got, lane);
            // A bit flipped anywhere (the eighth bit, as a 7-bit line drops
            // it, or any other) is a damaged packet.
            for (int i = 0; i < 11; ++i)
                for (int bit = 0; bit < 8; ++bit) {
                    uint8_t q[11];
                    std::copy(p, p + 11, q);
                    q[i] ^= static_cast<uint8_t>(1 << bit);
                    EXPECT_FALSE(measure::parsePacket(Format::Seq7, q, &wire)) << s << " " << i;
                }
        }
    // Digits reading past 2^32 - 1 are no packet: "~~~~~" (94 each) is 95^5 - 1.
    uint8_t big[11];
    measure::buildPacket(Format::Seq7, 5, big);
    std::fill(big, big + 5, 0x7E);
    unsigned sum = 0;
    for (unsigned i = 0; i < 10; ++i) sum += (i + 1) * big[i];
    big[10] = static_cast<uint8_t>(0x20 + sum % 89);
    uint32_t wire;
    EXPECT_FALSE(measure::parsePacket(Format::Seq7, big, &wire));
}

struct Tally : measure::FrameSink {
    std::vector<uint32_t> good;
    size_t corrupt = 0, skipped = 0;
    void onPacket(uint32_t wire, measure::Lane) override { good.push_back(wire); }
    void onCorrupt(size_t) override { ++corrupt; }
    void onSkipped(size_t n) override { skipped += n; }
};

// The framer on seq7: a packet short of a byte, a stray byte and a damaged
// byte each cost one packet, never a neighbour, however the stream is fed.
TEST(Seq7, FramerResyncsAfterDamage) {
    std::vector<uint8_t> stream;
    std::vector<uint32_t> want;
    for (uint32_t s = 100; s < 130; ++s) {
        uint8_t p[11];
        measure::buildPacket(measure::Format::Seq7, s, p,
                             s % 2 ? measure::Lane::Alt : measure::Lane::Plain);
        if (s == 105) {
            stream.insert(stream.end(), p, p + 10);  // its check byte lost
        } else if (s == 110) {
            stream.push_back(0x55);  // a stray byte before it
            stream.insert(stream.end(), p, p + 11);
            want.push_back(s);
        } else if (s == 115) {
            p[2] ^= 0x40;  // a digit damaged
            stream.insert(stream.end(), p, p + 11);
        } else if (s == 120) {
            stream.insert(stream.end(), p + 3, p + 11);  // its first three bytes lost
        } else {
            stream.insert(stream.end(), p, p + 11);
            want.push_back(s);
        }
    }
    for (size_t piece : {size_t{1}, size_t{3}, size_t{11}, stream.size()}) {
        SCOPED_TRACE(piece);
        measure::Framer framer(measure::Format::Seq7);
        Tally t;
        for (size_t i = 0; i < stream.size(); i += piece)
            framer.feed(stream.data() + i, std::min(piece, stream.size() - i), t);
        framer.flush(t);
        EXPECT_EQ(t.good, want);
        EXPECT_EQ(t.corrupt, 3u);
        EXPECT_EQ(t.skipped, 1u);
    }
}

// A line that needs seq7 gets it unless --format named another, which is
// refused; fewer than 7 data bits carry no packet.
TEST(LineSettings, FormatFitsTheLine) {
    auto parse = [](std::vector<const char*> args, cli::Options* o, std::string* error) {
        args.insert(args.begin(), "convbench-cli");
        return cli::parseOptions(static_cast<int>(args.size()), args.data(), o, error);
    };
    cli::Options o;
    std::string error;
    ASSERT_TRUE(parse({"--simulate", "--flow", "xonxoff"}, &o, &error)) << error;
    EXPECT_EQ(o.format, measure::Format::Seq7);
    EXPECT_EQ(o.channels.at(0).line.flow, UART_kFlowXonXoff);
    o = {};
    ASSERT_TRUE(
        parse({"--simulate", "--channel", "data-bits=7,parity=even,stop-bits=2"}, &o, &error))
        << error;
    EXPECT_EQ(o.format, measure::Format::Seq7);
    EXPECT_EQ(o.channels.at(0).line.data_bits, 7);
    EXPECT_EQ(o.channels.at(0).line.parity, UART_kParityEven);
    EXPECT_EQ(o.channels.at(0).line.stop_bits, 2);
    o = {};
    ASSERT_TRUE(parse({"--simulate", "--stop-bits", "2", "--flow", "rtscts"}, &o, &error));
    EXPECT_EQ(o.format, measure::Format::Counter8);  // 8 bits, no XON/XOFF: unchanged
    for (const char* format : {"counter8", "seq32"}) {
        o = {};
        EXPECT_FALSE(parse({"--simulate", "--data-bits", "7", "--format", format}, &o, &error));
        EXPECT_NE(error.find("--format seq7"), std::string::npos) << error;
        EXPECT_NE(error.find("7N1"), std::string::npos) << error;
    }
    o = {};
    EXPECT_FALSE(parse({"--simulate", "--data-bits", "6"}, &o, &error));
    EXPECT_NE(error.find("fewer than 7 data bits"), std::string::npos) << error;
}

// The sender paces a serial line by its own frame: at 9600 baud 8N2 a byte
// takes 11 bits, so the 7-byte packet goes out at most 9600 / 77 a second
// (a loaded machine only sends slower).
TEST(LineSettings, TheSenderPacesTheLinesOwnFrame) {
    const ts::ProcessResult r =
        ts::runProcess({CONVBENCH_CLI, "--simulate", "-d", "u2e", "-b", "9600", "--stop-bits", "2",
                        "-r", "200", "-n", "250", "--tester-stall", "600000", "--json", "-"},
                       30);
    ts::Json j;
    ASSERT_TRUE(ts::parseJson(r.out, &j)) << r.err;
    EXPECT_LE(j["directions"]["u2e"]["send_rate"].get<double>(), 9600.0 / 77 * 1.01);
    EXPECT_EQ(j["directions"]["u2e"]["received"], 250);
}

}  // namespace
