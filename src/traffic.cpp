#include "traffic.h"

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

}  // namespace traffic
