// Pieces every front end's traffic shares, free of Qt: the monotonic clock the
// figures are measured on, a pacer that sends on absolute deadlines, and a
// measured direction that the sending and the receiving threads feed together.
#pragma once

#include <atomic>
#include <chrono>
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

// A run flag whose sleepers wake the moment it is cleared: a sender between
// two packets sees the end of its run at once, not at its next check.
class RunFlag {
public:
    void set(bool on) {
        {
            std::lock_guard<std::mutex> g(m_);
            on_ = on;
        }
        if (!on) cv_.notify_all();
    }
    bool on() const { return on_.load(); }
    // Sleeps ns, or until the flag is cleared.
    void sleep(int64_t ns) {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::nanoseconds(ns), [this] { return !on_.load(); });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<bool> on_{false};
};

// Sends at a fixed rate on absolute deadlines: packet k is due at start +
// k periods, whenever the one before it went, so a late wake-up shortens the
// next wait instead of pushing every later packet back. After a stall the
// packets that fell behind go at no more than twice the rate (half a period
// apart) until the schedule is met again: a catch-up never becomes a burst.
class Pacer {
public:
    // The first packet is due now. Made on the thread that sends: on Linux it
    // asks for that thread's timers to fire without slack.
    explicit Pacer(double per_second);
    // Sleeps until the next packet may go or until *run turns 0 (checked every
    // 50 ms at most); false when the run ended. On true, deadline() is the
    // released packet's own due time.
    template <typename Flag>
    bool wait(const Flag& run) {
        if (!waitUntil(due(), [&] { return run != 0; })) return false;
        release();
        return true;
    }
    // The same, woken at once when run is cleared.
    bool wait(RunFlag& run) {
        const auto running = [&] { return run.on(); };
        if (!waitUntil(due(), running, [&](int64_t ns) { run.sleep(ns); })) return false;
        release();
        return true;
    }
    // For an event loop, which never sleeps in a sender: releases at now the
    // packets a punctual sender would have released since now - gather_ns
    // (each at its turn, half a period after the one before at the soonest),
    // at least the one due now, at most max; writes their deadlines and
    // returns how many. With gather_ns 0 it releases one packet as wait()
    // does. A stall longer than gather_ns is still caught up at no more than
    // twice the rate: the backlog goes in bursts of at most
    // 1 + gather_ns / (period / 2) packets.
    int releaseDue(int64_t now, int64_t gather_ns, int64_t* deadlines, int max);
    // When the next packet may go.
    int64_t nextDue() const { return due(); }
    int64_t period() const { return period_; }
    // When the packet last released was due: its send lateness is measured from here.
    int64_t deadline() const { return deadline_; }

    // Sleeps until deadline unless running() turns false first (checked every
    // 50 ms at most); false when it did.
    template <typename Pred>
    static bool waitUntil(int64_t deadline, Pred running) {
        return waitUntil(deadline, running, [](int64_t ns) { sleepNs(ns); });
    }
    // The same with sleep(ns) sleeping: it may return early.
    template <typename Pred, typename Sleep>
    static bool waitUntil(int64_t deadline, Pred running, Sleep sleep) {
        for (;;) {
            if (!running()) return false;
            const int64_t left = deadline - nowNs();
            if (left <= 0) return true;
            sleep(left < kSlice ? left : kSlice);
        }
    }

private:
    int64_t due() const { return next_ > earliest_ ? next_ : earliest_; }
    void release();

    static constexpr int64_t kSlice = 50000000;  // longest sleep between run-flag checks
    int64_t period_;
    int64_t next_;          // the next packet's due time
    int64_t earliest_ = 0;  // no packet before this: half a period after the last one
    int64_t deadline_ = 0;
};

// A measured direction shared by a sending and a receiving thread. `own` is
// the lane this direction sends on: packets of the other lane arriving here
// are the other direction's (the tester's own bytes echoed back).
class Monitor {
public:
    Monitor(measure::Format format, int64_t latency_bound_ns,
            measure::Lane own = measure::Lane::Plain, int size = 0)
        : dir_(format, latency_bound_ns, own, size) {}
    measure::Format format() const { return dir_.format(); }
    int packetSize() const { return dir_.packetSize(); }
    int64_t latencyBound() const { return dir_.latencyBound(); }

    // The asked pacing period: a packet sent more than this after its
    // deadline counts as sent late.
    void setPeriod(int64_t period_ns) {
        std::lock_guard<std::mutex> g(m_);
        dir_.setPeriod(period_ns);
    }
    // Packet seq leaves at t; it was due at deadline (send lateness t - deadline).
    void sent(uint64_t seq, int64_t t, int64_t deadline) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onSent(seq, t, deadline);
    }
    void sent(uint64_t seq, int64_t t) { sent(seq, t, t); }
    void sendFailed(uint64_t seq) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onSendFailed(seq);
    }
    // Packet seq was due at deadline while the tester's own serial port was
    // gone: it was not sent, and says nothing about the converter.
    void notSent(uint64_t seq, int64_t deadline) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onNotSent(seq, deadline);
    }
    // Bytes of a stream that arrived at arrival (the best estimate) and were
    // read at read: latency runs to the arrival, the tester's receive delay
    // from there to the read.
    void bytes(const uint8_t* p, size_t n, int64_t arrival, int64_t read) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onBytes(p, n, arrival, read);
    }
    void bytes(const uint8_t* p, size_t n, int64_t t) { bytes(p, n, t, t); }
    void datagram(const uint8_t* p, size_t n, int64_t arrival, int64_t read) {
        std::lock_guard<std::mutex> g(m_);
        dir_.onDatagram(p, n, arrival, read);
    }
    void datagram(const uint8_t* p, size_t n, int64_t t) { datagram(p, n, t, t); }
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
