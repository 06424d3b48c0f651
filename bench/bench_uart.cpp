// Figures for the serial driver on a pseudo-terminal pair (the master plays the
// converter's UART): CPU of an idle open port, arrival latency into the ring,
// close time, and throughput master -> ring -> UART_read_buff.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "uart.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

bool idleCpu(const testsupport::PtyPair& pty) {
    UART_Handle_t h = UART_Open(pty.slavePath().c_str(), 115200);
    if (!h) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double c0 = cpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu = cpuSeconds() - c0;
    const double wall = secondsSince(t0);
    UART_Close(h);
    std::printf("idle port, %.1f s:        CPU %.3f s = %.3f %% of one core\n", wall, cpu,
                100.0 * cpu / wall);
    return true;
}

bool latency(testsupport::PtyPair& pty, int samples) {
    UART_Handle_t h = UART_Open(pty.slavePath().c_str(), 115200);
    if (!h) return false;
    std::vector<double> us;
    unsigned char b = 0;
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let the reader go idle
        b = static_cast<unsigned char>(i);
        const auto t0 = Clock::now();
        if (!pty.writeMaster(&b, 1)) break;
        while (UART_GetSize_buff(h) == 0) {
            if (secondsSince(t0) > 2.0) break;
        }
        us.push_back(secondsSince(t0) * 1e6);
        UART_read_buff(h, &b, 1);
    }
    UART_Close(h);
    if (us.empty()) return false;
    std::printf(
        "latency master -> ring:   median %.1f us, p99 %.1f us, max %.1f us (%zu samples)\n",
        percentile(us, 0.5), percentile(us, 0.99), percentile(us, 1.0), us.size());
    return true;
}

bool closeTime(const testsupport::PtyPair& pty, int samples) {
    std::vector<double> ms;
    for (int i = 0; i < samples; ++i) {
        UART_Handle_t h = UART_Open(pty.slavePath().c_str(), 115200);
        if (!h) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // open and idle
        const auto t0 = Clock::now();
        UART_Close(h);
        ms.push_back(secondsSince(t0) * 1e3);
    }
    std::printf("UART_Close, idle port:    median %.3f ms, max %.3f ms (%d samples)\n",
                percentile(ms, 0.5), percentile(ms, 1.0), samples);
    return true;
}

bool throughput(testsupport::PtyPair& pty, long total) {
    UART_Handle_t h = UART_Open(pty.slavePath().c_str(), 115200);
    if (!h) return false;
    std::thread writer([&] {
        std::vector<unsigned char> chunk(16384);
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<unsigned char>(i);
        for (long done = 0; done < total;) {
            long n = std::min<long>(static_cast<long>(chunk.size()), total - done);
            if (!pty.writeMaster(chunk.data(), static_cast<size_t>(n))) return;
            done += n;
        }
    });
    std::vector<unsigned char> buf(65536);
    long got = 0;
    const auto t0 = Clock::now();
    while (got < total && secondsSince(t0) < 60.0) {
        int n = std::min(UART_GetSize_buff(h), static_cast<int>(buf.size()));
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        got += UART_read_buff(h, buf.data(), n);
    }
    const double s = secondsSince(t0);
    writer.join();
    UART_Close(h);
    std::printf("throughput master -> ring -> UART_read_buff: %.1f MB/s (%ld bytes in %.3f s)\n",
                static_cast<double>(got) / s / 1e6, got, s);
    return got == total;
}

}  // namespace

int main() {
    testsupport::PtyPair pty;
    if (!pty.ok()) {
        std::fprintf(stderr, "openpty failed\n");
        return 1;
    }
    std::printf("serial driver on a pty pair\n");
    bool ok = idleCpu(pty);
    ok = latency(pty, 200) && ok;
    ok = closeTime(pty, 20) && ok;
    ok = throughput(pty, 64L * 1024 * 1024) && ok;
    return ok ? 0 : 1;
}
