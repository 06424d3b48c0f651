// The runner loop's serial port: what Linux and Windows share.
#include "loop_io.h"

namespace engine {

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::isOpen() const {
    return port_.is_open();
}

bool SerialPort::lineNow(int* baud, UART_Line_t* line) const {
    return port_.is_open() && UART_GetLine(handle(), baud, line) == 0;
}

void SerialPort::fail() {
    close();
    if (lost_) lost_();
}

// Writes what is queued as the port takes it.
void SerialPort::flush() {
    if (!writing_.empty() || pending_.empty()) return;
    writing_.swap(pending_);
    const unsigned gen = generation_;
    auto keep = keep_;
    asio::async_write(port_, asio::buffer(writing_),
                      [this, gen, keep](const asio::error_code& ec, size_t) {
                          if (gen != generation_) return;
                          writing_.clear();
                          if (ec) return;  // a failed device shows on the read side
                          flush();
                      });
}

}  // namespace engine
