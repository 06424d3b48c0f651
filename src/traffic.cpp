#include "traffic.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace traffic {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Pacer::Pacer(double per_second)
    : period_(per_second > 0 ? static_cast<int64_t>(1e9 / per_second) : 1000000000),
      next_(nowNs()) {}

void sleepNs(int64_t ns) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

void Pacer::advance() {
    next_ += period_;
    // After a stall of more than a second the schedule starts again from now
    // rather than sending the backlog in one burst.
    const int64_t now = nowNs();
    if (now - next_ > 1000000000) next_ = now;
}

void Monitor::receiverReady() {
    {
        std::lock_guard<std::mutex> g(m_);
        ready_ = true;
    }
    ready_cv_.notify_all();
}

void Monitor::awaitReceiver(const std::atomic<int>& run, int64_t timeout_ns) {
    const int64_t deadline = nowNs() + timeout_ns;
    std::unique_lock<std::mutex> g(m_);
    while (!ready_ && run != 0) {
        const int64_t left = deadline - nowNs();
        if (left <= 0) return;
        // Woken by receiverReady; the slice bounds how late a STOP is seen.
        ready_cv_.wait_for(g, std::chrono::nanoseconds(std::min<int64_t>(left, 50000000)));
    }
}

}  // namespace traffic
