// The socket layer where only POSIX runs it: TCP, the descriptor table (close-on-exec, nothing
// lost on a refused bind, the standard streams never handed out or closed), an ICMP answer seen by
// a UDP sender, multicast (only in a network namespace the test makes) and the checksum.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "socket.h"

using testsupport::boundPort;

// TCP streams; a closed peer ends reads and fails sends without SIGPIPE. Sockets are
// close-on-exec; refused binds leave no descriptor; with a UDP receiver gone, IP_RECVERR lets the
// port-unreachable answer fail the second datagram of a send. No descriptor leaks.
TEST(SocketTcp, ClientsConnectStreamAndFailCleanly) {
    const int descriptors = testsupport::openDescriptorCount();
    unsigned int rx = Socket_UDPServer(0), tx = Socket_UDPSocket();
    const int txfd = static_cast<int>(tx);
    const unsigned short udp_port = boundPort(static_cast<int>(rx));
    EXPECT_NE(0, fcntl(txfd, F_GETFD) & FD_CLOEXEC);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, Socket_UDPServer(udp_port));
    testing::internal::GetCapturedStderr();
    Socket_Close(rx);
    std::vector<unsigned char> data(2 * 32768 + 123);
    int on = 1;
    ASSERT_EQ(0, setsockopt(txfd, IPPROTO_IP, IP_RECVERR, &on, sizeof on));
    EXPECT_EQ(32768,
              Socket_SendTo(tx, data.data(), static_cast<int>(data.size()), 0x7F000001, udp_port));
    Socket_Close(tx);
    unsigned int listener = Socket_TCPServer(0);
    unsigned short port = boundPort(static_cast<int>(listener));
    int client = Socket_TCPClient("localhost", port + 65536);  // low 16 bits of the port
    ASSERT_GT(client, 2);
    unsigned int accepted = Socket_Accept(listener);
    char peer[16] = "";
    EXPECT_EQ(0, Socket_GetForeignAddress(accepted, peer));
    EXPECT_STREQ("127.0.0.1", peer);
    unsigned char out[7] = {1, 1, 2, 3, 4, 5, 200}, in[16];
    EXPECT_EQ(7, Socket_Send(unsigned(client), out, 7));
    EXPECT_EQ(7, Socket_Recv(accepted, in, sizeof in));
    EXPECT_EQ(-1, Socket_TCPClient(nullptr, port));
    EXPECT_EQ(-1, Socket_TCPClient("0.0.0.0", port));  // names no host, though lo listens
    Socket_Close(accepted);
    Socket_Close(listener);
    EXPECT_EQ(0, Socket_Recv(unsigned(client), in, sizeof in));
    int sent = 0;
    for (int i = 0; i < 50 && sent >= 0; ++i) sent = Socket_Send(unsigned(client), out, 7);
    EXPECT_EQ(-1, sent);
    Socket_Close(unsigned(client));
    EXPECT_EQ(-1, Socket_TCPClient("127.0.0.1", port));  // nothing listens there now
    EXPECT_EQ(descriptors, testsupport::openDescriptorCount());
}

// With stdin closed a new socket still lands above 2, and closing 0 leaves stdin alone.
TEST(SocketPosix, NeverHandsOutOrClosesAStandardStream) {
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

// Refusals print the texts users look for and leave the caller's buffer and socket alone.
TEST(SocketDiagnostics, RefusalsReportAndKeepTheSocket) {
    auto err = [](const char* text, int e) {
        return std::string(text) + ": " + strerror(e) + "\n";
    };
    unsigned int listener = Socket_TCPServer(0), udp = Socket_UDPServer(0);
    char peer[16] = "untouched";
    testing::internal::CaptureStderr();
    EXPECT_EQ(0xFFFFFFFFu, Socket_TCPServer(boundPort(static_cast<int>(listener))));
    EXPECT_EQ(-1, Socket_GetForeignAddress(udp, peer));
    EXPECT_EQ(0xFFFFFFFFu, Socket_Accept(udp));
    EXPECT_EQ(0u, Socket_MulticastServer(udp, 0x7F000001));
    EXPECT_EQ(-1, Socket_LeaveMulticast(static_cast<int>(udp), 0xE0010203, 0));
    EXPECT_EQ(-1, mcast_recv_socket("localhost", "5000", 1 << 21));
    EXPECT_EQ(err("setsockopt() failed", EADDRINUSE) + err("***setsockopt() failed", ENOTCONN) +
                  err("**********setsockopt() failed", EOPNOTSUPP) +
                  err("setsockopt() failed", EINVAL) +
                  err("****setsockopt() failed", EADDRNOTAVAIL) +
                  "getaddrinfo: " + gai_strerror(EAI_NONAME) + "\n",
              testing::internal::GetCapturedStderr());
    EXPECT_STREQ("untouched", peer);
    EXPECT_EQ(0, Socket_SetBrodcast(static_cast<int>(udp)));  // udp is still open
    Socket_Close(udp);
    Socket_Close(listener);
}

// Groups are joined, heard and left, in a thread moved to a network namespace of its own.
TEST(SocketMulticast, JoinReceiveLeaveInOwnNamespace) {
    std::thread([] {
        if (unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up multicast on && ip route add 224.0.0.0/4 dev lo && "
                        "ip -6 route add ff00::/8 dev lo") != 0)
            GTEST_SKIP() << "cannot make a network namespace that routes groups to lo";
        const unsigned int group = 0xE0010203;  // 224.1.2.3
        unsigned char buf[8] = "data";
        unsigned int tx = Socket_UDPSocket(), m = Socket_MUDPServer(group, 5000);
        Socket_SendTo(tx, buf, 4, group, 5000);
        EXPECT_EQ(1, Socket_IsRxPacketMS(static_cast<int>(m), 2000)) << "MUDP server";
        Socket_Close(m);  // its membership would let the group in below too
        unsigned int s = Socket_UDPServer(5001);
        EXPECT_EQ(s, Socket_MulticastServer(s, group));
        Socket_SendTo(tx, buf, 4, group, 5001);
        ASSERT_EQ(1, Socket_IsRxPacketMS(static_cast<int>(s), 2000)) << "joined socket";
        EXPECT_EQ(4, Socket_ReceiveFrom(s, buf, sizeof buf, nullptr, nullptr));
        EXPECT_EQ(0, Socket_LeaveMulticast(static_cast<int>(s), group, 0));
        Socket_SendTo(tx, buf, 4, group, 5001);
        EXPECT_EQ(0, Socket_IsRxPacketMS(static_cast<int>(s), 200)) << "heard after leaving";
        int v6 = mcast_recv_socket("ff0e::123", "0", 1 << 21);
        EXPECT_GT(v6, 2);  // an IPv6 group
        for (int fd : {static_cast<int>(tx), static_cast<int>(s), v6}) Socket_Close(unsigned(fd));
    }).join();
}

// RFC 1071: its worked example (stored as is it reads 22 0D), an odd byte, carries past 32 bits.
TEST(SocketChecksum, FollowsRfc1071) {
    const unsigned char data[8] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    unsigned short sum = checksum(data, 8);
    EXPECT_EQ(0, std::memcmp(&sum, "\x22\x0D", 2));
    EXPECT_EQ(0xFFFF - 0x12, checksum("\x12", 1));
    std::string ones(1 << 20, '\xFF');
    EXPECT_EQ(0, checksum(ones.data(), static_cast<int>(ones.size())));
}
