// The serial driver's cost on an open, silent port, on any platform (the far
// end as in the portable suites: a pty, or a mapped COM pair under wine): CPU
// of the whole process over a few seconds with the reader waiting, and the
// time UART_Close takes on that idle port.
#include <chrono>
#include <cstdio>
#include <thread>

#include "serial_peer.h"
#include "uart.h"

int main() {
    testsupport::SerialPeer peer;
    if (!peer.ok()) {
        std::fprintf(stderr, "bench_serial_idle: %s\n", peer.error().c_str());
        return 1;
    }
    UART_Handle_t h = UART_Open(peer.portName().c_str(), 115200);
    if (!h) {
        std::fprintf(stderr, "bench_serial_idle: cannot open %s\n", peer.portName().c_str());
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double c0 = testsupport::processCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = testsupport::processCpuSeconds() - c0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto c1 = Clock::now();
    UART_Close(h);
    const double close_ms = std::chrono::duration<double, std::milli>(Clock::now() - c1).count();
    std::printf("idle open port %s, %.1f s: CPU %.3f s = %.2f %% of one core; close %.1f ms\n",
                peer.portName().c_str(), wall, cpu, 100.0 * cpu / wall, close_ms);
    return 0;
}
