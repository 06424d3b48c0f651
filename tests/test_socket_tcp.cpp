// TCP, multicast and diagnostic side of the socket layer. TCP runs on
// loopback; groups are joined only in a child process inside a network
// namespace of its own, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "loopback.h"
#include "socket.h"

using testsupport::boundPort;

namespace {

std::string err(const char* text, int e) {
    return std::string(text) + ": " + strerror(e) + "\n";
}

// lo up with multicast, the IPv4 and IPv6 group ranges routed to it.
const char* const kPrepareLoopback =
    "ip link set lo up multicast on && ip route add 224.0.0.0/4 dev lo && "
    "ip -6 route add ff00::/8 dev lo";

// Runs body in a child inside a fresh network namespace; the child's verdict
// ("" for success) comes back through a pipe. No namespace: the test skips.
void inOwnNetns(const std::function<std::string()>& body) {
    int p[2];
    ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string verdict;
        if (unshare(CLONE_NEWNET) != 0)
            verdict = "skip:cannot make a network namespace: " + err("unshare", errno);
        else if (std::system(kPrepareLoopback) != 0)
            verdict = std::string("skip:cannot route groups to lo: ") + kPrepareLoopback;
        else
            verdict = body();
        _exit(write(p[1], verdict.data(), verdict.size()) == ssize_t(verdict.size()) ? 0 : 1);
    }
    close(p[1]);
    std::string verdict;
    char buf[256];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) verdict.append(buf, size_t(n));
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (verdict.rfind("skip:", 0) == 0) GTEST_SKIP() << verdict.substr(5);
    EXPECT_EQ(0, status);
    EXPECT_EQ("", verdict);
}

// The text of the first datagram that reaches s within 2 s.
std::string receiveText(unsigned int s) {
    if (Socket_IsRxPacketMS(static_cast<int>(s), 2000) != 1) return "<nothing>";
    unsigned char buf[64];
    unsigned int from;
    unsigned short port;
    int n = Socket_ReceiveFrom(s, buf, sizeof buf, &from, &port);
    return n < 0 ? "<error>" : std::string(reinterpret_cast<char*>(buf), size_t(n));
}

}  // namespace

TEST(SocketTcp, StreamsBothWaysAndSeesThePeerClose) {
    unsigned int listener = Socket_TCPServer(0);
    int client = Socket_TCPClient("127.0.0.1", boundPort(static_cast<int>(listener)));
    ASSERT_GT(client, 2);
    unsigned int accepted = Socket_Accept(listener);
    ASSERT_NE(0xFFFFFFFFu, accepted);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    getsockopt(client, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(0, nodelay);

    unsigned char out[7] = {1, 1, 2, 3, 4, 5, 200}, in[16];
    EXPECT_EQ(7, Socket_Send(unsigned(client), out, 7));
    EXPECT_EQ(7, Socket_Recv(accepted, in, sizeof in));
    EXPECT_EQ(0, std::memcmp(out, in, 7));
    EXPECT_EQ(-1, Socket_Send(0, out, 7));
    char peer[16] = "untouched";
    EXPECT_EQ(0, Socket_GetForeignAddress(accepted, peer));
    EXPECT_STREQ("127.0.0.1", peer);

    // The peer goes: reads see the end, sends fail instead of raising SIGPIPE.
    Socket_Close(accepted);
    EXPECT_EQ(0, Socket_Recv(unsigned(client), in, sizeof in));
    int sent = 0;
    for (int i = 0; i < 50 && sent >= 0; ++i) sent = Socket_Send(unsigned(client), out, 7);
    EXPECT_EQ(-1, sent);
    Socket_Close(unsigned(client));
    Socket_Close(listener);
}

TEST(SocketTcp, ClientsResolveKeepLow16BitsAndFailCleanly) {
    unsigned int listener = Socket_TCPServer(0);
    unsigned short port = boundPort(static_cast<int>(listener));
    int before = testsupport::openDescriptorCount();
    EXPECT_EQ(-1, Socket_TCPClient("127.0.0.1", testsupport::freeUdpPort()));
    EXPECT_EQ(-1, Socket_TCPClient("no-such-host.invalid", port));
    EXPECT_EQ(-1, Socket_TCPClient(nullptr, port));
    EXPECT_EQ(-1, Socket_TCPClient("0.0.0.0", port));  // names no host, though lo listens
    EXPECT_EQ(before, testsupport::openDescriptorCount());
    for (int s :
         {Socket_TCPClient("127.0.0.1", port + 65536), Socket_TCPClient("localhost", port)}) {
        EXPECT_GT(s, 2);
        Socket_Close(unsigned(s));
    }
    Socket_Close(listener);
}

TEST(SocketTcp, FailuresReportTheirDiagnostics) {
    unsigned int listener = Socket_TCPServer(0);
    unsigned int udp = Socket_UDPSocket();
    char peer[16] = "untouched";
    testing::internal::CaptureStderr();
    EXPECT_EQ(0xFFFFFFFFu, Socket_TCPServer(boundPort(static_cast<int>(listener))));
    EXPECT_EQ(-1, Socket_GetForeignAddress(udp, peer));
    EXPECT_EQ(0xFFFFFFFFu, Socket_Accept(udp));
    EXPECT_EQ(err("setsockopt() failed", EADDRINUSE) + err("***setsockopt() failed", ENOTCONN) +
                  err("**********setsockopt() failed", EOPNOTSUPP),
              testing::internal::GetCapturedStderr());
    EXPECT_STREQ("untouched", peer);
    EXPECT_EQ(0, Socket_SetBrodcast(static_cast<int>(udp)));
    EXPECT_EQ(-1, Socket_SetBrodcast(-1));
    EXPECT_EQ(0, Socket_ZeroCopy(static_cast<int>(listener), 1));
    EXPECT_EQ(-1, Socket_ZeroCopy(-1, 1));
    Socket_Close(udp);
    Socket_Close(listener);
}

TEST(SocketMulticast, RefusalsReportAndKeepTheSocket) {
    // Each of these is refused before any group is joined.
    unsigned int s = Socket_UDPServer(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, Socket_MulticastServer(s, 0x7F000001));
    EXPECT_EQ(-1, Socket_LeaveMulticast(static_cast<int>(s), 0xE0010203, 0));
    EXPECT_EQ(-1, mcast_recv_socket("localhost", "5000", 1 << 21));
    EXPECT_EQ(err("setsockopt() failed", EINVAL) + err("****setsockopt() failed", EADDRNOTAVAIL) +
                  "getaddrinfo: " + gai_strerror(EAI_NONAME) + "\n",
              testing::internal::GetCapturedStderr());
    EXPECT_NE(-1, fcntl(static_cast<int>(s), F_GETFD));
    Socket_Close(s);
}

TEST(SocketMulticast, GroupsReceiveInsideOwnNamespace) {
    inOwnNetns([]() -> std::string {
        const unsigned int group = 0xE0010203;  // 224.1.2.3
        unsigned int tx = Socket_UDPSocket(), m = Socket_MUDPServer(group, 0);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (m == 0xFFFFFFFFu) return "Socket_MUDPServer failed";
        getsockname(static_cast<int>(m), reinterpret_cast<sockaddr*>(&a), &len);
        if (a.sin_family != AF_INET || a.sin_addr.s_addr != INADDR_ANY) return "not on 0.0.0.0";
        Socket_SendTo(tx, (unsigned char*)"mudp", 4, group, ntohs(a.sin_port));
        if (std::string got = receiveText(m); got != "mudp") return "MUDP server got " + got;
        Socket_Close(m);  // its membership would otherwise still let the group in below

        // Join on a bound socket, receive, leave, and hear nothing more.
        unsigned int s = Socket_UDPServer(0);
        if (Socket_MulticastServer(s, group) != s) return "Socket_MulticastServer failed";
        Socket_SendTo(tx, (unsigned char*)"join", 4, group, boundPort(static_cast<int>(s)));
        if (std::string got = receiveText(s); got != "join") return "joined socket got " + got;
        if (Socket_LeaveMulticast(static_cast<int>(s), group, 0) != 0) return "leave failed";
        Socket_SendTo(tx, (unsigned char*)"gone", 4, group, boundPort(static_cast<int>(s)));
        if (Socket_IsRxPacketMS(static_cast<int>(s), 200) != 0)
            return "heard the group after leaving";

        int v6 = mcast_recv_socket("ff0e::123", "0", 1 << 21);
        sockaddr_in6 a6{};
        len = sizeof a6;
        if (v6 < 0 || getsockname(v6, reinterpret_cast<sockaddr*>(&a6), &len) != 0 ||
            a6.sin6_family != AF_INET6 || !IN6_IS_ADDR_UNSPECIFIED(&a6.sin6_addr))
            return "no IPv6 group socket on the IPv6 wildcard";
        for (int x : {int(tx), int(s), v6}) Socket_Close(unsigned(x));
        return "";
    });
}

TEST(SocketChecksum, FollowsRfc1071) {
    EXPECT_EQ(0xFFFF, checksum(nullptr, 0));
    // The worked example of RFC 1071: the result stored as is reads 22 0D.
    unsigned char data[10] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    unsigned short sum = checksum(data, 8);
    std::memcpy(data + 8, &sum, 2);
    EXPECT_EQ(0x22, data[8]);
    EXPECT_EQ(0x0D, data[9]);
    EXPECT_EQ(0, checksum(data, 10));  // data followed by its checksum verifies
    EXPECT_EQ(0xFFFF - 0x12, checksum("\x12", 1));
    // Far more words than a 32-bit sum can carry: all ones still folds to 0xFFFF.
    std::vector<unsigned char> ones(1 << 20, 0xFF);
    EXPECT_EQ(0, checksum(ones.data(), static_cast<int>(ones.size())));
}

TEST(SocketFixed, OperationsWithFixedResultsTouchNothing) {
    char buf[8] = "keep";
    int cnt = 42, before = testsupport::openDescriptorCount();
    EXPECT_TRUE(Socket_GetMyAddrList().empty());
    EXPECT_EQ(buf, Socket_GetMyAddr(buf, "lo"));
    EXPECT_EQ(nullptr, Socket_GetMacAddr("lo", buf));
    EXPECT_EQ(nullptr, Socket_GetMacAddr(nullptr, nullptr));
    EXPECT_STREQ("keep", buf);
    EXPECT_EQ(0, Socket_hasIPAddress("lo"));
    EXPECT_FALSE(Socket_isInterfaceUp(nullptr));
    EXPECT_EQ(0, ping("127.0.0.1", 64, 100, &cnt));
    EXPECT_EQ(42, cnt);
    EXPECT_EQ(0, Socket_JoinMulticast(-1, 0xE0010203, 0) + Socket_RemoveMulticast(-1) +
                     Socket_SetMulticast(-1, 1, 1, 0, nullptr) +
                     Socket_SetMulticast2(-1, 1, "lo", "224.1.2.3", 5000) +
                     Socket_TCPClient_NonBlock(nullptr, 0));
    EXPECT_EQ(before, testsupport::openDescriptorCount());
}
