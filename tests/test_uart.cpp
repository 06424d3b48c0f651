// Serial driver against real pseudo-terminals: the pty master plays the
// converter's UART, the driver opens the slave.
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "pty_pair.h"
#include "uart.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
constexpr int kRing = 1048576;

// Stream bytes [from, from + n): all byte values, period 257 so a power-of-two slip shows.
Bytes stream(long from, long n) {
    Bytes b(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((from + i) % 257);
    return b;
}

class UartPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()) << "openpty failed"; }
    void TearDown() override { UART_Close(h); }

    UART_Handle_t open() { return h = UART_Open(pty.slavePath().c_str(), 115200); }
    void feed(long from, long n) { ASSERT_TRUE(pty.writeMaster(stream(from, n).data(), n)); }
    int waitForSize(int want) {
        const auto end = Clock::now() + 20s;
        while (UART_GetSize_buff(h) < want && Clock::now() < end) std::this_thread::sleep_for(1ms);
        return UART_GetSize_buff(h);
    }
    Bytes takeRing(int n) {  // what the ring gave
        Bytes b(static_cast<size_t>(n));
        b.resize(static_cast<size_t>(UART_read_buff(h, b.data(), n)));
        return b;
    }
    void expectIdleCpu(const char* what) {  // CPU time of the whole process over one second
        const std::clock_t c0 = std::clock();
        std::this_thread::sleep_for(1s);
        EXPECT_LT((std::clock() - c0) * 1000L / CLOCKS_PER_SEC, 200) << "spins on " << what;
    }

    testsupport::PtyPair pty;
    UART_Handle_t h = nullptr;
};

// Refused and exclusive opens give null; close right after open never hangs; nothing leaks.
TEST_F(UartPty, OpenAndCloseNeitherLeakNorHang) {
    const int fds = testsupport::openDescriptorCount();
    char plain_file[] = "/tmp/convbench-not-a-tty-XXXXXX";
    const int file_fd = mkstemp(plain_file);
    ASSERT_GE(file_fd, 0);
    close(file_fd);
    for (const char* dev : {"convbench-no-such-port", static_cast<const char*>(plain_file), ""}) {
        EXPECT_EQ(UART_Open(dev, 115200), nullptr) << dev;  // no such device, or no terminal
    }
    unlink(plain_file);
    EXPECT_EQ(UART_Open(nullptr, 115200), nullptr);
    EXPECT_EQ(UART_Open(pty.slavePath().c_str(), 12345), nullptr);  // no such rate
    UART_Close(nullptr);
    for (int i = 0; i < 300; ++i) {
        ASSERT_NE(open(), nullptr) << "iteration " << i;
        const auto t0 = Clock::now();
        UART_Close(std::exchange(h, nullptr));
        ASSERT_LT(Clock::now() - t0, 1s) << "iteration " << i;
    }
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    int excl = 1;
    ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(UART_Open(pty.slavePath().c_str(), 115200), nullptr);  // refused for root too
}

// Open makes any line raw 8N1 and drops stale input, so every byte value passes unchanged both
// ways; the ring gives oldest first; writes report their count and wait for room.
TEST_F(UartPty, LineIsRawAndBytesPassUnchangedBothWays) {
    ASSERT_TRUE(pty.writeMaster("stale", 5));
    std::this_thread::sleep_for(20ms);
    termios t{};  // a master sets and reports its slave's settings
    t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
    t.c_iflag = IXON | IXOFF | ICRNL | ISTRIP;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_oflag = OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(tcgetattr(pty.master(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    ASSERT_NO_FATAL_FAILURE(feed(0, 512));
    ASSERT_EQ(waitForSize(512), 512);
    EXPECT_TRUE(takeRing(300) == stream(0, 300));
    EXPECT_TRUE(takeRing(300) == stream(300, 212));

    Bytes out = stream(0, 300000), echo(out.size());  // far more than the pty holds
    std::thread reader([&] { pty.readMaster(echo.data(), echo.size(), 20000); });
    testing::internal::CaptureStderr();
    EXPECT_EQ(UART_write_buffer_timeout(nullptr, out.data(), 7, 0), -1);
    EXPECT_EQ(UART_write_buffer_timeout(h, out.data(), 0, 0), 0);
    EXPECT_EQ(UART_write_buffer_timeout(h, out.data(), 7, 0), 7);
    EXPECT_EQ(UART_write_buffer_timeout(h, out.data() + 7, 299993, 0), 299993);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "UART_write_buffer_timeout.398 error write buffer\n");
    reader.join();
    EXPECT_TRUE(echo == out);
}

// The ring fills to capacity and no further, later bytes wait for the direct reads, and nothing
// is lost or reordered; direct reads end on silence and report every byte stored.
TEST_F(UartPty, FullRingStopsAtCapacityAndLosesNothing) {
    ASSERT_NE(open(), nullptr);
    ASSERT_NO_FATAL_FAILURE(feed(0, 1000));  // the ring's last room is then less than one read
    ASSERT_EQ(waitForSize(1000), 1000);
    ASSERT_NO_FATAL_FAILURE(feed(1000, kRing));  // blocks until the reader task catches up
    ASSERT_EQ(waitForSize(kRing), kRing);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(UART_GetSize_buff(h), kRing);

    Bytes d(1007);
    auto t0 = Clock::now();
    EXPECT_EQ(UART_readBuff(h, d.data(), 1007), 1000);
    EXPECT_LT(Clock::now() - t0, 800ms);  // not held to the 1000 ms total limit
    EXPECT_TRUE(Bytes(d.begin(), d.begin() + 1000) == stream(kRing, 1000));
    ASSERT_NO_FATAL_FAILURE(feed(0, 4));  // the last request brings nothing
    EXPECT_EQ(UART_readBuffTimeout(h, d.data(), 10, 500), 4);
    t0 = Clock::now();
    EXPECT_EQ(UART_readBuff(h, d.data(), 7), 0);  // nothing comes: gives up at the total limit
    EXPECT_LT(Clock::now() - t0, 3s);

    EXPECT_TRUE(takeRing(kRing / 2) == stream(0, kRing / 2));
    ASSERT_NO_FATAL_FAILURE(feed(kRing, 1000));  // the stream goes on where the ring stopped
    ASSERT_EQ(waitForSize(kRing / 2 + 1000), kRing / 2 + 1000);
    EXPECT_TRUE(takeRing(kRing) == stream(kRing / 2, kRing / 2 + 1000));
}

// Neither an idle port nor a vanished device (master closed) makes the reader spin or close hang.
TEST_F(UartPty, IdleOrVanishedPortNeitherSpinsNorHangs) {
    ASSERT_NE(open(), nullptr);
    expectIdleCpu("an idle port");
    pty.closeMaster();
    expectIdleCpu("a vanished device");
    unsigned char b[7] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(UART_write_buffer_timeout(h, b, 7, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "UART_write_buffer_timeout.422\n");
    const auto t0 = Clock::now();
    UART_Close(std::exchange(h, nullptr));
    EXPECT_LT(Clock::now() - t0, 1s);
}

}  // namespace
