// UDP side of the socket layer, on loopback sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "loopback.h"
#include "socket.h"

using testsupport::boundPort;

// Host byte order both ways; no text gives 0, bad text the all-ones value.
TEST(SocketAddr, ConvertsBetweenDottedTextAndHostOrder) {
    EXPECT_EQ(0u, Socket_Str2Addr(nullptr));
    EXPECT_EQ(0u, Socket_Str2Addr(""));
    EXPECT_EQ(0xC0A8005Fu, Socket_Str2Addr("192.168.0.95"));
    EXPECT_EQ(0xFFFFFFFFu, Socket_Str2Addr("not an address"));
    char buf[16];
    EXPECT_STREQ("192.168.0.95", Socket_Addr2Str(buf, 0xC0A8005F));
    EXPECT_STREQ("255.255.255.255", Socket_Addr2Str(buf, Socket_Str2Addr("255.255.255.255")));
}

// Long buffers go as datagrams of 32768 at most, in order, from 127.0.0.1 and the sender's
// port; length 0 and address 0 send nothing; a cut datagram is a failed receive; a port in
// use is refused with its diagnostics; a failure mid-buffer returns the bytes sent so far.
TEST(SocketUdp, DatagramsSplitArriveAndFailCleanly) {
    unsigned int rx = Socket_UDPServer(0), tx = Socket_UDPSocket();  // rx: any free port
    int rxfd = static_cast<int>(rx), txfd = static_cast<int>(tx);
    unsigned short port = boundPort(rxfd);
    EXPECT_NE(0, fcntl(txfd, F_GETFD) & FD_CLOEXEC);
    std::vector<unsigned char> data(2 * 32768 + 123), got(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 251);
    const int size = static_cast<int>(data.size());
    EXPECT_EQ(size, Socket_SendTo(tx, data.data(), size, 0x7F000001, port));
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), 0, 0x7F000001, port));
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), 7, 0, port));  // Linux would deliver it to rx
    EXPECT_EQ(7, Socket_SendTo(tx, data.data(), 7, 0x7F000001, port));
    size_t offset = 0;
    for (int expected : {32768, 32768, 123}) {
        unsigned int from = 0;
        unsigned short from_port = 0;
        ASSERT_EQ(1, Socket_IsRxPacketMS(rxfd, 2000));
        ASSERT_EQ(expected, Socket_ReceiveFrom(rx, got.data(), 70000, &from, &from_port));
        EXPECT_EQ(0, std::memcmp(got.data(), &data[offset], static_cast<size_t>(expected)));
        EXPECT_EQ(0x7F000001u, from);
        EXPECT_EQ(boundPort(txfd), from_port);
        offset += static_cast<size_t>(expected);
    }
    ASSERT_EQ(1, Socket_IsRxPacketMS(rxfd, 2000));
    EXPECT_EQ(-1, Socket_ReceiveFrom(rx, got.data(), 4, nullptr, nullptr));  // the 7, cut
    EXPECT_EQ(0, Socket_IsRxPacket(rxfd));  // no excess, nothing from length 0 or address 0

    // tx's first send bound it without SO_REUSEADDR, so its port is in use.
    int descriptors = testsupport::openDescriptorCount();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, Socket_UDPServer(boundPort(txfd)));
    EXPECT_EQ("setsockopt() **** failed: " + std::string(strerror(EADDRINUSE)) +
                  "\nSocket_UDPServer.621 addr in use\n\r",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(descriptors, testsupport::openDescriptorCount());

    // With rx gone and IP_RECVERR on, the port-unreachable answer to the first datagram fails
    // the second send.
    Socket_Close(rx);
    EXPECT_EQ(-1, Socket_IsRxPacket(rxfd));
    int on = 1;
    ASSERT_EQ(0, setsockopt(txfd, IPPROTO_IP, IP_RECVERR, &on, sizeof on));
    EXPECT_EQ(32768, Socket_SendTo(tx, data.data(), size, 0x7F000001, port));
    Socket_Close(tx);
}

// A wait lasts its whole timeout, seconds and rest; a zero one returns at once; 0 is no socket.
TEST(SocketUdp, PollsWaitTheirWholeTimeout) {
    int s = static_cast<int>(Socket_UDPServer(0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Socket_IsRxPacketMS(s, 1050));
    EXPECT_EQ(0, Socket_IsRxPacketUS(s, 1050000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2100));
    EXPECT_EQ(0, Socket_IsRxPacketMS(s, 0));
    EXPECT_EQ(-1, Socket_IsRxPacketMS(0, 10));
    Socket_Close(static_cast<unsigned int>(s));
}

// With stdin closed a new socket still lands above 2, and closing 0 leaves stdin alone.
TEST(SocketUdp, NeverHandsOutOrClosesAStandardStream) {
    int saved = dup(0);
    if (saved < 0) GTEST_SKIP() << "stdin is closed already";
    close(0);
    unsigned int s = Socket_UDPSocket();
    EXPECT_GT(s, 2u);
    EXPECT_EQ(-1, fcntl(0, F_GETFD));  // nothing left behind at 0
    Socket_Close(s);
    dup2(saved, 0);
    close(saved);
    Socket_Close(0);
    EXPECT_NE(-1, fcntl(0, F_GETFD));
}
