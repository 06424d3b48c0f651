// Serial port driver, the half every platform shares.
//
// A port is drained by one reader task into a 1 MiB ring buffer (or, for a
// receiver, handed to its callback chunk by chunk); the ring, the waits for
// its bytes, the direct reads and the timed write are kept here. The platform
// half opens and configures the device, performs one read or write request
// with the port's fixed time-outs, and lets the reader wait for bytes and for
// the wake-up that UART_Close signals, so an idle port costs no CPU and a
// close returns at once.
//
// A device that vanishes (a USB adapter unplugged, a pty whose master closed)
// fails the reader's read. The task then closes the dead handle and opens the
// same path again every kReopenPauseMs, with the same settings; meanwhile
// reads and writes fail at once. UART_Outages tells callers about the loss and
// the return.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uart_common.h"

using namespace uart_detail;

namespace {

void signalArrival(Record* r, bool closing) {
    {
        std::lock_guard<std::mutex> g(r->arrival_lock);
        ++r->arrivals;
        if (closing) r->closing = true;
    }
    r->arrival.notify_all();
}

Record* rec(UART_Handle_t h) {
    return static_cast<Record*>(h);
}

int ringDataSize(Record* r) {
    if (r->ringbuf_h == nullptr) return 0;  // a receiver's port has no ring
    OS_WaitSemaphore(r->lock);
    const int n = ringb_dsize(r->ringbuf_h);
    OS_SetSemaphore(r->lock);
    return n;
}

// The device is gone: the dead handle is closed (once no caller uses it) and
// the outage begins.
void markLost(Record* r) {
    {
        std::unique_lock<std::shared_mutex> g(r->fd_lock);
        closePort(r->port);
        r->port = kNoPort;
    }
    std::lock_guard<std::mutex> g(r->outage_lock);
    r->lost = true;
    r->lost_since = OS_GetKHClock();
    ++r->outages;
}

// The device is back under its path: the outage ends.
void markBack(Record* r, Native port) {
    {
        std::unique_lock<std::shared_mutex> g(r->fd_lock);
        r->port = port;
    }
    std::lock_guard<std::mutex> g(r->outage_lock);
    const uint64_t ms = elapsedMs(r->lost_since);
    r->lost = false;
    r->total_ms += ms;
    if (ms > r->longest_ms) r->longest_ms = ms;
}

// Reader task: moves every byte that arrives on the port into the ring (or to
// the receiver's callback) as soon as it arrives. While the ring is full the
// bytes stay in the port's own input queue. A device that fails is closed and
// opened again under its path, with a pause between attempts, until it is
// back or the port is closed. The task is the only one that changes r->port,
// so it reads it without the lock.
void* CyclicGetData(void* record) {
    Record* r = rec(record);
    while (r->active_task.load(std::memory_order_acquire) != 0) {
        if (r->port == kNoPort) {
            if (waitWake(r, kReopenPauseMs)) continue;  // closing
            const Native port = openPort(r->path.c_str(), r->speed);
            if (port != kNoPort) markBack(r, port);
            continue;
        }
        int room = r->buff_size;  // a receiver's callback takes every chunk
        if (r->rx_callback == nullptr) {
            OS_WaitSemaphore(r->lock);
            room = ringb_freespace(r->ringbuf_h);
            OS_SetSemaphore(r->lock);
        }
        if (room <= 0) {
            waitWake(r, kRingFullWaitMs);
            continue;
        }
        const int size = room < r->buff_size ? room : r->buff_size;

        const Chunk c = readChunk(r, size, r->rx_callback != nullptr);
        switch (c.next) {
            case Chunk::Bytes:
                if (r->rx_callback != nullptr) {
                    // Delivered before anything else is looked at: a failure
                    // reported with these bytes is handled on the next round.
                    r->rx_callback(r->rx_context, r->buff, c.n, c.queued > c.n ? c.queued : c.n);
                } else {
                    OS_WaitSemaphore(r->lock);
                    ringb_put(r->ringbuf_h, r->buff, c.n);
                    OS_SetSemaphore(r->lock);
                    signalArrival(r, false);
                }
                break;
            case Chunk::Again:
                break;  // when closing, the loop condition ends the task
            case Chunk::Pause:
                waitWake(r, kVanishedPauseMs);
                break;
            case Chunk::Lost:
                markLost(r);  // the device is gone: reopen it once it is back
                break;
        }
    }
    return nullptr;
}

// Releases whatever an open or a close holds; the reader task is already gone.
void releaseRecord(Record* r) {
    if (r->buff != nullptr) std::free(r->buff);
    r->buff = nullptr;
    if (r->ringbuf_h != nullptr) ringb_free(r->ringbuf_h);
    r->ringbuf_h = nullptr;
    if (r->lock != nullptr) OS_DeleteSemaphore(r->lock);
    r->lock = nullptr;
    if (r->port != kNoPort) closePort(r->port);
    r->port = kNoPort;
    delete r;  // the platform's record releases its wake-up
}

}  // namespace

UART_Handle_t UART_Open(const char* device, int buadrate) {
    return UART_OpenReceiver(device, buadrate, nullptr, nullptr);
}

UART_Handle_t UART_OpenReceiver(const char* device, int buadrate, UART_RxCallback callback,
                                void* context) {
    if (device == nullptr || device[0] == '\0') return nullptr;
    Record* r = newRecord();
    if (r == nullptr) return nullptr;
    r->rx_callback = callback;
    r->rx_context = context;
    r->path = device;
    r->speed = buadrate;
    if (!openRecord(r, device, buadrate)) {
        releaseRecord(r);
        return nullptr;
    }

    r->lock = OS_AllocSemaphore();
    // A receiver's bytes go to its callback: no ring for them.
    if (callback == nullptr) r->ringbuf_h = ringb_alloc(kRingSize);
    r->buff_size = kStagingSize;
    r->buff = static_cast<unsigned char*>(std::calloc(1, static_cast<size_t>(kStagingSize)));
    if (r->lock == nullptr || (callback == nullptr && r->ringbuf_h == nullptr) ||
        r->buff == nullptr) {
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

void UART_Close(UART_Handle_t handle) {
    Record* r = rec(handle);
    if (r == nullptr) return;
    r->active_task.store(0, std::memory_order_release);
    signalArrival(r, true);
    if (r->hTask != nullptr) {
        signalWake(r);  // ends the reader's wait at once
        OS_TaskDelete(r->hTask);
        r->hTask = nullptr;
    }
    releaseRecord(r);
}

int UART_IsHaveChar(UART_Handle_t handle) {
    Record* r = rec(handle);
    if (r == nullptr) return 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    return r->port != kNoPort && inputQueue(r->port) > 0 ? 1 : 0;
}

int UART_is_not_empty(UART_Handle_t handle) {
    Record* r = rec(handle);
    if (r == nullptr) return 0;
    if (ringDataSize(r) > 0) return 1;
    OS_MSleep(1);
    return 0;
}

int UART_readBuff(UART_Handle_t handle, unsigned char* buff, int len) {
    Record* r = rec(handle);
    if (r == nullptr) return 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    const int n = r->port != kNoPort ? readRequest(r->port, buff, len) : -1;
    return n > 0 ? n : 0;
}

int UART_readBuffTimeout(UART_Handle_t handle, unsigned char* buff, int len, int timeout) {
    Record* r = rec(handle);
    if (r == nullptr) return 0;
    const unsigned int start = OS_GetKHClock();
    int remaining = len;
    int stored = 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    while (remaining > 0) {
        const int n = r->port != kNoPort ? readRequest(r->port, buff + stored, remaining) : -1;
        if (n < 0) break;  // device failure: report what is already in buff
        remaining -= n;
        stored += n;
        if (elapsedMs(start) >= static_cast<U32>(timeout)) break;
    }
    // Every byte placed in buff is reported, also when the last request
    // brought nothing.
    return stored;
}

int UART_GetSize_buff(UART_Handle_t handle) {
    Record* r = rec(handle);
    if (r == nullptr || r->ringbuf_h == nullptr) return 0;
    return ringDataSize(r);
}

int UART_read_buff(UART_Handle_t handle, unsigned char* buff, int len) {
    Record* r = rec(handle);
    if (r == nullptr || len <= 0 || r->ringbuf_h == nullptr) return 0;
    OS_WaitSemaphore(r->lock);
    // Callers ask for no more than is buffered; a larger request must still
    // not move the read position past the data, or the ring would turn its
    // free space into phantom bytes.
    const int have = ringb_dsize(r->ringbuf_h);
    const int take = len < have ? len : have;
    ringb_get(r->ringbuf_h, buff, take);
    OS_SetSemaphore(r->lock);
    return take;
}

int UART_write_buffer_timeout(UART_Handle_t handle, unsigned char* buff, int len, int timeoutms) {
    Record* r = rec(handle);
    if (r == nullptr) return -1;
    int written = 0;
    int remaining = len;
    bool failed = false;
    const unsigned int start = OS_GetKHClock();
    while (remaining > 0) {
        int n;
        {
            std::shared_lock<std::shared_mutex> g(r->fd_lock);
            n = r->port != kNoPort ? writeRequest(r->port, buff + written, remaining) : -1;
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
    Record* r = rec(handle);
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
    Record* r = rec(handle);
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

// ---- Line settings: names ----

namespace {
const char* const kParityNames[] = {"none", "even", "odd", "mark", "space"};
const char* const kFlowNames[] = {"none", "rtscts", "xonxoff"};

int parseName(const char* name, const char* const* names, int n, int* out) {
    if (name == nullptr) return -1;
    for (int i = 0; i < n; ++i)
        if (std::strcmp(name, names[i]) == 0) {
            *out = i;
            return 0;
        }
    return -1;
}
}  // namespace

const char* UART_ParityName(int parity) {
    return parity >= 0 && parity < 5 ? kParityNames[parity] : "?";
}

const char* UART_FlowName(int flow) {
    return flow >= 0 && flow < 3 ? kFlowNames[flow] : "?";
}

int UART_ParseParity(const char* name, int* parity) {
    return parseName(name, kParityNames, 5, parity);
}

int UART_ParseFlow(const char* name, int* flow) {
    return parseName(name, kFlowNames, 3, flow);
}

void UART_LineText(const UART_Line_t* line, char* text, int len) {
    if (line == nullptr || text == nullptr || len <= 0) return;
    std::snprintf(text, static_cast<size_t>(len), "%d%c%d%s%s", line->data_bits,
                  "NEOMS?"[line->parity >= 0 && line->parity < 5 ? line->parity : 5],
                  line -> stop_bits, line -> flow != UART_kFlowNone ? " " : "",
                  line->flow != UART_kFlowNone ? UART_FlowName(line->flow) : "");
}
