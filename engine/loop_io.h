// (Not io.h: Windows has a system header of that name.)
// What the runner's loop does differently per platform: datagrams in batches
// with kernel arrival stamps (Linux: recvmmsg, sendmmsg, SO_TIMESTAMPNS;
// Windows: one overlapped receive at a time, the read is the arrival), and a
// serial port served by the loop (Linux: the port's descriptor, read when
// readable, with the input queue's length just before the read; Windows: an
// overlapped HANDLE under an asio::serial_port).
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uart.h"

namespace engine {

// Datagrams waiting together are taken in one call, at most this many.
constexpr int kDatagramBatch = 32;

struct Outgoing {
    const uint8_t* p;
    size_t n;
};
// Sends n datagrams to `to` together; how many went (the first ones).
int sendDatagrams(asio::ip::udp::socket& s, const asio::ip::udp::endpoint& to, const Outgoing* d,
                  int n);

// One datagram: bytes, when it arrived (kernel stamp, or the read) and when it was read.
using OnDatagram = std::function<void(const uint8_t* p, size_t n, int64_t arrival, int64_t read)>;
// Receives on s until it closes: every datagram waiting, then waits again.
// `keep` is held by every pending handler.
void receiveDatagrams(asio::ip::udp::socket& s, std::shared_ptr<void> keep, OnDatagram on);
// The same, after a wait for the socket to be readable when `wait`.
void receiveDatagrams(asio::ip::udp::socket& s, std::shared_ptr<void> keep, OnDatagram on,
                      bool wait);
// Asks the kernel to stamp arrivals, where it can.
void enableStamps(asio::ip::udp::socket& s);

// A serial port served by the loop, opened through the serial driver
// (exclusive, raw, the line settings asked for: 8N1 without flow control
// unless told, modem lines inactive).
class SerialPort {
public:
    // Bytes read, and how many waited in the port's input queue just before
    // the read (n when unknown, never less).
    using OnBytes = std::function<void(const uint8_t* p, int n, int queued)>;

    explicit SerialPort(asio::io_context& ctx);
    ~SerialPort();
    // A setting the port would not keep is named in *refused (when given).
    bool open(const std::string& path, int baud, const UART_Line_t& line = UART_Line_t{},
              std::string* refused = nullptr);
    bool isOpen() const;
    // The port's settings now, read back from the device.
    bool lineNow(int* baud, UART_Line_t* line) const;
    void close();
    // Reads until the port closes or fails; on a failure (the device
    // vanished) the port is closed and lost() called.
    void read(std::shared_ptr<void> keep, OnBytes on, std::function<void()> lost);
    // Writes a packet now, or queues what the port would not take yet: the
    // bytes taken (n), 0 when the queue is full, -1 when the port failed.
    int write(const uint8_t* p, size_t n);

private:
    void readMore();
    void readNow();
    void flush();
    void fail();
    UART_Port_t handle() const;  // the driver's handle of the open port

#ifdef _WIN32
    asio::serial_port port_;
    std::vector<uint8_t> in_;
#else
    asio::posix::stream_descriptor port_;
#endif
    std::shared_ptr<void> keep_;
    OnBytes on_;
    std::function<void()> lost_;
    unsigned generation_ = 0;  // a handler of an earlier open is ignored
    std::vector<uint8_t> pending_, writing_;
};

// Bytes queued for a stream (a TCP connection) that would not take them at
// once: sent in order as it drains. Past kOutboxLimit a packet is refused
// whole, never cut.
constexpr size_t kOutboxLimit = 65536;

}  // namespace engine
