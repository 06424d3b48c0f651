// The TCP relay against a listener on loopback: the stream, its end, and no connection at all.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "client.h"
#include "loopback.h"
#include "status_recorder.h"
#include "tcp_function.h"

namespace ts = testsupport;

constexpr int kWait = 5000;  // hang guard on every wait

template <typename F>
static bool eventually(F cond) {
    for (int i = 0; i < kWait / 10 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return cond();
}

// A TCP socket listening on 127.0.0.1 (any port).
static int listenOn() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    return fd;
}

// Goes on when its peer closes (no SIGPIPE); stopped, leaves nothing; after stop_client sends none.
TEST(RelayTest, StreamsUntilStopped) {
    const int listener = listenOn(), port = ts::boundPort(listener);
    const int fds = ts::openDescriptorCount();
    client c;
    c.tcp_to_Uart("127.0.0.1", port);
    int conn = accept(listener, nullptr, nullptr);
    std::string got(21, '\0');
    EXPECT_EQ(recv(conn, &got[0], 21, MSG_WAITALL), 21);
    EXPECT_EQ(got, (std::string{1, 1, 2, 3, 4, 5, 16, 2, 1, 2, 3, 4, 5, 17, 3, 1, 2, 3, 4, 5, 18}));
    close(conn);
    EXPECT_TRUE(ts::status::waitForCount(ts::Report::ClientCnt, 8, kWait)) << "ended at peer close";
    const int threads = ts::threadCount();
    active_task = 0;
    ASSERT_TRUE(eventually([&] { return tcp_relay_streams == 0 && ts::threadCount() < threads; }));
    EXPECT_EQ(ts::openDescriptorCount(), fds) << "the relay closed its connection";

    active_task = 1;
    c.stop_client();
    c.tcp_to_Uart("127.0.0.1", port);
    conn = accept(listener, nullptr, nullptr);
    EXPECT_EQ(recv(conn, &got[0], 1, 0), 0) << "closed without sending";
    EXPECT_TRUE(eventually([] { return tcp_relay_streams == 0; }));
    EXPECT_EQ(ts::status::messageCount(ts::Report::ClientMsg, "Tcp to uart"), 2);
    close(conn);
    close(listener);
}

// No listener: "open tcp failed" and exit status 1.
TEST(RelayDeathTest, NoConnectionEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int fd = listenOn(), port = ts::boundPort(fd);
    close(fd);  // a port free a moment ago, closed now
    EXPECT_EXIT(
        {
            std::thread([] {
                if (ts::status::waitForMessage(ts::Report::ClientMsg, "open tcp failed", kWait))
                    fprintf(stderr, "reported: open tcp failed\n");
            }).detach();
            client().tcp_to_Uart("127.0.0.1", port);
        },
        ::testing::ExitedWithCode(1), "reported: open tcp failed");
}
