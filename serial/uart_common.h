// Inside the serial driver: the record of an open port, kept by the shared
// half (uart_common.cpp: the ring, the reader task's loop, the waits, the
// outage bookkeeping, the timed write and every entry point of uart.h but
// UART_Explain), and what that half asks of the platform half
// (uart_posix.cpp or uart_win32.cpp: opening and configuring the device, one
// read or write request with the port's time-outs, the reader's wake-up).
// Not for users of the driver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "oslite.h"
#include "ringbuf.h"
#include "uart.h"

namespace uart_detail {

constexpr int kRingSize = 1048576;      // receive ring, 1 MiB
constexpr int kStagingSize = 4096;      // one read from the port
constexpr int kReadIntervalMs = 100;    // silence that ends a read request once a byte came
constexpr int kReadTotalMs = 1000;      // longest read request
constexpr int kWriteTotalMs = 10000;    // longest write request
constexpr int kRingFullWaitMs = 5;      // reader's re-check period while the ring is full
constexpr int kVanishedPauseMs = 50;    // reader's pause after a read that gave nothing
constexpr int kReopenPauseMs = 200;     // reader's pause between opens of a vanished device
constexpr int kReaderPriority = 1;      // one step above normal
constexpr U32 kReaderStackSize = 4096;  // oslite raises it to what the platform needs

// The platform's handle of an open device: a descriptor on POSIX, a HANDLE
// on Windows; kNoPort while there is none.
#ifdef _WIN32
using Native = void*;
#else
using Native = int;
#endif
extern const Native kNoPort;

// Milliseconds since `start` on the driver's clock, unsigned 32-bit difference.
inline U32 elapsedMs(unsigned int start) {
    return static_cast<U32>(OS_GetKHClock() - start);
}

// One open port. The platform half derives its own record from this one with
// its wake-up (and whatever else it holds for the port's life), made by
// newRecord and released by the virtual destructor.
struct Record {
    virtual ~Record() = default;

    int32_t speed = 0;
    std::string path;               // what the device was opened as; reopened after a loss
    OS_Semaphore_t lock = nullptr;  // guards the ring's contents and positions
    ringb_h ringbuf_h = nullptr;
    int32_t buff_size = 0;
    unsigned char* buff = nullptr;  // staging buffer of the reader task
    OS_Task_t hTask = nullptr;      // the reader task
    // The open device; kNoPort while it is gone. Only the reader task changes
    // it, holding fd_lock exclusively; every other user holds fd_lock shared
    // while it uses the handle, so a handle is never closed under it.
    Native port = kNoPort;
    std::shared_mutex fd_lock;
    // Outages of the device, guarded by outage_lock.
    std::mutex outage_lock;
    bool lost = false;
    unsigned int lost_since = 0;  // OS_GetKHClock at the loss
    uint64_t outages = 0, longest_ms = 0, total_ms = 0;
    std::atomic<int> active_task{0};  // reader runs while non-zero
    // Arrival signal for UART_WaitData: the reader raises `arrivals` after
    // every put into the ring.
    std::mutex arrival_lock;
    std::condition_variable arrival;
    uint64_t arrivals = 0;
    bool closing = false;
    // When set (before the reader task starts), every chunk read goes here
    // instead of the ring.
    UART_RxCallback rx_callback = nullptr;
    void* rx_context = nullptr;
};

// What one read of the reader task came to.
struct Chunk {
    enum Next {
        Bytes,  // n > 0 bytes are in the staging buffer
        Again,  // nothing yet: go round again (also when the port is closing)
        Pause,  // nothing, and asking again at once would spin: pause first
        Lost,   // the device is gone
    } next = Again;
    int n = 0;
    int queued = 0;  // the input queue just before the read (asked for only)
};

// ---- Provided by the platform half ----

// A record of the platform's kind, with no device open and no wake-up yet.
Record* newRecord();
// The first open of `device`: the device set up into r->port (exclusive, the
// line settings at `baud`, both queues cleared) and the reader's wake-up
// made. False on any failure; the record is then released as it stands.
bool openRecord(Record* r, const char* device, int baud);
// Opens the device again as openRecord did; kNoPort when it is not back.
Native openPort(const char* device, int baud);
void closePort(Native port);
// Number of bytes in the port's input queue (0 when empty or unknown).
int inputQueue(Native port);
// One read request of up to `len` bytes: returns once `len` bytes came, once
// kReadIntervalMs passed without a byte after the first one, or kReadTotalMs
// after it began. The count read (0 when nothing came), or -1 when the device
// failed before any byte arrived.
int readRequest(Native port, unsigned char* buff, int len);
// One write request: all `len` bytes, or what went out within kWriteTotalMs.
// -1 when the device failed before any byte.
int writeRequest(Native port, const unsigned char* buff, int len);
// Waits up to `ms` for the wake-up; true when UART_Close has signalled it.
bool waitWake(Record* r, int ms);
// Wakes the reader task for good: UART_Close.
void signalWake(Record* r);
// The reader task's one read of up to `size` bytes into r->buff: waits for
// bytes on r->port or for the wake-up. `want_queued` asks for Chunk::queued.
Chunk readChunk(Record* r, int size, bool want_queued);

}  // namespace uart_detail
