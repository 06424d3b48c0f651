// Serial port driver, the Linux termios half (the shared half is uart_common.cpp).
//
// A port is opened non-blocking and for exclusive use and configured 8N1 raw
// with no flow control. Every wait is a poll(): the reader task blocks on the
// port and on a wake-up eventfd that UART_Close signals. The direct reads and
// the timed write emulate the port's fixed time-outs (100 ms between bytes and
// 1000 ms in all for one read request, 10000 ms for one write request) with
// poll() as well. A vanished device shows as a hang-up or EIO to the reader.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "uart_common.h"

namespace uart_detail {
extern const Native kNoPort = -1;
}  // namespace uart_detail

using namespace uart_detail;

namespace {

// The record with its wake-up: an eventfd that UART_Close writes once.
struct PosixRecord : Record {
    ~PosixRecord() override {
        if (wake_fd >= 0) ::close(wake_fd);
    }
    int wake_fd = -1;
};

PosixRecord* posix(Record* r) {
    return static_cast<PosixRecord*>(r);
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

// The termios frame of a line: character size, parity, stop bits, RTS/CTS.
tcflag_t frameFlags(const UART_Line_t& line) {
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t f = kSizes[line.data_bits - 5] | CLOCAL | CREAD;
    if (line.parity != UART_kParityNone) f |= PARENB;
    if (line.parity == UART_kParityOdd || line.parity == UART_kParityMark) f |= PARODD;
    if (line.parity == UART_kParityMark || line.parity == UART_kParitySpace) f |= CMSPAR;
    if (line.stop_bits == 2) f |= CSTOPB;
    if (line.flow == UART_kFlowRtsCts) f |= CRTSCTS;
    return f;
}

bool validLine(const UART_Line_t& line) {
    return line.data_bits >= 5 && line.data_bits <= 8 && line.parity >= UART_kParityNone &&
           line.parity <= UART_kParitySpace && (line.stop_bits == 1 || line.stop_bits == 2) &&
           line.flow >= UART_kFlowNone && line.flow <= UART_kFlowXonXoff;
}

// The line a port's termios describes.
UART_Line_t lineOf(const termios& t) {
    UART_Line_t line;
    const tcflag_t size = t.c_cflag & CSIZE;
    line.data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    if (t.c_cflag & PARENB) {
        const bool odd = (t.c_cflag & PARODD) != 0;
        line.parity = (t.c_cflag & CMSPAR) ? (odd ? UART_kParityMark : UART_kParitySpace)
                                           : (odd ? UART_kParityOdd : UART_kParityEven);
    }
    line.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
    if (t.c_cflag & CRTSCTS)
        line.flow = UART_kFlowRtsCts;
    else if ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF))
        line.flow = UART_kFlowXonXoff;
    return line;
}

// Names the first setting `back` does not keep from `want` in *refused.
void nameRefused(const UART_Line_t& want, const UART_Line_t& back, std::string* refused) {
    if (back.data_bits != want.data_bits)
        *refused = "data bits " + std::to_string(want.data_bits);
    else if (back.parity != want.parity)
        *refused = std::string("parity ") + UART_ParityName(want.parity);
    else if (back.stop_bits != want.stop_bits)
        *refused = "stop bits " + std::to_string(want.stop_bits);
    else
        *refused = std::string("flow control ") + UART_FlowName(want.flow);
}

// Applies `line` (8N1 without flow control for the window), raw, at `baud`
// and reads the settings back: a device that silently keeps another rate or
// frame is refused too, *refused (when given) naming the setting it changed.
bool configureLine(int fd, int baud, const UART_Line_t& line = UART_Line_t{},
                   std::string* refused = nullptr) {
    const speed_t speed = baudConstant(baud);
    if (speed == B0 || !validLine(line)) return false;

    termios t;
    std::memset(&t, 0, sizeof t);  // built from nothing, the old state is not kept
    cfmakeraw(&t);                 // no input or output processing, no XON/XOFF, no echo
    t.c_cflag = frameFlags(line);  // 8N1: CS8 | CLOCAL | CREAD, no CRTSCTS
    if (line.flow == UART_kFlowXonXoff) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetspeed(&t, speed) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;

    termios back;
    if (tcgetattr(fd, &back) != 0) return false;
    const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    const tcflag_t soft = IXON | IXOFF | IXANY;
    if ((back.c_cflag & frame) != (t.c_cflag & frame) ||
        (back.c_iflag & soft) != (t.c_iflag & soft)) {
        if (refused) nameRefused(line, lineOf(back), refused);
        return false;
    }
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

}  // namespace

namespace uart_detail {

Record* newRecord() {
    return new (std::nothrow) PosixRecord{};
}

void closePort(Native fd) {
    ioctl(fd, TIOCNXCL);  // the tty may outlive this descriptor (a pty's slave)
    ::close(fd);
}

// Exclusive, the line settings at `baud`, modem lines inactive, both queues
// cleared. -1 with nothing left open.
Native openPort(const char* device, int baud) {
    const int fd = openExclusive(device);
    if (fd < 0) return -1;
    if (!configureLine(fd, baud) || !clearModemLines(fd) || tcflush(fd, TCIOFLUSH) != 0) {
        closePort(fd);
        return -1;
    }
    return fd;
}

bool openRecord(Record* r, const char* device, int baud) {
    r->port = openPort(device, baud);
    if (r->port < 0) return false;
    posix(r)->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return posix(r)->wake_fd >= 0;
}

int inputQueue(Native fd) {
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

bool waitWake(Record* r, int ms) {
    pollfd p{posix(r)->wake_fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

void signalWake(Record* r) {
    const uint64_t one = 1;
    ssize_t w;
    do {
        w = ::write(posix(r)->wake_fd, &one, sizeof one);
    } while (w < 0 && errno == EINTR);
}

Chunk readChunk(Record* r, int size, bool want_queued) {
    Chunk c;
    pollfd p[2] = {{r->port, POLLIN, 0}, {posix(r)->wake_fd, POLLIN, 0}};
    const int ready = ::poll(p, 2, -1);
    if (ready < 0) {
        if (errno != EINTR) c.next = Chunk::Pause;
        return c;
    }
    if (p[1].revents != 0) return c;  // closing
    if (p[0].revents == 0) return c;

    // The queue's length just before the read: how long its bytes waited.
    if (want_queued) c.queued = inputQueue(r->port);
    const ssize_t n = ::read(r->port, r->buff, static_cast<size_t>(size));
    if (n > 0) {
        c.next = Chunk::Bytes;
        c.n = static_cast<int>(n);
        return c;
    }
    const int err = n < 0 ? errno : 0;
    const bool hung_up = (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (!hung_up && n < 0 && (err == EINTR || err == EAGAIN)) {
        return c;  // a direct read took the bytes first
    }
    if (hung_up || err == EIO || err == ENXIO || err == ENODEV || err == EBADF) {
        c.next = Chunk::Lost;
        return c;
    }
    // Readable, yet nothing to read and no failure: do not spin on it.
    c.next = Chunk::Pause;
    return c;
}

}  // namespace uart_detail

UART_Port_t UART_OpenPort(const char* device, int baud) {
    if (device == nullptr || device[0] == '\0') return UART_kNoPort;
    const int fd = uart_detail::openPort(device, baud);
    return fd < 0 ? UART_kNoPort : static_cast<UART_Port_t>(fd);
}

UART_Port_t UART_OpenPortLine(const char* device, int baud, const UART_Line_t* line, char* refused,
                              int len) {
    if (refused != nullptr && len > 0) refused[0] = '\0';
    if (device == nullptr || device[0] == '\0' || line == nullptr) return UART_kNoPort;
    const int fd = openExclusive(device);
    if (fd < 0) return UART_kNoPort;
    std::string which;
    if (!configureLine(fd, baud, *line, &which) || !clearModemLines(fd) ||
        tcflush(fd, TCIOFLUSH) != 0) {
        if (refused != nullptr && len > 0 && !which.empty())
            std::snprintf(refused, static_cast<size_t>(len), "%s", which.c_str());
        uart_detail::closePort(fd);
        return UART_kNoPort;
    }
    return static_cast<UART_Port_t>(fd);
}

int UART_GetLine(UART_Port_t port, int* baud, UART_Line_t* line) {
    termios t;
    if (port == UART_kNoPort || tcgetattr(static_cast<int>(port), &t) != 0) return -1;
    if (line) *line = lineOf(t);
    if (baud) {
        *baud = 0;
        for (const BaudRate& r : kBaudRates)
            if (r.constant == cfgetospeed(&t)) *baud = r.baud;
    }
    return 0;
}

void UART_ClosePort(UART_Port_t port, int closed) {
    if (port == UART_kNoPort || closed) return;  // the flock and TIOCEXCL go with the descriptor
    uart_detail::closePort(static_cast<int>(port));
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
    if (baudConstant(baud) == B0)
        return say("baud rate " + std::to_string(baud) + " is not a standard rate");
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
    if (tcgetattr(fd, &probe) != 0)
        text = "not a serial port";
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        text = "in use by another program";
    else
        text = "the port refused the line settings (" + std::to_string(baud) + " baud 8N1)";
    ::close(fd);
    say(text);
}
