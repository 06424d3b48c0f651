// UDP side of the socket layer, on loopback sockets; the same cases on every
// platform (test_socket_tcp.cpp holds what only POSIX has).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "socket.h"

// Host byte order both ways; no text gives 0 (no destination), bad text the all-ones value.
TEST(SocketAddr, ConvertsBetweenDottedTextAndHostOrder) {
    EXPECT_EQ(0u, Socket_Str2Addr(nullptr));
    EXPECT_EQ(0u, Socket_Str2Addr(""));
    EXPECT_EQ(0xC0A8005Fu, Socket_Str2Addr("192.168.0.95"));
    char buf[16];
    EXPECT_STREQ("192.168.0.95", Socket_Addr2Str(buf, 0xC0A8005F));
    EXPECT_STREQ("255.255.255.255", Socket_Addr2Str(buf, Socket_Str2Addr("not an address")));
}

// Datagrams of 32768 at most, in order; empty, cut, mid-buffer failed and port-taken cases. A
// datagram that waited in the socket: with kernel stamps its arrival lies within the send
// (loopback delivers inside sendto), on the monotonic clock, however late the read; without
// stamps (a platform that has none) the arrival is the read time. Never after the read.
TEST(SocketUdp, DatagramsSplitArriveAreStampedAndFailCleanly) {
    unsigned int rx = Socket_UDPServer(0), tx = Socket_UDPSocket();  // rx: any free port
    int rxfd = static_cast<int>(rx);
    unsigned short port = Socket_LocalPort(rx);
    std::vector<unsigned char> data(2 * 32768 + 123), got(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 251);
    const int size = static_cast<int>(data.size());
    EXPECT_EQ(size, Socket_SendTo(tx, data.data(), size, 0x7F000001, port));
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), 0, 0x7F000001, port));
    EXPECT_EQ(0, Socket_SendTo(tx, data.data(), 7, 0, port));  // Linux would deliver it to rx
    EXPECT_EQ(7, Socket_SendTo(tx, data.data(), 7, 0x7F000001, port));
    ASSERT_EQ(1, Socket_IsRxPacketMS(rxfd, 2000));
    for (int offset : {0, 32768, 65536}) {
        const int n = offset < 65536 ? 32768 : 123;
        ASSERT_EQ(n, Socket_ReceiveFrom(rx, got.data(), 70000, nullptr, nullptr));
        EXPECT_EQ(0, std::memcmp(got.data(), &data[offset], static_cast<size_t>(n)));
    }
    EXPECT_EQ(-1, Socket_ReceiveFrom(rx, got.data(), 4, nullptr, nullptr));  // the 7, cut
    auto start = std::chrono::steady_clock::now();  // nothing else came: whole timeouts
    EXPECT_EQ(0, Socket_IsRxPacketMS(rxfd, 1050));
    EXPECT_EQ(0, Socket_IsRxPacketUS(rxfd, 1050000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2100));

    using Clock = std::chrono::steady_clock;
    const auto ns = [](Clock::time_point t) {
        return static_cast<int64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    };
    const bool stamped = Socket_EnableReceiveStamps(rx) == 0;
    int64_t arrival = 0, read = 0;
    // Linux turns stamping on a moment after the first socket asks (until then
    // a datagram is stamped at its read): one datagram and a pause first.
    ASSERT_EQ(Socket_SendTo(tx, data.data(), 3, 0x7F000001, port), 3);
    ASSERT_EQ(Socket_ReceiveStamped(rx, got.data(), 16, &arrival, &read), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int waited_ms : {0, 200}) {
        const int64_t before = ns(Clock::now());
        ASSERT_EQ(Socket_SendTo(tx, data.data(), 3, 0x7F000001, port), 3);
        const int64_t after = ns(Clock::now());
        std::this_thread::sleep_for(std::chrono::milliseconds(waited_ms));
        ASSERT_EQ(Socket_ReceiveStamped(rx, got.data(), 16, &arrival, &read), 3);
        EXPECT_GE(read, after + waited_ms * 1000000LL);
        EXPECT_LE(arrival, read);
        if (stamped) {
            // The two clocks' difference is read a moment apart: a millisecond covers it.
            EXPECT_GE(arrival, before - 1000000) << waited_ms;
            EXPECT_LE(arrival, after + 1000000) << waited_ms;
        } else {
            EXPECT_EQ(arrival, read);
        }
    }

    // Ports taken by a plain socket (tx) and by another bound one (rx): never shared.
    testing::internal::CaptureStderr();
    EXPECT_EQ(0u, Socket_UDPServer(Socket_LocalPort(tx)));
    EXPECT_EQ(0u, Socket_UDPServer(port));
    EXPECT_EQ(0u, Socket_UDPBind(0x7F000001, port));
    EXPECT_EQ(EADDRINUSE, errno);
    const std::string in_use = "setsockopt() **** failed: " + std::string(strerror(EADDRINUSE)) +
                               "\nSocket_UDPServer.621 addr in use\n\r";
    // Carriage returns aside: a Windows stream in text mode adds and moves them.
    auto text = [](std::string s) {
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    };
    EXPECT_EQ(text(in_use + in_use), text(testing::internal::GetCapturedStderr()));
    Socket_Close(rx);
    EXPECT_EQ(-1, Socket_IsRxPacket(rxfd));
    EXPECT_EQ(-1, Socket_IsRxPacketMS(0, 10));  // 0 is no socket
    Socket_Close(tx);
}
