// The sender and the receiver on real parts: loopback UDP, pseudo-terminals and socat.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "loopback.h"
#include "pty_pair.h"
#include "server.h"
#include "session.h"
#include "shared_items.h"
#include "socat.h"
#include "status_recorder.h"
#include "traffic.h"

using testsupport::Report;
namespace status = testsupport::status;
namespace ts = testsupport;
using Strings = std::vector<std::string>;

static Strings operator+(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kDestIp = "127.0.0.1";
constexpr int kWait = 5000;  // hang guard on every wait, far above what a run needs
constexpr int64_t kSecond = 1000000000;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { status::clear(); }
};

// A Dest IP, Dest Port or Source Port nobody can mean is refused by name and nothing is sent (a
// port is never cut to its low 16 bits); spaces around the address are trimmed; runs count from
// 1; every datagram counts, empty and long ones too, and the receiver judges only the bytes of
// each. Failed opens end a worker with its message and say why on stderr; a Source Port held by
// another receiver is refused; unknown directions end silently.
TEST_F(EngineTest, UdpRunsBadSettingsAndFailedOpens) {
    const std::string missing = "convbench-no-such-port";  // opened as /dev/<name>, which is absent
    const unsigned short port = ts::freeUdpPort();
    server s, other;
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", port);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UDP reciever", kWait));
    testing::internal::CaptureStderr();
    other.start_server(CONVERT_ETHERNET_TO_UART, 0, missing, 0);
    for (int src : {int{port}, port + 65536, 0})
        other.start_server(CONVERT_UART_TO_ETHERNET, 0, "", src);
    other.start_server(-1, 0, "", port);
    other.stop_server();
    client c;
    for (const char* ip : {"abc", "", "999.1.1.1", "0.0.0.0", "127.0.0.01", "1.2.3", "1.2.3.4.5"})
        c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", ip, port);
    for (int bad : {port + 65536, 0, -1})
        c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", kDestIp, bad);
    c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", " 127.0.0.1\t", port);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    c.stop_client();
    EXPECT_EQ(status::counts(Report::ClientCnt)[0], 1) << "nothing was sent before the good run";
    const int sent = status::counts(Report::ClientCnt).rbegin()[1];
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, sent, kWait));
    c.start_client(CONVERT_UART_TO_ETHERNET, 0, missing, kDestIp, 0);
    c.start_client(7, 0, "", kDestIp, port);
    c.stop_client();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status::messages(Report::ClientMsg),
              (Strings(7, "Bad Dest IP") + Strings(3, "Bad Dest Port") +
               Strings{"Start UDP sender", "Socket closed", "Open UART Failed"}));
    for (const char* msg : {"Open UART Failed", "UART open failed"})
        EXPECT_NE(err.find(msg + std::string(": /dev/") + missing + ": No such file"),
                  std::string::npos)
            << err;

    const std::vector<unsigned char> good = {1, 1, 2, 3, 4, 5, 0x10}, big(65507, 1);
    ts::UdpPeer peer;
    for (int len : {7, 0, 5, 8193, 65507})
        peer.sendTo(port, len == 7 ? good.data() : big.data(), len);
    EXPECT_TRUE(status::waitForCount(Report::ServerCnt, sent + 5, kWait))
        << "every datagram counts";
    s.stop_server();
    EXPECT_EQ(status::messages(Report::ServerMsg),
              (Strings{"Start UDP reciever", "UART open failed", "Open Socket failed",
                       "Bad Source Port", "Bad Source Port"} +
               Strings(4, "checksum error !") + Strings{"Socket closed"}));
}

// Through socat, each direction: every packet sent arrives once and the monitor both workers feed
// sees nothing lost, doubled or damaged. Then the converter goes away and comes back at the same
// path: the serial half says "UART lost" and "UART back" and the run goes on counting; the serial
// sender says "UART write failed" once for the spell and does not count what the port did not
// take. STOP leaves both counts at 0, and every packet sent is received or lost.
class ConverterTest : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConverterTest, EveryPacketArrivesAndAVanishedPortComesBack) {
    if (!ts::socatAvailable()) GTEST_SKIP() << "socat is not installed";
    const unsigned short conv_port = ts::freeUdpPort();
    unsigned short far_port = ts::freeUdpPort();
    while (far_port == conv_port) far_port = ts::freeUdpPort();
    ts::SocatBridge conv(conv_port, far_port, 60);
    ASSERT_TRUE(conv.ok()) << conv.error();
    const std::string tty = conv.ptyPath();
    const bool serial_sends = GetParam() == CONVERT_UART_TO_ETHERNET;
    const Report::Kind serial = serial_sends ? Report::ClientMsg : Report::ServerMsg;
    traffic::Monitor monitor(measure::Format::Counter8, kSecond);
    server s;
    s.m_monitor = &monitor;
    s.start_server(GetParam(), 0, tty, far_port);
    client
        c;  // started at once, as the window does: the monitor holds it till the receiver listens
    c.m_monitor = &monitor;
    c.start_client(GetParam(), 0, tty, kDestIp, conv_port);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 5, kWait));
    EXPECT_EQ(monitor.figures(traffic::nowNs()).lost, 0u);

    conv.stop();
    ASSERT_TRUE(status::waitForMessage(serial, "UART lost", kWait));
    const int shown = status::lastCount(Report::ClientCnt);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // packets meet the gone port
    EXPECT_TRUE(!serial_sends || status::lastCount(Report::ClientCnt) == shown) << "none counted";
    const int arrived = status::lastCount(Report::ServerCnt);
    ASSERT_TRUE(conv.start()) << conv.error();
    EXPECT_TRUE(status::waitForMessage(serial, "UART back", kWait));
    EXPECT_TRUE(status::waitForCount(Report::ServerCnt, arrived + 3, kWait)) << "counts again";
    c.stop_client();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last packets land
    s.stop_server();
    EXPECT_EQ(status::messageCount(serial, "UART lost") + status::messageCount(serial, "UART back"),
              2);
    EXPECT_EQ(status::messageCount(Report::ClientMsg, "UART write failed"), serial_sends ? 1 : 0);
    EXPECT_EQ(status::lastCount(Report::ClientCnt) + status::lastCount(Report::ServerCnt), 0);
    const measure::Figures f = monitor.finish(traffic::nowNs(), true);
    EXPECT_EQ(f.received + f.lost + f.corrupt, f.sent);
    // Packets the gone port did not take were never sent; datagrams to a gone converter are lost.
    EXPECT_EQ(f.lost + f.corrupt > 0, !serial_sends);
}

INSTANTIATE_TEST_SUITE_P(BothDirections, ConverterTest,
                         ::testing::Values(CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET));

// The serial receiver counts whole 7-byte blocks (a packet split over two writes is 1; then 20
// bytes are 2 more, the 21st makes 3) and hands the monitor every byte.
TEST_F(EngineTest, SerialReceiverCountsWholeBlocks) {
    ts::PtyPair pty;
    const std::string tty = pty.slavePath();
    traffic::Monitor monitor(measure::Format::Counter8, kSecond);
    server s;
    s.m_monitor = &monitor;
    s.start_server(CONVERT_ETHERNET_TO_UART, 0, tty, 0);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UART reciever", kWait));
    const unsigned char first[7] = {1, 1, 2, 3, 4, 5, 0x10};
    monitor.sent(1, traffic::nowNs());
    ASSERT_TRUE(pty.writeMaster(first, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(pty.writeMaster(first + 3, 4));
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 1, kWait));
    ASSERT_TRUE(pty.writeMaster(std::string(20, 'x').data(), 20));
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 3, kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status::lastCount(Report::ServerCnt), 3) << "6 bytes wait for a seventh";
    ASSERT_TRUE(pty.writeMaster("x", 1));
    EXPECT_TRUE(status::waitForCount(Report::ServerCnt, 4, kWait));
    s.stop_server();
    EXPECT_EQ(status::counts(Report::ServerCnt), (std::vector<int>{1, 2, 3, 4, 0}));
    const measure::Figures f = monitor.finish(traffic::nowNs(), true);
    EXPECT_EQ(f.received, 1u);
    EXPECT_EQ(f.latency.count, 1u);
    EXPECT_EQ(f.skipped_bytes, 21u) << "every byte reached the monitor";
}

// --- The runner's session: pacing, drain, directions, the tester's own port ---

namespace {

traffic::SessionConfig config(const std::string& serial, unsigned short dest, double rate,
                              uint64_t count) {
    traffic::SessionConfig c;
    c.serial = serial;
    c.net = serial.empty();
    c.e2u = false;
    c.dest_ip = kDestIp;
    c.dest_port = dest;
    c.rate = rate;
    c.count = count;
    c.format = measure::Format::Seq32;
    c.latency_bound_ns = kSecond / 2;
    return c;
}

bool started(traffic::Session& s) {
    std::string error;
    const bool ok = s.open(&error) && s.connect(&error);
    EXPECT_TRUE(ok) << error;
    if (ok) s.start();
    return ok;
}

}  // namespace

// Deadlines stay whole periods apart, never moved by a late wake-up (a schedule taken from each
// wake-up loses a sleep's overshoot per packet); a late wake-up releases what a punctual sender
// would have sent within the gather window, half a period apart at the soonest; after a long
// stall at most 1 + gather / (period / 2) go at once, the backlog at twice the rate.
TEST(PacerTest, DeadlinesStayWholePeriodsApartAndABacklogGoesAtTwiceTheRate) {
    traffic::Pacer p(50000);  // 20 us apart
    const int64_t period = p.period(), gather = 100000;
    int64_t d[64];
    const int64_t t0 = p.nextDue();
    ASSERT_EQ(p.releaseDue(t0, gather, d, 64), 1);
    EXPECT_EQ(p.releaseDue(t0, gather, d, 64), 0);  // nothing more is due
    ASSERT_EQ(p.releaseDue(t0 + 5 * period, gather, d, 64), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(d[i], t0 + (i + 1) * period) << i;
    const int64_t stall = t0 + 5 * period + 10000000;  // 500 packets behind
    EXPECT_EQ(p.releaseDue(stall, gather, d, 64), 1 + gather / (period / 2));
    EXPECT_EQ(p.releaseDue(stall, gather, d, 64), 0);
    EXPECT_EQ(p.releaseDue(stall + period / 2, gather, d, 64), 1);
    EXPECT_EQ(p.releaseDue(stall + period, 0, d, 64), 1);  // no gathering: one at a time
    EXPECT_EQ(d[0], t0 + (5 + 11 + 1 + 1) * period);

    traffic::Pacer w(1000);  // the window's senders wait on it
    std::vector<int64_t> at;
    int64_t first = 0;
    for (int k = 0; k < 400; ++k) {
        ASSERT_TRUE(w.wait(1));  // a run flag that stays on
        at.push_back(traffic::nowNs());
        if (k == 0) first = w.deadline();
        EXPECT_EQ(w.deadline() - first, k * w.period()) << k;
        if (k == 49) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    int in_first_100ms = 0;
    for (size_t k = 51; k < at.size(); ++k) in_first_100ms += at[k] - at[50] < 100000000;
    EXPECT_LE(in_first_100ms, 201) << "the backlog of 300 went at twice the rate, not at once";
}

// The tester's own serial port vanishes mid-run (the converter goes, its pty with it): packets
// whose turn comes meanwhile are not sent, in either direction, and count as not_sent, never as
// lost; every packet sent is still received, lost or in flight.
TEST(SessionTest, TheTestersOwnPortOutageIsNotSentNotLost) {
    if (!ts::socatAvailable()) GTEST_SKIP() << "socat is not installed";
    for (traffic::Way way : {traffic::Way::E2U, traffic::Way::U2E}) {
        SCOPED_TRACE(traffic::wayName(way));
        const unsigned short conv_port = ts::freeUdpPort();
        unsigned short listen = ts::freeUdpPort();
        while (listen == conv_port) listen = ts::freeUdpPort();
        ts::SocatBridge conv(conv_port, listen, 60);
        ASSERT_TRUE(conv.ok()) << conv.error();
        traffic::SessionConfig c = config(conv.ptyPath(), conv_port, 200, 0);
        c.listen_port = listen;
        c.e2u = way == traffic::Way::E2U;
        c.u2e = !c.e2u;
        traffic::Session s(c);
        ASSERT_TRUE(started(s));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        conv.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        s.stopSending();
        s.drain();
        s.stop();
        const measure::Figures f = s.monitor(way)->finish(traffic::nowNs(), true);
        EXPECT_GT(f.received, 20u);
        EXPECT_GT(f.not_sent, 40u);  // about 100 at 200/s
        // Lost: those on the way when the port went, and those sent before the driver saw it go.
        EXPECT_LT(f.lost, f.not_sent / 2);
        EXPECT_EQ(f.sent, f.received + f.lost + f.in_flight);
        EXPECT_TRUE(s.serial().lost_now);
    }
}

// A serial read finds bytes that waited in the port's queue: at 9600 baud (1.0417 ms a byte)
// ten 11-byte packets read at once came back to back at the latest, so the first packet's last
// byte came 99 byte times (103.1 ms) before the read, the last one's at the read. The tester's
// receive delay says so, and the packets' latency runs to those arrivals, not to the read.
TEST(SessionTest, SerialReceiveDelayComesFromTheQueueAndTheLineRate) {
    ts::PtyPair pty;
    ts::UdpPeer peer;
    ASSERT_TRUE(pty.ok() && peer.ok());
    traffic::SessionConfig c = config(pty.slavePath(), peer.port(), 1000, 10);
    c.e2u = true;
    c.latency_bound_ns = kSecond;
    c.baud = 9600;
    traffic::Session s(c);
    ASSERT_TRUE(started(s));
    timeval tv{5, 0};
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<unsigned char> line(110);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(recv(peer.fd(), &line[11 * i], 64, 0), 11);
    // Later than a line could have brought them, then all at once, as a queue holds them.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(pty.writeMaster(line.data(), line.size()));
    traffic::Monitor* m = s.monitor(traffic::Way::E2U);
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         m->figures(traffic::nowNs()).received < 10 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    s.stopSending();
    s.stop();
    const measure::Figures f = m->finish(traffic::nowNs(), true);
    ASSERT_EQ(f.received, 10u);
    EXPECT_NEAR(f.tester.receive_delay.max_us, 99 * 10e6 / 9600, 1000);
    EXPECT_LT(f.tester.receive_delay.min_us, 1000);
    // Sent about 1 ms apart, arrived 11.46 ms apart: the latencies spread over about 94 ms (to
    // the read they would spread over the 9 ms of sending; 50 ms leaves room for a slow sender).
    EXPECT_GT(f.latency.max_us - f.latency.min_us, 50000);
}
