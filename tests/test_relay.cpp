// The TCP relay against a listener on loopback: the stream, its end, and no connection at all.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "loopback.h"
#include "status_recorder.h"
#include "tcp_function.h"

using testsupport::Report;
namespace status = testsupport::status;
namespace ts = testsupport;

constexpr int kWait = 5000;  // hang guard on every wait

template <typename F>
static bool eventually(F cond) {
    for (int i = 0; i < kWait / 10 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return cond();
}

// A TCP socket listening on 127.0.0.1:*port; accepts and reads on it give up after kWait.
static int listenOn(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval tv{kWait / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    listen(fd, 4);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// The relay streams 7-byte packets numbered from 1 and goes on when its peer closes (no
// SIGPIPE). Clearing active_task ends it and releases its connection, records and thread. A
// relay started after the sender's run flag was cleared sends nothing and ends by itself.
TEST(RelayTest, StreamsUntilStopped) {
    status::clear();
    active_task = 1;
    const int fds = ts::openDescriptorCount();
    int port = 0;
    const int listener = listenOn(&port);
    client c;
    c.tcp_to_Uart("127.0.0.1", port);
    int conn = accept(listener, nullptr, nullptr);
    std::string got(21, '\0');
    EXPECT_EQ(recv(conn, &got[0], 21, MSG_WAITALL), 21);
    EXPECT_EQ(got, (std::string{1, 1, 2, 3, 4, 5, 16, 2, 1, 2, 3, 4, 5, 17, 3, 1, 2, 3, 4, 5, 18}));
    close(conn);
    EXPECT_TRUE(status::waitForCount(Report::ClientCnt, 8, kWait)) << "goes on after peer closed";
    const int threads = ts::threadCount();
    active_task = 0;
    ASSERT_TRUE(eventually([] { return tcp_relay_streams == 0; }));
    EXPECT_EQ(ts::openDescriptorCount(), fds + 1) << "the relay closed its connection";
    EXPECT_TRUE(eventually([&] { return ts::threadCount() == threads - 1; }));

    active_task = 1;
    c.stop_client();
    c.tcp_to_Uart("127.0.0.1", port);
    conn = accept(listener, nullptr, nullptr);
    EXPECT_EQ(recv(conn, &got[0], 1, 0), 0) << "closed without sending";
    EXPECT_TRUE(eventually([] { return tcp_relay_streams == 0; }));
    EXPECT_EQ(status::messages(Report::ClientMsg), (std::vector<std::string>(2, "Tcp to uart")));
    close(conn);
    close(listener);
}

// No listener: "open tcp failed", a pause of about 3 s, exit status 1.
TEST(RelayDeathTest, NoConnectionEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int port = 0;
    close(listenOn(&port));  // a port free a moment ago, closed now
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            std::thread([] {
                if (status::waitForMessage(Report::ClientMsg, "open tcp failed", kWait))
                    fprintf(stderr, "reported: open tcp failed\n");
            }).detach();
            client().tcp_to_Uart("127.0.0.1", port);
        },
        ::testing::ExitedWithCode(1), "reported: open tcp failed");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2900));
}
