// Serial driver against the far end of a line (see serial_peer.h): the cases
// every platform's driver must pass. test_uart.cpp adds what needs a pty.
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "serial_peer.h"
#include "uart.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
constexpr int kRing = 1048576;

using testsupport::stream;

class UartLine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!peer.ok()) GTEST_SKIP() << peer.error();
    }
    void TearDown() override { UART_Close(h); }

    UART_Handle_t open() { return h = UART_Open(peer.portName().c_str(), 115200); }
    void feed(long from, long n) { ASSERT_TRUE(peer.write(stream(from, n).data(), n)); }
    int waitForSize(int want) {
        const auto end = Clock::now() + 30s;
        while (UART_GetSize_buff(h) < want && Clock::now() < end) std::this_thread::sleep_for(1ms);
        return UART_GetSize_buff(h);
    }
    Bytes takeRing(int n) {
        Bytes b(static_cast<size_t>(n));
        b.resize(static_cast<size_t>(UART_read_buff(h, b.data(), n)));
        return b;
    }

    testsupport::SerialPeer peer;
    UART_Handle_t h = nullptr;
};

// Refused opens give null; the port is held exclusively; a close right after open, or on an idle
// port, returns at once instead of waiting out a read time-out. Every byte passes unchanged and in
// order both ways; a full ring keeps its bytes and leaves the rest in the port; direct reads end on
// silence; an idle open port costs no CPU.
TEST_F(UartLine, OpensExclusivelyEveryBytePassesAndAnIdlePortCostsNothing) {
    for (const char* dev : {"convbench-no-such-port", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(UART_Open(dev, 115200), nullptr) << dev;
    EXPECT_EQ(UART_Open(peer.portName().c_str(), 12345), nullptr);  // no such rate
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 100; ++i) {
        ASSERT_NE(open(), nullptr) << "iteration " << i;
        if (i % 10 == 9) std::this_thread::sleep_for(50ms);  // the reader waits on an idle line
        const auto t0 = Clock::now();
        UART_Close(std::exchange(h, nullptr));
        slowest = std::max(slowest, Clock::now() - t0);
    }
    EXPECT_LT(slowest, 500ms);
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(UART_Open(peer.portName().c_str(), 115200), nullptr);

    ASSERT_NO_FATAL_FAILURE(feed(0, 1000));
    ASSERT_EQ(waitForSize(1000), 1000);
    ASSERT_NO_FATAL_FAILURE(feed(1000, kRing));  // blocks until the reader task catches up
    ASSERT_EQ(waitForSize(kRing), kRing);
    std::this_thread::sleep_for(300ms);  // a reader that overfills takes the rest by now
    Bytes d(1007);
    d.resize(static_cast<size_t>(UART_readBuffTimeout(h, d.data(), 1007, 2000)));
    EXPECT_TRUE(d == stream(kRing, 1000)) << d.size();
    const auto t0 = Clock::now();
    EXPECT_EQ(UART_readBuff(h, d.data(), 7), 0);  // nothing comes: gives up at the total limit
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_TRUE(takeRing(kRing / 2) == stream(0, kRing / 2));
    ASSERT_NO_FATAL_FAILURE(feed(kRing, 1000));  // the stream goes on where the ring stopped
    ASSERT_EQ(waitForSize(kRing / 2 + 1000), kRing / 2 + 1000);
    EXPECT_TRUE(takeRing(kRing) == stream(kRing / 2, kRing / 2 + 1000));

    Bytes out = stream(0, 100000), echo(out.size());
    std::thread reader([&] { echo.resize(peer.read(echo.data(), echo.size(), 20000)); });
    EXPECT_EQ(UART_write_buffer_timeout(h, out.data(), 100000, 0), 100000);
    reader.join();
    EXPECT_TRUE(echo == out);

    const double c0 = testsupport::processCpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(testsupport::processCpuSeconds() - c0, 0.2) << "the reader spins on an idle port";
}

}  // namespace
