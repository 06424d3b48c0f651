#include "traffic.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace traffic {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {
// A period beyond this (a rate under about one packet in 11 days) is taken as
// this, so no deadline arithmetic overflows.
constexpr double kLongestPeriodNs = 1e15;

int64_t periodOf(double per_second) {
    if (!(per_second > 0)) return 1000000000;
    const double ns = 1e9 / per_second;
    return ns < 1                  ? 1
           : ns > kLongestPeriodNs ? static_cast<int64_t>(kLongestPeriodNs)
                                   : static_cast<int64_t>(ns);
}
}  // namespace

Pacer::Pacer(double per_second) : period_(periodOf(per_second)), next_(nowNs()) {
#ifdef __linux__
    // The pacing thread's sleeps end on time: Linux lets a normal thread's
    // timer fire up to 50 us late unless the thread asks for less.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void Pacer::release() {
    deadline_ = next_;
    next_ += period_;
    // Measured from the actual release, so a catch-up never sends faster
    // than twice the rate, however late this wake-up was.
    earliest_ = nowNs() + period_ / 2;
}

int Pacer::releaseDue(int64_t now, int64_t gather_ns, int64_t* deadlines, int max) {
    int n = 0;
    int64_t t = std::max(earliest_, now - gather_ns);  // when the next one would have gone
    while (n < max) {
        t = std::max(t, next_);  // never before its turn
        if (t > now) break;
        deadlines[n++] = deadline_ = next_;
        next_ += period_;
        earliest_ = t = t + period_ / 2;
    }
    return n;
}

void sleepNs(int64_t ns) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

bool parseDottedIPv4(const std::string& text, unsigned int* addr) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const size_t end = text.find_last_not_of(" \t") + 1;
    unsigned int value = 0;
    size_t i = first;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= end || text[i++] != '.')) return false;
        const size_t start = i;
        unsigned int n = 0;
        while (i < end && i - start < 4 && text[i] >= '0' && text[i] <= '9')
            n = n * 10 + static_cast<unsigned int>(text[i++] - '0');
        const size_t digits = i - start;
        if (digits == 0 || digits > 3 || n > 255 || (digits > 1 && text[start] == '0'))
            return false;
        value = value << 8 | n;
    }
    if (i != end) return false;
    *addr = value;
    return true;
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
