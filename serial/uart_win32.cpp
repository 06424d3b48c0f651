// Serial port driver on the Win32 communications API.
//
// A port is opened for exclusive use (no sharing) and for overlapped I/O,
// configured 8N1 binary with no flow control and DTR/RTS disabled, and drained
// by one reader task into a 1 MiB ring buffer. The reader never spins: it
// waits for the first byte with an overlapped one-byte ReadFile, together with
// a stop event that UART_Close sets, then takes what else the input queue
// holds (ClearCommError's count) at once. So an idle port costs no CPU, bytes
// reach the ring as they arrive, and a close cancels the read at once instead
// of waiting out a time-out. (A larger overlapped read would do for Windows,
// which completes it with what has come; wine holds it until it is full.) The
// direct reads and the timed write keep the port's fixed time-outs (100 ms
// between bytes and 1000 ms in all for one read request, 10000 ms for one
// write request) by timing their overlapped requests themselves.
//
// Exclusive use: the port is opened without sharing, and a named object per
// port name refuses a second open from any program of this session as well
// (wine lets a device be opened twice).
//
// A device that vanishes (a USB adapter unplugged) fails the reader's request.
// The task then closes the dead handle and opens the same name again every
// kReopenPauseMs, with the same settings; meanwhile reads and writes fail at
// once. UART_Outages tells callers about the loss and the return.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "oslite.h"
#include "ringbuf.h"
#include "uart.h"

namespace {

constexpr int kRingSize = 1048576;    // receive ring, 1 MiB
constexpr int kStagingSize = 4096;    // one read from the port
constexpr int kReadIntervalMs = 100;  // silence that ends a read request once a byte came
constexpr int kReadTotalMs = 1000;    // longest read request
constexpr int kWriteTotalMs = 10000;  // longest write request
constexpr int kRingFullWaitMs = 5;    // reader's re-check period while the ring is full
constexpr int kVanishedPauseMs = 50;  // reader's pause after an early read that gave nothing
constexpr int kReopenPauseMs = 200;   // reader's pause between opens of a vanished device
constexpr int kReaderPriority = 1;    // one step above normal
constexpr U32 kReaderStackSize = 4096;

struct uartHandle_t {
    char* dev;
    int32_t speed;
    OS_Semaphore_t lock;  // guards the ring's contents and positions
    OS_Semaphore_t signal;
    OS_Task_t get_buff_task;
    ringb_h ringbuf_h;
    int32_t buff_size;
    unsigned char* buff;  // staging buffer of the reader task
    OS_Task_t hTask;      // the reader task
    // The open port; INVALID_HANDLE_VALUE while the device is gone. Only the
    // reader task changes it, holding fd_lock exclusively; every other user
    // holds fd_lock shared while it uses the handle.
    HANDLE fd = INVALID_HANDLE_VALUE;
    std::shared_mutex fd_lock;
    std::string path;  // what the device was opened as; reopened after a loss
    std::mutex outage_lock;
    bool lost = false;
    unsigned int lost_since = 0;
    uint64_t outages = 0, longest_ms = 0, total_ms = 0;
    std::atomic<int> active_task;
    HANDLE stop = nullptr;   // manual-reset event: UART_Close wakes the reader through it
    HANDLE claim = nullptr;  // marks the port as in use, for the record's life
    std::mutex arrival_lock;
    std::condition_variable arrival;
    uint64_t arrivals = 0;
    bool closing = false;
    UART_RxCallback rx_callback = nullptr;
    void* rx_context = nullptr;
};

void signalArrival(uartHandle_t* r, bool closing) {
    {
        std::lock_guard<std::mutex> g(r->arrival_lock);
        ++r->arrivals;
        if (closing) r->closing = true;
    }
    r->arrival.notify_all();
}

uartHandle_t* rec(UART_Handle_t h) {
    return static_cast<uartHandle_t*>(h);
}

U32 elapsedMs(unsigned int start) {
    return static_cast<U32>(OS_GetKHClock() - start);
}

// The standard rates; any other is refused, as on the other platforms.
constexpr int kBaudRates[] = {50,      75,      110,     134,     150,     200,    300,     600,
                              1200,    1800,    2400,    4800,    9600,    19200,  38400,   57600,
                              115200,  230400,  460800,  500000,  576000,  921600, 1000000, 1152000,
                              1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

bool standardRate(int baud) {
    for (int r : kBaudRates)
        if (r == baud) return true;
    return false;
}

// A bare name ("COM3") is opened in the device namespace, where ports 10 and
// above are found too; anything else is used as given.
std::string devicePath(const char* device) {
    if (std::strpbrk(device, "\\/") != nullptr) return device;
    return std::string("\\\\.\\") + device;
}

// Marks the port as in use by this record: null when some program of this
// session holds it already (or the mark cannot be made).
HANDLE claimPort(const char* device) {
    std::string name = "Local\\convbench-serial-";
    for (const char* p = device; *p; ++p) {
        const char c = *p;
        // Case and the device-namespace prefix do not make another port.
        name += c == '\\' || c == '/' ? '|' : static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    const std::string prefix = "Local\\convbench-serial-||.|";
    if (name.compare(0, prefix.size(), prefix) == 0)
        name = "Local\\convbench-serial-" + name.substr(prefix.size());
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    if (h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return h;
}

// The line settings built from nothing: 8N1, binary, no flow control of any
// kind, DTR and RTS disabled, no special characters. Read back, so a device
// that keeps another rate or frame is refused.
bool configureLine(HANDLE h, int baud) {
    if (!standardRate(baud)) return false;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(h, &dcb)) return false;
    DCB back;
    std::memset(&back, 0, sizeof back);
    back.DCBlength = sizeof back;
    if (!GetCommState(h, &back)) return false;
    return back.BaudRate == dcb.BaudRate && back.ByteSize == 8 && back.Parity == NOPARITY &&
           back.StopBits == ONESTOPBIT;
}

bool setTimeouts(HANDLE h) {
    COMMTIMEOUTS t;
    std::memset(&t, 0, sizeof t);
    // A read returns what has arrived at once, or waits for the first byte, at
    // most kReadTotalMs; the request timing below does the rest.
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = kReadTotalMs;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kWriteTotalMs;
    return SetCommTimeouts(h, &t) != 0;
}

// Opens and sets up the port: exclusive, overlapped, the line settings at
// `baud`, the time-outs, both queues cleared. INVALID_HANDLE_VALUE on failure
// with nothing left open; GetLastError tells why.
HANDLE openPort(const char* device, int baud) {
    const std::string path = devicePath(device);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    if (!configureLine(h, baud) || !setTimeouts(h) ||
        !PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        const DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// Number of bytes in the port's input queue (0 when empty or unknown); clears
// any pending line error.
int IsHaveChar(HANDLE h) {
    DWORD errors = 0;
    COMSTAT st;
    if (!ClearCommError(h, &errors, &st)) {
        OS_MSleep(0);
        return 0;
    }
    return static_cast<int>(st.cbInQue);
}

// One overlapped request on the port, waited for at most wait_ms (INFINITE:
// no limit) or until `stop` is set; a request still pending then is cancelled.
// The bytes it moved, or -1 when the device failed before any byte.
struct Io {
    enum Kind { Read, Write };
    static int run(Kind kind, HANDLE h, void* buf, int len, DWORD wait_ms, HANDLE stop,
                   bool* stopped = nullptr) {
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (ov.hEvent == nullptr) return -1;
        DWORD n = 0;
        const BOOL ok = kind == Read ? ReadFile(h, buf, static_cast<DWORD>(len), &n, &ov)
                                     : WriteFile(h, buf, static_cast<DWORD>(len), &n, &ov);
        int result;
        if (ok) {
            // Done at once; the count comes from the request's own record.
            result = GetOverlappedResult(h, &ov, &n, FALSE) ? static_cast<int>(n) : -1;
        } else if (GetLastError() != ERROR_IO_PENDING) {
            result = -1;
        } else {
            HANDLE waits[2] = {ov.hEvent, stop};
            const DWORD w = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, wait_ms);
            if (w != WAIT_OBJECT_0) {
                CancelIoEx(h, &ov);
                if (stopped && w == WAIT_OBJECT_0 + 1) *stopped = true;
            }
            // Waits for the request to end, cancelled or not; a cancelled one
            // still reports what it moved before.
            if (GetOverlappedResult(h, &ov, &n, TRUE)) {
                result = static_cast<int>(n);
            } else {
                const DWORD e = GetLastError();
                result = e == ERROR_OPERATION_ABORTED ? static_cast<int>(n) : -1;
            }
        }
        CloseHandle(ov.hEvent);
        return result;
    }
};

// Waits up to wait_ms (INFINITE: no limit) for the first byte, or until
// `stop` is set, then takes what else waits in the input queue, up to `len`
// bytes in all. The count (0 when nothing came), or -1 when the device failed.
int readSome(HANDLE h, unsigned char* buff, int len, DWORD wait_ms, HANDLE stop,
             bool* stopped = nullptr, int* queued = nullptr) {
    if (len <= 0) return 0;
    const int first = Io::run(Io::Read, h, buff, 1, wait_ms, stop, stopped);
    if (queued != nullptr) *queued = first;
    if (first <= 0 || len == 1) return first;
    DWORD errors = 0;
    COMSTAT st;
    if (!ClearCommError(h, &errors, &st)) return first;
    // The first byte and what still waited behind it: the queue at the read.
    if (queued != nullptr) *queued = first + static_cast<int>(st.cbInQue);
    const int more =
        static_cast<int>(st.cbInQue) < len - 1 ? static_cast<int>(st.cbInQue) : len - 1;
    if (more <= 0) return first;
    // Those bytes are there: the request ends at once.
    const int rest = Io::run(Io::Read, h, buff + 1, more, kReadIntervalMs, stop, stopped);
    return rest > 0 ? first + rest : first;
}

// One read request of up to `len` bytes with the port's fixed time-outs: it
// returns once `len` bytes came, once kReadIntervalMs passed without a byte
// after the first one, or kReadTotalMs after it began. The count read (0 when
// nothing came), or -1 when the device failed before any byte arrived.
int readRequest(HANDLE h, unsigned char* buff, int len) {
    if (len <= 0) return 0;
    const unsigned int start = OS_GetKHClock();
    int got = 0;
    while (got < len) {
        int wait = kReadTotalMs - static_cast<int>(elapsedMs(start));
        if (got > 0 && kReadIntervalMs < wait) wait = kReadIntervalMs;
        if (wait <= 0) break;
        const int n = readSome(h, buff + got, len - got, static_cast<DWORD>(wait), nullptr);
        if (n < 0) return got > 0 ? got : -1;
        if (n == 0) break;  // silence for the whole wait
        got += n;
    }
    return got;
}

// One write request: all `len` bytes, or what went out within kWriteTotalMs.
// -1 when the device failed before any byte.
int writeRequest(HANDLE h, const unsigned char* buff, int len) {
    return Io::run(Io::Write, h, const_cast<unsigned char*>(buff), len, kWriteTotalMs, nullptr);
}

int ringDataSize(uartHandle_t* r) {
    if (r->ringbuf_h == nullptr) return 0;  // a receiver's port has no ring
    OS_WaitSemaphore(r->lock);
    const int n = ringb_dsize(r->ringbuf_h);
    OS_SetSemaphore(r->lock);
    return n;
}

void markLost(uartHandle_t* r) {
    {
        std::unique_lock<std::shared_mutex> g(r->fd_lock);
        CloseHandle(r->fd);
        r->fd = INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> g(r->outage_lock);
    r->lost = true;
    r->lost_since = OS_GetKHClock();
    ++r->outages;
}

void markBack(uartHandle_t* r, HANDLE h) {
    {
        std::unique_lock<std::shared_mutex> g(r->fd_lock);
        r->fd = h;
    }
    std::lock_guard<std::mutex> g(r->outage_lock);
    const uint64_t ms = elapsedMs(r->lost_since);
    r->lost = false;
    r->total_ms += ms;
    if (ms > r->longest_ms) r->longest_ms = ms;
}

bool stopSet(uartHandle_t* r, DWORD wait_ms) {
    return WaitForSingleObject(r->stop, wait_ms) == WAIT_OBJECT_0;
}

// Reader task: moves every byte that arrives on the port into the ring (or to
// the receiver's callback) as soon as it arrives. While the ring is full the
// bytes stay in the port's own input queue. The task is the only one that
// changes r->fd, so it reads it without the lock.
void* CyclicGetData(void* cycBuff) {
    uartHandle_t* r = rec(cycBuff);
    while (r->active_task.load(std::memory_order_acquire) != 0) {
        if (r->fd == INVALID_HANDLE_VALUE) {
            if (stopSet(r, kReopenPauseMs)) continue;  // closing
            const HANDLE h = openPort(r->path.c_str(), r->speed);
            if (h != INVALID_HANDLE_VALUE) markBack(r, h);
            continue;
        }
        int room = r->buff_size;  // a receiver's callback takes every chunk
        if (r->rx_callback == nullptr) {
            OS_WaitSemaphore(r->lock);
            room = ringb_freespace(r->ringbuf_h);
            OS_SetSemaphore(r->lock);
        }
        if (room <= 0) {
            stopSet(r, kRingFullWaitMs);
            continue;
        }
        const int size = room < r->buff_size ? room : r->buff_size;

        const unsigned int began = OS_GetKHClock();
        bool stopped = false;
        int queued = 0;
        const int n = readSome(r->fd, r->buff, size, INFINITE, r->stop, &stopped, &queued);
        if (n > 0 && r->rx_callback != nullptr) {
            r->rx_callback(r->rx_context, r->buff, n, queued > n ? queued : n);
            continue;
        }
        if (n > 0) {
            OS_WaitSemaphore(r->lock);
            ringb_put(r->ringbuf_h, r->buff, n);
            OS_SetSemaphore(r->lock);
            signalArrival(r, false);
            continue;
        }
        if (stopped) continue;  // the loop condition ends the task
        if (n < 0) {
            markLost(r);  // the device is gone: reopen it once it is back
            continue;
        }
        // Nothing came. After the port's own wait for a first byte that is an
        // idle line; a read that gives nothing at once is not repeated in a spin.
        if (static_cast<int>(elapsedMs(began)) < kReadTotalMs / 2) stopSet(r, kVanishedPauseMs);
    }
    return nullptr;
}

void releaseRecord(uartHandle_t* r) {
    if (r->buff != nullptr) std::free(r->buff);
    r->buff = nullptr;
    if (r->ringbuf_h != nullptr) ringb_free(r->ringbuf_h);
    if (r->lock != nullptr) OS_DeleteSemaphore(r->lock);
    r->lock = nullptr;
    if (r->stop != nullptr) CloseHandle(r->stop);
    r->stop = nullptr;
    if (r->fd != INVALID_HANDLE_VALUE) CloseHandle(r->fd);
    r->fd = INVALID_HANDLE_VALUE;
    if (r->claim != nullptr) CloseHandle(r->claim);
    r->claim = nullptr;
    delete r;
}

}  // namespace

UART_Handle_t UART_Open(const char* device, int buadrate) {
    return UART_OpenReceiver(device, buadrate, nullptr, nullptr);
}

UART_Handle_t UART_OpenReceiver(const char* device, int buadrate, UART_RxCallback callback,
                                void* context) {
    if (device == nullptr || device[0] == '\0') return nullptr;
    uartHandle_t* r = new (std::nothrow) uartHandle_t{};
    if (r == nullptr) return nullptr;
    r->rx_callback = callback;
    r->rx_context = context;
    r->path = device;
    r->speed = buadrate;
    r->claim = claimPort(device);
    if (r->claim != nullptr) r->fd = openPort(device, buadrate);
    if (r->fd == INVALID_HANDLE_VALUE) {
        releaseRecord(r);
        return nullptr;
    }

    r->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    r->lock = OS_AllocSemaphore();
    // A receiver's bytes go to its callback: no ring for them.
    if (callback == nullptr) r->ringbuf_h = ringb_alloc(kRingSize);
    r->buff_size = kStagingSize;
    r->buff = static_cast<unsigned char*>(std::calloc(1, static_cast<size_t>(kStagingSize)));
    if (r->stop == nullptr || r->lock == nullptr ||
        (callback == nullptr && r->ringbuf_h == nullptr) || r->buff == nullptr) {
        releaseRecord(r);
        return nullptr;
    }

    // Armed before the task exists, so a close right after this open always
    // finds the flag set and ends the task.
    r->active_task.store(1, std::memory_order_release);
    r->hTask = OS_TaskCreate(kReaderStackSize, nullptr, CyclicGetData, kReaderPriority, r);
    if (r->hTask == nullptr) {
        r->active_task.store(0, std::memory_order_release);
        releaseRecord(r);
        return nullptr;
    }
    return r;
}

namespace {
// The claim of each port opened by UART_OpenPort, by its handle.
std::mutex port_claims_lock;
std::map<UART_Port_t, HANDLE> port_claims;
}  // namespace

UART_Port_t UART_OpenPort(const char* device, int baud) {
    if (device == nullptr || device[0] == '\0') return UART_kNoPort;
    const HANDLE claim = claimPort(device);
    if (claim == nullptr) return UART_kNoPort;
    const HANDLE h = openPort(device, baud);
    if (h == INVALID_HANDLE_VALUE) {
        CloseHandle(claim);
        return UART_kNoPort;
    }
    const UART_Port_t port = reinterpret_cast<UART_Port_t>(h);
    std::lock_guard<std::mutex> g(port_claims_lock);
    port_claims[port] = claim;
    return port;
}

void UART_ClosePort(UART_Port_t port, int closed) {
    if (port == UART_kNoPort) return;
    if (!closed) CloseHandle(reinterpret_cast<HANDLE>(port));
    std::lock_guard<std::mutex> g(port_claims_lock);
    const auto it = port_claims.find(port);
    if (it == port_claims.end()) return;
    CloseHandle(it->second);
    port_claims.erase(it);
}

void UART_Close(UART_Handle_t handle) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return;
    r->active_task.store(0, std::memory_order_release);
    signalArrival(r, true);
    if (r->hTask != nullptr) {
        SetEvent(r->stop);  // cancels the reader's pending read
        OS_TaskDelete(r->hTask);
        r->hTask = nullptr;
    }
    releaseRecord(r);
}

int UART_IsHaveChar(UART_Handle_t handle) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    return r->fd != INVALID_HANDLE_VALUE && IsHaveChar(r->fd) > 0 ? 1 : 0;
}

int UART_is_not_empty(UART_Handle_t handle) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return 0;
    if (ringDataSize(r) > 0) return 1;
    OS_MSleep(1);
    return 0;
}

int UART_readBuff(UART_Handle_t handle, unsigned char* buff, int len) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    const int n = r->fd != INVALID_HANDLE_VALUE ? readRequest(r->fd, buff, len) : -1;
    return n > 0 ? n : 0;
}

int UART_readBuffTimeout(UART_Handle_t handle, unsigned char* buff, int len, int timeout) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return 0;
    const unsigned int start = OS_GetKHClock();
    int remaining = len;
    int stored = 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    while (remaining > 0) {
        const int n =
            r->fd != INVALID_HANDLE_VALUE ? readRequest(r->fd, buff + stored, remaining) : -1;
        if (n < 0) break;  // device failure: report what is already in buff
        remaining -= n;
        stored += n;
        if (elapsedMs(start) >= static_cast<U32>(timeout)) break;
    }
    // Every byte placed in buff is reported, also when the last request brought nothing.
    return stored;
}

int UART_GetSize_buff(UART_Handle_t handle) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr || r->ringbuf_h == nullptr) return 0;
    return ringDataSize(r);
}

int UART_read_buff(UART_Handle_t handle, unsigned char* buff, int len) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr || len <= 0 || r->ringbuf_h == nullptr) return 0;
    OS_WaitSemaphore(r->lock);
    // A request beyond what is buffered must not move the read position past
    // the data, or the ring would turn its free space into phantom bytes.
    const int have = ringb_dsize(r->ringbuf_h);
    const int take = len < have ? len : have;
    ringb_get(r->ringbuf_h, buff, take);
    OS_SetSemaphore(r->lock);
    return take;
}

int UART_write_buffer_timeout(UART_Handle_t handle, unsigned char* buff, int len, int timeoutms) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return -1;
    int written = 0;
    int remaining = len;
    bool failed = false;
    const unsigned int start = OS_GetKHClock();
    while (remaining > 0) {
        int n;
        {
            std::shared_lock<std::shared_mutex> g(r->fd_lock);
            n = r->fd != INVALID_HANDLE_VALUE ? writeRequest(r->fd, buff + written, remaining) : -1;
        }
        if (n >= 0) {
            remaining -= n;
            written += n;
            if (remaining > 0) OS_MSleep(1);
        } else {
            // A gone port is the caller's to report (UART_Outages tells it).
            failed = true;
            if (elapsedMs(start) >= static_cast<U32>(timeoutms)) break;
            OS_MSleep(10);
        }
        if (elapsedMs(start) > static_cast<U32>(timeoutms)) break;
    }
    if (remaining == 0) return written;
    // A write the device refused is a failure, whatever part of it went out
    // before; a write that ran out of time is short and says how far it got.
    return failed ? -1 : written;
}

int UART_Outages(UART_Handle_t handle, int* lost_now, uint64_t* outages, uint64_t* longest_ms,
                 uint64_t* total_ms) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return -1;
    std::lock_guard<std::mutex> g(r->outage_lock);
    const uint64_t current = r->lost ? elapsedMs(r->lost_since) : 0;
    if (lost_now) *lost_now = r->lost ? 1 : 0;
    if (outages) *outages = r->outages;
    if (longest_ms) *longest_ms = current > r->longest_ms ? current : r->longest_ms;
    if (total_ms) *total_ms = r->total_ms + current;
    return 0;
}

int UART_WaitData(UART_Handle_t handle, int min_bytes, int timeout_ms) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr || r->ringbuf_h == nullptr) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> g(r->arrival_lock);
    for (;;) {
        // Read the count of puts before the ring, so a put in between is seen.
        const uint64_t seen = r->arrivals;
        g.unlock();
        const int have = ringDataSize(r);
        g.lock();
        if (have >= min_bytes || r->closing) return have;
        if (!r->arrival.wait_until(g, deadline, [&] { return r->arrivals != seen; })) return have;
    }
}

void UART_Explain(const char* device, int baud, char* why, int len) {
    if (why == nullptr || len <= 0) return;
    auto say = [&](const std::string& text) {
        std::snprintf(why, static_cast<size_t>(len), "%s", text.c_str());
    };
    if (device == nullptr || device[0] == '\0') return say("no port named");
    if (!standardRate(baud))
        return say("baud rate " + std::to_string(baud) + " is not a standard rate");
    const HANDLE claim = claimPort(device);
    if (claim == nullptr) return say("in use by another program");
    const std::string path = devicePath(device);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    CloseHandle(claim);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return say("no such port");
        // Windows answers "access denied" for a port another program holds.
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
            return say("in use by another program, or access denied");
        return say("cannot be opened (Windows error " + std::to_string(e) + ")");
    }
    std::string text;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        text = "not a serial port";
    else
        text = "the port refused the line settings (" + std::to_string(baud) + " baud 8N1)";
    CloseHandle(h);
    say(text);
}
