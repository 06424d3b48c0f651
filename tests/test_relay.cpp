// The TCP relay against a listener on loopback: the stream, how it stops and
// releases its connection, a peer that goes away, and no connection at all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "loopback.h"
#include "status_recorder.h"
#include "tcp_function.h"

using testsupport::Report;
namespace status = testsupport::status;

namespace {

constexpr int kWait = 5000;

// Polls cond every 10 ms for at most timeout_ms.
template <typename F>
bool eventually(F cond, int timeout_ms = kWait) {
    for (int i = 0; i < timeout_ms / 10; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// A TCP listener on 127.0.0.1 and the one connection it accepts.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 4) != 0) {
            closeAll();
            return;
        }
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { closeAll(); }

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }

    bool accept(int timeout_ms = kWait) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        conn_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }

    // Reads until len bytes arrived, the peer closed, or timeout_ms passed.
    // *eof tells whether the peer closed.
    std::vector<unsigned char> read(size_t len, int timeout_ms, bool* eof = nullptr) {
        std::vector<unsigned char> out;
        if (eof) *eof = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < len) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{conn_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) != 1) break;
            unsigned char buf[4096];
            const size_t want = len - out.size() < sizeof buf ? len - out.size() : sizeof buf;
            const ssize_t n = ::recv(conn_, buf, want, 0);
            if (n <= 0) {
                if (eof) *eof = true;
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    void closeAll() {
        if (conn_ >= 0) ::close(conn_);
        if (fd_ >= 0) ::close(fd_);
        conn_ = fd_ = -1;
    }

private:
    int fd_ = -1;
    int conn_ = -1;
    int port_ = 0;
};

bool validPacketAt(const std::vector<unsigned char>& s, size_t off) {
    int sum = 0;
    for (size_t i = 0; i < 6; ++i) sum += s[off + i];
    for (int i = 1; i <= 5; ++i)
        if (s[off + i] != i) return false;
    return (sum & 0xFF) == s[off + 6];
}

std::vector<int> clientCounts() {
    std::vector<int> out;
    for (const auto& r : status::reports())
        if (r.kind == Report::ClientCnt) out.push_back(r.count);
    return out;
}

bool noRelayRunning() {
    return tcp_relay_streams.load(std::memory_order_acquire) == 0;
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(noRelayRunning());
        status::clear();
        active_task = 1;
    }
    // Whatever a test left running ends here, so the next test starts clean.
    void TearDown() override {
        active_task = 0;
        EXPECT_TRUE(eventually(noRelayRunning));
        active_task = 1;
    }
};

}  // namespace

// 130 packets: the numbering runs 1 ... 127 and starts again at 1. Then the
// run flag is cleared: the stream ends and the relay closes its connection.
TEST_F(RelayTest, StreamsRelayNumberedPacketsAndStopsWhenTheFlagIsCleared) {
    Listener l;
    ASSERT_TRUE(l.ok());
    client c;
    c.tcp_to_Uart("127.0.0.1", l.port());
    // The call returns as soon as the relay runs: a packet or two at most are out.
    EXPECT_LE(clientCounts().size(), 2u);
    EXPECT_EQ(tcp_relay_streams.load(), 1);
    ASSERT_TRUE(l.accept());

    const size_t packets = 130;
    auto stream = l.read(packets * 7, 60000);
    ASSERT_EQ(stream.size(), packets * 7);
    for (size_t n = 0; n < packets; ++n) {
        ASSERT_TRUE(validPacketAt(stream, n * 7)) << "packet " << n;
        ASSERT_EQ(stream[n * 7], n % 127 + 1) << "packet " << n;
    }
    const int threads = testsupport::threadCount();  // the streaming thread among them

    active_task = 0;
    bool eof = false;
    auto rest = l.read(1 << 16, kWait, &eof);
    EXPECT_TRUE(eof) << "the relay closes its connection when it stops";
    EXPECT_EQ(rest.size() % 7, 0u);
    EXPECT_LE(rest.size(), 3u * 7);
    EXPECT_TRUE(eventually(noRelayRunning));
    EXPECT_TRUE(eventually([&] { return testsupport::threadCount() == threads - 1; }));

    auto cs = clientCounts();
    ASSERT_GE(cs.size(), packets);
    for (size_t i = 0; i < cs.size(); ++i) ASSERT_EQ(cs[i], static_cast<int>(i % 127 + 1));
    EXPECT_EQ(status::messages(Report::ClientMsg), std::vector<std::string>{"Tcp to uart"});
}

// With MSG_NOSIGNAL a dead peer is an error result: no SIGPIPE, the relay
// goes on counting, and it still releases its socket when stopped.
TEST_F(RelayTest, PeerClosingTheConnectionDoesNotKillTheProcess) {
    const int fds = testsupport::openDescriptorCount();
    {
        Listener l;
        ASSERT_TRUE(l.ok());
        client c;
        c.tcp_to_Uart("127.0.0.1", l.port());
        ASSERT_TRUE(l.accept());
        ASSERT_EQ(l.read(7, kWait).size(), 7u);
        l.closeAll();
    }
    ASSERT_TRUE(status::waitForCount(Report::ClientCnt, 6, kWait))
        << "the relay keeps going after its peer closed";
    const int threads = testsupport::threadCount();
    active_task = 0;
    EXPECT_TRUE(eventually(noRelayRunning));
    EXPECT_EQ(testsupport::openDescriptorCount(), fds) << "the relay closed its connection";
    EXPECT_TRUE(eventually([&] { return testsupport::threadCount() == threads - 1; }));
}

// A relay started after the sender's run flag was cleared sends nothing and
// releases its connection at once.
TEST_F(RelayTest, ClearedSenderFlagStartsNoStream) {
    Listener l;
    ASSERT_TRUE(l.ok());
    client c;
    c.stop_client();
    c.tcp_to_Uart("127.0.0.1", l.port());
    ASSERT_TRUE(l.accept());
    bool eof = false;
    EXPECT_TRUE(l.read(7, kWait, &eof).empty());
    EXPECT_TRUE(eof);
    EXPECT_TRUE(eventually(noRelayRunning)) << "ended without active_task being cleared";
    EXPECT_TRUE(clientCounts().empty());
}

// No listener: "open tcp failed", a 3 s pause, exit status 1.
TEST(RelayDeathTest, NoConnectionEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int port = 0;
    {
        Listener l;  // a port that was free a moment ago, now closed
        ASSERT_TRUE(l.ok());
        port = l.port();
    }
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            std::thread([] {
                if (status::waitForMessage(Report::ClientMsg, "open tcp failed", kWait))
                    fprintf(stderr, "reported: open tcp failed\n");
            }).detach();
            client c;
            c.tcp_to_Uart("127.0.0.1", port);
        },
        ::testing::ExitedWithCode(1), "reported: open tcp failed");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 2900) << "the process waits about 3 s before it ends";
}
