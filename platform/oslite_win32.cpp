// OS primitives on Win32: threads created suspended so their priority applies
// before their first step, kernel semaphores (maximum count 100) for locks and
// signals, Sleep, the performance counter for the millisecond clock and the
// system file time for the wall clock.
#include "oslite.h"

// clang-format off
#include <windows.h>  // before mmsystem.h
#include <mmsystem.h>
// clang-format on

#include <new>

namespace {

constexpr LONG kMaxCount = 100;
constexpr U32 kForever = 0xFFFFFFFFu;
constexpr int kInvalidPriority = 2147483647;  // THREAD_PRIORITY_ERROR_RETURN

// The millisecond clock counts from process start. The performance counter is
// monotonic and fine-grained; clock() of the C runtime is neither everywhere.
LARGE_INTEGER counterFrequency() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
}
LARGE_INTEGER counterNow() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c;
}
const LARGE_INTEGER g_frequency = counterFrequency();
const LARGE_INTEGER g_start = counterNow();

// Millisecond sleeps are meant as milliseconds: the system timer runs at 1 ms
// for the life of the process (the default period is about 15.6 ms).
struct TimerPeriod {
    TimerPeriod() { timeBeginPeriod(1); }
    ~TimerPeriod() { timeEndPeriod(1); }
} g_timer_period;

// What a new thread runs: the task function with its argument.
struct TaskStart {
    OS_TaskFunc_t func;
    void* param;
};

DWORD WINAPI taskEntry(LPVOID arg) {
    TaskStart start = *static_cast<TaskStart*>(arg);
    delete static_cast<TaskStart*>(arg);
    start.func(start.param);
    return 0;  // never STILL_ACTIVE (259): an ended task always reads as ended
}

HANDLE startTask(U32 stack_size, OS_TaskFunc_t func, int priority, void* param) {
    if (!func) return nullptr;
    TaskStart* start = new (std::nothrow) TaskStart{func, param};
    if (!start) return nullptr;
    // The size is the stack's first commit; it grows up to the program's
    // reservation.
    HANDLE h = CreateThread(nullptr, stack_size, taskEntry, start, CREATE_SUSPENDED, nullptr);
    if (!h) {
        delete start;
        return nullptr;
    }
    SetThreadPriority(h, priority);  // an invalid value leaves it at normal
    ResumeThread(h);
    return h;
}

bool isCallingThread(OS_Task_t task) {
    return task == GetCurrentThread() ||
           GetThreadId(static_cast<HANDLE>(task)) == GetCurrentThreadId();
}

}  // namespace

// ---------------------------------------------------------------------------
// Semaphores and signals

OS_Semaphore_t OS_AllocSemaphore() {
    return CreateSemaphoreW(nullptr, 1, kMaxCount, nullptr);
}

int OS_WaitSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore) return -1;
    return WaitForSingleObject(Semaphore, INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
}

int OS_SetSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore) return -1;
    return ReleaseSemaphore(Semaphore, 1, nullptr) ? 0 : -1;
}

int OS_DeleteSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore) return -1;
    CloseHandle(Semaphore);
    return 0;
}

OS_Semaphore_t OS_AllocSignal() {
    return CreateSemaphoreW(nullptr, 0, kMaxCount, nullptr);
}

int OS_SetSignal(OS_Semaphore_t Semaphore) {
    if (Semaphore) ReleaseSemaphore(Semaphore, 1, nullptr);  // a full count drops the signal
    return 0;
}

int OS_WaitSignal(OS_Semaphore_t cond, OS_Semaphore_t lock, U32 Time) {
    if (!cond) return -1;
    OS_SetSemaphore(lock);
    // cond counts: a signal given since the lock was released is still there.
    const DWORD r = WaitForSingleObject(cond, Time == kForever ? INFINITE : Time);
    OS_WaitSemaphore(lock);
    return r == WAIT_OBJECT_0 ? 0 : -1;
}

int OS_DeleteSignal(OS_Semaphore_t Semaphore) {
    if (Semaphore) CloseHandle(Semaphore);
    return 0;
}

// ---------------------------------------------------------------------------
// Sleeps and clocks

void OS_MSleep(unsigned int ms) {
    Sleep(ms);  // 0 gives up the rest of the time slice
}

void OS_MicroSleep(int64_t micro) {
    if (micro < 1000) {
        Sleep(0);
        return;
    }
    const int64_t ms = micro / 1000;
    Sleep(ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
}

unsigned int OS_GetKHClock() {
    const int64_t ticks = counterNow().QuadPart - g_start.QuadPart;
    const int64_t f = g_frequency.QuadPart;
    return static_cast<unsigned int>(
        static_cast<uint64_t>(ticks / f * 1000 + ticks % f * 1000 / f));
}

uint64_t OS_GetMHClock() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t t100ns = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return t100ns / 10 - 11644473600000000ull;
}

int SleepInterrupt(int sleep_ms, int min_sleep, int* active_task) {
    int64_t slept = 0;
    for (;;) {
        // The flag belongs to another thread: read it atomically.
        if (active_task && __atomic_load_n(active_task, __ATOMIC_ACQUIRE) == 0) return 1;
        OS_MSleep(static_cast<unsigned int>(min_sleep));
        slept += min_sleep;
        if (slept >= sleep_ms) return 0;
    }
}

// ---------------------------------------------------------------------------
// Tasks

OS_Task_t OS_TaskCreate(U32 StackSize, char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                        void* Param) {
    (void)TaskName;
    return startTask(StackSize, TaskFunc, Priority, Param);
}

int OS_TaskCreate2(U32 StackSize, const char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                   void* Param) {
    (void)TaskName;
    HANDLE h = startTask(StackSize, TaskFunc, Priority, Param);
    if (h) CloseHandle(h);
    return 0;
}

OS_Task_t OS_TaskCreateCPU(int StackSize, char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                           int CpuNo, void* Param) {
    (void)StackSize;
    (void)TaskName;
    (void)TaskFunc;
    (void)Priority;
    (void)CpuNo;
    (void)Param;
    return nullptr;
}

int OS_GetCPUCount() {
    return 0;
}

int OS_SwitchThreadCPU(OS_Task_t Task, int CpuNo) {
    (void)Task;
    (void)CpuNo;
    return 0;
}

int OS_GetThreadCPU(OS_Task_t Task) {
    (void)Task;
    return 0;
}

int OS_TaskWait(OS_Task_t Task, U32 TimeOut) {
    if (!Task) return -1;
    // The calling thread cannot end while it waits for itself.
    if (TimeOut == kForever && isCallingThread(Task)) return -1;
    U32 remaining = TimeOut;
    for (;;) {
        DWORD code = 0;
        if (!GetExitCodeThread(Task, &code)) return -1;
        if (code != STILL_ACTIVE) return 0;
        if (TimeOut != kForever) {
            --remaining;
            if (remaining == 0) return -1;
        }
        if (TimeOut == 0) return -1;
        Sleep(1);
    }
}

int OS_IsTaskRunning(OS_Task_t Task) {
    int dummy = 0;
    return OS_GetTaskPriority(Task, &dummy) == kInvalidPriority ? 0 : 1;
}

void OS_TaskDelete(OS_Task_t Task) {
    if (!Task || Task == GetCurrentThread()) return;
    // A task deleting itself cannot wait for its own end: it lets go of the handle.
    if (!isCallingThread(Task)) WaitForSingleObject(Task, INFINITE);
    CloseHandle(Task);
}

OS_Task_t OS_TaskGetSelf() {
    return GetCurrentThread();
}

int OS_GetTaskPriority(OS_Task_t Task, int* Priority) {
    (void)Priority;
    if (!Task) return kInvalidPriority;
    return GetThreadPriority(Task);
}

// ---------------------------------------------------------------------------
// Process

int OS_SetPriortyClass(int preiorty) {
    return SetPriorityClass(GetCurrentProcess(), static_cast<DWORD>(preiorty)) ? 1 : 0;
}

void OS_Reboot() {}
