#include "loop.h"

#include <algorithm>
#include <chrono>
#include <future>

#ifdef __linux__
#include <pthread.h>
#include <sys/prctl.h>
#endif

#include "traffic.h"

namespace engine {
namespace {

std::mutex pool_m;
std::vector<std::weak_ptr<Loop>> pool;

bool later(const std::pair<int64_t, Loop::Timed*>& a, const std::pair<int64_t, Loop::Timed*>& b) {
    return a.first > b.first;
}

asio::steady_timer::time_point at(int64_t ns) {
    return asio::steady_timer::time_point(std::chrono::nanoseconds(ns));
}

}  // namespace

std::shared_ptr<Loop> Loop::forChannel(double load) {
    std::lock_guard<std::mutex> g(pool_m);
    pool.erase(std::remove_if(pool.begin(), pool.end(), [](auto& w) { return w.expired(); }),
               pool.end());
    std::shared_ptr<Loop> least;
    for (auto& w : pool) {
        auto l = w.lock();
        if (l && (!least || l->load_ < least->load_)) least = l;
    }
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    if (!least || (least->load_ + load > kLoopBudget && pool.size() < cores)) {
        least = std::make_shared<Loop>();
        pool.push_back(least);
    }
    least->load_ += load;
    return least;
}

void Loop::leave(double load) {
    std::lock_guard<std::mutex> g(pool_m);
    load_ = std::max(0.0, load_ - load);
}

int Loop::running() {
    std::lock_guard<std::mutex> g(pool_m);
    int n = 0;
    for (auto& w : pool) n += !w.expired();
    return n;
}

Loop::Loop() : work_(ctx_.get_executor()), timer_(ctx_) {
    thread_ = std::thread([this] {
#ifdef __linux__
        // Timers end on time: Linux lets a normal thread's timer fire up to
        // 50 us late unless the thread asks for less.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        pthread_setname_np(pthread_self(), "convbench-loop");
#endif
        ctx_.run();
    });
}

Loop::~Loop() {
    // Every channel has closed its descriptors; handlers still queued (their
    // cancellations) run before the thread ends.
    asio::post(ctx_, [this] { timer_.cancel(); });
    work_.reset();
    if (thread_.joinable()) thread_.join();
}

void Loop::call(const std::function<void()>& fn) {
    std::promise<void> done;
    asio::post(ctx_, [&] {
        fn();
        done.set_value();
    });
    done.get_future().wait();
}

void Loop::schedule(Timed* t, int64_t due) {
    unschedule(t);
    if (due == kNever) return;
    heap_.emplace_back(due, t);
    std::push_heap(heap_.begin(), heap_.end(), later);
    arm();
}

void Loop::unschedule(Timed* t) {
    const auto end =
        std::remove_if(heap_.begin(), heap_.end(), [t](auto& e) { return e.second == t; });
    if (end == heap_.end()) return;
    heap_.erase(end, heap_.end());
    std::make_heap(heap_.begin(), heap_.end(), later);
}

// The timer waits for the earliest entry, no sooner than kWakeGapNs after the
// last wake-up; a later entry leaves a wait already set as it is.
void Loop::arm() {
    if (heap_.empty()) return;
    const int64_t due = std::max(heap_.front().first, last_wake_ + kWakeGapNs);
    if (due >= armed_for_) return;
    armed_for_ = due;
    timer_.expires_at(at(due));  // cancels a later wait: its handler sees operation_aborted
    timer_.async_wait([this](const asio::error_code& ec) { wake(ec); });
}

void Loop::wake(const asio::error_code& ec) {
    if (ec == asio::error::operation_aborted) return;
    armed_for_ = kNever;
    const int64_t now = traffic::nowNs();
    last_wake_ = now;
    // Every entry due now fires, in the order of their due times.
    due_.clear();
    while (!heap_.empty() && heap_.front().first <= now) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        due_.push_back(heap_.back());
        heap_.pop_back();
    }
    for (auto& e : due_) {
        const int64_t next = e.second->fire(now);
        if (next == kNever) continue;
        heap_.emplace_back(next, e.second);
        std::push_heap(heap_.begin(), heap_.end(), later);
    }
    arm();
}

}  // namespace engine
