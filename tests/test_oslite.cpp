// Tasks, semaphores, signals, sleeps and clocks on real threads.
#include "oslite.h"

#include <gtest/gtest.h>

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

// Sleeps *arg ms on 1 MiB of stack (tasks ask for 4096 bytes), then leaves -1 behind.
void* sleeper(void* arg) {
    volatile unsigned char stack[1024 * 1024];
    for (size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 1;
    auto* ms = static_cast<std::atomic<int>*>(arg);
    while ((*ms)-- > 0) OS_MSleep(1);
    return nullptr;
}

}  // namespace

// A signal wait takes the lock back on every path and loses no signal given while it was free.
TEST(OsSemaphore, SignalsUnderALock) {
    OS_Semaphore_t sig = OS_AllocSignal(), lock = OS_AllocSemaphore();
    OS_WaitSemaphore(lock);
    EXPECT_EQ(OS_WaitSignal(nullptr, lock, 0), -1);
    EXPECT_GE(msFor([&] { EXPECT_EQ(OS_WaitSignal(sig, lock, 60), -1); }), 59.0);
    EXPECT_EQ(OS_WaitSignal(lock, nullptr, 0), -1);  // a null lock: time 0 gives up at once
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
    while (taken < kItems) {
        if (pending == 0 && OS_WaitSignal(sig, lock, 10000) != 0) break;
        taken += pending;
        pending = 0;
    }
    EXPECT_EQ(OS_WaitSignal(lock, nullptr, 0), -1);  // still held
    OS_SetSemaphore(lock);
    producer.join();
    EXPECT_EQ(taken, kItems);
    OS_DeleteSignal(sig);
    OS_DeleteSemaphore(lock);
}

// TaskWait times out and stays valid until Delete, which joins; waiting for oneself is refused.
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

// SleepInterrupt stops on a flag cleared elsewhere; the ms clock counts real time from start.
TEST(OsSleep, SlicesAndClock) {
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
