// The runner loop's datagrams and serial port on Linux.
#include "loop_io.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "arrival_stamp_posix.h"
#include "traffic.h"
#include "uart.h"

namespace engine {
namespace {

constexpr int kDatagramRoom = 65536;  // the largest datagram
constexpr int kSerialChunk = 65536;   // one read from a serial port

// Receive buffers of the loop thread, shared by every socket it serves (a
// handler runs alone on its thread). Left uninitialised: only the pages
// datagrams reach take memory.
uint8_t* scratch() {
    thread_local std::unique_ptr<uint8_t[]> b(new uint8_t[kDatagramBatch * kDatagramRoom]);
    return b.get();
}

}  // namespace

int sendDatagrams(asio::ip::udp::socket& s, const asio::ip::udp::endpoint& to, const Outgoing* d,
                  int n) {
    mmsghdr msgs[kDatagramBatch];
    iovec iov[kDatagramBatch];
    int done = 0;
    while (done < n) {
        const int k = std::min(n - done, kDatagramBatch);
        for (int i = 0; i < k; ++i) {
            iov[i] = {const_cast<uint8_t*>(d[done + i].p), d[done + i].n};
            std::memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_name = const_cast<sockaddr*>(to.data());
            msgs[i].msg_hdr.msg_namelen = static_cast<socklen_t>(to.size());
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int r;
        if (k == 1) {  // one datagram: the plain call
            r = ::sendto(s.native_handle(), iov[0].iov_base, iov[0].iov_len, MSG_DONTWAIT,
                         to.data(),
                         static_cast<socklen_t>(to.size())) == static_cast<ssize_t>(iov[0].iov_len);
        } else {
            r = ::sendmmsg(s.native_handle(), msgs, static_cast<unsigned>(k), MSG_DONTWAIT);
        }
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += r;
        if (r < k) break;
    }
    return done;
}

void enableStamps(asio::ip::udp::socket& s) {
    const int on = 1;
    ::setsockopt(s.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

// Takes every datagram waiting (the loop's epoll is edge-triggered: a wait
// ends only on new arrivals), then waits again.
void receiveDatagrams(asio::ip::udp::socket& s, std::shared_ptr<void> keep, OnDatagram on) {
    receiveDatagrams(s, std::move(keep), std::move(on), false);
}

void receiveDatagrams(asio::ip::udp::socket& s, std::shared_ptr<void> keep, OnDatagram on,
                      bool wait) {
    const auto take = [&s, keep, on](const asio::error_code& ec) {
        if (ec || !s.is_open()) return;
        uint8_t* room = scratch();
        mmsghdr msgs[kDatagramBatch];
        iovec iov[kDatagramBatch];
        alignas(cmsghdr) unsigned char control[kDatagramBatch][stamp::kControlBytes];
        for (;;) {
            for (int i = 0; i < kDatagramBatch; ++i) {
                iov[i] = {room + static_cast<size_t>(i) * kDatagramRoom, kDatagramRoom};
                std::memset(&msgs[i], 0, sizeof msgs[i]);
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
                msgs[i].msg_hdr.msg_control = control[i];
                msgs[i].msg_hdr.msg_controllen = sizeof control[i];
            }
            const int n =
                ::recvmmsg(s.native_handle(), msgs, kDatagramBatch, MSG_DONTWAIT, nullptr);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            // Both clocks at the read: their difference moves the wall-clock
            // stamps onto the monotonic clock.
            const int64_t mono = traffic::nowNs();
            timespec wall;
            clock_gettime(CLOCK_REALTIME, &wall);
            for (int i = 0; i < n; ++i) {
                msghdr& m = msgs[i].msg_hdr;
                if (m.msg_flags & MSG_TRUNC) continue;  // lost its excess: not a datagram to judge
                const int64_t arrival = stamp::arrivalNs(m, mono, wall);
                on(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len, arrival, mono);
            }
            if (n < kDatagramBatch) break;
        }
        if (s.is_open()) receiveDatagrams(s, keep, on, true);
    };
    if (wait)
        s.async_wait(asio::socket_base::wait_read, take);
    else
        asio::post(s.get_executor(), [take] { take({}); });  // what came before the first wait
}

SerialPort::SerialPort(asio::io_context& ctx) : port_(ctx) {}

bool SerialPort::open(const std::string& path, int baud, const UART_Line_t& line,
                      std::string* refused) {
    char which[64];
    const UART_Port_t fd = UART_OpenPortLine(path.c_str(), baud, &line, which, sizeof which);
    if (refused) *refused = fd == UART_kNoPort ? which : "";
    if (fd == UART_kNoPort) return false;
    asio::error_code ec;
    port_.assign(static_cast<int>(fd), ec);
    if (ec) {
        UART_ClosePort(fd, 0);
        return false;
    }
    ++generation_;
    return true;
}

UART_Port_t SerialPort::handle() const {
    return static_cast<UART_Port_t>(const_cast<decltype(port_)&>(port_).native_handle());
}

void SerialPort::close() {
    if (!port_.is_open()) return;
    ++generation_;
    asio::error_code ec;
    port_.cancel(ec);
    UART_ClosePort(port_.release(), 0);  // the driver undoes its exclusive hold
    pending_.clear();
    writing_.clear();
    keep_.reset();  // pending handlers hold their own
}

void SerialPort::read(std::shared_ptr<void> keep, OnBytes on, std::function<void()> lost) {
    keep_ = std::move(keep);
    on_ = std::move(on);
    lost_ = std::move(lost);
    const unsigned gen = generation_;
    auto keep_now = keep_;
    asio::post(port_.get_executor(), [this, gen, keep_now] {
        if (gen == generation_ && port_.is_open()) readNow();
    });
}

// Readable: every byte waiting is read at once, each read after a look at
// the input queue's length (how long its bytes waited).
void SerialPort::readMore() {
    const unsigned gen = generation_;
    auto keep = keep_;
    port_.async_wait(asio::posix::descriptor_base::wait_read,
                     [this, gen, keep](const asio::error_code& ec) {
                         if (gen != generation_ || !port_.is_open()) return;
                         if (ec) return fail();
                         readNow();
                     });
}

// Bytes that came before the first wait (the loop's epoll is edge-triggered:
// a wait ends only on new arrivals) are read at once.
void SerialPort::readNow() {
    uint8_t* room = scratch();
    const int fd = port_.native_handle();
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0) queued = 0;
        const ssize_t n = ::read(fd, room, kSerialChunk);
        if (n > 0) {
            on_(room, static_cast<int>(n), queued > n ? queued : static_cast<int>(n));
            if (!port_.is_open()) return;  // closed by the reader
            // Everything queued is read. Bytes that came since are seen by
            // the next wait, which looks at the port as it is; a hang-up
            // shows there too.
            if (n >= queued) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n == 0) {
            // A terminal read without a byte gives 0 (no minimum count
            // is set): nothing more now, unless the device hung up.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) break;
        }
        return fail();  // a hang-up or a device error: the device is gone
    }
    readMore();
}

int SerialPort::write(const uint8_t* p, size_t n) {
    if (!port_.is_open()) return -1;
    size_t done = 0;
    if (pending_.empty() && writing_.empty()) {
        const ssize_t w = ::write(port_.native_handle(), p, n);
        if (w < 0 && errno != EAGAIN && errno != EINTR) return -1;
        done = w > 0 ? static_cast<size_t>(w) : 0;
        if (done == n) return static_cast<int>(n);
    } else if (pending_.size() + writing_.size() + n > kOutboxLimit) {
        return 0;
    }
    pending_.insert(pending_.end(), p + done, p + n);
    flush();
    return static_cast<int>(n);
}

}  // namespace engine
