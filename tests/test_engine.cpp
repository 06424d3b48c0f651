// The sender and the receiver on real parts: UDP on loopback, pseudo-terminals,
// and socat as a software converter between them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSerialPortInfo>
#include <QStringList>
#include <chrono>
#include <cstdlib>
#include <memory>
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

using testsupport::PtyPair;
using testsupport::Report;
using testsupport::SocatBridge;
using testsupport::UdpPeer;
namespace status = testsupport::status;

namespace {

const QString kDestIp = "127.0.0.1";
// A name the driver opens as /dev/<name>; no such device exists.
const QString kMissingPort = "convbench-no-such-port";
constexpr int kWait = 5000;  // bound on every wait, far above what a run needs

std::vector<int> counts(Report::Kind kind) {
    std::vector<int> out;
    for (const auto& r : status::reports())
        if (r.kind == kind) out.push_back(r.count);
    return out;
}

int maxCount(Report::Kind kind) {
    int m = 0;
    for (int c : counts(kind)) m = c > m ? c : m;
    return m;
}

bool validPacket(const std::vector<unsigned char>& d) {
    if (d.size() != 7) return false;
    int sum = 0;
    for (int i = 0; i < 6; ++i) sum += d[i];
    return d[1] == 1 && d[2] == 2 && d[3] == 3 && d[4] == 4 && d[5] == 5 && (sum & 0xFF) == d[6];
}

// Waits until some socket holds 127.0.0.1:port (a bind of our own fails).
bool waitUdpPortBound(unsigned short port) {
    for (int i = 0; i < kWait / 10; ++i) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
        ::close(fd);
        if (taken) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Two distinct free UDP ports.
std::pair<unsigned short, unsigned short> twoFreePorts() {
    UdpPeer a, b;
    return {a.port(), b.port()};
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { status::clear(); }
};

using SenderTest = EngineTest;
using ReceiverTest = EngineTest;

}  // namespace

// ---- Sender ----------------------------------------------------------------

// Two runs: each numbers from 1 and ends with "Socket closed" and a count of
// 0. The second gives a Dest Port beyond 16 bits, of which the low 16 count.
TEST_F(SenderTest, UdpRunsSendNumberedPacketsAndEndWithZero) {
    UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    client c;
    for (int run = 0; run < 2; ++run) {
        status::clear();
        c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", kDestIp, peer.port() + run * 3 * 65536);
        for (int n = 1; n <= 3; ++n) {
            auto d = peer.receive(kWait);
            ASSERT_TRUE(validPacket(d)) << "run " << run << " packet " << n;
            EXPECT_EQ(d[0], n) << "every run numbers from 1";
        }
        ASSERT_TRUE(status::waitForCount(Report::ClientCnt, 3, kWait));
        c.stop_client();

        EXPECT_EQ(status::messages(Report::ClientMsg),
                  (std::vector<std::string>{"Start UDP sender", "Socket closed"}));
        auto cs = counts(Report::ClientCnt);
        ASSERT_GE(cs.size(), 4u);
        for (size_t i = 0; i + 1 < cs.size(); ++i) EXPECT_EQ(cs[i], static_cast<int>(i + 1));
        EXPECT_EQ(cs.back(), 0);
        EXPECT_EQ(c.m_counter, 0);
        EXPECT_EQ(c.socket, 0);
        while (!peer.receive(150).empty()) {
        }
    }
}

// An empty Dest IP is address 0: nothing is sent (not even to this host) and
// no count is shown, but the run opens and closes as usual.
TEST_F(SenderTest, EmptyDestIpSendsNothingAndShowsNoCount) {
    UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    client c;
    c.start_client(CONVERT_ETHERNET_TO_UART, 0, "", "", peer.port());
    ASSERT_TRUE(status::waitForMessage(Report::ClientMsg, "Start UDP sender", kWait));
    EXPECT_TRUE(peer.receive(450).empty());
    c.stop_client();
    EXPECT_EQ(counts(Report::ClientCnt), std::vector<int>{0});
    EXPECT_EQ(status::messageCount(Report::ClientMsg, "Socket closed"), 1);
}

TEST_F(SenderTest, UartRunWritesPacketsBackToBack) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    client c;
    c.start_client(CONVERT_UART_TO_ETHERNET, 0, QString::fromStdString(pty.slavePath()), kDestIp,
                   0);
    std::vector<unsigned char> buf(21);
    ASSERT_EQ(pty.readMaster(buf.data(), buf.size(), kWait), 21u);
    ASSERT_TRUE(status::waitForCount(Report::ClientCnt, 3, kWait));
    c.stop_client();
    for (int n = 0; n < 3; ++n) {
        std::vector<unsigned char> p(buf.begin() + 7 * n, buf.begin() + 7 * n + 7);
        EXPECT_TRUE(validPacket(p));
        EXPECT_EQ(p[0], n + 1);
    }
    EXPECT_EQ(status::messages(Report::ClientMsg),
              (std::vector<std::string>{"Start UART sender", "UART closed"}));
    EXPECT_EQ(counts(Report::ClientCnt).back(), 0);
    EXPECT_EQ(c.m_counter, 0);
}

TEST_F(SenderTest, PortListIsTheSystemListThenExistingExtraPorts) {
    QStringList system;
    for (const auto& info : QSerialPortInfo::availablePorts()) system << info.portName();

    unsetenv("CONVBENCH_EXTRA_PORTS");
    {
        client c;
        c.SelectComPort();
        EXPECT_EQ(c.m_com_port_list, system);
        EXPECT_EQ(status::messageCount(Report::ClientMsg, "No Active Ports Found"),
                  system.isEmpty() ? 1 : 0);
    }

    PtyPair a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    const std::string extra = b.slavePath() + "::" + "/dev/convbench-no-such-port:" + a.slavePath();
    setenv("CONVBENCH_EXTRA_PORTS", extra.c_str(), 1);
    status::clear();
    client c;
    c.SelectComPort();
    QStringList expected = system;
    expected << QString::fromStdString(b.slavePath()) << QString::fromStdString(a.slavePath());
    EXPECT_EQ(c.m_com_port_list, expected);
    EXPECT_EQ(status::messageCount(Report::ClientMsg, "No Active Ports Found"), 0);
    c.SelectComPort();  // a second call appends again
    EXPECT_EQ(c.m_com_port_list.size(), 2 * expected.size());
    unsetenv("CONVBENCH_EXTRA_PORTS");
}

// ---- Receiver --------------------------------------------------------------

TEST_F(ReceiverTest, UdpCountsEveryDatagramAndTestsIt) {
    const unsigned short port = testsupport::freeUdpPort();
    server s;
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", port);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UDP reciever", kWait));
    UdpPeer peer;
    const unsigned char good[14] = {1, 1, 2, 3, 4, 5, 0x10, 2, 1, 2, 3, 4, 5, 0x11};
    const unsigned char bad[7] = {1, 1, 2, 3, 4, 5, 0x11};

    peer.sendTo(port, good, 7);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 1, kWait));
    peer.sendTo(port, bad, 7);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    peer.sendTo(port, good, 14);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 3, kWait));
    // Shorter than a packet: fails, though the buffer still holds the good
    // packet of the datagram before.
    peer.sendTo(port, good, 5);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 4, kWait));
    s.stop_server();

    // Each bad datagram is counted, then reported once.
    std::vector<std::string> seen;
    for (const auto& r : status::reports()) {
        seen.push_back(r.kind == Report::ServerCnt ? std::to_string(r.count) : r.text);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Start UDP reciever", "1", "2", "checksum error !",
                                              "3", "4", "checksum error !", "Socket closed", "0"}));
    EXPECT_EQ(s.counter, 0);
    EXPECT_EQ(s.socket, 0);
}

TEST_F(ReceiverTest, SerialCountsWholeSevenByteBlocks) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    server s;
    s.start_server(CONVERT_ETHERNET_TO_UART, 0, QString::fromStdString(pty.slavePath()), 0);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UART reciever", kWait));

    std::vector<unsigned char> twenty(20, 0xAB);  // content is not looked at
    ASSERT_TRUE(pty.writeMaster(twenty.data(), twenty.size()));
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(maxCount(Report::ServerCnt), 2) << "6 bytes wait for a seventh";
    ASSERT_TRUE(pty.writeMaster("x", 1));
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 3, kWait));

    // A backlog drains at once: 100 blocks in one write.
    std::vector<unsigned char> backlog(700, 0x55);
    ASSERT_TRUE(pty.writeMaster(backlog.data(), backlog.size()));
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 103, kWait));
    s.stop_server();

    EXPECT_EQ(status::messages(Report::ServerMsg),
              (std::vector<std::string>{"Start UART reciever", "UART closed"}));
    auto cs = counts(Report::ServerCnt);
    ASSERT_EQ(cs.size(), 104u);
    for (int i = 0; i < 103; ++i) EXPECT_EQ(cs[i], i + 1);
    EXPECT_EQ(cs.back(), 0);
    EXPECT_EQ(s.counter, 0);
}

// Failed opens end a worker with its own message and no count; an unknown
// direction ends it silently; STOP joins either way.
TEST_F(EngineTest, FailedOpensAndUnknownDirections) {
    client c;
    server s;
    c.stop_client();  // before any START: only clears the flag
    EXPECT_EQ(c.client_task_flag.load(), 0);
    EXPECT_FALSE(c.client_task.joinable());

    c.start_client(CONVERT_UART_TO_ETHERNET, 0, kMissingPort, kDestIp, 0);
    s.start_server(CONVERT_ETHERNET_TO_UART, 0, kMissingPort, 0);
    ASSERT_TRUE(status::waitForMessage(Report::ClientMsg, "Open UART Failed", kWait));
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "UART open failed", kWait));
    c.stop_client();
    s.stop_server();
    EXPECT_EQ(status::reports().size(), 2u);

    UdpPeer holder;  // holds the source port without SO_REUSEADDR
    status::clear();
    s.start_server(CONVERT_UART_TO_ETHERNET, 0, "", holder.port() + 65536);
    ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Open Socket failed", kWait));
    s.stop_server();
    EXPECT_EQ(status::reports().size(), 1u);

    status::clear();
    c.start_client(7, 0, "", kDestIp, holder.port());
    s.start_server(-1, 0, "", holder.port());
    c.stop_client();
    s.stop_server();
    EXPECT_FALSE(c.client_task.joinable() || s.server_task.joinable());
    EXPECT_TRUE(status::reports().empty());
}

// ---- Both workers, socat as the converter between them ---------------------

// "ethernet -> uart": the sender's datagrams go to the converter's UDP side
// and come out of its pty. "uart -> ethernet": the sender writes the pty and
// the converter sends datagrams to the receiver's source port. Every packet
// sent arrives; STOP leaves both counts at 0 with the closing messages.
class ConverterTest : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(ConverterTest, EveryPacketSentArrives) {
    if (!testsupport::socatAvailable()) GTEST_SKIP() << "socat is not installed";
    const int dir = GetParam();
    const bool toUart = dir == CONVERT_ETHERNET_TO_UART;
    auto [conv_port, far_port] = twoFreePorts();
    server s;
    std::unique_ptr<SocatBridge> conv;
    if (toUart) {
        conv = std::make_unique<SocatBridge>(conv_port, far_port, 60);
        ASSERT_TRUE(conv->ok()) << conv->error();
        ASSERT_TRUE(waitUdpPortBound(conv_port));
        s.start_server(dir, 0, QString::fromStdString(conv->ptyPath()), 4321);
        ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UART reciever", kWait));
    } else {
        s.start_server(dir, 0, "", far_port);
        ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UDP reciever", kWait));
        conv = std::make_unique<SocatBridge>(conv_port, far_port, 60);
        ASSERT_TRUE(conv->ok()) << conv->error();
    }

    client c;
    c.start_client(dir, 0, QString::fromStdString(conv->ptyPath()), kDestIp, conv_port);
    ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 5, kWait));
    c.stop_client();
    const int sent = maxCount(Report::ClientCnt);
    EXPECT_TRUE(status::waitForCount(Report::ServerCnt, sent, kWait)) << "all sent must arrive";
    s.stop_server();

    EXPECT_EQ(maxCount(Report::ServerCnt), sent);
    EXPECT_EQ(counts(Report::ClientCnt).back(), 0);
    EXPECT_EQ(counts(Report::ServerCnt).back(), 0);
    EXPECT_EQ(status::messages(Report::ClientMsg),
              toUart ? (std::vector<std::string>{"Start UDP sender", "Socket closed"})
                     : (std::vector<std::string>{"Start UART sender", "UART closed"}));
    EXPECT_EQ(status::messages(Report::ServerMsg),
              toUart ? (std::vector<std::string>{"Start UART reciever", "UART closed"})
                     : (std::vector<std::string>{"Start UDP reciever", "Socket closed"}));
}

INSTANTIATE_TEST_SUITE_P(BothDirections, ConverterTest,
                         ::testing::Values(CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET),
                         [](const auto& info) {
                             return info.param == CONVERT_ETHERNET_TO_UART ? "EthernetToUart"
                                                                           : "UartToEthernet";
                         });

// ---- Lifecycle -------------------------------------------------------------

// START twice without STOP ends the first run before the second; workers
// destroyed during a run stop and join it.
TEST_F(EngineTest, RestartAndDestructionDuringARunJoinTheWorkers) {
    const unsigned short port = testsupport::freeUdpPort();
    {
        auto s = std::make_unique<server>();
        auto c = std::make_unique<client>();
        s->start_server(CONVERT_UART_TO_ETHERNET, 0, "", port);
        ASSERT_TRUE(status::waitForMessage(Report::ServerMsg, "Start UDP reciever", kWait));
        c->start_client(CONVERT_ETHERNET_TO_UART, 0, "", kDestIp, port);
        ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 1, kWait));
        c->start_client(CONVERT_ETHERNET_TO_UART, 0, "", kDestIp, port);
        ASSERT_TRUE(status::waitForCount(Report::ServerCnt, 2, kWait));
    }
    EXPECT_EQ(status::messageCount(Report::ClientMsg, "Socket closed"), 2);
    EXPECT_EQ(status::messageCount(Report::ServerMsg, "Socket closed"), 1);
}

TEST_F(EngineTest, QuickStartStopCyclesLeakNothing) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const QString tty = QString::fromStdString(pty.slavePath());
    const unsigned short port = testsupport::freeUdpPort();
    server s;
    client c;
    int fds = 0, threads = 0;
    for (int i = 0; i < 15; ++i) {
        for (int dir : {CONVERT_ETHERNET_TO_UART, CONVERT_UART_TO_ETHERNET}) {
            s.start_server(dir, 0, tty, port);
            c.start_client(dir, 0, tty, kDestIp, port);
            c.stop_client();
            s.stop_server();
            ASSERT_EQ(c.m_counter, 0);
            ASSERT_EQ(s.counter, 0);
        }
        if (i == 0) {  // after the first cycle: runtimes start helper threads lazily
            fds = testsupport::openDescriptorCount();
            threads = testsupport::threadCount();
        }
    }
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    EXPECT_EQ(testsupport::threadCount(), threads);
    EXPECT_EQ(status::messageCount(Report::ClientMsg, "Socket closed"), 15);
    EXPECT_EQ(status::messageCount(Report::ClientMsg, "UART closed"), 15);
    EXPECT_EQ(status::messageCount(Report::ServerMsg, "Socket closed"), 15);
    EXPECT_EQ(status::messageCount(Report::ServerMsg, "UART closed"), 15);
}
