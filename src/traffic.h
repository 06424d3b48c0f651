// Pieces every front end's traffic shares, free of Qt: the monotonic clock the
// figures are measured on, a pacer that sends on absolute deadlines, and a
// measured direction that the sending and the receiving threads feed together.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "direction.h"

namespace traffic {

// Reads a dotted IPv4 address, four decimal numbers 0..255 without leading
// zeros ("192.168.0.30"), spaces and tabs around it ignored; *addr in host
// byte order. False for anything else: a name, a number missing, "1.2.3.4.5".
bool parseDottedIPv4(const std::string& text, unsigned int* addr);

// Monotonic nanoseconds; the one time base of all figures.
int64_t nowNs();
void sleepNs(int64_t ns);

// Sends at a fixed rate on absolute deadlines: a late wake-up shortens the
// next wait instead of pushing every later packet back.
class Pacer {
public:
    explicit Pacer(double per_second);
    // Sleeps until the next deadline or until *run turns 0 (checked every
    // 50 ms at most); false when the run ended.
    template <typename Flag>
    bool wait(const Flag& run) {
        return waitUntil(next_, [&] { return run != 0; }) && (advance(), true);
    }
    int64_t period() const { return period_; }

    // Sleeps until deadline unless running() turns false first (checked every
    // 50 ms at most); false when it did.
    template <typename Pred>
    static bool waitUntil(int64_t deadline, Pred running) {
        for (;;) {
            if (!running()) return false;
            const int64_t left = deadline - nowNs();
            if (left <= 0) return true;
            sleepNs(left < kSlice ? left : kSlice);
        }
    }

private:
    void advance();

    static constexpr int64_t kSlice = 50000000;  // longest sleep between run-flag checks
    int64_t period_;
    int64_t next_;
};

// A measured direction shared by a sending and a receiving thread.
class Monitor {
public:
    Monitor(measure::Format format, int64_t latency_bound_ns) : dir_(format, latency_bound_ns) {}
    measure::Format format() const { return dir_.format(); }
    int64_t latencyBound() const { return dir_.latencyBound(); }

    void sent(uint64_t seq, int64_t t) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onSent(seq, t);
    }
    void sendFailed(uint64_t seq) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onSendFailed(seq);
    }
    void bytes(const uint8_t* p, size_t n, int64_t t) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onBytes(p, n, t);
    }
    void datagram(const uint8_t* p, size_t n, int64_t t) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onDatagram(p, n, t);
    }
    void streamEnd() {
        std::lock_guard<std::mutex> g(m_);
        dir_.onStreamEnd();
    }
    // Expires overdue packets at now and returns the figures.
    measure::Figures figures(int64_t now) {
        std::lock_guard<std::mutex> g(m_);
        dir_.expire(now);
        return dir_.figures();
    }
    measure::Latency takeIntervalLatency() {
        std::lock_guard<std::mutex> g(m_);
        return dir_.takeIntervalLatency();
    }
    std::vector<std::pair<int64_t, uint64_t>> latencyBins(int per_decade) {
        std::lock_guard<std::mutex> g(m_);
        return dir_.latencyBins(per_decade);
    }
    measure::Figures finish(int64_t now, bool all) {
        std::lock_guard<std::mutex> g(m_);
        dir_.finish(now, all);
        return dir_.figures();
    }

    // Start of a run: the two workers start side by side, and a packet sent
    // before the receiving side listens would be lost to the run, not to the
    // converter. The receiver calls receiverReady once it has opened its side
    // (or failed to); the sender waits for that before its first packet, at
    // most timeout_ns, and no longer than *run stays non-zero.
    void receiverReady();
    void awaitReceiver(const std::atomic<int>& run, int64_t timeout_ns);

private:
    std::mutex m_;
    measure::Direction dir_;
    std::condition_variable ready_cv_;
    bool ready_ = false;
};

}  // namespace traffic
