// Serial driver against real pseudo-terminals: the pty master plays the
// converter's UART, the driver opens the slave.
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "pty_pair.h"
#include "uart.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRing = 1048576;

long msSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

long cpuMs() {  // user + system time of the whole process
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

// Byte i of a test stream; period 251 so that a slip by a power of two shows.
unsigned char pattern(long i) {
    return static_cast<unsigned char>(i % 251);
}

std::string str(const unsigned char* b, int n) {
    return std::string(b, b + n);
}

int waitForSize(UART_Handle_t h, int want, int timeout_ms = 5000) {
    const auto start = Clock::now();
    int n;
    while ((n = UART_GetSize_buff(h)) < want && msSince(start) < timeout_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return n;
}

class UartPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()) << "openpty failed"; }
    void TearDown() override { UART_Close(h); }

    UART_Handle_t open(int baud = 115200) { return h = UART_Open(pty.slavePath().c_str(), baud); }
    void close() {
        UART_Close(h);
        h = nullptr;
    }
    termios line() {  // a master reports its slave's settings
        termios t{};
        tcgetattr(pty.master(), &t);
        return t;
    }
    // Writes stream bytes [from, from + count) into the master.
    void feed(long from, long count) {
        std::vector<unsigned char> b(static_cast<size_t>(count));
        for (long i = 0; i < count; ++i) b[i] = pattern(from + i);
        ASSERT_TRUE(pty.writeMaster(b.data(), b.size()));
    }
    // Fills the ring with stream bytes [0, kRing). From then on the reader task
    // leaves arriving bytes in the port's queue for the direct reads. The pty
    // buffers little, so the writer blocks until the reader task catches up.
    void fillRing() {
        std::thread t([this] { feed(0, kRing); });
        t.join();
        ASSERT_EQ(waitForSize(h, kRing, 20000), kRing);
    }

    testsupport::PtyPair pty;
    UART_Handle_t h = nullptr;
};

// ---------------------------------------------------------------------------
// Opening and closing

TEST(UartOpen, MissingOrUnsuitableDeviceGivesNullAndLeaksNothing) {
    char file[] = "/tmp/convbench-uart-XXXXXX";
    int tmp = mkstemp(file);
    ASSERT_GE(tmp, 0);
    close(tmp);
    const int fds = testsupport::openDescriptorCount();
    EXPECT_EQ(UART_Open("convbench-no-such-port", 115200), nullptr);  // looked up in /dev
    EXPECT_EQ(UART_Open("/nonexistent-dir/ttyX", 115200), nullptr);
    EXPECT_EQ(UART_Open(file, 115200), nullptr);  // exists, but is no terminal
    EXPECT_EQ(UART_Open("", 115200), nullptr);
    EXPECT_EQ(UART_Open(nullptr, 115200), nullptr);
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    unlink(file);
    UART_Close(nullptr);
}

TEST_F(UartPty, OpenBuildsRawEightNoneOneLineAndClearsTheQueue) {
    termios junk = line();  // far from the wanted state
    junk.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
    junk.c_iflag = IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK;
    junk.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    junk.c_oflag = OPOST | ONLCR;
    cfsetspeed(&junk, B9600);
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &junk), 0);
    ASSERT_TRUE(pty.writeMaster("stale", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    ASSERT_NE(open(), nullptr);
    const termios t = line();
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(UART_GetSize_buff(h), 0);  // "stale" was cleared by the open
}

TEST_F(UartPty, StandardRatesOpenAndOthersAreRefused) {
    const std::pair<int, speed_t> rates[] = {
        {50, B50}, {1800, B1800}, {115200, B115200}, {576000, B576000}, {4000000, B4000000}};
    for (const auto& r : rates) {
        ASSERT_NE(open(r.first), nullptr) << r.first;
        const termios t = line();
        EXPECT_EQ(cfgetospeed(&t), r.second) << r.first;
        close();
    }
    const int fds = testsupport::openDescriptorCount();
    for (int baud : {0, -1, 12345, 115201}) EXPECT_EQ(open(baud), nullptr) << baud;
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    EXPECT_NE(open(), nullptr);  // a refused open leaves the port free
}

TEST_F(UartPty, PortIsExclusiveWhileOpenAndFreeAfterClose) {
    ASSERT_NE(open(), nullptr);
    int excl = 0;
    ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);  // further opens refused for ordinary users
    EXPECT_EQ(UART_Open(pty.slavePath().c_str(), 115200), nullptr);  // and for root
    close();
    ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);  // the tty outlives the port: no exclusive mode left behind
    EXPECT_NE(open(), nullptr);
}

TEST_F(UartPty, CloseRightAfterOpenNeverHangs) {
    const int fds = testsupport::openDescriptorCount();
    for (int i = 0; i < 300; ++i) {
        ASSERT_NE(open(), nullptr) << "iteration " << i;
        const auto t0 = Clock::now();
        close();
        ASSERT_LT(msSince(t0), 1000) << "iteration " << i;
    }
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
}

// ---------------------------------------------------------------------------
// Data through the port and the ring

TEST_F(UartPty, AllByteValuesPassUnchangedBothWays) {
    ASSERT_NE(open(), nullptr);
    std::vector<unsigned char> all(512), in(512), out(512);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<unsigned char>(i);

    ASSERT_TRUE(pty.writeMaster(all.data(), all.size()));
    ASSERT_EQ(waitForSize(h, 512), 512);
    EXPECT_EQ(UART_is_not_empty(h), 1);
    EXPECT_EQ(UART_read_buff(h, in.data(), 512), 512);
    EXPECT_EQ(in, all);
    EXPECT_EQ(UART_is_not_empty(h), 0);

    EXPECT_EQ(UART_write_buffer_timeout(h, all.data(), 512, 0), 512);
    EXPECT_EQ(pty.readMaster(out.data(), out.size(), 5000), 512u);
    EXPECT_EQ(out, all);
}

TEST_F(UartPty, RingGivesOldestBytesFirst) {
    ASSERT_NE(open(), nullptr);
    ASSERT_TRUE(pty.writeMaster("ABCDEFG", 7));
    ASSERT_EQ(waitForSize(h, 7), 7);
    ASSERT_TRUE(pty.writeMaster("HIJ", 3));
    ASSERT_EQ(waitForSize(h, 10), 10);
    unsigned char b[8] = {};
    EXPECT_EQ(UART_read_buff(h, b, 7), 7);
    EXPECT_EQ(str(b, 7), "ABCDEFG");
    EXPECT_EQ(UART_GetSize_buff(h), 3);
    // Asking for more than is buffered takes only what is there and leaves
    // the ring consistent.
    EXPECT_EQ(UART_read_buff(h, b, 7), 3);
    EXPECT_EQ(str(b, 3), "HIJ");
    ASSERT_TRUE(pty.writeMaster("K", 1));
    ASSERT_EQ(waitForSize(h, 1), 1);
    EXPECT_EQ(UART_read_buff(h, b, 1), 1);
    EXPECT_EQ(b[0], 'K');
}

TEST_F(UartPty, FullRingStopsTakingAndLosesNothing) {
    ASSERT_NE(open(), nullptr);
    ASSERT_NO_FATAL_FAILURE(fillRing());
    constexpr long kExtra = 1000;
    ASSERT_NO_FATAL_FAILURE(feed(kRing, kExtra));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(UART_GetSize_buff(h), kRing);  // never beyond capacity, nothing overwritten
    EXPECT_EQ(UART_IsHaveChar(h), 1);        // the rest waits in the port's queue

    unsigned char d[7] = {};  // a direct read takes the next queued bytes
    ASSERT_EQ(UART_readBuff(h, d, 7), 7);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(d[i], pattern(kRing + i));

    // Draining, while the reader task refills, yields the stream in order.
    std::vector<unsigned char> b(65536);
    const long expected = kRing + kExtra - 7;
    long next = 0, bad = -1;
    const auto t0 = Clock::now();
    while (next < expected && msSince(t0) < 20000) {
        int n = std::min(UART_GetSize_buff(h), static_cast<int>(b.size()));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(UART_read_buff(h, b.data(), n), n);
        for (int i = 0; i < n; ++i, ++next) {
            long at = next < kRing ? next : next + 7;  // past what the direct read took
            if (bad < 0 && b[i] != pattern(at)) bad = at;
        }
    }
    EXPECT_EQ(next, expected);
    EXPECT_EQ(bad, -1) << "first wrong byte at stream offset " << bad;
    EXPECT_EQ(UART_IsHaveChar(h), 0);
}

TEST_F(UartPty, DirectReadTimeLimits) {
    EXPECT_EQ(UART_readBuff(nullptr, nullptr, 7), 0);
    EXPECT_EQ(UART_readBuffTimeout(nullptr, nullptr, 7, 100), 0);
    ASSERT_NE(open(), nullptr);
    unsigned char b[16] = {};
    auto t0 = Clock::now();
    EXPECT_EQ(UART_readBuff(h, b, 7), 0);  // nothing arrives: the total limit
    EXPECT_GE(msSince(t0), 900);
    EXPECT_LT(msSince(t0), 3000);

    ASSERT_NO_FATAL_FAILURE(fillRing());
    ASSERT_TRUE(pty.writeMaster("abc", 3));
    t0 = Clock::now();
    EXPECT_EQ(UART_readBuff(h, b, 7), 3);  // fewer than asked: ends on the silence after them
    EXPECT_GE(msSince(t0), 80);
    EXPECT_LT(msSince(t0), 800);
    EXPECT_EQ(str(b, 3), "abc");

    // First request brings 4 bytes, the last one nothing: all 4 are reported.
    ASSERT_TRUE(pty.writeMaster("wxyz", 4));
    EXPECT_EQ(UART_readBuffTimeout(h, b, 10, 500), 4);
    EXPECT_EQ(str(b, 4), "wxyz");

    // A negative limit reads on, across an empty request, until all bytes came.
    ASSERT_TRUE(pty.writeMaster("0123", 4));
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        pty.writeMaster("456789", 6);
    });
    EXPECT_EQ(UART_readBuffTimeout(h, b, 10, -1), 10);
    late.join();
    EXPECT_EQ(str(b, 10), "0123456789");
}

TEST_F(UartPty, WriteResultsAndDiagnostics) {
    unsigned char pkt[7] = {1, 1, 2, 3, 4, 5, 16};
    testing::internal::CaptureStderr();
    EXPECT_EQ(UART_write_buffer_timeout(nullptr, pkt, 7, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "UART_write_buffer_timeout.398 error write buffer\n");

    ASSERT_NE(open(), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(UART_write_buffer_timeout(h, pkt, 0, 0), 0);
    EXPECT_EQ(UART_write_buffer_timeout(h, pkt, 7, 0), 7);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    unsigned char got[8] = {};
    ASSERT_EQ(pty.readMaster(got, 8, 300), 7u);
    EXPECT_EQ(str(got, 7), str(pkt, 7));

    // More than the pty holds, and the far end starts late: the write waits for room.
    std::vector<unsigned char> big(300000), echo(300000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = pattern(static_cast<long>(i));
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.readMaster(echo.data(), echo.size(), 20000);
    });
    EXPECT_EQ(UART_write_buffer_timeout(h, big.data(), 300000, 0), 300000);
    reader.join();
    EXPECT_EQ(echo, big);

    pty.closeMaster();  // device gone: one failed request, its diagnostic, nothing written
    testing::internal::CaptureStderr();
    EXPECT_EQ(UART_write_buffer_timeout(h, pkt, 7, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "UART_write_buffer_timeout.422\n");
}

// ---------------------------------------------------------------------------
// Idle and vanished ports

TEST_F(UartPty, IdlePortCostsNoCpu) {
    ASSERT_NE(open(), nullptr);
    const long c0 = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(cpuMs() - c0, 200) << "the reader task spins on an idle port";
}

TEST_F(UartPty, VanishedDeviceNeitherSpinsNorBlocksClose) {
    ASSERT_NE(open(), nullptr);
    ASSERT_TRUE(pty.writeMaster("abc", 3));
    ASSERT_EQ(waitForSize(h, 3), 3);
    pty.closeMaster();  // the adapter is pulled
    const long c0 = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(cpuMs() - c0, 200) << "the reader task spins on a vanished device";

    unsigned char b[7] = {};
    const auto t0 = Clock::now();
    EXPECT_EQ(UART_readBuff(h, b, 7), 0);  // fails at once
    EXPECT_LT(msSince(t0), 500);
    EXPECT_EQ(UART_read_buff(h, b, 3), 3);  // what came before stays readable
    EXPECT_EQ(str(b, 3), "abc");
    const auto t1 = Clock::now();
    close();
    EXPECT_LT(msSince(t1), 1000);
}

}  // namespace
