// Serial port driver: exclusive open with fixed line settings (8N1, raw, no
// flow control, DTR/RTS inactive), a reader task that drains the port into a
// 1 MiB ring buffer, reads from the port or the ring, and timed writes.
#pragma once

#include <stdint.h>

typedef void* UART_Handle_t;

UART_Handle_t UART_Open(const char* device, int buadrate);
// Opens like UART_Open, but the reader task hands every chunk it reads to
// callback(context, bytes, count, queued) at once, on its own thread, instead
// of storing it in the ring: the receiver needs no thread and no wake-up of
// its own, and no ring is allocated. `queued` is how many bytes waited in the
// port's input queue just before the read (count when unknown, never less):
// with the line rate it tells how long the bytes had waited. Every byte read
// reaches the callback, also those read just before the device failed. The
// callback must not block; it is never called after UART_Close returns.
typedef void (*UART_RxCallback)(void* context, const unsigned char* bytes, int count, int queued);
UART_Handle_t UART_OpenReceiver(const char* device, int buadrate, UART_RxCallback callback,
                                void* context);
void UART_Close(UART_Handle_t handle);
// The port opened and set up as UART_Open does (exclusive, the line settings,
// modem lines inactive, both queues cleared) without a reader task or a ring,
// for a caller that serves it itself (the runner's event loop): a
// non-blocking descriptor on POSIX, a HANDLE opened for overlapped I/O on
// Windows, as an integer. UART_kNoPort when it cannot be opened
// (UART_Explain tells why).
typedef intptr_t UART_Port_t;
#define UART_kNoPort ((UART_Port_t)-1)
UART_Port_t UART_OpenPort(const char* device, int baud);
// Ends what UART_OpenPort began: releases the exclusive hold and closes the
// port, unless `closed` says its owner (an object that took the handle)
// closed it already.
void UART_ClosePort(UART_Port_t port, int closed);
int UART_IsHaveChar(UART_Handle_t handle);
int UART_is_not_empty(UART_Handle_t handle);
int UART_readBuff(UART_Handle_t handle, unsigned char* buff, int len);
int UART_readBuffTimeout(UART_Handle_t handle, unsigned char* buff, int len, int timeout);
int UART_GetSize_buff(UART_Handle_t handle);
int UART_read_buff(UART_Handle_t handle, unsigned char* buff, int len);
// Writes len bytes, retrying for timeoutms at most: len when all went out;
// fewer when time ran out first (a short write); -1 when the device refused a
// write or is gone, and for a null handle. Callers treat anything but len as a
// packet not sent.
int UART_write_buffer_timeout(UART_Handle_t handle, unsigned char* buff, int len, int timeoutms);
// A port whose device vanishes (hang-up, EIO) stays open: the driver closes the
// dead descriptor and opens the same path again, with the same settings, once
// it is back; reads and writes fail at once in between. This tells whether the
// device is gone now (*lost_now 1), how many outages the handle has seen, and
// the longest and total length of them in milliseconds, the one going on
// included. Null pointers are skipped. 0, or -1 for a null handle.
int UART_Outages(UART_Handle_t handle, int* lost_now, uint64_t* outages, uint64_t* longest_ms,
                 uint64_t* total_ms);
// Waits until at least min_bytes wait in the receive ring, at most timeout_ms;
// wakes as soon as the reader task stores bytes. The number of bytes waiting.
int UART_WaitData(UART_Handle_t handle, int min_bytes, int timeout_ms);
// Why UART_Open(device, baud) fails, in a few words for a person ("no such
// device", "permission denied ...", "in use by another program", ...).
void UART_Explain(const char* device, int baud, char* why, int len);

// ---- Line settings (the runner; the window's ports stay 8N1) ----
// Parity as termios and the DCB know it; flow control on the line.
enum { UART_kParityNone, UART_kParityEven, UART_kParityOdd, UART_kParityMark, UART_kParitySpace };
enum { UART_kFlowNone, UART_kFlowRtsCts, UART_kFlowXonXoff };
typedef struct UART_Line {
    int data_bits = 8;  // 5..8
    int parity = UART_kParityNone;
    int stop_bits = 1;  // 1 or 2
    int flow = UART_kFlowNone;
} UART_Line_t;
// "none", "even", "odd", "mark", "space"; "none", "rtscts", "xonxoff".
const char* UART_ParityName(int parity);
const char* UART_FlowName(int flow);
// Reads a name back; 0, or -1 when it is none of them.
int UART_ParseParity(const char* name, int* parity);
int UART_ParseFlow(const char* name, int* flow);
// The short form of a line: "8N1", "7E1", "8N2 rtscts".
void UART_LineText(const UART_Line_t* line, char* text, int len);
// Opens like UART_OpenPort with `line` instead of 8N1 without flow control,
// reading every setting back. UART_kNoPort when it cannot be opened; when the
// port took everything but a setting, `refused` (when given) names the first
// it did not keep, as "data bits 7", "parity mark", "stop bits 2" or
// "flow control rtscts" (else it is left empty: UART_Explain tells why).
UART_Port_t UART_OpenPortLine(const char* device, int baud, const UART_Line_t* line, char* refused,
                              int len);
// The settings an open port has now: 0, or -1.
int UART_GetLine(UART_Port_t port, int* baud, UART_Line_t* line);
