// Serial port driver: exclusive open with fixed line settings (8N1, raw, no
// flow control, DTR/RTS inactive), a reader task that drains the port into a
// 1 MiB ring buffer, reads from the port or the ring, and timed writes.
#pragma once

typedef void* UART_Handle_t;

UART_Handle_t UART_Open(const char* device, int buadrate);
// Opens like UART_Open, but the reader task hands every chunk it reads to
// callback(context, bytes, count) at once, on its own thread, instead of
// storing it in the ring: the receiver needs no thread and no wake-up of its
// own. The callback must not block; it is never called after UART_Close returns.
typedef void (*UART_RxCallback)(void* context, const unsigned char* bytes, int count);
UART_Handle_t UART_OpenReceiver(const char* device, int buadrate, UART_RxCallback callback,
                                void* context);
void UART_Close(UART_Handle_t handle);
int UART_IsHaveChar(UART_Handle_t handle);
int UART_is_not_empty(UART_Handle_t handle);
int UART_readBuff(UART_Handle_t handle, unsigned char* buff, int len);
int UART_readBuffTimeout(UART_Handle_t handle, unsigned char* buff, int len, int timeout);
int UART_GetSize_buff(UART_Handle_t handle);
int UART_read_buff(UART_Handle_t handle, unsigned char* buff, int len);
int UART_write_buffer_timeout(UART_Handle_t handle, unsigned char* buff, int len, int timeoutms);
// Waits until at least min_bytes wait in the receive ring, at most timeout_ms;
// wakes as soon as the reader task stores bytes. The number of bytes waiting.
int UART_WaitData(UART_Handle_t handle, int min_bytes, int timeout_ms);
// Why UART_Open(device, baud) fails, in a few words for a person ("no such
// device", "permission denied ...", "in use by another program", ...).
void UART_Explain(const char* device, int baud, char* why, int len);
