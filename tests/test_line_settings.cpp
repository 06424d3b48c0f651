// Line settings read back from a pseudo-terminal after opening, each option
// alone; the seq7 packet against its byte rules (the framer on it is with the
// sized format's); the packet format against the line (chosen, or refused).
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "characterize.h"
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

// A line's settings side by side, for one comparison gtest prints whole.
auto fields(const UART_Line_t& l, int baud = 0) {
    return std::make_tuple(baud, l.data_bits, l.parity, l.stop_bits, l.flow);
}

struct LineCase {
    const char* name;
    UART_Line_t line;
    tcflag_t cflag_on;  // termios bits the slave must carry, read by the test itself
    tcflag_t iflag_on;
};

TEST(LineSettings, EachOptionReadBackFromAPty) {
    const LineCase cases[] = {
        {"8N2", {8, UART_kParityNone, 2, UART_kFlowNone}, CS8 | CSTOPB, 0},
        {"rtscts", {8, UART_kParityNone, 1, UART_kFlowRtsCts}, CS8 | CRTSCTS, 0},
        {"xonxoff", {8, UART_kParityNone, 1, UART_kFlowXonXoff}, CS8, IXON | IXOFF},
        {"7E1", {7, UART_kParityEven, 1, UART_kFlowNone}, CS7 | PARENB, 0},
        {"8M1", {8, UART_kParityMark, 1, UART_kFlowNone}, CS8 | PARENB | PARODD | CMSPAR, 0},
        {"8S1", {8, UART_kParitySpace, 1, UART_kFlowNone}, CS8 | PARENB | CMSPAR, 0},
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
        int baud = 0;
        UART_Line_t back;
        ASSERT_EQ(UART_GetLine(port, &baud, &back), 0);
        EXPECT_EQ(fields(back, baud), fields(c.line, 57600));
        UART_ClosePort(port, 0);
    }
}

// The seq7 packet by the test's own arithmetic: five base-95 digits from 0x20
// (`n` up to 95^5 - 1), the data, and the weighted sum mod 89 from 0x20.
std::vector<uint8_t> seq7ByHand(uint64_t n, measure::Lane lane) {
    std::vector<uint8_t> p(11);
    for (int i = 4; i >= 0; --i, n /= 95) p[size_t(i)] = uint8_t(0x20 + n % 95);
    const uint8_t first = lane == measure::Lane::Plain ? 0x01 : 0x41;
    for (int i = 0; i < 5; ++i) p[size_t(5 + i)] = uint8_t(first + i);
    unsigned sum = 0;
    for (unsigned i = 0; i < 10; ++i) sum += (i + 1) * p[i];
    p[10] = uint8_t(0x20 + sum % 89);
    return p;
}

TEST(Seq7, BytesAreSevenBitSafeAndMatchTheLayout) {
    using measure::Format;
    std::vector<uint64_t> seqs = {
        1, 2, 94, 95, 96, 9024, 9025, 857375, 0xFFFFFFFFull, 0x100000000ull};
    for (uint64_t s = 1; s < 0xFFFFFFFFull; s = s * 7 + 3) seqs.push_back(s);
    for (uint64_t s : seqs)
        for (measure::Lane lane : {measure::Lane::Plain, measure::Lane::Alt}) {
            uint8_t p[11];
            measure::buildPacket(Format::Seq7, s, p, lane);
            const std::vector<uint8_t> want = seq7ByHand(s & 0xFFFFFFFFu, lane);
            // The hand-made packet is 7-bit and free of XON and XOFF by its making.
            EXPECT_EQ(std::vector<uint8_t>(p, p + 11), want) << s;
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
    uint32_t wire;
    const auto big = seq7ByHand(95ull * 95 * 95 * 95 * 95 - 1, measure::Lane::Plain);
    EXPECT_FALSE(measure::parsePacket(Format::Seq7, big.data(), &wire));
}

// A line that needs seq7 gets it unless --format named another, which is
// refused; fewer than 7 data bits carry no packet.
TEST(LineSettings, FormatFitsTheLine) {
    using measure::Format;
    cli::Options o;
    // Parses --simulate and `args` into `o`: "" when accepted, else the refusal.
    auto parse = [&o](std::vector<const char*> args) {
        args.insert(args.begin(), {"convbench-cli", "--simulate"});
        o = {};
        std::string error;
        const bool ok = cli::parseOptions(static_cast<int>(args.size()), args.data(), &o, &error);
        return ok ? std::string() : "refused: " + error;
    };
    EXPECT_EQ(parse({"--flow", "xonxoff"}), "");
    EXPECT_EQ(o.format, Format::Seq7);
    EXPECT_EQ(parse({"--channel", "data-bits=7,parity=even,stop-bits=2"}), "");
    EXPECT_EQ(o.format, Format::Seq7);
    EXPECT_EQ(fields(o.channels.at(0).line), fields({7, UART_kParityEven, 2, UART_kFlowNone}));
    EXPECT_EQ(parse({"--stop-bits", "2", "--flow", "rtscts"}), "");
    EXPECT_EQ(o.format, Format::Counter8);  // 8 bits, no XON/XOFF: unchanged
    const auto npos = std::string::npos;
    EXPECT_NE(parse({"--data-bits", "7", "--format", "counter8"}).find("--format seq7"), npos);
    EXPECT_NE(parse({"--data-bits", "7", "--format", "seq32"}).find("7N1"), npos);
    EXPECT_NE(parse({"--data-bits", "6"}).find("fewer than 7 data bits"), npos);
    // characterize sends sized packets only: a line that cannot carry them is refused.
    for (const char* line : {"data-bits=7", "flow=xonxoff"}) {
        const char* args[] = {"--simulate", "--channel", line};
        cli::CharzOptions c;
        std::string error;
        EXPECT_FALSE(cli::parseCharacterize(3, args, &c, &error)) << line;
        EXPECT_NE(error.find("cannot carry sized packets"), npos) << error;
    }
}

}  // namespace
