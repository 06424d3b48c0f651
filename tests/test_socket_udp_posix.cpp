// UDP sockets and the POSIX descriptor table: close-on-exec, no descriptor
// lost on a refused bind, an ICMP answer seen by the sender, and the standard
// streams never handed out or closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <vector>

#include "loopback.h"
#include "socket.h"

using testsupport::boundPort;

// Sockets are close-on-exec; refused binds leave no descriptor; with rx gone, IP_RECVERR lets the
// port-unreachable answer fail the second datagram of a send.
TEST(SocketUdpPosix, DescriptorsAndUnreachablePeer) {
    const int descriptors = testsupport::openDescriptorCount();
    unsigned int rx = Socket_UDPServer(0), tx = Socket_UDPSocket();
    const int txfd = static_cast<int>(tx);
    const unsigned short port = boundPort(static_cast<int>(rx));
    EXPECT_NE(0, fcntl(txfd, F_GETFD) & FD_CLOEXEC);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, Socket_UDPServer(port));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(descriptors + 2, testsupport::openDescriptorCount());
    Socket_Close(rx);
    std::vector<unsigned char> data(2 * 32768 + 123);
    int on = 1;
    ASSERT_EQ(0, setsockopt(txfd, IPPROTO_IP, IP_RECVERR, &on, sizeof on));
    EXPECT_EQ(32768,
              Socket_SendTo(tx, data.data(), static_cast<int>(data.size()), 0x7F000001, port));
    Socket_Close(tx);
    EXPECT_EQ(descriptors, testsupport::openDescriptorCount());
}

// With stdin closed a new socket still lands above 2, and closing 0 leaves stdin alone.
TEST(SocketUdpPosix, NeverHandsOutOrClosesAStandardStream) {
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
