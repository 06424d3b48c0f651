// Serial port driver, the Win32 communications API half (the shared half is
// uart_common.cpp).
//
// A port is opened for exclusive use (no sharing) and for overlapped I/O,
// configured 8N1 binary with no flow control and DTR/RTS disabled. The reader
// task never spins: it waits for the first byte with an overlapped one-byte
// ReadFile, together with a stop event that UART_Close sets, then takes what
// else the input queue holds (ClearCommError's count) at once. So an idle port
// costs no CPU, bytes reach the ring as they arrive, and a close cancels the
// read at once instead of waiting out a time-out. (A larger overlapped read
// would do for Windows, which completes it with what has come; wine holds it
// until it is full.) The direct reads and the timed write keep the port's
// fixed time-outs (100 ms between bytes and 1000 ms in all for one read
// request, 10000 ms for one write request) by timing their overlapped
// requests themselves.
//
// Exclusive use: the port is opened without sharing, and a named object per
// port name refuses a second open from any program of this session as well
// (wine lets a device be opened twice). A device that vanishes (a USB adapter
// unplugged) fails the reader's request.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "uart_common.h"

namespace uart_detail {
extern const Native kNoPort = INVALID_HANDLE_VALUE;
}  // namespace uart_detail

using namespace uart_detail;

namespace {

// The record with its stop event and its claim on the port's name.
struct Win32Record : Record {
    ~Win32Record() override {
        if (stop != nullptr) CloseHandle(stop);
        if (claim != nullptr) CloseHandle(claim);
    }
    HANDLE stop = nullptr;   // manual-reset event: UART_Close wakes the reader through it
    HANDLE claim = nullptr;  // marks the port as in use, for the record's life
};

Win32Record* win32(Record* r) {
    return static_cast<Win32Record*>(r);
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

BYTE dcbParity(int parity) {
    static const BYTE kParity[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
    return kParity[parity];
}

// The line a DCB describes.
UART_Line_t lineOf(const DCB& d) {
    UART_Line_t line;
    line.data_bits = d.ByteSize;
    for (int p = UART_kParityNone; p <= UART_kParitySpace; ++p)
        if (dcbParity(p) == d.Parity) line.parity = p;
    line.stop_bits = d.StopBits == TWOSTOPBITS ? 2 : 1;
    if (d.fOutxCtsFlow && d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        line.flow = UART_kFlowRtsCts;
    else if (d.fOutX && d.fInX)
        line.flow = UART_kFlowXonXoff;
    return line;
}

bool validLine(const UART_Line_t& line) {
    return line.data_bits >= 5 && line.data_bits <= 8 && line.parity >= UART_kParityNone &&
           line.parity <= UART_kParitySpace && (line.stop_bits == 1 || line.stop_bits == 2) &&
           line.flow >= UART_kFlowNone && line.flow <= UART_kFlowXonXoff;
}

// The line settings built from nothing: `line` (8N1 without flow control for
// the window), binary, DTR disabled, RTS disabled unless it carries the
// handshake, no special characters but XON/XOFF when asked. Read back, so a
// device that keeps another rate or frame is refused, *refused (when given)
// naming the setting it changed.
bool configureLine(HANDLE h, int baud, const UART_Line_t& line = UART_Line_t{},
                   std::string* refused = nullptr) {
    if (!standardRate(baud) || !validLine(line)) return false;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = static_cast<BYTE>(line.data_bits);
    dcb.fBinary = 1;
    dcb.Parity = dcbParity(line.parity);
    dcb.fParity = line.parity != UART_kParityNone;
    dcb.StopBits = line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (line.flow == UART_kFlowRtsCts) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (line.flow == UART_kFlowXonXoff) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
    }
    if (!SetCommState(h, &dcb)) return false;
    DCB back;
    std::memset(&back, 0, sizeof back);
    back.DCBlength = sizeof back;
    if (!GetCommState(h, &back)) return false;
    const UART_Line_t got = lineOf(back);
    if (got.data_bits != line.data_bits || got.parity != line.parity ||
        got.stop_bits != line.stop_bits || got.flow != line.flow) {
        if (refused) {
            if (got.data_bits != line.data_bits)
                *refused = "data bits " + std::to_string(line.data_bits);
            else if (got.parity != line.parity)
                *refused = std::string("parity ") + UART_ParityName(line.parity);
            else if (got.stop_bits != line.stop_bits)
                *refused = "stop bits " + std::to_string(line.stop_bits);
            else
                *refused = std::string("flow control ") + UART_FlowName(line.flow);
        }
        return false;
    }
    return back.BaudRate == dcb.BaudRate;
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
HANDLE openDevice(const char* device, int baud, const UART_Line_t& line = UART_Line_t{},
                  std::string* refused = nullptr) {
    const std::string path = devicePath(device);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    if (!configureLine(h, baud, line, refused) || !setTimeouts(h) ||
        !PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        const DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    return h;
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

}  // namespace

namespace uart_detail {

Record* newRecord() {
    return new (std::nothrow) Win32Record{};
}

Native openPort(const char* device, int baud) {
    return openDevice(device, baud);
}

void closePort(Native h) {
    CloseHandle(h);
}

bool openRecord(Record* r, const char* device, int baud) {
    win32(r)->claim = claimPort(device);
    if (win32(r)->claim == nullptr) return false;
    r->port = openDevice(device, baud);
    if (r->port == INVALID_HANDLE_VALUE) return false;
    win32(r)->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return win32(r)->stop != nullptr;
}

// Clears any pending line error as well.
int inputQueue(Native h) {
    DWORD errors = 0;
    COMSTAT st;
    if (!ClearCommError(h, &errors, &st)) {
        OS_MSleep(0);
        return 0;
    }
    return static_cast<int>(st.cbInQue);
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

bool waitWake(Record* r, int ms) {
    return WaitForSingleObject(win32(r)->stop, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

void signalWake(Record* r) {
    SetEvent(win32(r)->stop);  // cancels the reader's pending read
}

Chunk readChunk(Record* r, int size, bool /*want_queued: always counted here*/) {
    Chunk c;
    const unsigned int began = OS_GetKHClock();
    bool stopped = false;
    c.n = readSome(r->port, r->buff, size, INFINITE, win32(r)->stop, &stopped, &c.queued);
    if (c.n > 0) {
        c.next = Chunk::Bytes;
        return c;
    }
    if (stopped) return c;  // closing
    if (c.n < 0) {
        c.next = Chunk::Lost;
        return c;
    }
    // Nothing came. After the port's own wait for a first byte that is an
    // idle line; a read that gives nothing at once is not repeated in a spin.
    if (static_cast<int>(elapsedMs(began)) < kReadTotalMs / 2) c.next = Chunk::Pause;
    return c;
}

}  // namespace uart_detail

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

namespace {
// The claim of each port opened by UART_OpenPort, by its handle.
std::mutex port_claims_lock;
std::map<UART_Port_t, HANDLE> port_claims;
}  // namespace

UART_Port_t UART_OpenPort(const char* device, int baud) {
    if (device == nullptr || device[0] == '\0') return UART_kNoPort;
    const HANDLE claim = claimPort(device);
    if (claim == nullptr) return UART_kNoPort;
    const HANDLE h = openDevice(device, baud);
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

UART_Port_t UART_OpenPortLine(const char* device, int baud, const UART_Line_t* line, char* refused,
                              int len) {
    if (refused != nullptr && len > 0) refused[0] = '\0';
    if (device == nullptr || device[0] == '\0' || line == nullptr) return UART_kNoPort;
    const HANDLE claim = claimPort(device);
    if (claim == nullptr) return UART_kNoPort;
    std::string which;
    const HANDLE h = openDevice(device, baud, *line, &which);
    if (h == INVALID_HANDLE_VALUE) {
        CloseHandle(claim);
        if (refused != nullptr && len > 0 && !which.empty())
            std::snprintf(refused, static_cast<size_t>(len), "%s", which.c_str());
        return UART_kNoPort;
    }
    const UART_Port_t port = reinterpret_cast<UART_Port_t>(h);
    std::lock_guard<std::mutex> g(port_claims_lock);
    port_claims[port] = claim;
    return port;
}

int UART_GetLine(UART_Port_t port, int* baud, UART_Line_t* line) {
    if (port == UART_kNoPort) return -1;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(reinterpret_cast<HANDLE>(port), &dcb)) return -1;
    if (line) *line = lineOf(dcb);
    if (baud) *baud = static_cast<int>(dcb.BaudRate);
    return 0;
}
