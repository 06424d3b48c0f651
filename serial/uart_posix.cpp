// Serial port driver on Linux termios.
//
// A port is opened non-blocking and for exclusive use, configured 8N1 raw with
// no flow control, and drained by one reader task into a 1 MiB ring buffer.
// Every wait is a poll(): the reader blocks on the port and on a wake-up
// eventfd that UART_Close signals, so an idle port costs no CPU and a close
// returns at once. The direct reads and the timed write emulate the port's
// fixed time-outs (100 ms between bytes and 1000 ms in all for one read
// request, 10000 ms for one write request) with poll() as well.
//
// A device that vanishes (a USB adapter unplugged, a pty whose master closed)
// shows as a hang-up or EIO to the reader task. The task then closes the dead
// descriptor and tries to open the same path again every kReopenPauseMs, with
// the same line settings and the same exclusive lock; meanwhile reads and
// writes fail at once. UART_Outages tells callers about the loss and the return.
#include "uart.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <shared_mutex>
#include <string>

#include "oslite.h"
#include "ringbuf.h"

namespace {

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

struct uartHandle_t {
    char* dev;
    int32_t speed;
    OS_Semaphore_t lock;  // guards the ring's contents and positions
    OS_Semaphore_t signal;
    OS_Task_t get_buff_task;
    ringb_h ringbuf_h;
    int32_t buff_size;
    unsigned char* buff;           // staging buffer of the reader task
    OS_Task_t hTask;               // the reader task
    // The open port; -1 while the device is gone. Only the reader task changes
    // it, holding fd_lock exclusively; every other user holds fd_lock shared
    // while it uses the descriptor, so a descriptor is never closed under it.
    int fd;
    std::shared_mutex fd_lock;
    std::string path;  // what the device was opened as; reopened after a loss
    // Outages of the device, guarded by outage_lock.
    std::mutex outage_lock;
    bool lost = false;
    unsigned int lost_since = 0;  // OS_GetKHClock at the loss
    uint64_t outages = 0, longest_ms = 0, total_ms = 0;
    std::atomic<int> active_task;  // reader runs while non-zero
    int wake_fd;                   // eventfd: UART_Close wakes the reader through it
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

// Milliseconds since `start` on the driver's clock, unsigned 32-bit difference.
U32 elapsedMs(unsigned int start) {
    return static_cast<U32>(OS_GetKHClock() - start);
}

// The standard termios rates; any other is refused.
struct BaudRate {
    int baud;
    speed_t constant;
};
constexpr BaudRate kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000}};

speed_t baudConstant(int baud) {
    for (const BaudRate& r : kBaudRates)
        if (r.baud == baud) return r.constant;
    return B0;  // no such rate
}

// Applies 8N1, raw, no flow control at `baud` and reads the settings back:
// a device that silently keeps another rate or frame is refused too.
bool configureLine(int fd, int baud) {
    const speed_t speed = baudConstant(baud);
    if (speed == B0) return false;

    termios t;
    std::memset(&t, 0, sizeof t);      // built from nothing, the old state is not kept
    cfmakeraw(&t);                     // no input or output processing, no XON/XOFF, no echo
    t.c_cflag = CS8 | CLOCAL | CREAD;  // no parity, one stop bit, no CRTSCTS
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetspeed(&t, speed) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;

    termios back;
    if (tcgetattr(fd, &back) != 0) return false;
    const tcflag_t frame = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    if ((back.c_cflag & frame) != (t.c_cflag & frame)) return false;
    if ((back.c_iflag & (IXON | IXOFF | IXANY)) != 0) return false;
    if ((back.c_lflag & (ICANON | ECHO | ISIG)) != 0) return false;
    if (cfgetispeed(&back) != speed || cfgetospeed(&back) != speed) return false;
    return true;
}

// DTR and RTS held inactive. A pseudo-terminal has no modem lines and refuses
// the request: only that refusal is let through.
bool clearModemLines(int fd) {
    int bits = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &bits) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

std::string devicePath(const char* device) {
    if (std::strchr(device, '/') != nullptr) return device;
    return std::string("/dev/") + device;
}

// Opens the device for exclusive use; -1 on failure with nothing left open.
int openExclusive(const char* device) {
    const std::string path = devicePath(device);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    termios probe;
    if (tcgetattr(fd, &probe) != 0 ||         // not a terminal
        flock(fd, LOCK_EX | LOCK_NB) != 0 ||  // another holder, root included
        ioctl(fd, TIOCEXCL) != 0) {           // no further opens of the tty
        ::close(fd);
        return -1;
    }
    return fd;
}

void closePort(int fd) {
    ioctl(fd, TIOCNXCL);  // the tty may outlive this descriptor (a pty's slave)
    ::close(fd);
}

// Opens and sets up the port as UART_Open does: exclusive, the line settings at
// `baud`, modem lines inactive, both queues cleared. -1 with nothing left open.
int openPort(const char* device, int baud) {
    const int fd = openExclusive(device);
    if (fd < 0) return -1;
    if (!configureLine(fd, baud) || !clearModemLines(fd) || tcflush(fd, TCIOFLUSH) != 0) {
        closePort(fd);
        return -1;
    }
    return fd;
}

// Waits up to `ms` for the wake-up descriptor; true when it was signalled.
bool waitWake(int wake_fd, int ms) {
    pollfd p{wake_fd, POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    return r > 0;
}

// Number of bytes in the port's input queue (0 when empty or unknown).
int IsHaveChar(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) {
        OS_MSleep(0);
        return 0;
    }
    return n > 0 ? n : 0;
}

// One read request of up to `len` bytes: returns once `len` bytes came, once
// kReadIntervalMs passed without a byte after the first one, or kReadTotalMs
// after it began. The count read (0 when nothing came), or -1 when the device
// failed before any byte arrived.
int readRequest(int fd, unsigned char* buff, int len) {
    if (len <= 0) return 0;
    const unsigned int start = OS_GetKHClock();
    unsigned int last = start;
    int got = 0;
    while (got < len) {
        int wait = kReadTotalMs - static_cast<int>(elapsedMs(start));
        if (got > 0) {
            int gap = kReadIntervalMs - static_cast<int>(elapsedMs(last));
            if (gap < wait) wait = gap;
        }
        if (wait <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return got > 0 ? got : -1;
        }
        if (r == 0) break;
        ssize_t n = ::read(fd, buff + got, static_cast<size_t>(len - got));
        if (n > 0) {
            got += static_cast<int>(n);
            last = OS_GetKHClock();
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            // Another reader took the bytes first; a hung-up device keeps
            // reporting readiness, so do not spin on it.
            if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
        }
        // End of file (hang-up) or a device error.
        return got > 0 ? got : -1;
    }
    return got;
}

// One write request: writes all `len` bytes or gives up kWriteTotalMs after it
// began. The count written, or -1 when the device failed before any byte.
int writeRequest(int fd, const unsigned char* buff, int len) {
    const unsigned int start = OS_GetKHClock();
    int done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, buff + done, static_cast<size_t>(len - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return done > 0 ? done : -1;
        int wait = kWriteTotalMs - static_cast<int>(elapsedMs(start));
        if (wait <= 0) break;
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0 && errno != EINTR) return done > 0 ? done : -1;
        if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return done > 0 ? done : -1;
    }
    return done;
}

int ringDataSize(uartHandle_t* r) {
    if (r->ringbuf_h == nullptr) return 0;  // a receiver's port has no ring
    OS_WaitSemaphore(r->lock);
    int n = ringb_dsize(r->ringbuf_h);
    OS_SetSemaphore(r->lock);
    return n;
}

// The device is gone: the dead descriptor is closed (once no caller uses it)
// and the outage begins.
void markLost(uartHandle_t* r) {
    {
        std::unique_lock<std::shared_mutex> g(r->fd_lock);
        closePort(r->fd);
        r->fd = -1;
    }
    std::lock_guard<std::mutex> g(r->outage_lock);
    r->lost = true;
    r->lost_since = OS_GetKHClock();
    ++r->outages;
}

// The device is back under its path as fd: the outage ends.
void markBack(uartHandle_t* r, int fd) {
    {
        std::unique_lock<std::shared_mutex> g(r->fd_lock);
        r->fd = fd;
    }
    std::lock_guard<std::mutex> g(r->outage_lock);
    const uint64_t ms = elapsedMs(r->lost_since);
    r->lost = false;
    r->total_ms += ms;
    if (ms > r->longest_ms) r->longest_ms = ms;
}

// Reader task: moves every byte that arrives on the port into the ring, as
// soon as it arrives. While the ring is full the bytes stay in the port's own
// input queue. A device that hangs up or fails is closed and opened again
// under its path, with a pause between attempts, until it is back or the port
// is closed. The task is the only one that changes r->fd, so it reads it
// without the lock.
void* CyclicGetData(void* cycBuff) {
    uartHandle_t* r = rec(cycBuff);
    while (r->active_task.load(std::memory_order_acquire) != 0) {
        if (r->fd < 0) {
            if (waitWake(r->wake_fd, kReopenPauseMs)) continue;  // closing
            const int fd = openPort(r->path.c_str(), r->speed);
            if (fd >= 0) markBack(r, fd);
            continue;
        }
        int room = r->buff_size;  // a receiver's callback takes every chunk
        if (r->rx_callback == nullptr) {
            OS_WaitSemaphore(r->lock);
            room = ringb_freespace(r->ringbuf_h);
            OS_SetSemaphore(r->lock);
        }
        if (room <= 0) {
            waitWake(r->wake_fd, kRingFullWaitMs);
            continue;
        }
        const int size = room < r->buff_size ? room : r->buff_size;

        pollfd p[2] = {{r->fd, POLLIN, 0}, {r->wake_fd, POLLIN, 0}};
        int ready = ::poll(p, 2, -1);
        if (ready < 0) {
            if (errno != EINTR) waitWake(r->wake_fd, kVanishedPauseMs);
            continue;
        }
        if (p[1].revents != 0) continue;  // closing: the loop condition ends the task
        if (p[0].revents == 0) continue;

        // The queue's length just before the read: how long its bytes waited.
        const int queued = r->rx_callback != nullptr ? IsHaveChar(r->fd) : 0;
        ssize_t n = ::read(r->fd, r->buff, static_cast<size_t>(size));
        if (n > 0 && r->rx_callback != nullptr) {
            // Delivered before anything else is looked at: a hang-up reported
            // with these bytes is handled on the next round, once they are out.
            r->rx_callback(r->rx_context, r->buff, static_cast<int>(n),
                           queued > n ? queued : static_cast<int>(n));
            continue;
        }
        if (n > 0) {
            OS_WaitSemaphore(r->lock);
            ringb_put(r->ringbuf_h, r->buff, static_cast<int>(n));
            OS_SetSemaphore(r->lock);
            signalArrival(r, false);
            continue;
        }
        const int err = n < 0 ? errno : 0;
        const bool hung_up = (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (!hung_up && n < 0 && (err == EINTR || err == EAGAIN)) {
            continue;  // a direct read took the bytes first
        }
        if (hung_up || err == EIO || err == ENXIO || err == ENODEV || err == EBADF) {
            markLost(r);  // the device is gone: reopen it once it is back
            continue;
        }
        // Readable, yet nothing to read and no failure: do not spin on it.
        waitWake(r->wake_fd, kVanishedPauseMs);
    }
    return nullptr;
}

// Releases whatever an open or a close holds; the reader task is already gone.
void releaseRecord(uartHandle_t* r) {
    if (r->buff != nullptr) std::free(r->buff);
    r->buff = nullptr;
    if (r->ringbuf_h != nullptr) ringb_free(r->ringbuf_h);
    if (r->lock != nullptr) OS_DeleteSemaphore(r->lock);
    r->lock = nullptr;
    if (r->wake_fd >= 0) ::close(r->wake_fd);
    r->wake_fd = -1;
    if (r->fd >= 0) closePort(r->fd);
    r->fd = -1;
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
    r->fd = -1;
    r->wake_fd = -1;

    r->path = device;
    r->speed = buadrate;
    r->fd = openPort(device, buadrate);
    if (r->fd < 0) {
        releaseRecord(r);
        return nullptr;
    }

    r->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    r->lock = OS_AllocSemaphore();
    // A receiver's bytes go to its callback: no ring for them.
    if (callback == nullptr) r->ringbuf_h = ringb_alloc(kRingSize);
    r->buff_size = kStagingSize;
    r->buff = static_cast<unsigned char*>(std::calloc(1, static_cast<size_t>(kStagingSize)));
    if (r->wake_fd < 0 || r->lock == nullptr || (callback == nullptr && r->ringbuf_h == nullptr) ||
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

UART_Port_t UART_OpenPort(const char* device, int baud) {
    if (device == nullptr || device[0] == '\0') return UART_kNoPort;
    const int fd = openPort(device, baud);
    return fd < 0 ? UART_kNoPort : static_cast<UART_Port_t>(fd);
}

void UART_ClosePort(UART_Port_t port, int closed) {
    if (port == UART_kNoPort || closed) return;  // the flock and TIOCEXCL go with the descriptor
    closePort(static_cast<int>(port));
}

void UART_Close(UART_Handle_t handle) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return;
    r->active_task.store(0, std::memory_order_release);
    signalArrival(r, true);
    if (r->hTask != nullptr) {
        const uint64_t one = 1;
        ssize_t w;
        do {
            w = ::write(r->wake_fd, &one, sizeof one);
        } while (w < 0 && errno == EINTR);
        OS_TaskDelete(r->hTask);
        r->hTask = nullptr;
    }
    releaseRecord(r);
}

int UART_IsHaveChar(UART_Handle_t handle) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr) return 0;
    std::shared_lock<std::shared_mutex> g(r->fd_lock);
    return r->fd >= 0 && IsHaveChar(r->fd) > 0 ? 1 : 0;
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
    int n = r->fd >= 0 ? readRequest(r->fd, buff, len) : -1;
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
        int n = r->fd >= 0 ? readRequest(r->fd, buff + stored, remaining) : -1;
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
    uartHandle_t* r = rec(handle);
    if (r == nullptr || r->ringbuf_h == nullptr) return 0;
    return ringDataSize(r);
}

int UART_read_buff(UART_Handle_t handle, unsigned char* buff, int len) {
    uartHandle_t* r = rec(handle);
    if (r == nullptr || len <= 0 || r->ringbuf_h == nullptr) return 0;
    OS_WaitSemaphore(r->lock);
    // Callers ask for no more than is buffered; a larger request must still
    // not move the read position past the data, or the ring would turn its
    // free space into phantom bytes.
    int have = ringb_dsize(r->ringbuf_h);
    int take = len < have ? len : have;
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
            n = r->fd >= 0 ? writeRequest(r->fd, buff + written, remaining) : -1;
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
        if (!r->arrival.wait_until(g, deadline, [&] { return r->arrivals != seen; }))
            return have;
    }
}

void UART_Explain(const char* device, int baud, char* why, int len) {
    if (why == nullptr || len <= 0) return;
    // A bare name is opened under /dev: say which file that was.
    const std::string where =
        device != nullptr && device[0] != '\0' && std::strchr(device, '/') == nullptr
            ? devicePath(device) + ": "
            : "";
    auto say = [&](const std::string& text) {
        std::snprintf(why, static_cast<size_t>(len), "%s%s", where.c_str(), text.c_str());
    };
    if (device == nullptr || device[0] == '\0') return say("no port named");
    if (baudConstant(baud) == B0) return say("baud rate " + std::to_string(baud) + " is not a standard rate");
    const std::string path = devicePath(device);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES)
            return say("permission denied (on Debian, add the user to the dialout group)");
        if (errno == EBUSY) return say("in use by another program");
        return say(std::strerror(errno));
    }
    termios probe;
    std::string text;
    if (tcgetattr(fd, &probe) != 0) text = "not a serial port";
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0) text = "in use by another program";
    else text = "the port refused the line settings (" + std::to_string(baud) + " baud 8N1)";
    ::close(fd);
    say(text);
}
