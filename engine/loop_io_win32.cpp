// The runner loop's datagrams and serial port on Windows (I/O completion
// ports): no kernel arrival stamps, so a datagram's arrival is its read; one
// overlapped receive at a time; the serial port is the driver's overlapped
// HANDLE under an asio::serial_port.
#include "loop_io.h"

#include <windows.h>

#include "traffic.h"
#include "uart.h"

namespace engine {
namespace {
constexpr int kDatagramRoom = 65536;
constexpr int kSerialChunk = 65536;
}  // namespace

int sendDatagrams(asio::ip::udp::socket& s, const asio::ip::udp::endpoint& to, const Outgoing* d,
                  int n) {
    int done = 0;
    for (; done < n; ++done) {
        asio::error_code ec;
        if (s.send_to(asio::buffer(d[done].p, d[done].n), to, 0, ec) != d[done].n || ec) break;
    }
    return done;
}

void enableStamps(asio::ip::udp::socket&) {}

// A completion port has no readiness to wait for: `wait` changes nothing.
void receiveDatagrams(asio::ip::udp::socket& s, std::shared_ptr<void> keep, OnDatagram on, bool) {
    receiveDatagrams(s, std::move(keep), std::move(on));
}

void receiveDatagrams(asio::ip::udp::socket& s, std::shared_ptr<void> keep, OnDatagram on) {
    auto room =
        std::shared_ptr<uint8_t>(new uint8_t[kDatagramRoom], std::default_delete<uint8_t[]>());
    auto from = std::make_shared<asio::ip::udp::endpoint>();
    s.async_receive_from(asio::buffer(room.get(), kDatagramRoom), *from,
                         [&s, keep, on, room, from](const asio::error_code& ec, size_t n) {
                             if (!s.is_open() || ec == asio::error::operation_aborted) return;
                             if (!ec) {
                                 const int64_t t = traffic::nowNs();
                                 on(room.get(), n, t, t);
                             }
                             receiveDatagrams(s, keep, on);
                         });
}

SerialPort::SerialPort(asio::io_context& ctx) : port_(ctx), in_(kSerialChunk) {}

bool SerialPort::open(const std::string& path, int baud, const UART_Line_t& line,
                      std::string* refused) {
    char which[64];
    const UART_Port_t h = UART_OpenPortLine(path.c_str(), baud, &line, which, sizeof which);
    if (refused) *refused = h == UART_kNoPort ? which : "";
    if (h == UART_kNoPort) return false;
    // Reads as Asio's own serial_port sets them: wait for the first byte,
    // then return with what came (the driver's time-out ends a read after a
    // second with nothing, which wine completes as an empty read forever).
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 1;
    SetCommTimeouts(reinterpret_cast<HANDLE>(h), &t);
    asio::error_code ec;
    port_.assign(reinterpret_cast<HANDLE>(h), ec);
    if (ec) {
        UART_ClosePort(h, 0);
        return false;
    }
    ++generation_;
    return true;
}

UART_Port_t SerialPort::handle() const {
    return reinterpret_cast<UART_Port_t>(const_cast<decltype(port_)&>(port_).native_handle());
}

void SerialPort::close() {
    if (!port_.is_open()) return;
    ++generation_;
    asio::error_code ec;
    const UART_Port_t h = reinterpret_cast<UART_Port_t>(port_.native_handle());
    port_.cancel(ec);
    port_.close(ec);
    UART_ClosePort(h, 1);  // the claim goes with it
    pending_.clear();
    writing_.clear();
    keep_.reset();
}

void SerialPort::read(std::shared_ptr<void> keep, OnBytes on, std::function<void()> lost) {
    keep_ = std::move(keep);
    on_ = std::move(on);
    lost_ = std::move(lost);
    readMore();
}

// A read returns what has arrived as soon as a byte is there (the driver's
// time-outs). The bytes still queued after it came in after the ones read.
void SerialPort::readMore() {
    const unsigned gen = generation_;
    auto keep = keep_;
    port_.async_read_some(
        asio::buffer(in_), [this, gen, keep](const asio::error_code& ec, size_t n) {
            if (gen != generation_ || !port_.is_open()) return;
            // The read's total time-out ran out with nothing: not a failure.
            if (ec && ec != asio::error::eof) return fail();
            if (n > 0) {
                DWORD errors = 0;
                COMSTAT st{};
                const int behind = ClearCommError(port_.native_handle(), &errors, &st)
                                       ? static_cast<int>(st.cbInQue)
                                       : 0;
                on_(in_.data(), static_cast<int>(n), static_cast<int>(n) + behind);
                if (gen != generation_) return;
            }
            readMore();
        });
}

int SerialPort::write(const uint8_t* p, size_t n) {
    if (!port_.is_open()) return -1;
    if (pending_.size() + writing_.size() + n > kOutboxLimit) return 0;
    pending_.insert(pending_.end(), p, p + n);
    flush();
    return static_cast<int>(n);
}

}  // namespace engine
