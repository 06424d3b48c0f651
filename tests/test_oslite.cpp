// Tasks, semaphores, signals, sleeps and clocks on real threads.
#include "oslite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr U32 kForever = 0xFFFFFFFF;

template <typename F>
double msFor(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Sleeps *arg ms on 1 MiB of stack (which must fit although tasks ask for 4096 bytes), leaving
// -1 behind when it ends.
void* sleeper(void* arg) {
    volatile unsigned char stack[1024 * 1024];
    for (size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 1;
    auto* ms = static_cast<std::atomic<int>*>(arg);
    while ((*ms)-- > 0) OS_MSleep(1);
    return nullptr;
}

}  // namespace

// Items counted under a lock and announced by a signal all arrive (a lost signal would leave the
// consumer waiting out its time-out). Counts stop at 100, a signal drops the 101st silently. A
// signal wait refuses a null signal, gives up at once for time 0 or after the time-out, and
// holds the lock again on every path.
TEST(OsSemaphore, SignalsUnderALock) {
    OS_Semaphore_t sig = OS_AllocSignal(), lock = OS_AllocSemaphore();
    constexpr int kItems = 20000;
    int pending = 0, taken = 0;  // pending is guarded by lock
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i) {
            OS_WaitSemaphore(lock);
            ++pending;
            OS_SetSemaphore(lock);
            OS_SetSignal(sig);
        }
    });
    OS_WaitSemaphore(lock);
    while (taken < kItems) {
        if (pending == 0 && OS_WaitSignal(sig, lock, 10000) != 0) break;
        taken += pending;
        pending = 0;
    }
    OS_SetSemaphore(lock);
    producer.join();
    EXPECT_EQ(taken, kItems);
    OS_WaitSemaphore(lock);

    for (int i = 0; i < 100; ++i) OS_WaitSignal(sig, lock, 0);  // drop what is left over
    for (int i = 0; i < 101; ++i) ASSERT_EQ(OS_SetSignal(sig), 0);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(OS_WaitSignal(sig, lock, 0), 0) << i;
    EXPECT_EQ(OS_WaitSignal(sig, lock, 0), -1);
    EXPECT_EQ(OS_WaitSignal(nullptr, lock, 0), -1);
    EXPECT_GE(msFor([&] { EXPECT_EQ(OS_WaitSignal(sig, lock, 60), -1); }), 59.0);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(OS_SetSemaphore(lock), 0) << i;  // held: count 0
    EXPECT_EQ(OS_SetSemaphore(lock), -1);
    // A signal wait with a null lock takes one count without blocking.
    for (int i = 0; i < 100; ++i) ASSERT_EQ(OS_WaitSignal(lock, nullptr, 0), 0) << i;
    EXPECT_EQ(OS_WaitSignal(lock, nullptr, 0), -1);
    OS_DeleteSignal(sig);
    OS_DeleteSemaphore(lock);
}

// TaskWait polls: time 0 looks once, n looks n times 1 ms apart; a finished task stays waitable
// until deleted; waiting for oneself forever is refused. Delete joins. A refused raise of
// priority (no privilege) still runs the task.
TEST(OsTask, WaitAndDelete) {
    std::atomic<int> p{300}, q{0};
    OS_Task_t tp = OS_TaskCreate(4096, nullptr, sleeper, 0, &p);
    OS_Task_t tq = OS_TaskCreate(4096, nullptr, sleeper, 1, &q);  // as the serial reader asks
    EXPECT_EQ(OS_TaskWait(tp, 0), -1);
    EXPECT_GE(msFor([&] { EXPECT_EQ(OS_TaskWait(tp, 10), -1); }), 9.0);
    EXPECT_EQ(OS_TaskWait(tq, kForever), 0);
    EXPECT_EQ(OS_TaskWait(tq, 0), 0);
    OS_TaskDelete(tq);
    OS_TaskDelete(tp);  // returns only once the task has ended by itself
    EXPECT_EQ(p, -1);
    EXPECT_EQ(OS_TaskWait(OS_TaskGetSelf(), kForever), -1);
}

// MicroSleep rounds down to whole ms and only yields below one (best of 20 against noise).
// SleepInterrupt sleeps whole slices up to the total and stops once another thread clears the
// flag. The millisecond clock counts real time (not CPU time) from process start.
TEST(OsSleep, SlicesAndClock) {
    double best2500 = 1e9, best999 = 1e9;
    for (int i = 0; i < 20; ++i) {
        best2500 = std::min(best2500, msFor([] { OS_MicroSleep(2500); }));
        best999 = std::min(best999, msFor([] { OS_MicroSleep(999); }));
    }
    EXPECT_GE(best2500, 2.0);
    EXPECT_LT(best2500, 2.5);
    EXPECT_LT(best999, 1.0);

    int flag = 1;
    const unsigned int k0 = OS_GetKHClock();
    EXPECT_LT(k0, 600000u);
    EXPECT_GE(msFor([&] { EXPECT_EQ(SleepInterrupt(100, 30, &flag), 0); }), 120.0);  // 4 slices
    EXPECT_GE(OS_GetKHClock() - k0, 120u);
    EXPECT_LT(OS_GetKHClock() - k0, 2000u);
    std::thread clearer([&] {
        OS_MSleep(30);
        __atomic_store_n(&flag, 0, __ATOMIC_RELEASE);
    });
    EXPECT_LT(msFor([&] { EXPECT_EQ(SleepInterrupt(60000, 10, &flag), 1); }), 30000.0);
    clearer.join();
}
