// UDP side of the socket layer, on loopback sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "loopback.h"
#include "socket.h"

namespace {

constexpr unsigned int kLoopback = 0x7F000001;

// A bound receiving socket, closed at the end of the test.
struct Server {
    unsigned int s = Socket_UDPServer(0);
    unsigned short port = testsupport::boundPort(static_cast<int>(s));
    int fd() const { return static_cast<int>(s); }
    ~Server() { Socket_Close(s); }
};

}  // namespace

TEST(SocketAddr, ConvertsBetweenDottedTextAndHostOrder) {
    EXPECT_EQ(0u, Socket_Str2Addr(nullptr));
    EXPECT_EQ(0u, Socket_Str2Addr(""));
    EXPECT_EQ(0xC0A8005Fu, Socket_Str2Addr("192.168.0.95"));
    EXPECT_EQ(0xFFFFFFFFu, Socket_Str2Addr("not an address"));
    char buf[16];
    EXPECT_EQ(buf, Socket_Addr2Str(buf, 0xC0A8005F));
    EXPECT_STREQ("192.168.0.95", buf);
    EXPECT_STREQ("0.0.0.0", Socket_Addr2Str(buf, 0));
    EXPECT_STREQ("255.255.255.255", Socket_Addr2Str(buf, 0xFFFFFFFF));
    for (const char* text : {"1.2.3.4", "10.0.0.255", "127.0.0.1", "224.0.0.251"})
        EXPECT_STREQ(text, Socket_Addr2Str(buf, Socket_Str2Addr(text)));
    EXPECT_EQ(0, Socket_Init());
    EXPECT_EQ(0, Socket_Init());
}

TEST(SocketUdp, LongBufferTravelsAsDatagramsOf32768AtMost) {
    Server srv;
    unsigned int tx = Socket_UDPSocket();
    ASSERT_NE(0u, srv.s);
    ASSERT_NE(0u, tx);
    EXPECT_NE(0, fcntl(static_cast<int>(tx), F_GETFD) & FD_CLOEXEC);
    std::vector<unsigned char> data(2 * 32768 + 123), got(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 251);
    EXPECT_EQ(static_cast<int>(data.size()),
              Socket_SendTo(tx, data.data(), static_cast<int>(data.size()), kLoopback, srv.port));
    size_t offset = 0;
    for (int expected : {32768, 32768, 123}) {
        ASSERT_EQ(1, Socket_IsRxPacketMS(srv.fd(), 2000));
        unsigned int from = 0;
        unsigned short from_port = 0;
        ASSERT_EQ(expected, Socket_ReceiveFrom(srv.s, got.data(), 70000, &from, &from_port));
        EXPECT_EQ(0, std::memcmp(got.data(), data.data() + offset, static_cast<size_t>(expected)));
        EXPECT_EQ(kLoopback, from);
        EXPECT_EQ(testsupport::boundPort(static_cast<int>(tx)), from_port);
        offset += static_cast<size_t>(expected);
    }
    // Nothing to send, or nowhere to send it (address 0): nothing leaves.
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), 0, kLoopback, srv.port));
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), -5, kLoopback, srv.port));
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), 7, 0, srv.port));
    EXPECT_EQ(0, Socket_IsRxPacketMS(srv.fd(), 100));

    // With IP_RECVERR the port-unreachable answer to the first datagram fails
    // the second send; the third is then not tried.
    int on = 1;
    ASSERT_EQ(0, setsockopt(static_cast<int>(tx), IPPROTO_IP, IP_RECVERR, &on, sizeof on));
    EXPECT_EQ(32768, Socket_SendTo(tx, data.data(), static_cast<int>(data.size()), kLoopback,
                                   testsupport::freeUdpPort()));
    Socket_Close(tx);
}

TEST(SocketUdp, CutDatagramIsAFailedReceive) {
    Server srv;
    testsupport::UdpPeer peer;
    ASSERT_EQ(7, peer.sendTo(srv.port, "1234567", 7));
    ASSERT_EQ(1, Socket_IsRxPacketMS(srv.fd(), 2000));
    unsigned char small[4];
    unsigned int from;
    unsigned short port;
    EXPECT_EQ(-1, Socket_ReceiveFrom(srv.s, small, sizeof small, &from, &port));
    EXPECT_EQ(0, Socket_IsRxPacket(srv.fd()));  // the excess is gone
}

TEST(SocketUdp, BindToAPortInUseFailsWithItsDiagnostic) {
    testsupport::UdpPeer holder;  // bound without SO_REUSEADDR
    int before = testsupport::openDescriptorCount();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, Socket_UDPServer(holder.port()));
    EXPECT_EQ("setsockopt() **** failed: " + std::string(strerror(EADDRINUSE)) +
                  "\nSocket_UDPServer.621 addr in use\n\r",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(before, testsupport::openDescriptorCount());
    Server ephemeral;
    EXPECT_NE(0, ephemeral.port);
}

TEST(SocketUdp, PollsHonourWholeSecondsAndReportBadSockets) {
    Server srv;
    testsupport::UdpPeer peer;
    EXPECT_EQ(0, Socket_IsRxPacketMS(srv.fd(), 0));
    EXPECT_EQ(-1, Socket_IsRxPacketMS(srv.fd(), -1));
    // A datagram arriving after 0.7 s is seen only if the whole second is waited for.
    auto late = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        peer.sendTo(srv.port, "x", 1);
    };
    std::thread t1(late);
    EXPECT_EQ(1, Socket_IsRxPacketMS(srv.fd(), 1500));
    t1.join();
    EXPECT_EQ(1, Socket_IsRxPacketUS(srv.fd(), 0));  // still waiting: at once
    unsigned char buf[8];
    unsigned int from;
    unsigned short port;
    EXPECT_EQ(1, Socket_ReceiveFrom(srv.s, buf, sizeof buf, &from, &port));
    std::thread t2(late);
    EXPECT_EQ(1, Socket_IsRxPacketUS(srv.fd(), 1500000));
    t2.join();

    unsigned int gone = Socket_UDPSocket();
    Socket_Close(gone);
    EXPECT_EQ(-1, Socket_IsRxPacket(static_cast<int>(gone)));
    EXPECT_EQ(-1, Socket_IsRxPacketMS(0, 10));
}

TEST(SocketUdp, NeverHandsOutOrClosesDescriptorZero) {
    int saved = dup(0);  // -1 if stdin is closed already
    close(0);
    unsigned int a = Socket_UDPSocket(), b = Socket_UDPServer(0);
    EXPECT_GT(a, 2u);
    EXPECT_GT(b, 2u);
    EXPECT_EQ(-1, fcntl(0, F_GETFD));  // nothing left behind at 0
    Socket_Close(a);
    Socket_Close(b);
    if (saved < 0) return;
    ASSERT_EQ(0, dup2(saved, 0));
    close(saved);
    Socket_Close(0);
    EXPECT_NE(-1, fcntl(0, F_GETFD));
}
