// The POSIX half of the converter: openpty, the slave's link, a UDP socket,
// and one thread polling both with timed wake-ups for the fault stages.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "converter.h"

namespace sim {
namespace {

constexpr size_t kSerialBacklog = 1
                                  << 20;  // bytes waiting for the pty before new ones are discarded
constexpr int kBatch = 16;                // datagrams per recvmmsg / sendmmsg
constexpr size_t kDatagramMax = 65536;

bool toSockaddr(const std::string& ip, uint16_t port, sockaddr_storage* out, socklen_t* len) {
    std::memset(out, 0, sizeof *out);
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *len = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
    if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

struct Converter::Impl {
    const Config cfg;
    int master = -1, slave = -1, udp = -1, wake = -1;
    std::string pty_path;
    bool link_made = false;
    uint16_t port = 0;
    sockaddr_storage peer{};
    socklen_t peer_len = 0;

    std::thread thread;
    std::atomic<bool> stopping{false};
    mutable std::mutex m;  // guards the stages
    std::unique_ptr<Stage> n2s, s2n;

    // Thread-only state.
    std::deque<std::vector<uint8_t>> datagrams;  // waiting for the socket
    std::deque<std::vector<uint8_t>> serial;     // waiting for the pty
    size_t serial_off = 0, serial_bytes = 0;
    uint64_t discarded_n2s = 0, discarded_s2n = 0;

    explicit Impl(const Config& c) : cfg(c) {}
    bool open(std::string* error);
    void close();
    void loop();
    void collect();
    void sendDatagrams();
    void writeSerial();
};

bool Converter::Impl::open(std::string* error) {
    const auto fail = [&](const std::string& what) {
        if (error) *error = what + (errno ? std::string(": ") + std::strerror(errno) : "");
        close();
        return false;
    };
    char name[256] = {};
    errno = 0;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return fail("cannot open a pty");
    pty_path = name;
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);  // also no echo
        tcsetattr(slave, TCSANOW, &t);
    }
    // The sim holds the slave open as well, so the line never hangs up when
    // the user closes it.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    if (!cfg.link.empty()) {
        struct stat st {};
        if (lstat(cfg.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                return fail("cannot create link " + cfg.link +
                            " (a file that is no link is there)");
            }
            ::unlink(cfg.link.c_str());  // a stale link from an earlier run
        }
        errno = 0;
        if (symlink(pty_path.c_str(), cfg.link.c_str()) != 0)
            return fail("cannot create link " + cfg.link);
        link_made = true;
    }

    sockaddr_storage a{};
    socklen_t alen = 0;
    errno = 0;
    if (!toSockaddr(cfg.bind_ip, cfg.bind_port, &a, &alen))
        return fail("bad bind address " + cfg.bind_ip);
    udp = ::socket(a.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (udp < 0) return fail("cannot open a UDP socket");
    const int buf = 4 << 20;
    setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(udp, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    if (bind(udp, reinterpret_cast<sockaddr*>(&a), alen) != 0)
        return fail("cannot bind " + cfg.bind_ip + ":" + std::to_string(cfg.bind_port));
    sockaddr_storage got{};
    socklen_t glen = sizeof got;
    getsockname(udp, reinterpret_cast<sockaddr*>(&got), &glen);
    port = ntohs(reinterpret_cast<sockaddr_in*>(&got)->sin_port);  // same place in v6
    errno = 0;
    if (!toSockaddr(cfg.peer_ip, cfg.peer_port, &peer, &peer_len) || peer.ss_family != a.ss_family)
        return fail("bad peer address " + cfg.peer_ip);

    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail("cannot make an eventfd");
    return true;
}

void Converter::Impl::close() {
    closeFd(wake);
    closeFd(udp);
    closeFd(master);
    closeFd(slave);
    if (link_made) {
        // Only our own link: a later sim may have replaced it.
        char target[256] = {};
        const ssize_t n = readlink(cfg.link.c_str(), target, sizeof target - 1);
        if (n > 0 && pty_path == std::string(target, static_cast<size_t>(n)))
            ::unlink(cfg.link.c_str());
        link_made = false;
    }
}

// Moves what the stages made ready to the I/O queues (under the stage lock).
void Converter::Impl::collect() {
    while (s2n->hasReady()) datagrams.push_back(s2n->popReady());
    while (n2s->hasReady()) {
        std::vector<uint8_t> piece = n2s->popReady();
        if (serial_bytes + piece.size() > kSerialBacklog) {
            discarded_n2s += piece.size();
            continue;
        }
        serial_bytes += piece.size();
        serial.push_back(std::move(piece));
    }
    n2s->counts().discarded_bytes += discarded_n2s;
    s2n->counts().discarded_bytes += discarded_s2n;
    discarded_n2s = discarded_s2n = 0;
}

void Converter::Impl::sendDatagrams() {
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    while (!datagrams.empty()) {
        if (cfg.peer_port == 0) {  // nowhere to send
            discarded_s2n += datagrams.front().size();
            datagrams.pop_front();
            continue;
        }
        const int n = static_cast<int>(std::min<size_t>(kBatch, datagrams.size()));
        for (int i = 0; i < n; ++i) {
            iov[i] = {datagrams[static_cast<size_t>(i)].data(),
                      datagrams[static_cast<size_t>(i)].size()};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &peer;
            msgs[i].msg_hdr.msg_namelen = peer_len;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(udp, msgs, static_cast<unsigned>(n), 0);
        if (sent > 0) {
            datagrams.erase(datagrams.begin(), datagrams.begin() + sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // wait for POLLOUT
        if (sent < 0 && errno == EINTR) continue;
        // Refused or unroutable: this datagram is gone, like on a real network.
        discarded_s2n += datagrams.front().size();
        datagrams.pop_front();
    }
}

void Converter::Impl::writeSerial() {
    const bool separate = cfg.faults.split > 0;  // split pieces stay separate writes
    while (!serial.empty()) {
        iovec iov[64];
        int cnt = 0;
        for (size_t i = 0; i < serial.size() && cnt < (separate ? 1 : 64); ++i, ++cnt) {
            const size_t off = i == 0 ? serial_off : 0;
            iov[cnt] = {serial[i].data() + off, serial[i].size() - off};
        }
        const ssize_t n = writev(master, iov, cnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // full (EAGAIN): wait for POLLOUT
        }
        size_t done = static_cast<size_t>(n);
        serial_bytes -= done;
        while (done > 0) {
            const size_t left = serial.front().size() - serial_off;
            if (done >= left) {
                done -= left;
                serial.pop_front();
                serial_off = 0;
            } else {
                serial_off += done;
                done = 0;
            }
        }
    }
}

void Converter::Impl::loop() {
    std::vector<uint8_t> in(kDatagramMax);
    std::vector<uint8_t> bufs(kBatch * kDatagramMax);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    int64_t pty_pause_until = 0;
    constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

    while (!stopping.load(std::memory_order_relaxed)) {
        int64_t now = nowNs();
        int64_t deadline, readable_at;
        size_t read_limit;
        {
            std::lock_guard<std::mutex> g(m);
            n2s->advance(now);
            s2n->advance(now);
            collect();
            deadline = std::min(n2s->nextDeadline(), s2n->nextDeadline());
            readable_at = std::max(s2n->readableAt(), pty_pause_until);
            read_limit = std::min(s2n->readLimit(), in.size());
        }
        sendDatagrams();
        writeSerial();

        const bool read_pty = readable_at <= now;
        if (!read_pty) deadline = std::min(deadline, readable_at);
        pollfd pfd[3] = {
            {wake, POLLIN, 0},
            {udp, static_cast<short>(POLLIN | (datagrams.empty() ? 0 : POLLOUT)), 0},
            {master, static_cast<short>((read_pty ? POLLIN : 0) | (serial.empty() ? 0 : POLLOUT)),
             0}};
        timespec ts{}, *tsp = nullptr;
        if (deadline != kNever) {
            const int64_t wait = std::max<int64_t>(0, deadline - now);
            ts.tv_sec = wait / 1000000000;
            ts.tv_nsec = wait % 1000000000;
            tsp = &ts;
        }
        const int r = ppoll(pfd, 3, tsp, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0 || pfd[0].revents) continue;

        if (pfd[1].revents & POLLIN) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {bufs.data() + static_cast<size_t>(i) * kDatagramMax, kDatagramMax};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int got = recvmmsg(udp, msgs, kBatch, MSG_DONTWAIT, nullptr);
            if (got > 0) {
                now = nowNs();
                std::lock_guard<std::mutex> g(m);
                for (int i = 0; i < got; ++i)
                    n2s->input(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len, now);
            }
        }
        if (read_pty && (pfd[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(master, in.data(), read_limit);
            if (n > 0) {
                now = nowNs();
                std::lock_guard<std::mutex> g(m);
                s2n->input(in.data(), static_cast<size_t>(n), now);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                pty_pause_until = nowNs() + 10000000;  // hung up: look again later, never spin
            }
        }
    }
}

Converter::Converter(Config config) : config_(std::move(config)) {}

Converter::~Converter() {
    stop();
}

bool Converter::start(std::string* error) {
    if (impl_) {
        if (error) *error = "already started";
        return false;
    }
    std::string why;
    if (!checkFaults(config_.faults, &why)) {
        if (error) *error = why;
        return false;
    }
    auto impl = std::make_unique<Impl>(config_);
    if (!impl->open(error)) return false;
    started_ns_ = nowNs();
    stopped_ns_ = 0;
    impl->n2s =
        std::make_unique<Stage>(Way::NetToSerial, config_.format, config_.faults, started_ns_);
    impl->s2n =
        std::make_unique<Stage>(Way::SerialToNet, config_.format, config_.faults, started_ns_);
    Impl* p = impl.get();
    impl->thread = std::thread([p] { p->loop(); });
    impl_ = std::move(impl);
    return true;
}

void Converter::stop() {
    if (!impl_) return;
    impl_->stopping = true;
    const uint64_t one = 1;
    if (::write(impl_->wake, &one, sizeof one) < 0) {
        // The eventfd cannot be full here; the thread also checks the flag.
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    {
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->collect();  // settle the discard counts
    }
    impl_->close();
    stopped_ns_ = nowNs();
    last_n2s_ = impl_->n2s->counts();
    last_s2n_ = impl_->s2n->counts();
    last_pty_ = impl_->pty_path;
    last_port_ = impl_->port;
    impl_.reset();
}

std::string Converter::ptyPath() const {
    return impl_ ? impl_->pty_path : last_pty_;
}

std::string Converter::slavePath() const {
    return config_.link.empty() ? ptyPath() : config_.link;
}

uint16_t Converter::udpPort() const {
    return impl_ ? impl_->port : last_port_;
}

Counts Converter::counts(Way way) const {
    if (!impl_) return way == Way::NetToSerial ? last_n2s_ : last_s2n_;
    std::lock_guard<std::mutex> g(impl_->m);
    return (way == Way::NetToSerial ? impl_->n2s : impl_->s2n)->counts();
}

}  // namespace sim
