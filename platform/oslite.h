// Thin operating-system layer: tasks, counting semaphores (locks and signals),
// sleeps and clocks. Every object lives behind an opaque handle.
#pragma once

#include <cstdint>

typedef void* OS_Task_t;
typedef void* OS_Semaphore_t;
typedef void* (*OS_TaskFunc_t)(void*);
typedef uint32_t U32;

// Semaphores (count 1, a free lock) and signals (count 0); maximum count 100.
OS_Semaphore_t OS_AllocSemaphore();
int OS_WaitSemaphore(OS_Semaphore_t Semaphore);
int OS_SetSemaphore(OS_Semaphore_t Semaphore);
int OS_DeleteSemaphore(OS_Semaphore_t Semaphore);
OS_Semaphore_t OS_AllocSignal();
int OS_SetSignal(OS_Semaphore_t Semaphore);
int OS_WaitSignal(OS_Semaphore_t cond, OS_Semaphore_t lock, U32 Time);
int OS_DeleteSignal(OS_Semaphore_t Semaphore);

// Sleeps and clocks.
void OS_MSleep(unsigned int ms);
void OS_MicroSleep(int64_t micro);
unsigned int OS_GetKHClock();  // ms since process start, monotonic, wraps at 2^32
uint64_t OS_GetMHClock();      // wall-clock microseconds since 1970-01-01 UTC
int SleepInterrupt(int sleep_ms, int min_sleep, int* active_task);

// Tasks.
OS_Task_t OS_TaskCreate(U32 StackSize, char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                        void* Param);
int OS_TaskCreate2(U32 StackSize, const char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                   void* Param);
OS_Task_t OS_TaskCreateCPU(int StackSize, char* TaskName, OS_TaskFunc_t TaskFunc, int Priority,
                           int CpuNo, void* Param);
int OS_GetCPUCount();
int OS_SwitchThreadCPU(OS_Task_t Task, int CpuNo);
int OS_GetThreadCPU(OS_Task_t Task);
int OS_TaskWait(OS_Task_t Task, U32 TimeOut);
int OS_IsTaskRunning(OS_Task_t Task);
void OS_TaskDelete(OS_Task_t Task);
OS_Task_t OS_TaskGetSelf();
int OS_GetTaskPriority(OS_Task_t Task, int* Priority);

// Process.
int OS_SetPriortyClass(int preiorty);
void OS_Reboot();
