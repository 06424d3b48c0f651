// The POSIX half of the converter: openpty, the slave's link, a UDP socket or
// a TCP connection, and one thread polling them with timed wake-ups for the
// fault stages and the connection's faults.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "arrival_stamp_posix.h"
#include "converter.h"
#include "telnet_server.h"

namespace sim {
namespace {

constexpr size_t kSerialBacklog = 1
                                  << 20;  // bytes waiting for the pty before new ones are discarded
constexpr int kBatch = 16;                // datagrams per recvmmsg / sendmmsg
constexpr size_t kDatagramMax = 65536;
constexpr int64_t kRetryNs = 100000000;  // a TCP client connects again after this long
constexpr int64_t kCloseWaitNs =
    1000000000;  // a dropped connection waits this long for the peer's end
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

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
    std::unique_ptr<TelnetServer> telnet;  // RFC 2217 mode, guarded by m as well
    std::vector<uint8_t> tn_data, tn_reply;

    // Thread-only state.
    std::deque<std::vector<uint8_t>> datagrams;  // waiting for the socket (or the connection)
    std::deque<std::vector<uint8_t>> serial;     // waiting for the pty
    size_t serial_off = 0, serial_bytes = 0;
    uint64_t discarded_n2s = 0, discarded_s2n = 0;
    std::vector<uint8_t> echo_held;  // echo: the part of a packet read so far

    // TCP, thread-only but for the two counters. The disconnect fault shuts
    // the sending side and reads on until the peer ends too (so nothing it
    // sent is lost in the kernel), at most kCloseWaitNs: `closing`.
    int listener = -1, conn = -1, connecting = -1;
    bool closing = false;
    int64_t closing_until = 0, away_until = 0, next_drop = kNever;
    size_t out_off = 0, out_bytes = 0;  // of `datagrams`, here a byte stream
    std::atomic<uint64_t> connections{0}, disconnects{0};

    explicit Impl(const Config& c) : cfg(c) {}
    bool tcp() const { return cfg.transport != Transport::Udp; }
    bool online() const { return conn >= 0 && !closing; }
    bool open(std::string* error);
    bool openListener();
    void close();
    void loop();
    void collect();
    void sendDatagrams();
    void writeSerial();
    void echo(const uint8_t* p, size_t n);
    void tcpStep(int64_t now);
    int64_t tcpDeadline(int64_t now) const;
    void connected(int fd);
    void beginClose(int64_t now);
    void endConnection(int64_t now, int64_t away_ns);
    void readConnection();
    void writeStream();
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

    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail("cannot make an eventfd");

    if (cfg.transport == Transport::TcpClient) {
        errno = 0;
        if (!toSockaddr(cfg.peer_ip, cfg.peer_port, &peer, &peer_len) || cfg.peer_port == 0)
            return fail("a TCP client needs a peer address to connect to, not " + cfg.peer_ip +
                        ":" + std::to_string(cfg.peer_port));
        return true;
    }
    if (cfg.transport == Transport::TcpServer) {
        errno = 0;
        if (!openListener())
            return fail("cannot listen on " + cfg.bind_ip + ":" + std::to_string(cfg.bind_port));
        return true;
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
    const int on = 1;  // arrival stamps
    setsockopt(udp, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (bind(udp, reinterpret_cast<sockaddr*>(&a), alen) != 0)
        return fail("cannot bind " + cfg.bind_ip + ":" + std::to_string(cfg.bind_port));
    sockaddr_storage got{};
    socklen_t glen = sizeof got;
    getsockname(udp, reinterpret_cast<sockaddr*>(&got), &glen);
    port = ntohs(reinterpret_cast<sockaddr_in*>(&got)->sin_port);  // same place in v6
    errno = 0;
    if (!toSockaddr(cfg.peer_ip, cfg.peer_port, &peer, &peer_len) || peer.ss_family != a.ss_family)
        return fail("bad peer address " + cfg.peer_ip);
    return true;
}

// Listens on the bind address; after the first time on the port it got then.
bool Converter::Impl::openListener() {
    sockaddr_storage a{};
    socklen_t alen = 0;
    if (!toSockaddr(cfg.bind_ip, port ? port : cfg.bind_port, &a, &alen)) return false;
    listener = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) return false;
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), alen) != 0 || listen(listener, 4) != 0) {
        closeFd(listener);
        return false;
    }
    if (port != 0) return true;  // set once, before the thread starts: others read it
    sockaddr_storage got{};
    socklen_t glen = sizeof got;
    getsockname(listener, reinterpret_cast<sockaddr*>(&got), &glen);
    port = ntohs(reinterpret_cast<sockaddr_in*>(&got)->sin_port);  // same place in v6
    return true;
}

void Converter::Impl::connected(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    conn = fd;
    ++connections;
    if (telnet) {  // a new Telnet session: DO COM-PORT-OPTION first
        std::vector<uint8_t> hello;
        std::lock_guard<std::mutex> g(m);
        telnet->begin(&hello);
        out_bytes += hello.size();
        datagrams.push_front(std::move(hello));
        out_off = 0;
    }
}

// The disconnect fault: the front chunk's rest, if a part of it went, is
// discarded (a cut packet); what waits whole goes on the next connection.
void Converter::Impl::beginClose(int64_t now) {
    ++disconnects;
    if (out_off > 0 && !datagrams.empty()) {
        discarded_s2n += datagrams.front().size() - out_off;
        out_bytes -= datagrams.front().size();
        datagrams.pop_front();
        out_off = 0;
    }
    // Away: refuse. Before the peer can see the end and connect again, or its
    // new connection would wait, never accepted, in a listener about to close.
    if (listener >= 0 && cfg.faults.disconnect_for_ms > 0) closeFd(listener);
    ::shutdown(conn, SHUT_WR);
    closing = true;
    closing_until = now + kCloseWaitNs;
}

void Converter::Impl::endConnection(int64_t now, int64_t away_ns) {
    closeFd(conn);
    closing = false;
    away_until = now + away_ns;
}

void Converter::Impl::tcpStep(int64_t now) {
    const int64_t every = static_cast<int64_t>(cfg.faults.disconnect_every_ms) * 1000000;
    const int64_t away = static_cast<int64_t>(cfg.faults.disconnect_for_ms) * 1000000;
    while (every > 0 && now >= next_drop) {
        next_drop += every;
        if (online()) beginClose(now);
    }
    if (closing && now >= closing_until) endConnection(now, away);
    if (conn >= 0 || now < away_until) return;
    if (cfg.transport == Transport::TcpServer) {
        if (listener < 0 && !openListener()) away_until = now + kRetryNs;
        return;
    }
    if (connecting >= 0) return;
    connecting = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connecting < 0) {
        away_until = now + kRetryNs;
        return;
    }
    if (::connect(connecting, reinterpret_cast<sockaddr*>(&peer), peer_len) == 0) {
        connected(connecting);
        connecting = -1;
    } else if (errno != EINPROGRESS) {
        closeFd(connecting);
        away_until = now + kRetryNs;
    }
}

int64_t Converter::Impl::tcpDeadline(int64_t now) const {
    int64_t t = next_drop;
    if (closing) t = std::min(t, closing_until);
    if (conn < 0 && away_until > now) t = std::min(t, away_until);
    return t;
}

void Converter::Impl::readConnection() {
    uint8_t buf[16384];
    for (;;) {
        const ssize_t n = ::read(conn, buf, sizeof buf);
        if (n > 0) {
            std::lock_guard<std::mutex> g(m);
            if (telnet) {
                tn_data.clear();
                tn_reply.clear();
                telnet->feed(buf, static_cast<size_t>(n), &tn_data, &tn_reply);
                if (!tn_reply.empty()) {
                    out_bytes += tn_reply.size();
                    datagrams.push_back(tn_reply);
                }
                if (!tn_data.empty()) n2s->input(tn_data.data(), tn_data.size(), nowNs());
                continue;
            }
            n2s->input(buf, static_cast<size_t>(n), nowNs());
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // The peer ended (or broke) the connection.
        const int64_t away = closing ? static_cast<int64_t>(cfg.faults.disconnect_for_ms) * 1000000
                             : cfg.transport == Transport::TcpClient ? kRetryNs
                                                                     : 0;
        endConnection(nowNs(), away);
        return;
    }
}

void Converter::Impl::writeStream() {
    while (online() && !datagrams.empty()) {
        iovec iov[64];
        int cnt = 0;
        for (size_t i = 0; i < datagrams.size() && cnt < 64; ++i, ++cnt) {
            const size_t off = i == 0 ? out_off : 0;
            iov[cnt] = {datagrams[i].data() + off, datagrams[i].size() - off};
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(cnt);
        const ssize_t n = ::sendmsg(conn, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // full: wait for POLLOUT; broken: the read side ends it
        }
        size_t done = static_cast<size_t>(n);
        while (done > 0) {
            const size_t left = datagrams.front().size() - out_off;
            if (done >= left) {
                done -= left;
                out_bytes -= datagrams.front().size();
                datagrams.pop_front();
                out_off = 0;
            } else {
                out_off += done;
                done = 0;
            }
        }
    }
}

void Converter::Impl::close() {
    closeFd(connecting);
    closeFd(conn);
    closeFd(listener);
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
    while (s2n->hasReady()) {
        std::vector<uint8_t> piece = s2n->popReady();
        if (telnet) {
            std::vector<uint8_t> escaped;
            telnet->escape(piece.data(), piece.size(), &escaped);
            piece.swap(escaped);
        }
        if (tcp()) {  // waits for a connection, within the same bound as the pty's
            if (out_bytes + piece.size() > kSerialBacklog) {
                discarded_s2n += piece.size();
                continue;
            }
            out_bytes += piece.size();
        }
        datagrams.push_back(std::move(piece));
    }
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

// The echo fault: what the tester wrote goes straight back to its port,
// bypassing the net->serial stage (no faults, no line pacing), as a line's own
// echo does. It goes in whole packets' worth of bytes, the rest of a read
// waiting for the next one, so that neither the echo nor the converter's own
// output lands inside a packet of the other.
void Converter::Impl::echo(const uint8_t* p, size_t n) {
    echo_held.insert(echo_held.end(), p, p + n);
    const size_t size = static_cast<size_t>(measure::packetSize(cfg.format, cfg.size));
    const size_t whole = echo_held.size() / size * size;
    if (whole == 0) return;
    if (serial_bytes + whole > kSerialBacklog) {
        n2s->counts().discarded_bytes += whole;
    } else {
        serial_bytes += whole;
        serial.emplace_back(echo_held.begin(),
                            echo_held.begin() + static_cast<std::ptrdiff_t>(whole));
        s2n->counts().echoed += whole;
    }
    echo_held.erase(echo_held.begin(), echo_held.begin() + static_cast<std::ptrdiff_t>(whole));
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
    // Left uninitialised: a page of these buffers takes memory only once a
    // read reaches it, and test datagrams are short, so a thousand idle
    // converters cost little.
    std::unique_ptr<uint8_t[]> in(new uint8_t[kDatagramMax]);
    std::unique_ptr<uint8_t[]> bufs(tcp() ? nullptr : new uint8_t[kBatch * kDatagramMax]);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    alignas(cmsghdr) unsigned char control[kBatch][stamp::kControlBytes];
    int64_t last_arrival = 0;  // datagrams go in no earlier than the one before
    int64_t pty_pause_until = 0;
    if (cfg.faults.disconnect_every_ms > 0)
        next_drop = nowNs() + static_cast<int64_t>(cfg.faults.disconnect_every_ms) * 1000000;

    // The most one read of the serial side takes: the line's pace, fixed for the run.
    const size_t read_limit = std::min(s2n->readLimit(), kDatagramMax);
    // One read of the serial side, its bytes in at the time of the read.
    const auto readPty = [&] {
        const ssize_t n = ::read(master, in.get(), read_limit);
        if (n > 0) {
            const int64_t at = nowNs();
            std::lock_guard<std::mutex> g(m);
            if (cfg.faults.echo) echo(in.get(), static_cast<size_t>(n));
            s2n->setOffline(tcp() && !online());
            s2n->input(in.get(), static_cast<size_t>(n), at);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            pty_pause_until = nowNs() + 10000000;  // hung up: look again later, never spin
        }
    };

    while (!stopping.load(std::memory_order_relaxed)) {
        int64_t now = nowNs();
        if (tcp()) tcpStep(now);
        int64_t deadline, readable_at;
        bool read_first;
        {
            std::lock_guard<std::mutex> g(m);
            // A deadline of the serial side is due (a packet's rest waited
            // for) while reading is too: a converter that woke late reads
            // first, so the rest that waited in the pty all along is not taken
            // for a packet cut short.
            read_first =
                s2n->nextDeadline() <= now && std::max(s2n->readableAt(), pty_pause_until) <= now;
        }
        if (read_first) {
            readPty();
            now = nowNs();
        }
        {
            std::lock_guard<std::mutex> g(m);
            n2s->advance(now);
            s2n->advance(now);
            collect();
            deadline = std::min(n2s->nextDeadline(), s2n->nextDeadline());
            readable_at = std::max(s2n->readableAt(), pty_pause_until);
        }
        if (tcp()) {
            writeStream();
            deadline = std::min(deadline, tcpDeadline(now));
        } else {
            sendDatagrams();
        }
        writeSerial();

        const bool read_pty = readable_at <= now;
        if (!read_pty) deadline = std::min(deadline, readable_at);
        // wake, pty, then the network: the UDP socket, or the connection, the
        // listener waiting for one, or a connect under way.
        pollfd pfd[4] = {
            {wake, POLLIN, 0},
            {master, static_cast<short>((read_pty ? POLLIN : 0) | (serial.empty() ? 0 : POLLOUT)),
             0},
            {-1, 0, 0}};
        if (!tcp()) {
            pfd[2] = {udp, static_cast<short>(POLLIN | (datagrams.empty() ? 0 : POLLOUT)), 0};
        } else if (conn >= 0) {
            pfd[2] = {conn,
                      static_cast<short>(POLLIN | (online() && !datagrams.empty() ? POLLOUT : 0)),
                      0};
        } else if (connecting >= 0) {
            pfd[2] = {connecting, POLLOUT, 0};
        } else if (listener >= 0) {
            pfd[2] = {listener, POLLIN, 0};
        }
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

        const short net = pfd[2].revents;
        if (!tcp() && (net & POLLIN)) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {bufs.get() + static_cast<size_t>(i) * kDatagramMax, kDatagramMax};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
                msgs[i].msg_hdr.msg_control = control[i];
                msgs[i].msg_hdr.msg_controllen = sizeof control[i];
            }
            const int got = recvmmsg(udp, msgs, kBatch, MSG_DONTWAIT, nullptr);
            if (got > 0) {
                now = nowNs();
                timespec wall;
                clock_gettime(CLOCK_REALTIME, &wall);
                std::lock_guard<std::mutex> g(m);
                // Each datagram enters the line at its kernel arrival time, so
                // a converter thread held up by a busy machine does not lose
                // the line's time meanwhile and overflow a queue that a real
                // converter, running all along, would have emptied.
                for (int i = 0; i < got; ++i) {
                    last_arrival =
                        std::max(last_arrival, stamp::arrivalNs(msgs[i].msg_hdr, now, wall));
                    n2s->input(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len,
                               last_arrival);
                }
            }
        } else if (tcp() && net != 0) {
            if (pfd[2].fd == conn) {
                if (net & (POLLIN | POLLHUP | POLLERR)) readConnection();
            } else if (pfd[2].fd == connecting) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(connecting, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err == 0) {
                    connected(connecting);
                    connecting = -1;
                } else {
                    closeFd(connecting);
                    away_until = nowNs() + kRetryNs;
                }
            } else if (pfd[2].fd == listener) {
                const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) connected(fd);
            }
        }
        if (read_pty && (pfd[1].revents & (POLLIN | POLLHUP | POLLERR))) readPty();
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
    impl->n2s = std::make_unique<Stage>(Way::NetToSerial, config_.format, config_.faults,
                                        started_ns_, config_.size);
    impl->s2n = std::make_unique<Stage>(Way::SerialToNet, config_.format, config_.faults,
                                        started_ns_, config_.size);
    if (config_.telnet) impl->telnet = std::make_unique<TelnetServer>(config_.drop_iac);
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
    last_connections_ = impl_->connections.load();
    last_disconnects_ = impl_->disconnects.load();
    if (impl_->telnet) last_telnet_ = impl_->telnet->json();
    impl_.reset();
}

std::string Converter::telnetJson() const {
    if (!impl_) return last_telnet_;
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->telnet ? impl_->telnet->json() : "";
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

uint64_t Converter::connections() const {
    return impl_ ? impl_->connections.load() : last_connections_;
}

uint64_t Converter::disconnects() const {
    return impl_ ? impl_->disconnects.load() : last_disconnects_;
}

Counts Converter::counts(Way way) const {
    if (!impl_) return way == Way::NetToSerial ? last_n2s_ : last_s2n_;
    std::lock_guard<std::mutex> g(impl_->m);
    return (way == Way::NetToSerial ? impl_->n2s : impl_->s2n)->counts();
}

}  // namespace sim
