// Serial driver against real pseudo-terminals: the master plays the converter's UART.
#include <errno.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "pty_pair.h"
#include "scratch.h"
#include "serial_peer.h"
#include "uart.h"

// Every read() of this program passes here (linked with --wrap=read): the
// bytes read from the watched terminal are counted, an oracle of what the
// driver took from the port, apart from what it hands on.
extern "C" ssize_t __real_read(int fd, void* buf, size_t n);
static std::atomic<dev_t> g_watched{0};
static std::atomic<long> g_read_from_watched{0};
extern "C" ssize_t __wrap_read(int fd, void* buf, size_t n) {
    const ssize_t got = __real_read(fd, buf, n);
    const dev_t watched = g_watched.load();
    if (got > 0 && watched != 0) {
        const int saved = errno;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == watched)
            g_read_from_watched += got;
        errno = saved;
    }
    return got;
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

using testsupport::stream;

// What test_uart_line.cpp leaves to a pty. A plain file is refused. Any line settings are made
// raw 8N1 at open, and stale input is dropped. The device vanishes (its pty's master closes) and a
// new one appears at the same path: the driver reports the outage, fails reads and writes at once
// meanwhile, printing nothing (a gone port is the caller's to tell) and spinning on nothing, then
// opens the path again, raw 8N1 as before and locked, and bytes flow both ways. At close no
// descriptor is left behind and the exclusive lock is freed.
TEST(UartPty, OpensRawAndReopensAVanishedDeviceAtItsPath) {
    testsupport::PtyPair gone, back;
    ASSERT_TRUE(gone.ok() && back.ok());
    const int fds = testsupport::openDescriptorCount();
    const testsupport::ScratchDir dir;
    EXPECT_EQ(UART_Open(dir.file("plain", "").c_str(), 115200), nullptr);
    for (testsupport::PtyPair* p : {&gone, &back}) {
        ASSERT_TRUE(p->writeMaster("stale", 5));
        std::this_thread::sleep_for(20ms);
        termios t{};  // a master sets and reports its slave's settings
        t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
        t.c_iflag = IXON | IXOFF | ICRNL | ISTRIP;
        t.c_lflag = ICANON | ECHO | ISIG;
        t.c_oflag = OPOST | ONLCR;
        ASSERT_EQ(tcsetattr(p->master(), TCSANOW, &t), 0);
    }
    const std::string link = dir / "ttyCONV", next = link + ".new";
    ASSERT_EQ(symlink(gone.slavePath().c_str(), link.c_str()), 0);
    UART_Handle_t h = UART_Open(link.c_str(), 115200);
    ASSERT_NE(h, nullptr);
    // Raw: the settings read back, and bytes neither changed nor taken as controls.
    const auto expectRaw = [&](testsupport::PtyPair& p) {
        termios t{};
        ASSERT_EQ(tcgetattr(p.master(), &t), 0);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
        ASSERT_TRUE(p.writeMaster("\r\x03\x11", 3));
        EXPECT_EQ(UART_WaitData(h, 3, 5000), 3);
        unsigned char d[7] = {};
        EXPECT_EQ(UART_read_buff(h, d, 7), 3) << "the stale bytes dropped at open";
        EXPECT_EQ(Bytes(d, d + 3), Bytes({'\r', 3, 0x11}));
    };
    expectRaw(gone);
    int lost = -1;
    uint64_t outages = 9, longest = 9, total = 9;
    auto waitLost = [&](int want) {  // the driver's view of the device, within a hang guard
        for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(5ms))
            if (UART_Outages(h, &lost, &outages, &longest, &total) == 0 && lost == want)
                return true;
        return false;
    };
    ASSERT_TRUE(waitLost(0));
    EXPECT_EQ(outages + longest + total, 0u);

    gone.closeMaster();
    ASSERT_TRUE(waitLost(1));
    unsigned char b[7] = {1, 1, 2, 3, 4, 5, 0x10};
    testing::internal::CaptureStderr();
    const auto t0 = Clock::now();
    EXPECT_EQ(UART_write_buffer_timeout(h, b, 7, 0) + UART_write_buffer_timeout(h, b, 7, 0), -2);
    EXPECT_EQ(UART_readBuff(h, b, 7), 0);
    EXPECT_LT(Clock::now() - t0, 500ms) << "fails at once";
    EXPECT_EQ(UART_write_buffer_timeout(nullptr, b, 7, 0), -1);
    const double cpu = testsupport::processCpuSeconds();
    std::this_thread::sleep_for(500ms);  // opens of the dead path fail meanwhile
    EXPECT_LT(testsupport::processCpuSeconds() - cpu, 0.1) << "spins on a vanished device";
    ASSERT_EQ(symlink(back.slavePath().c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), link.c_str()), 0);
    ASSERT_TRUE(waitLost(0));
    EXPECT_EQ(outages, 1u);
    EXPECT_TRUE(longest >= 500 && total == longest) << longest << " " << total;
    EXPECT_EQ(UART_write_buffer_timeout(h, b, 7, 0), 7);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    Bytes echo(7);
    EXPECT_EQ(back.readMaster(echo.data(), 7, 5000), 7u);
    EXPECT_TRUE(echo == Bytes(b, b + 7));
    expectRaw(back);
    EXPECT_EQ(UART_Open(link.c_str(), 115200), nullptr) << "held for this handle alone again";
    UART_Close(h);
    EXPECT_EQ(testsupport::openDescriptorCount(), fds - 1);  // gone's master closed
    int excl = 1;
    ASSERT_EQ(ioctl(back.slave(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
}

// The device fails right after the reader took bytes from it: every byte read reaches the
// receiver's callback (or the ring), in order, none held back or dropped with the failure; the
// callback hears how many bytes waited, never fewer than it got.
TEST(UartOutage, BytesReadJustBeforeTheDeviceFailsAreHandedOn) {
    struct Got {
        std::mutex m;
        Bytes bytes;
        bool queue_ok = true;
    } got;
    const auto callback = [](void* c, const unsigned char* p, int n, int queued) {
        Got* g = static_cast<Got*>(c);
        std::lock_guard<std::mutex> lock(g->m);
        g->bytes.insert(g->bytes.end(), p, p + n);
        g->queue_ok = g->queue_ok && queued >= n;
    };
    for (int round = 0; round < 6; ++round) {
        const bool ring = round % 2 == 1;
        testsupport::PtyPair pty;
        ASSERT_TRUE(pty.ok());
        struct stat st;
        ASSERT_EQ(fstat(pty.slave(), &st), 0);
        got.bytes.clear();
        UART_Handle_t h = ring ? UART_Open(pty.slavePath().c_str(), 115200)
                               : UART_OpenReceiver(pty.slavePath().c_str(), 115200, callback, &got);
        ASSERT_NE(h, nullptr);
        g_read_from_watched = 0;
        g_watched = st.st_rdev;
        const long n = 200 + 700 * round;
        ASSERT_NO_FATAL_FAILURE(ASSERT_TRUE(pty.writeMaster(stream(round, n).data(), n)));
        // The moment the driver has read them all, the device goes.
        const auto end = Clock::now() + 10s;
        while (g_read_from_watched.load() < n && Clock::now() < end) std::this_thread::yield();
        pty.closeMaster();
        g_watched = 0;
        ASSERT_EQ(g_read_from_watched.load(), n) << "the driver read every byte written";
        int lost = 0;
        while ((UART_Outages(h, &lost, nullptr, nullptr, nullptr) != 0 || lost == 0) &&
               Clock::now() < end)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(lost, 1);
        Bytes handed;
        if (ring) {
            handed.resize(static_cast<size_t>(n) + 1);
            handed.resize(static_cast<size_t>(UART_read_buff(h, handed.data(), n + 1)));
        }
        UART_Close(h);
        std::lock_guard<std::mutex> lock(got.m);
        if (!ring) handed = got.bytes;
        EXPECT_TRUE(handed == stream(round, n)) << (ring ? "ring" : "callback") << " round "
                                                << round << ": " << handed.size() << " of " << n;
    }
    EXPECT_TRUE(got.queue_ok);
}

}  // namespace
