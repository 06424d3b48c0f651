// The sender and the receiver on real parts: UDP on loopback, pseudo-terminals,
// and socat as a software converter between them.

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

using testsupport::Report;
namespace status = testsupport::status;
namespace ts = testsupport;
using Strings = std::vector<std::string>;

const QString kDestIp = "127.0.0.1";
constexpr int kWait = 5000;  // hang guard on every wait, far above what a run needs

static std::vector<int> counts(Report::Kind kind) {
    std::vector<int> out;
    for (const auto& r : status::reports())
        if (r.kind == kind) out.push_back(r.count);
    return out;
}

template <typename F>
static bool eventually(F cond) {
    for (int i = 0; i < kWait / 10 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return cond();
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { status::clear(); }
};

// Sender to receiver on loopback; only the low 16 bits of either port count. An empty Dest IP
// (address 0 would reach this host) sends nothing and shows no count. START without STOP and
// destruction end a run with 0, and every run counts from 1. The receiver counts every
// datagram and judges only the bytes received: the 5-byte one leaves a good packet in its buffer.
TEST_F(EngineTest, UdpRunsFromSenderToReceiver) {
    const unsigned short port = ts::freeUdpPort();
    server s;
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", port + 65536);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UDP reciever", kWait));
    {
        client c;
        c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", "", port);
        ASSERT_TRUE(status::waitForMessage(Report::ClientMsg, "Start UDP sender", kWait));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", kDestIp, port + 3 * 65536);
        ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    }
    const auto cs = counts(Report::ClientCnt);
    const int sent = static_cast<int>(cs.size()) - 2;
    EXPECT_EQ(cs.front(), 0) << "the run without Dest IP showed no count";
    EXPECT_EQ(cs[1], 1);
    EXPECT_EQ(cs[sent], sent) << "one count per packet sent";
    EXPECT_EQ(status::messages(Report::ClientMsg),
              (Strings{"Start UDP sender", "Socket closed", "Start UDP sender", "Socket closed"}));

    const unsigned char good[7] = {1, 1, 2, 3, 4, 5, 0x10};
    ts::UdpPeer peer;
    peer.sendTo(port, good, 7);
    peer.sendTo(port, good, 5);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "checksum error !", kWait));
    s.stop_server();
    EXPECT_EQ(status::messages(Report::ServerMsg),
              (Strings{"Start UDP reciever", "checksum error !", "Socket closed"}));
}

// The serial receiver counts whole 7-byte blocks: 20 bytes are 2, the 21st makes 3.
TEST_F(EngineTest, SerialReceiverCountsWholeBlocks) {
    ts::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    server s;
    s.start_server(CONVERT_ETHERNET_TO_UART, 0, QString::fromStdString(pty.slavePath()), 0);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UART reciever", kWait));
    ASSERT_TRUE(pty.writeMaster(std::string(20, 'x').data(), 20));
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status::lastCount(Report::ServerCnt), 2) << "6 bytes wait for a seventh";
    ASSERT_TRUE(pty.writeMaster("x", 1));
    EXPECT_TRUE(status::waitForCount(Report::ServerCnt, 3, kWait));
}

// Failed opens end a worker with its own message and no count (the receiver's port is taken
// in its low 16 bits); an unknown direction ends the worker at once, silently.
TEST_F(EngineTest, FailedOpensAndUnknownDirections) {
    const QString missing = "convbench-no-such-port";  // opened as /dev/<name>, which is absent
    ts::UdpPeer holder;                                // holds its port without SO_REUSEADDR
    client c;
    server s;
    c.start_client(CONVERT_UART_TO_ETHERNET, 0, missing, kDestIp, 0);
    s.start_server(CONVERT_ETHERNET_TO_UART, 0, missing, 0);
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", holder.port() + 65536);
    c.stop_client();
    s.stop_server();
    const int threads = ts::threadCount();
    c.start_client(7, 0, "", kDestIp, holder.port());
    s.start_server(-1, 0, "", holder.port());
    EXPECT_TRUE(eventually([&] { return ts::threadCount() == threads; }));
    EXPECT_EQ(status::messages(Report::ClientMsg), Strings{"Open UART Failed"});
    EXPECT_EQ(status::messages(Report::ServerMsg),
              (Strings{"UART open failed", "Open Socket failed"}));
    EXPECT_EQ(status::reports().size(), 3u) << "no counts";
}

// Both directions through socat: every packet sent arrives, and STOP leaves both counts at 0
// with the closing messages.
class ConverterTest : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConverterTest, EveryPacketSentArrives) {
    if (!ts::socatAvailable()) GTEST_SKIP() << "socat is not installed";
    const bool toUart = GetParam() == CONVERT_ETHERNET_TO_UART;
    const unsigned short conv_port = ts::freeUdpPort();
    unsigned short far_port = ts::freeUdpPort();
    while (far_port == conv_port) far_port = ts::freeUdpPort();
    ts::SocatBridge conv(conv_port, far_port, 60);
    ASSERT_TRUE(conv.ok()) << conv.error();
    const QString tty = QString::fromStdString(conv.ptyPath());
    server s;
    s.start_server(GetParam(), 0, tty, far_port);
    ASSERT_TRUE(status::waitFor([](const auto& rs) { return !rs.empty(); }, kWait));
    client c;
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
    EXPECT_EQ(status::messages(Report::ClientMsg),
              toUart ? (Strings{"Start UDP sender", "Socket closed"})
                     : (Strings{"Start UART sender", "UART closed"}));
    EXPECT_EQ(status::messages(Report::ServerMsg),
              toUart ? (Strings{"Start UART reciever", "UART closed"})
                     : (Strings{"Start UDP reciever", "Socket closed"}));
}

INSTANTIATE_TEST_SUITE_P(BothDirections, ConverterTest,
                         ::testing::Values(CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET));

// Quick START/STOP cycles in both directions open and close everything (two messages per
// run) and leak no descriptor or thread.
TEST_F(EngineTest, QuickStartStopCyclesLeakNothing) {
    ts::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const QString tty = QString::fromStdString(pty.slavePath());
    const unsigned short port = ts::freeUdpPort();
    server s;
    client c;
    int fds = 0, threads = 0;
    for (int i = 0; i < 10; ++i) {
        for (int dir : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
            s.start_server(dir, 0, tty, port);
            c.start_client(dir, 0, tty, kDestIp, port);
            c.stop_client();
            s.stop_server();
        }
        if (i == 0) {  // after a first cycle: runtimes (TSan) start helper threads lazily
            fds = ts::openDescriptorCount();
            threads = ts::threadCount();
        }
    }
    EXPECT_EQ(ts::openDescriptorCount(), fds);
    EXPECT_EQ(ts::threadCount(), threads);
    EXPECT_EQ(status::messages(Report::ClientMsg).size(), 40u);
    EXPECT_EQ(status::messages(Report::ServerMsg).size(), 40u);
}
