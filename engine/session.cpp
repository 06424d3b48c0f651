#include "session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "loop.h"
#include "loop_io.h"
#include "socket.h"
#include "telnet.h"
#include "uart.h"

namespace traffic {
namespace {
// A wake-up that comes late sends the packets that fell due within this time
// before it together (Pacer::releaseDue): at 50 000/s up to 11 in one batch,
// at 1000/s never more than one.
constexpr int64_t kGatherNs = 100000;
constexpr int kWaitMs = 50;  // the first connection: a look at the clock this often
// rfc2217, the first connection: how long the answers to the settings may take.
constexpr int64_t kAnswersNs = 2000000000;
constexpr int kReadRoom = 65536;
constexpr int64_t kAttemptNs = 500000000;  // one reconnect attempt
constexpr int64_t kBackoffFirstNs = 50000000, kBackoffMaxNs = 400000000;
constexpr int64_t kReopenPauseNs = 200000000;    // between opens of a vanished serial device
constexpr int64_t kHandlersGoneNs = 5000000000;  // stop(): longest wait for the last handlers
constexpr unsigned int kNoAccept = 0xFFFFFFFFu;  // Socket_Accept's failure

using asio::ip::tcp;
using asio::ip::udp;

asio::steady_timer::time_point at(int64_t ns) {
    return asio::steady_timer::time_point(std::chrono::nanoseconds(ns));
}
}  // namespace

const char* wayName(Way w) {
    static const char* const names[] = {"e2u", "u2e", "net"};
    return names[static_cast<int>(w)];
}

const char* transportName(Transport t) {
    static const char* const names[] = {"udp", "tcp-client", "tcp-server", "rfc2217"};
    return names[static_cast<int>(t)];
}

bool parseTransport(const std::string& name, Transport* out) {
    for (Transport t :
         {Transport::Udp, Transport::TcpClient, Transport::TcpServer, Transport::Rfc2217}) {
        if (name == transportName(t)) {
            *out = t;
            return true;
        }
    }
    return false;
}

// Everything below runs on the channel's loop thread from start() to stop(),
// except what is marked otherwise: the figures (atomics, or under serial_m)
// and the monitors (their own lock) are read by the caller's thread.
struct Session::Impl : std::enable_shared_from_this<Session::Impl> {
    explicit Impl(SessionConfig c) : config(std::move(c)) {}

    // A paced direction on the loop's timer.
    struct Sender : engine::Loop::Timed {
        Sender(Impl* s, Way w) : session(s), way(w), pacer(s->config.rate) {}
        int64_t fire(int64_t now) override { return session->fire(*this, now); }
        Impl* session;
        Way way;
        Pacer pacer;
        uint64_t seq = 1;   // the next packet
        bool held = false;  // serial: released, waiting for the line
        int64_t held_deadline = 0;
        int64_t line_free = 0;      // serial: when the line has sent all written so far
        std::vector<uint8_t> room;  // datagrams: the packets of one batch
    };

    Monitor* monitor(Way w) { return monitors[static_cast<int>(w)].get(); }
    bool serialGone() const { return port && !port->isOpen(); }
    bool usesSerial() const { return config.e2u || config.u2e; }
    // One byte's time on the line: start, data, parity and stop bits (8N1: 10).
    int64_t byteNs() const {
        const UART_Line_t& l = config.line;
        const int bits = 1 + l.data_bits + (l.parity != UART_kParityNone) + l.stop_bits;
        return config.baud > 0 ? bits * 1000000000LL / config.baud : 0;
    }

    // --- pacing ---
    int64_t fire(Sender& s, int64_t now);
    void sendDatagrams(Sender& s, const int64_t* deadlines, int n);
    void sendSerial(Sender& s, int64_t deadline);
    void sendTcp(Sender& s, const int64_t* deadlines, int n);
    bool finished(const Sender& s) const { return config.count != 0 && s.seq > config.count; }

    // --- receiving ---
    void onSerialBytes(const uint8_t* p, int n, int queued);
    void readSerial();
    void onSerialLost();
    void reopenLater();

    // --- TCP ---
    void onConnected(tcp::socket s, bool greeted = false);
    void onTelnet(const uint8_t* p, size_t n);
    void dropConnection();
    void readConnection();
    void acceptNext();
    void connectAt(int64_t when);
    void connectOnce();
    void tcpWrite(const uint8_t* p, size_t n);
    void tcpFlush();

    void begin();
    void end();

    SessionConfig config;
    std::unique_ptr<Monitor> monitors[3];
    std::shared_ptr<engine::Loop> loop;
    double load = 0;
    bool running = false;  // on the loop: between begin() and end()

    std::unique_ptr<udp::socket> udp_socket;
    udp::endpoint dest;
    uint16_t listen_port = 0;
    std::unique_ptr<engine::SerialPort> port;
    std::unique_ptr<asio::steady_timer> reopen_timer;

    std::unique_ptr<tcp::acceptor> listener;
    std::unique_ptr<tcp::socket> conn;
    std::shared_ptr<tcp::socket> connecting;
    std::unique_ptr<asio::steady_timer> retry_timer;
    unsigned conn_gen = 0;
    int64_t backoff = kBackoffFirstNs;
    std::vector<uint8_t> out_pending, out_writing;
    std::unique_ptr<uint8_t[]> tcp_room;
    // rfc2217: the Telnet side of the connection, and its scratch buffers.
    std::unique_ptr<engine::Rfc2217Client> telnet;
    std::vector<uint8_t> tn_data, tn_reply;
    LineFigures line_read;

    std::vector<std::unique_ptr<Sender>> senders;
    std::atomic<int> senders_left{0};

    std::atomic<uint64_t> connections{0};
    std::atomic<int64_t> down_since{0};  // 0 while connected
    std::atomic<int64_t> longest_outage_ns{0};

    mutable std::mutex serial_m;  // guards the serial outage figures
    uint64_t outages = 0;
    int64_t lost_since = 0, longest_ns = 0, total_ns = 0, stopped_at = 0;
    bool lost = false;
};

// --- pacing ---

int64_t Session::Impl::fire(Sender& s, int64_t now) {
    if (!running || finished(s)) return engine::kNever;
    const bool serial_out = s.way == Way::U2E;
    if (serial_out) {
        // The line carries baud/10 bytes a second at 8N1 (start, 8 data, stop
        // bits; byteNs counts the line's own frame).
        // A packet is written once no more than one packet waits for the line,
        // as a port with a small transmit buffer would hold it, so time spent
        // in the port's own buffer hardly counts as the converter's latency,
        // and a rate above what the line carries shows as a lower send rate.
        if (!s.held) {
            if (s.pacer.releaseDue(now, 0, &s.held_deadline, 1) == 0) return s.pacer.nextDue();
            s.held = true;
        }
        const int64_t byte_ns = byteNs();
        const int64_t packet_ns = measure::packetSize(config.format, config.size) * byte_ns;
        if (s.line_free - packet_ns > now) return s.line_free - packet_ns;
        s.held = false;
        sendSerial(s, s.held_deadline);
    } else {
        int64_t deadlines[engine::kDatagramBatch];
        int most = engine::kDatagramBatch;
        if (config.count != 0)
            most = static_cast<int>(std::min<uint64_t>(most, config.count - s.seq + 1));
        const int n = s.pacer.releaseDue(now, kGatherNs, deadlines, most);
        if (n > 0) {
            if (config.transport == Transport::Udp)
                sendDatagrams(s, deadlines, n);
            else
                sendTcp(s, deadlines, n);
        }
    }
    if (finished(s)) {
        --senders_left;
        return engine::kNever;
    }
    return s.pacer.nextDue();
}

void Session::Impl::sendDatagrams(Sender& s, const int64_t* deadlines, int n) {
    Monitor* m = monitor(s.way);
    // e2u's packets come back on the tester's own serial port: while it is
    // gone they are not sent, and the converter is not blamed.
    if (s.way == Way::E2U && serialGone()) {
        for (int i = 0; i < n; ++i) m->notSent(s.seq++, deadlines[i]);
        return;
    }
    const size_t size = static_cast<size_t>(measure::packetSize(config.format, config.size));
    if (s.room.size() < engine::kDatagramBatch * size) s.room.resize(engine::kDatagramBatch * size);
    engine::Outgoing out[engine::kDatagramBatch];
    const measure::Lane own = Session::lane(s.way, config);
    const int64_t t = nowNs();
    for (int i = 0; i < n; ++i) {
        uint8_t* pkt = s.room.data() + static_cast<size_t>(i) * size;
        measure::buildPacket(config.format, s.seq + i, pkt, own, config.size);
        out[i] = {pkt, size};
        m->sent(s.seq + i, t, deadlines[i]);
    }
    const int went = engine::sendDatagrams(*udp_socket, dest, out, n);
    for (int i = n - 1; i >= went; --i) m->sendFailed(s.seq + i);
    s.seq += n;
}

void Session::Impl::sendSerial(Sender& s, int64_t deadline) {
    Monitor* m = monitor(Way::U2E);
    const uint64_t seq = s.seq++;
    // The tester's own port is gone: the packet is not sent, and the
    // converter is not blamed for it.
    if (serialGone()) {
        m->notSent(seq, deadline);
        return;
    }
    const int size = measure::packetSize(config.format, config.size);
    uint8_t pkt[measure::kMaxPacketSize];
    measure::buildPacket(config.format, seq, pkt, Session::lane(Way::U2E, config), config.size);
    const int64_t t = nowNs();
    m->sent(seq, t, deadline);
    if (port->write(pkt, static_cast<size_t>(size)) != size) {
        m->sendFailed(seq);  // the port refused it, or would not take it
        return;
    }
    const int64_t byte_ns = byteNs();
    s.line_free = std::max(s.line_free, t) + size * byte_ns;
}

void Session::Impl::sendTcp(Sender& s, const int64_t* deadlines, int n) {
    Monitor* m = monitor(Way::E2U);
    const int size = measure::packetSize(config.format, config.size);
    uint8_t pkt[measure::kMaxPacketSize];
    for (int i = 0; i < n; ++i) {
        const uint64_t seq = s.seq++;
        if (serialGone()) {  // nobody to receive it: not sent, as over UDP
            m->notSent(seq, deadlines[i]);
            continue;
        }
        measure::buildPacket(config.format, seq, pkt, Session::lane(Way::E2U, config), config.size);
        m->sent(seq, nowNs(), deadlines[i]);
        // While the connection is down the packet goes nowhere: it counts as
        // sent and lost, as does one the connection would not take whole.
        if (!conn) continue;
        if (telnet) {
            tn_data.clear();
            engine::telnet::escape(pkt, static_cast<size_t>(size), &tn_data);
            tcpWrite(tn_data.data(), tn_data.size());
        } else {
            tcpWrite(pkt, static_cast<size_t>(size));
        }
    }
}

// --- the serial port ---

// The port hands over what it read with the length its input queue had just
// before the read. The line brings baud/10 bytes a second, so the bytes still
// queued behind a byte came in at least that many byte times after it: byte i
// of the queue arrived no later than read - (queued - 1 - i) byte times. Each
// packet-sized piece gets the estimate of its last byte, the one that
// completes a packet. A reader that keeps up sees a short queue and an
// arrival close to the read.
void Session::Impl::onSerialBytes(const uint8_t* p, int n, int queued) {
    Monitor* m = monitor(Way::E2U);
    if (m == nullptr) return;  // u2e alone: what the line brings back is not measured
    const int64_t read = nowNs();
    const int64_t byte_ns = byteNs();
    const int piece = measure::packetSize(config.format, config.size);
    for (int done = 0; done < n; done += piece) {
        const int len = std::min(piece, n - done);
        const int64_t behind = static_cast<int64_t>(queued - (done + len));  // queued after it
        m->bytes(p + done, static_cast<size_t>(len), read - std::max<int64_t>(behind, 0) * byte_ns,
                 read);
    }
}

void Session::Impl::readSerial() {
    Impl* self = this;
    port->read(
        shared_from_this(),
        [self](const uint8_t* p, int n, int queued) { self->onSerialBytes(p, n, queued); },
        [self] { self->onSerialLost(); });
}

// The device vanished (hang-up, EIO): the port is closed, and opened again
// under its path, with the same settings, once it is back.
void Session::Impl::onSerialLost() {
    {
        std::lock_guard<std::mutex> g(serial_m);
        lost = true;
        lost_since = nowNs();
        ++outages;
    }
    reopenLater();
}

void Session::Impl::reopenLater() {
    if (!running) return;
    auto self = shared_from_this();
    reopen_timer->expires_after(std::chrono::nanoseconds(kReopenPauseNs));
    reopen_timer->async_wait([self](const asio::error_code& ec) {
        if (ec || !self->running) return;
        if (!self->port->open(self->config.serial, self->config.baud, self->config.line))
            return self->reopenLater();
        {
            std::lock_guard<std::mutex> g(self->serial_m);
            const int64_t ns = nowNs() - self->lost_since;
            self->lost = false;
            self->total_ns += ns;
            self->longest_ns = std::max(self->longest_ns, ns);
        }
        self->readSerial();
    });
}

// --- TCP ---

void Session::Impl::onConnected(tcp::socket s, bool greeted) {
    asio::error_code ec;
    s.set_option(tcp::no_delay(true), ec);
    s.non_blocking(true, ec);
    conn = std::make_unique<tcp::socket>(std::move(s));
    ++conn_gen;
    if (telnet && !greeted) {  // a new connection negotiates afresh
        tn_reply.clear();
        telnet->begin(&tn_reply);
        tcpWrite(tn_reply.data(), tn_reply.size());
    }
    const int64_t since = down_since.exchange(0);
    if (connections++ > 0 && since != 0)
        longest_outage_ns = std::max(longest_outage_ns.load(), nowNs() - since);
    if (running) readConnection();
}

void Session::Impl::dropConnection() {
    if (!conn) return;
    asio::error_code ec;
    conn->shutdown(tcp::socket::shutdown_both, ec);
    conn->close(ec);
    conn.reset();
    ++conn_gen;
    out_pending.clear();
    out_writing.clear();
    down_since = std::max<int64_t>(nowNs(), 1);
    // Bytes of a packet cut by the drop belong to no packet; the next
    // connection starts a fresh stream.
    if (Monitor* m = monitor(Way::U2E)) m->streamEnd();
}

// Reads the connection (u2e's receiver); when it closes or breaks, the client
// makes it again after a backoff, the server waits for the next one.
void Session::Impl::readConnection() {
    auto self = shared_from_this();
    const unsigned gen = conn_gen;
    conn->async_read_some(asio::buffer(tcp_room.get(), kReadRoom),
                          [self, gen](const asio::error_code& ec, size_t n) {
                              if (gen != self->conn_gen || !self->running) return;
                              if (!ec && n > 0) {
                                  // A stream carries no arrival stamp: the read is the arrival.
                                  if (self->telnet) {
                                      self->onTelnet(self->tcp_room.get(), n);
                                      if (gen != self->conn_gen) return;
                                  } else if (Monitor* m = self->monitor(Way::U2E)) {
                                      m->bytes(self->tcp_room.get(), n, nowNs());
                                  }
                                  return self->readConnection();
                              }
                              self->dropConnection();  // closed by the converter, or broken
                              if (self->config.transport != Transport::TcpServer)
                                  self->connectAt(nowNs());
                          });
}

// Telnet: the data goes to u2e's receiver, answers back to the converter.
void Session::Impl::onTelnet(const uint8_t* p, size_t n) {
    tn_data.clear();
    tn_reply.clear();
    telnet->feed(p, n, &tn_data, &tn_reply);
    if (!tn_reply.empty()) tcpWrite(tn_reply.data(), tn_reply.size());
    if (tn_data.empty()) return;
    if (Monitor* m = monitor(Way::U2E)) m->bytes(tn_data.data(), tn_data.size(), nowNs());
}

// A new connection to the server replaces the current one (a converter that
// restarted may leave the old one half open).
void Session::Impl::acceptNext() {
    auto self = shared_from_this();
    listener->async_accept([self](const asio::error_code& ec, tcp::socket s) {
        if (!self->running || !self->listener->is_open()) return;
        if (!ec) {
            self->dropConnection();
            self->onConnected(std::move(s));
        }
        self->acceptNext();
    });
}

void Session::Impl::connectAt(int64_t when) {
    auto self = shared_from_this();
    retry_timer->expires_at(at(when));
    retry_timer->async_wait([self](const asio::error_code& ec) {
        if (!ec && self->running) self->connectOnce();
    });
}

// One attempt, at most kAttemptNs; a failure tries again after the backoff
// (50, 100, 200, 400, 400 ... ms), a success starts it afresh.
void Session::Impl::connectOnce() {
    auto self = shared_from_this();
    connecting = std::make_shared<tcp::socket>(loop->context());
    auto s = connecting;
    s->async_connect(tcp::endpoint(dest.address(), dest.port()),
                     [self, s](const asio::error_code& ec) {
                         if (s != self->connecting || !self->running) return;
                         self->connecting.reset();
                         self->retry_timer->cancel();
                         if (!ec) {
                             self->backoff = kBackoffFirstNs;
                             return self->onConnected(std::move(*s));
                         }
                         self->connectAt(nowNs() + self->backoff);
                         self->backoff = std::min(2 * self->backoff, kBackoffMaxNs);
                     });
    retry_timer->expires_after(std::chrono::nanoseconds(kAttemptNs));
    retry_timer->async_wait([s](const asio::error_code& ec) {
        asio::error_code ignored;
        if (!ec) s->close(ignored);  // the attempt's time is up: its handler sees the failure
    });
}

// A packet goes out now if the connection takes it; what it would not take
// yet waits in order, up to kOutboxLimit; a packet beyond that is not written
// (sent and lost, as one the connection would not take whole).
void Session::Impl::tcpWrite(const uint8_t* p, size_t n) {
    size_t done = 0;
    if (out_pending.empty() && out_writing.empty()) {
        asio::error_code ec;
        done = conn->write_some(asio::buffer(p, n), ec);
        if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return;
        if (done == n) return;
    } else if (out_pending.size() + out_writing.size() + n > engine::kOutboxLimit) {
        return;
    }
    out_pending.insert(out_pending.end(), p + done, p + n);
    tcpFlush();
}

void Session::Impl::tcpFlush() {
    if (!out_writing.empty() || out_pending.empty() || !conn) return;
    out_writing.swap(out_pending);
    auto self = shared_from_this();
    const unsigned gen = conn_gen;
    asio::async_write(*conn, asio::buffer(out_writing),
                      [self, gen](const asio::error_code& ec, size_t) {
                          if (gen != self->conn_gen) return;
                          self->out_writing.clear();
                          if (!ec) self->tcpFlush();  // a broken connection shows on the read side
                      });
}

// --- start and end, on the loop ---

void Session::Impl::begin() {
    running = true;
    for (auto& s : senders) loop->schedule(s.get(), s->pacer.nextDue());
    if (port) readSerial();
    if (udp_socket && (config.u2e || config.net)) {
        // One receiver takes every datagram; both ways cannot share the socket.
        Monitor* m = monitor(config.u2e ? Way::U2E : Way::NET);
        engine::receiveDatagrams(*udp_socket, shared_from_this(),
                                 [m](const uint8_t* p, size_t n, int64_t arrival, int64_t read) {
                                     m->datagram(p, n, arrival, read);
                                 });
    }
    if (config.transport == Transport::Udp) return;
    if (conn) readConnection();
    if (config.transport == Transport::TcpServer)
        acceptNext();
    else if (!conn)
        connectAt(nowNs());
}

void Session::Impl::end() {
    running = false;
    for (auto& s : senders) loop->unschedule(s.get());
    asio::error_code ec;
    if (udp_socket) udp_socket->close(ec);
    if (listener) listener->close(ec);
    if (connecting) connecting->close(ec);
    connecting.reset();
    dropConnection();
    if (retry_timer) retry_timer->cancel();
    if (reopen_timer) reopen_timer->cancel();
    if (port) port->close();
}

// rfc2217, the first connection, before the run: WILL COM-PORT-OPTION and the
// settings, waiting for the converter to agree and answer each setting (at
// most kAnswersNs once it agreed). Data that comes meanwhile is the line's
// before the run: dropped. A converter that refuses the option, or never
// agrees, is a set-up error.
namespace {
bool negotiate(Session::Impl& s, int fd, int64_t until, std::string* error) {
    const SessionConfig& c = s.config;
    const std::string who = "the converter at " + c.dest_ip + ":" + std::to_string(c.dest_port);
    std::vector<uint8_t> out, data;
    s.telnet->begin(&out);
    int64_t answers_until = until;
    uint8_t room[4096];
    for (;;) {
        if (!out.empty() && Socket_SendWithin(static_cast<unsigned int>(fd), out.data(),
                                              static_cast<int>(out.size()),
                                              kWaitMs) != static_cast<int>(out.size())) {
            *error = who + " closed the connection while negotiating RFC 2217";
            return false;
        }
        out.clear();
        if (s.telnet->refused()) {
            *error = who + " refused COM-PORT-OPTION (RFC 2217): is it in RFC 2217 mode?";
            return false;
        }
        if (s.telnet->accepted() && s.telnet->allAnswered()) return true;
        const int64_t now = nowNs();
        if (now >= answers_until) {
            if (s.telnet->accepted()) return true;  // the missing answers are reported
            *error = who + " did not agree to COM-PORT-OPTION (RFC 2217) within " +
                     std::to_string(c.connect_timeout_ns / 1000000) + " ms";
            return false;
        }
        if (Socket_IsRxPacketMS(fd, kWaitMs) != 1) continue;
        const int n = Socket_Recv(static_cast<unsigned int>(fd), room, sizeof room);
        if (n <= 0) {
            *error = who + " closed the connection while negotiating RFC 2217";
            return false;
        }
        const bool had = s.telnet->accepted();
        data.clear();
        s.telnet->feed(room, static_cast<size_t>(n), &data, &out);
        if (!had && s.telnet->accepted()) answers_until = std::min(until, nowNs() + kAnswersNs);
    }
}
}  // namespace

// --- the session, on the caller's thread ---

Session::Session(SessionConfig config) : impl_(std::make_shared<Impl>(std::move(config))) {}

Session::~Session() {
    stop();
}

const SessionConfig& Session::config() const {
    return impl_->config;
}

Monitor* Session::monitor(Way w) {
    return impl_->monitor(w);
}

uint16_t Session::listenPort() const {
    return impl_->listen_port;
}

bool Session::open(std::string* error) {
    return openNetwork(error) && openSerial(error);
}

bool Session::openNetwork(std::string* error) {
    Impl& s = *impl_;
    const SessionConfig& c = s.config;
    int ways = 0;
    for (Way w : kWays) {
        const bool on = w == Way::E2U ? c.e2u : w == Way::U2E ? c.u2e : c.net;
        auto& m = s.monitors[static_cast<int>(w)];
        if (!on) continue;
        ++ways;
        if (m) continue;
        m = std::make_unique<Monitor>(c.format, c.latency_bound_ns, lane(w, c), c.size);
        m->setPeriod(Pacer(c.rate).period());
    }
    if (!s.loop) {
        s.load = 2 * ways * c.rate;  // each packet is sent and received
        s.loop = engine::Loop::forChannel(s.load);
    }
    asio::io_context& ctx = s.loop->context();
    s.retry_timer = std::make_unique<asio::steady_timer>(ctx);
    s.reopen_timer = std::make_unique<asio::steady_timer>(ctx);
    if (c.transport != Transport::Udp) s.tcp_room.reset(new uint8_t[kReadRoom]);
    if (c.transport == Transport::Rfc2217)
        s.telnet = std::make_unique<engine::Rfc2217Client>(c.baud, c.line);
    if (c.transport == Transport::TcpClient || c.transport == Transport::Rfc2217) return true;
    if (c.transport == Transport::TcpServer) {
        const unsigned int fd = Socket_TCPListen(0, c.listen_port);
        if (fd == 0) {
            *error = "cannot listen on TCP port " + std::to_string(c.listen_port) + ": " +
                     std::strerror(errno);
            return false;
        }
        s.listen_port = Socket_LocalPort(fd);
        s.listener = std::make_unique<tcp::acceptor>(ctx);
        s.listener->assign(tcp::v4(), static_cast<tcp::acceptor::native_handle_type>(fd));
        return true;
    }
    const unsigned int fd = Socket_UDPBind(0, c.listen_port);
    if (fd == 0) {
        *error =
            "cannot bind UDP port " + std::to_string(c.listen_port) + ": " + std::strerror(errno);
        return false;
    }
    s.listen_port = c.listen_port;
    if (s.listen_port == 0) s.listen_port = Socket_LocalPort(fd);
    s.udp_socket = std::make_unique<udp::socket>(ctx);
    s.udp_socket->assign(udp::v4(), static_cast<udp::socket::native_handle_type>(fd));
    // The kernel stamps each datagram as it arrives: a receiver late to read
    // does not add to the converter's latency (without stamps: the read time).
    engine::enableStamps(*s.udp_socket);
    return true;
}

void Session::setConverter(const std::string& serial, const std::string& ip, uint16_t port) {
    impl_->config.serial = serial;
    impl_->config.dest_ip = ip;
    impl_->config.dest_port = port;
}

bool Session::openSerial(std::string* error) {
    Impl& s = *impl_;
    const SessionConfig& c = s.config;
    s.dest = udp::endpoint(asio::ip::address_v4(Socket_Str2Addr(c.dest_ip.c_str())), c.dest_port);
    if (!s.usesSerial()) return true;
    if (!s.loop) {
        std::string ignored;
        if (!openNetwork(&ignored)) return false;
    }
    s.port = std::make_unique<engine::SerialPort>(s.loop->context());
    std::string refused;
    if (s.port->open(c.serial, c.baud, c.line, &refused)) {
        s.line_read.known = s.port->lineNow(&s.line_read.baud, &s.line_read.line);
        return true;
    }
    char why[160];
    UART_Explain(c.serial.c_str(), c.baud, why, sizeof why);
    *error = "cannot open serial port " + c.serial + ": " +
             (refused.empty() ? std::string(why) : "the port refused " + refused);
    stop();
    return false;
}

bool Session::connect(std::string* error) {
    Impl& s = *impl_;
    const SessionConfig& c = s.config;
    if (c.transport == Transport::Udp) return true;
    const int64_t until = nowNs() + c.connect_timeout_ns;
    if (c.transport == Transport::TcpServer) {
        const int fd = static_cast<int>(s.listener->native_handle());
        while (nowNs() < until) {
            if (Socket_IsRxPacketMS(fd, kWaitMs) != 1) continue;
            const unsigned int a = Socket_Accept(static_cast<unsigned int>(fd));
            if (a == kNoAccept) continue;
            tcp::socket sock(s.loop->context());
            sock.assign(tcp::v4(), static_cast<tcp::socket::native_handle_type>(a));
            s.onConnected(std::move(sock));
            return true;
        }
        *error = "no converter connected to TCP port " + std::to_string(s.listen_port) +
                 " within " + std::to_string(c.connect_timeout_ns / 1000000) + " ms";
        stop();
        return false;
    }
    // A converter still starting refuses for a moment: try again until the time is up.
    int64_t backoff = kBackoffFirstNs;
    int why = ETIMEDOUT;
    for (;;) {
        const int64_t left = until - nowNs();
        if (left <= 0) break;
        const unsigned int fd =
            Socket_TCPConnect(Socket_Str2Addr(c.dest_ip.c_str()), c.dest_port,
                              static_cast<int>(std::min<int64_t>(left / 1000000 + 1, 1000)));
        if (fd != 0) {
            if (s.telnet && !negotiate(s, static_cast<int>(fd), until, error)) {
                Socket_Close(fd);
                stop();
                return false;
            }
            tcp::socket sock(s.loop->context());
            sock.assign(tcp::v4(), static_cast<tcp::socket::native_handle_type>(fd));
            s.onConnected(std::move(sock), s.telnet != nullptr);
            return true;
        }
        why = errno;
        sleepNs(std::min(backoff, until - nowNs()));
        backoff = std::min(2 * backoff, kBackoffMaxNs);
    }
    *error = "cannot connect to " + c.dest_ip + ":" + std::to_string(c.dest_port) +
             " over TCP: " + std::strerror(why);
    stop();
    return false;
}

void Session::start() {
    Impl& s = *impl_;
    if (!s.loop) return;
    const SessionConfig& c = s.config;
    if (c.e2u) s.senders.push_back(std::make_unique<Impl::Sender>(&s, Way::E2U));
    if (c.u2e) s.senders.push_back(std::make_unique<Impl::Sender>(&s, Way::U2E));
    if (c.net && c.transport == Transport::Udp)
        s.senders.push_back(std::make_unique<Impl::Sender>(&s, Way::NET));
    s.senders_left = static_cast<int>(s.senders.size());
    auto self = impl_;
    asio::post(s.loop->context(), [self] { self->begin(); });
}

bool Session::sendersDone() const {
    return impl_->senders_left.load() == 0;
}

void Session::stopSending() {
    Impl& s = *impl_;
    if (!s.loop || s.senders.empty()) return;
    s.loop->call([&s] {
        for (auto& t : s.senders) s.loop->unschedule(t.get());
    });
    s.senders_left = 0;
}

void Session::drain(const std::atomic<int>& interrupted) {
    const int64_t until = nowNs() + impl_->config.latency_bound_ns;
    for (;;) {
        if (interrupted.load() != 0) return;
        uint64_t in_flight = 0;
        for (auto& m : impl_->monitors)
            if (m) in_flight += m->figures(nowNs()).in_flight;
        if (in_flight == 0 || nowNs() >= until) return;
        // Short steps: an interrupt ends the wait within a few milliseconds.
        sleepNs(std::min<int64_t>(2000000, std::max<int64_t>(until - nowNs(), 0)));
    }
}

void Session::drain() {
    const std::atomic<int> never{0};
    drain(never);
}

// Closes everything on the loop, waits for the handlers the closing cancelled
// (each holds the channel), and leaves the loop.
void Session::stop() {
    Impl& s = *impl_;
    if (!s.loop) return;
    s.loop->call([&s] { s.end(); });
    s.senders_left = 0;
    for (const int64_t until = nowNs() + kHandlersGoneNs; impl_.use_count() > 1 && nowNs() < until;)
        sleepNs(200000);
    s.loop->call([] {});  // what those handlers did happens before what follows
    {
        std::lock_guard<std::mutex> g(s.serial_m);
        s.stopped_at = nowNs();
    }
    s.udp_socket.reset();
    s.listener.reset();
    s.conn.reset();
    s.port.reset();
    s.retry_timer.reset();
    s.reopen_timer.reset();
    s.senders.clear();
    s.loop->leave(s.load);
    s.loop.reset();
}

LinkFigures Session::link() const {
    const Impl& s = *impl_;
    LinkFigures f;
    f.connections = s.connections.load();
    f.reconnects = f.connections > 0 ? f.connections - 1 : 0;
    const int64_t since = s.down_since.load();
    f.connected = f.connections > 0 && since == 0;
    int64_t longest = s.longest_outage_ns.load();
    if (since != 0) longest = std::max(longest, nowNs() - since);
    f.longest_outage_ms = static_cast<double>(longest) / 1e6;
    return f;
}

LineFigures Session::line() const {
    return impl_->line_read;
}

Rfc2217Figures Session::rfc2217() const {
    Rfc2217Figures f;
    const Impl& s = *impl_;
    const auto take = [&] {
        if (!s.telnet) return;
        f.accepted = s.telnet->accepted();
        for (int i = 0; i < engine::Rfc2217Client::kSettings; ++i) {
            const auto& t = s.telnet->settings()[i];
            f.settings.push_back({t.name, engine::Rfc2217Client::valueText(i, t.asked),
                                  t.answered ? engine::Rfc2217Client::valueText(i, t.value) : ""});
        }
        f.differences = s.telnet->differences();
        f.log = s.telnet->log();
    };
    if (s.loop)
        s.loop->call(take);
    else
        take();
    return f;
}

SerialFigures Session::serial() const {
    const Impl& s = *impl_;
    std::lock_guard<std::mutex> g(s.serial_m);
    const int64_t now = s.stopped_at != 0 ? s.stopped_at : nowNs();
    const int64_t current = s.lost ? now - s.lost_since : 0;
    SerialFigures f;
    f.outages = s.outages;
    f.longest_outage_ms = static_cast<double>(std::max(s.longest_ns, current) / 1000000);
    f.total_outage_ms = static_cast<double>((s.total_ns + current) / 1000000);
    f.lost_now = s.lost;
    return f;
}

}  // namespace traffic
