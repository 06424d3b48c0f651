// OS primitives on POSIX: pthreads for tasks, a mutex/condition-variable pair
// with a count for semaphores and signals, CLOCK_MONOTONIC and CLOCK_REALTIME
// for the clocks, per-thread nice values for priorities.
#include "oslite.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <new>

namespace {

// ---------------------------------------------------------------------------
// Semaphores

constexpr int kMaxCount = 100;

struct SemRec {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int count;
};

constexpr U32 kForever = 0xFFFFFFFFu;

timespec monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

timespec addMs(timespec ts, U32 ms) {
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

SemRec* newSemaphore(int initial) {
    SemRec* s = new (std::nothrow) SemRec();
    if (!s) return nullptr;
    pthread_condattr_t ca;
    if (pthread_condattr_init(&ca) != 0) {
        delete s;
        return nullptr;
    }
    // Timed waits run on the monotonic clock: a change of the wall clock must
    // not stretch or cut a time-out.
    bool ok = pthread_condattr_setclock(&ca, CLOCK_MONOTONIC) == 0 &&
              pthread_cond_init(&s->cond, &ca) == 0;
    pthread_condattr_destroy(&ca);
    if (!ok) {
        delete s;
        return nullptr;
    }
    if (pthread_mutex_init(&s->mutex, nullptr) != 0) {
        pthread_cond_destroy(&s->cond);
        delete s;
        return nullptr;
    }
    s->count = initial;
    return s;
}

void destroySemaphore(SemRec* s) {
    pthread_cond_destroy(&s->cond);
    pthread_mutex_destroy(&s->mutex);
    delete s;
}

// Takes one count, waiting at most ms milliseconds (kForever: no limit).
// 0 when a count was taken, -1 on time-out or failure.
int takeCount(SemRec* s, U32 ms) {
    if (!s) return -1;
    if (pthread_mutex_lock(&s->mutex) != 0) return -1;
    if (ms == kForever) {
        while (s->count == 0 && pthread_cond_wait(&s->cond, &s->mutex) == 0) {
        }
    } else if (ms > 0) {
        const timespec deadline = addMs(monotonicNow(), ms);
        while (s->count == 0 && pthread_cond_timedwait(&s->cond, &s->mutex, &deadline) == 0) {
        }
    }
    // Whatever ended the wait (a count, the time-out, a failure), the count decides.
    const int rc = s->count > 0 ? 0 : -1;
    if (rc == 0) --s->count;
    pthread_mutex_unlock(&s->mutex);
    return rc;
}

// Adds one count unless the maximum is reached. 0 when added, -1 otherwise.
int giveCount(SemRec* s) {
    if (!s) return -1;
    if (pthread_mutex_lock(&s->mutex) != 0) return -1;
    int rc = -1;
    if (s->count < kMaxCount) {
        ++s->count;
        rc = 0;
        pthread_cond_signal(&s->cond);
    }
    pthread_mutex_unlock(&s->mutex);
    return rc;
}

// ---------------------------------------------------------------------------
// Clocks and sleeps

// The millisecond clock counts from this point. It is captured during static
// initialisation, before main runs; the function-local static also makes a
// call from another translation unit's static initialiser safe.
const timespec& processStart() {
    static const timespec start = monotonicNow();
    return start;
}
const timespec& g_start_init = processStart();

void sleepMs(unsigned int ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    // An absolute deadline keeps the total right when a signal interrupts.
    const timespec deadline = addMs(monotonicNow(), ms);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// ---------------------------------------------------------------------------
// Tasks

struct TaskRec {
    pthread_t thread;
    OS_TaskFunc_t func;
    void* param;
    int priority;  // relative priority as reported by OS_GetTaskPriority
    int nice;      // nice value the thread sets on itself before func runs
    // Set by the thread once func has returned.
    std::atomic<bool> finished{false};
    // The thread frees this record when it ends (detached tasks). Written
    // before the thread starts, or by the task itself.
    bool self_owned = false;
};

// Stands for the calling thread, whichever it is.
OS_Task_t const kSelf = reinterpret_cast<OS_Task_t>(static_cast<intptr_t>(-2));

// Stack floor. Callers ask for small sizes (the serial driver's reader asks for
// 4096 bytes) meaning an initial stack that grows on demand up to 2 MiB; a
// pthread stack does not grow, so every task gets at least those 2 MiB. Only
// address space is reserved; pages are touched as the stack grows.
constexpr size_t kStackFloor = 2u * 1024u * 1024u;

constexpr int kInvalidPriority = 2147483647;

thread_local int t_priority = 0;

// The relative thread priorities a task may ask for, and the nice offset from
// the process's own level that each stands for. Anything else runs as normal.
struct PriorityLevel {
    int priority;
    int nice_offset;
};
constexpr PriorityLevel kPriorityLevels[] = {
    {-15, 19},  // idle
    {-2, 10},   // lowest
    {-1, 5},    // below normal
    {0, 0},     // normal
    {1, -5},    // above normal
    {2, -10},   // highest
    {15, -20},  // time critical
};

PriorityLevel priorityLevel(int priority) {
    for (const PriorityLevel& l : kPriorityLevels)
        if (l.priority == priority) return l;
    return {0, 0};  // normal
}

int clampNice(int n) {
    return n < -20 ? -20 : (n > 19 ? 19 : n);
}

// Nice value of one thread (a tid), or fallback if it cannot be read.
int threadNice(pid_t tid, int fallback) {
    errno = 0;
    int n = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return (n == -1 && errno != 0) ? fallback : n;
}

// The process's level: the nice value of its main thread.
int processNice() {
    return threadNice(getpid(), 0);
}

void* taskEntry(void* arg) {
    TaskRec* t = static_cast<TaskRec*>(arg);
    // Priority first, so no step of the task runs at another one. Without the
    // privilege to raise priority the call is refused and the thread stays
    // where it is.
    if (threadNice(gettid(), t->nice) != t->nice) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), t->nice);
    }
    t_priority = t->priority;
    t->func(t->param);
    if (t->self_owned) {
        delete t;
    } else {
        t->finished.store(true, std::memory_order_release);
    }
    return nullptr;
}

TaskRec* startTask(U32 stack_size, OS_TaskFunc_t func, int priority, void* param, bool detached) {
    if (!func) return nullptr;
    TaskRec* t = new (std::nothrow) TaskRec();
    if (!t) return nullptr;
    t->func = func;
    t->param = param;
    const PriorityLevel level = priorityLevel(priority);
    t->priority = level.priority;
    t->nice = clampNice(processNice() + level.nice_offset);
    t->self_owned = detached;

    size_t stack = stack_size;
    long min = sysconf(_SC_THREAD_STACK_MIN);
    if (min > 0 && stack < static_cast<size_t>(min)) stack = static_cast<size_t>(min);
    if (stack < kStackFloor) stack = kStackFloor;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) stack = (stack + page - 1) / page * page;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete t;
        return nullptr;
    }
    int e = pthread_attr_setstacksize(&attr, stack);
    if (e == 0 && detached) e = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (e == 0) e = pthread_create(&t->thread, &attr, taskEntry, t);
    pthread_attr_destroy(&attr);
    if (e != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

}  // namespace

// ---------------------------------------------------------------------------
// Semaphores and signals

OS_Semaphore_t OS_AllocSemaphore() {
    return newSemaphore(1);
}

int OS_WaitSemaphore(OS_Semaphore_t Semaphore) {
    return takeCount(static_cast<SemRec*>(Semaphore), kForever);
}

int OS_SetSemaphore(OS_Semaphore_t Semaphore) {
    return giveCount(static_cast<SemRec*>(Semaphore));
}

int OS_DeleteSemaphore(OS_Semaphore_t Semaphore) {
    if (!Semaphore) return -1;
    destroySemaphore(static_cast<SemRec*>(Semaphore));
    return 0;
}

OS_Semaphore_t OS_AllocSignal() {
    return newSemaphore(0);
}

int OS_SetSignal(OS_Semaphore_t Semaphore) {
    giveCount(static_cast<SemRec*>(Semaphore));  // a full count drops the signal
    return 0;
}

int OS_WaitSignal(OS_Semaphore_t cond, OS_Semaphore_t lock, U32 Time) {
    if (!cond) return -1;
    OS_SetSemaphore(lock);
    // cond counts: a signal given since the lock was released is still there.
    int rc = takeCount(static_cast<SemRec*>(cond), Time);
    OS_WaitSemaphore(lock);
    return rc;
}

int OS_DeleteSignal(OS_Semaphore_t Semaphore) {
    if (Semaphore) destroySemaphore(static_cast<SemRec*>(Semaphore));
    return 0;
}

// ---------------------------------------------------------------------------
// Sleeps and clocks

void OS_MSleep(unsigned int ms) {
    sleepMs(ms);
}

void OS_MicroSleep(int64_t micro) {
    if (micro < 1000) {
        sched_yield();
        return;
    }
    int64_t ms = micro / 1000;
    sleepMs(ms > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(ms));
}

unsigned int OS_GetKHClock() {
    const timespec& s = processStart();
    const timespec n = monotonicNow();
    const int64_t ns = (static_cast<int64_t>(n.tv_sec) - s.tv_sec) * 1000000000 +
                       (static_cast<int64_t>(n.tv_nsec) - s.tv_nsec);
    return static_cast<unsigned int>(static_cast<uint64_t>(ns / 1000000));
}

uint64_t OS_GetMHClock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
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
    return startTask(StackSize, TaskFunc, Priority, Param, false);
}

int OS_TaskCreate2(U32 StackSize, const char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                   void* Param) {
    (void)TaskName;
    startTask(StackSize, TaskFunc, Priority, Param, true);
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
    if (Task == kSelf && TimeOut == kForever) return -1;
    TaskRec* t = Task == kSelf ? nullptr : static_cast<TaskRec*>(Task);
    U32 remaining = TimeOut;
    for (;;) {
        if (t && t->finished.load(std::memory_order_acquire)) return 0;
        if (TimeOut != kForever) {
            --remaining;
            if (remaining == 0) return -1;
        }
        if (TimeOut == 0) return -1;
        OS_MSleep(1);
    }
}

int OS_IsTaskRunning(OS_Task_t Task) {
    int dummy = 0;
    return OS_GetTaskPriority(Task, &dummy) == kInvalidPriority ? 0 : 1;
}

void OS_TaskDelete(OS_Task_t Task) {
    if (!Task || Task == kSelf) return;
    TaskRec* t = static_cast<TaskRec*>(Task);
    if (pthread_equal(t->thread, pthread_self())) {
        // A task deleting itself cannot wait for its own end: it lets go of
        // the thread, which frees the record when the task function returns.
        t->self_owned = true;
        pthread_detach(t->thread);
        return;
    }
    pthread_join(t->thread, nullptr);
    delete t;
}

OS_Task_t OS_TaskGetSelf() {
    return kSelf;
}

int OS_GetTaskPriority(OS_Task_t Task, int* Priority) {
    (void)Priority;
    if (!Task) return kInvalidPriority;
    if (Task == kSelf) return t_priority;
    return static_cast<TaskRec*>(Task)->priority;
}

// ---------------------------------------------------------------------------
// Process

int OS_SetPriortyClass(int preiorty) {
    // Windows class codes and the nice level each stands for.
    static constexpr struct {
        int code;
        int level;
    } kClasses[] = {{0x00000040, 19},    // idle
                    {0x00004000, 10},    // below normal
                    {0x00000020, 0},     // normal
                    {0x00008000, -5},    // above normal
                    {0x00000080, -10},   // high
                    {0x00000100, -20}};  // realtime
    const auto* cls = std::find_if(std::begin(kClasses), std::end(kClasses),
                                   [&](const auto& c) { return c.code == preiorty; });
    if (cls == std::end(kClasses)) return 0;
    const int level = cls->level;
    const pid_t pid = getpid();
    const int old_level = processNice();
    int rc = setpriority(PRIO_PROCESS, static_cast<id_t>(pid), level) == 0 ? 1 : 0;
    // Every other thread keeps its distance from the process's level.
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            char* end = nullptr;
            long tid = strtol(e->d_name, &end, 10);
            if (end == e->d_name || *end != '\0' || tid == pid) continue;
            int n = threadNice(static_cast<pid_t>(tid), old_level);
            setpriority(PRIO_PROCESS, static_cast<id_t>(tid), clampNice(level + n - old_level));
        }
        closedir(d);
    }
    return rc;
}

void OS_Reboot() {}
