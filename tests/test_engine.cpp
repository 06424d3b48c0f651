// The sender and the receiver on real parts: loopback UDP, pseudo-terminals and socat.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "loopback.h"
#include "pty_pair.h"
#include "server.h"
#include "shared_items.h"
#include "socat.h"
#include "status_recorder.h"
#include "traffic.h"

using testsupport::Report;
namespace status = testsupport::status;
namespace ts = testsupport;
using Strings = std::vector<std::string>;

const QString kDestIp = "127.0.0.1";
constexpr int kWait = 5000;  // hang guard on every wait, far above what a run needs
constexpr int64_t kSecond = 1000000000;

static std::vector<int> counts(Report::Kind kind) {
    std::vector<int> out;
    for (const auto& r : status::reports())
        if (r.kind == kind) out.push_back(r.count);
    return out;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { status::clear(); }
};

// Ports count in their low 16 bits; no Dest IP (address 0: this host) sends nothing; runs count
// from 1; the receiver judges only the bytes of each datagram.
TEST_F(EngineTest, UdpRunsFromSenderToReceiver) {
    const unsigned short port = ts::freeUdpPort();
    server s;
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", port + 65536);
    client c;
    c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", "", port);
    ASSERT_TRUE(status::waitForMessage(Report::ClientMsg, "Start UDP sender", kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", kDestIp, port + 3 * 65536);  // without STOP
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    EXPECT_EQ(counts(Report::ClientCnt)[0], 0) << "the run without Dest IP showed no count";
    EXPECT_EQ(counts(Report::ClientCnt)[1], 1);

    const unsigned char good[7] = {1, 1, 2, 3, 4, 5, 0x10};
    ts::UdpPeer peer;
    peer.sendTo(port, good, 7);
    peer.sendTo(port, good, 5);  // leaves a good packet in the receiver's buffer
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "checksum error !", kWait));
    s.stop_server();
    EXPECT_EQ(status::messages(Report::ServerMsg),
              (Strings{"Start UDP reciever", "checksum error !", "Socket closed"}));
}

// Failed opens (port taken in its low 16 bits) end a worker with its message; unknown silently.
TEST_F(EngineTest, FailedOpensAndUnknownDirections) {
    const QString missing = "convbench-no-such-port";  // opened as /dev/<name>, which is absent
    ts::UdpPeer holder;                                // holds its port without SO_REUSEADDR
    client c;
    server s;
    c.start_client(CONVERT_UART_TO_ETHERNET, 0, missing, kDestIp, 0);
    c.start_client(7, 0, "", kDestIp, holder.port());
    s.start_server(CONVERT_ETHERNET_TO_UART, 0, missing, 0);
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", holder.port() + 65536);
    s.start_server(-1, 0, "", holder.port());
    c.stop_client();
    s.stop_server();
    EXPECT_EQ(status::messages(Report::ClientMsg), Strings{"Open UART Failed"});
    EXPECT_EQ(status::messages(Report::ServerMsg),
              (Strings{"UART open failed", "Open Socket failed"}));
}

// Through socat, each direction: every packet sent arrives once, and STOP leaves both counts at 0;
// the monitor both workers feed sees the same: nothing lost, doubled or damaged, every latency.
class ConverterTest : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConverterTest, EveryPacketSentArrives) {
    if (!ts::socatAvailable()) GTEST_SKIP() << "socat is not installed";
    const unsigned short conv_port = ts::freeUdpPort();
    unsigned short far_port = ts::freeUdpPort();
    while (far_port == conv_port) far_port = ts::freeUdpPort();
    ts::SocatBridge conv(conv_port, far_port, 60);
    ASSERT_TRUE(conv.ok()) << conv.error();
    const QString tty = QString::fromStdString(conv.ptyPath());
    traffic::Monitor monitor(measure::Format::Counter8, kSecond);
    server s;
    s.m_monitor = &monitor;
    s.start_server(GetParam(), 0, tty, far_port);
    client
        c;  // started at once, as the window does: the monitor holds it till the receiver listens
    c.m_monitor = &monitor;
    c.start_client(GetParam(), 0, tty, kDestIp, conv_port);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 5, kWait));
    c.stop_client();
    const auto sent = counts(Report::ClientCnt);
    const int last = *std::max_element(sent.begin(), sent.end());
    EXPECT_TRUE(status::waitForCount(Report::ServerCnt, last, kWait)) << "all sent must arrive";
    s.stop_server();
    const auto got = counts(Report::ServerCnt);
    EXPECT_EQ(*std::max_element(got.begin(), got.end()), last);
    EXPECT_EQ(sent.back() + got.back(), 0);
    const measure::Figures f = monitor.finish(traffic::nowNs(), true);
    EXPECT_EQ(f.sent, static_cast<uint64_t>(last));
    EXPECT_EQ(f.received, f.sent);
    EXPECT_EQ(f.latency.count, f.sent);
    EXPECT_GT(f.latency.min_us, 0);
    EXPECT_EQ(f.lost + f.duplicated + f.reordered + f.corrupt + f.skipped_bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothDirections, ConverterTest,
                         ::testing::Values(CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET));

// The serial receiver counts whole 7-byte blocks (a packet split over two writes is 1; then 20
// bytes are 2 more, the 21st makes 3) and hands the monitor every byte; quick START/STOP cycles
// in both directions open and close everything and leak nothing.
TEST_F(EngineTest, SerialBlocksAndQuickStartStopCycles) {
    ts::PtyPair pty;
    const QString tty = QString::fromStdString(pty.slavePath());
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
    EXPECT_EQ(counts(Report::ServerCnt), (std::vector<int>{1, 2, 3, 4, 0}));
    const measure::Figures f = monitor.finish(traffic::nowNs(), true);
    EXPECT_EQ(f.received, 1u);
    EXPECT_EQ(f.latency.count, 1u);
    EXPECT_EQ(f.skipped_bytes, 21u) << "every byte reached the monitor";
    s.m_monitor = nullptr;
    status::clear();

    const unsigned short port = ts::freeUdpPort();
    client c;
    const auto cycle = [&] {
        for (int dir : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
            s.start_server(dir, 0, tty, port);
            c.start_client(dir, 0, tty, kDestIp, port);
            c.stop_client();
            s.stop_server();
        }
    };
    cycle();  // first: runtimes (TSan) start helper threads lazily
    const int fds = ts::openDescriptorCount(), threads = ts::threadCount();
    for (int i = 0; i < 9; ++i) cycle();
    EXPECT_EQ(ts::openDescriptorCount(), fds);
    EXPECT_EQ(ts::threadCount(), threads);
    EXPECT_EQ(status::messages(Report::ClientMsg).size(), 40u) << "each run opens and closes";
    EXPECT_EQ(status::messages(Report::ServerMsg).size(), 40u);
}
