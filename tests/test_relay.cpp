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

// Goes on when its peer closes (no SIGPIPE). When the peer stops reading and the connection
// fills, clearing active_task still ends the stream at once. Stopped, it leaves nothing; after
// stop_client it sends none.
TEST(RelayTest, StreamsUntilStopped) {
    const int listener = ts::listenTcp(), port = ts::boundPort(listener);
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
    c.tcp_to_Uart("127.0.0.1", port);
    conn = accept(listener, nullptr, nullptr);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(conn, reinterpret_cast<sockaddr*>(&peer), &len), 0);
    int relay = -1;  // the relay's end of the connection, in this process
    for (int fd = 3; fd < 1024 && relay < 0; ++fd)
        if (fd != conn && fd != listener && ts::boundPort(fd) == ntohs(peer.sin_port)) relay = fd;
    ASSERT_GE(relay, 0);
    const std::string junk(65536, 'j');  // fill both socket buffers: the relay's send must wait
    for (int i = 0; i < 4096 && send(relay, junk.data(), junk.size(), MSG_DONTWAIT) > 0; ++i) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = std::chrono::steady_clock::now();
    active_task = 0;
    ASSERT_TRUE(eventually([] { return tcp_relay_streams == 0; }));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(ts::openDescriptorCount(), fds + 1) << "only the accepted end is left";
    close(conn);

    active_task = 1;
    c.stop_client();
    c.tcp_to_Uart("127.0.0.1", port);
    conn = accept(listener, nullptr, nullptr);
    EXPECT_EQ(recv(conn, &got[0], 1, 0), 0) << "closed without sending";
    EXPECT_TRUE(eventually([] { return tcp_relay_streams == 0; }));
    EXPECT_EQ(ts::status::messageCount(ts::Report::ClientMsg, "Tcp to uart"), 3);
    close(conn);
    close(listener);
}

// No listener: "open tcp failed" and exit status 1.
TEST(RelayDeathTest, NoConnectionEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int fd = ts::listenTcp(), port = ts::boundPort(fd);
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
