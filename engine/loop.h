// The runner's event loop: one thread serving every channel's timers, serial
// ports, sockets and connections through Asio (epoll on Linux, I/O completion
// ports on Windows).
//
// How many loops: channels share one loop until it carries kLoopBudget
// packets a second (sent and received, summed over its channels' directions);
// a channel that would push every loop past that starts a new loop, up to one
// loop per core. Beyond that the least loaded loop takes it. One loop thread
// carries a few hundred thousand packets a second on this kind of machine, so
// a station with dozens of channels at ordinary rates runs on one thread.
//
// Pacing: each sender is a Timed entry with its next due time; the loop keeps
// them in a heap under one timer. A wake-up pops every entry that is due and
// lets each send what it owes, so packets of many channels due together go out
// in one wake-up. Wake-ups are at least kWakeGapNs apart: at high aggregate
// rates a wake-up gathers the packets of the last few tens of microseconds
// instead of waking once a packet.
#pragma once

#include <asio.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace engine {

constexpr int64_t kNever = INT64_MAX;

class Loop {
public:
    // Packets a second one loop thread is given before another one starts.
    static constexpr double kLoopBudget = 150000;
    // Closest spacing of two pacing wake-ups.
    static constexpr int64_t kWakeGapNs = 25000;

    // A paced task: fire(now) sends what is due at now and returns when it is
    // due next (kNever: done).
    class Timed {
    public:
        virtual ~Timed() = default;
        virtual int64_t fire(int64_t now) = 0;
    };

    // The loop a channel of `load` packets a second joins (started if needed);
    // it runs while anyone holds it. Not to be dropped on the loop's own thread.
    static std::shared_ptr<Loop> forChannel(double load);
    // The channel that joined with `load` leaves (before it drops the loop).
    void leave(double load);
    // Loops running now (for tests and benchmarks).
    static int running();

    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    asio::io_context& context() { return ctx_; }
    // Runs fn on the loop thread and returns once it ran. Never from the loop thread.
    void call(const std::function<void()>& fn);
    bool onLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Loop thread only: t fires at due (kNever: not at all); unschedule takes it
    // out of the heap.
    void schedule(Timed* t, int64_t due);
    void unschedule(Timed* t);

private:
    void arm();
    void wake(const asio::error_code& ec);

    asio::io_context ctx_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::steady_timer timer_;
    // Min-heap on due time.
    std::vector<std::pair<int64_t, Timed*>> heap_, due_;
    int64_t armed_for_ = kNever;
    int64_t last_wake_ = 0;
    double load_ = 0;  // under the pool's lock
    std::thread thread_;
};

}  // namespace engine
