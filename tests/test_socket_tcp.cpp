// TCP, multicast and diagnostic side of the socket layer. TCP runs on loopback; groups are
// joined only inside a network namespace the test makes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "loopback.h"
#include "socket.h"

using testsupport::boundPort;

namespace {

std::string err(const char* text, int e) {
    return std::string(text) + ": " + strerror(e) + "\n";
}

// While it lives, this thread is in a network namespace of its own, lo routing the group ranges.
struct OwnNetns {
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    bool ok = unshare(CLONE_NEWNET) == 0 &&
              std::system(
                  "ip link set lo up multicast on && ip route add 224.0.0.0/4 dev lo && "
                  "ip -6 route add ff00::/8 dev lo") == 0;
    ~OwnNetns() {
        setns(home, CLONE_NEWNET);
        close(home);
    }
};

}  // namespace

// A name resolves and a port above 65535 keeps its low 16 bits; the peer shows as 127.0.0.1;
// after it closes, reads see the end and sends fail instead of raising SIGPIPE. Clients that
// cannot connect give -1 and leak no descriptor.
TEST(SocketTcp, ClientsConnectStreamAndFailCleanly) {
    int descriptors = testsupport::openDescriptorCount();
    unsigned int listener = Socket_TCPServer(0);
    unsigned short port = boundPort(static_cast<int>(listener));
    int client = Socket_TCPClient("localhost", port + 65536);
    ASSERT_GT(client, 2);
    unsigned int accepted = Socket_Accept(listener);
    char peer[16] = "";
    EXPECT_EQ(0, Socket_GetForeignAddress(accepted, peer));
    EXPECT_STREQ("127.0.0.1", peer);
    unsigned char out[7] = {1, 1, 2, 3, 4, 5, 200}, in[16];
    EXPECT_EQ(7, Socket_Send(unsigned(client), out, 7));
    EXPECT_EQ(7, Socket_Recv(accepted, in, sizeof in));
    EXPECT_EQ(-1, Socket_TCPClient("no-such-host.invalid", port));
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

// Refusals return their error values, print the texts users look for, leave the caller's
// buffer and socket alone; working options report 0.
TEST(SocketDiagnostics, RefusalsReportAndKeepTheSocket) {
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
    EXPECT_EQ(0, Socket_ZeroCopy(static_cast<int>(listener), 1));
    Socket_Close(udp);
    Socket_Close(listener);
}

// Groups are joined, heard and left inside a network namespace of the test's own, so nothing
// leaves the machine. No such namespace: skip.
TEST(SocketMulticast, JoinReceiveLeaveInOwnNamespace) {
    OwnNetns ns;
    if (!ns.ok) GTEST_SKIP() << "cannot make a network namespace that routes groups to lo";
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
}

// Empty input, the worked example of RFC 1071 (stored as is it reads 22 0D), an odd last
// byte, and more carries than a 32-bit sum can hold.
TEST(SocketChecksum, FollowsRfc1071) {
    EXPECT_EQ(0xFFFF, checksum(nullptr, 0));
    const unsigned char data[8] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    unsigned short sum = checksum(data, 8);
    EXPECT_EQ(0, std::memcmp(&sum, "\x22\x0D", 2));
    EXPECT_EQ(0xFFFF - 0x12, checksum("\x12", 1));
    std::string ones(1 << 20, '\xFF');
    EXPECT_EQ(0, checksum(ones.data(), static_cast<int>(ones.size())));
}

// Operations with fixed results on this platform return them and write nothing.
TEST(SocketFixed, OperationsReturnTheirFixedResults) {
    char buf[8] = "keep";
    int cnt = 42;
    EXPECT_EQ(0, Socket_Init() + ping("127.0.0.1", 64, 100, &cnt) + Socket_hasIPAddress("lo") +
                     Socket_JoinMulticast(-1, 1, 0) + Socket_RemoveMulticast(-1) +
                     Socket_SetMulticast(-1, 1, 1, 0, nullptr) +
                     Socket_SetMulticast2(-1, 1, "lo", "224.1.2.3", 5000) +
                     Socket_TCPClient_NonBlock(nullptr, 0));
    EXPECT_EQ(42, cnt);
    EXPECT_EQ(nullptr, Socket_GetMacAddr("lo", buf));
    EXPECT_STREQ("keep", Socket_GetMyAddr(buf, "lo"));
    EXPECT_TRUE(Socket_GetMyAddrList().empty() && !Socket_isInterfaceUp("lo"));
}
