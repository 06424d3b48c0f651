#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "socket.h"

namespace traffic {
namespace {
constexpr int kWaitMs = 50;  // longest wait of a receiver between run-flag checks
constexpr int kBufferSize = 65536;
constexpr int kSendTimeoutMs = 200;  // a TCP send waits this long for room, then the packet is lost
constexpr int kAttemptMs = 500;      // one reconnect attempt
constexpr int64_t kBackoffFirstNs = 50000000, kBackoffMaxNs = 400000000;
constexpr unsigned int kNoAccept = 0xFFFFFFFFu;  // Socket_Accept's failure
}  // namespace

const char* wayName(Way w) {
    static const char* const names[] = {"e2u", "u2e", "net"};
    return names[static_cast<int>(w)];
}

const char* transportName(Transport t) {
    static const char* const names[] = {"udp", "tcp-client", "tcp-server"};
    return names[static_cast<int>(t)];
}

bool parseTransport(const std::string& name, Transport* out) {
    for (Transport t : {Transport::Udp, Transport::TcpClient, Transport::TcpServer}) {
        if (name == transportName(t)) {
            *out = t;
            return true;
        }
    }
    return false;
}

Session::Session(SessionConfig config) : config_(std::move(config)) {}

// Made at the open, not with the session: a run of many channels holds
// nothing per channel before that channel's ports open.
void Session::makeMonitors() {
    for (Way w : kWays) {
        const bool on = w == Way::E2U ? config_.e2u : w == Way::U2E ? config_.u2e : config_.net;
        auto& m = monitors_[static_cast<int>(w)];
        if (!on || m) continue;
        m = std::make_unique<Monitor>(config_.format, config_.latency_bound_ns, lane(w, config_));
        m->setPeriod(Pacer(config_.rate).period());
    }
}

Session::~Session() { stop(); }

bool Session::open(std::string* error) { return openNetwork(error) && openSerial(error); }

bool Session::openNetwork(std::string* error) {
    makeMonitors();
    if (config_.transport == Transport::TcpClient) return true;
    if (config_.transport == Transport::TcpServer) {
        listener_ = Socket_TCPListen(0, config_.listen_port);
        if (listener_ == 0) {
            *error = "cannot listen on TCP port " + std::to_string(config_.listen_port) + ": " +
                     std::strerror(errno);
            return false;
        }
        listen_port_ = Socket_LocalPort(listener_);
        return true;
    }
    sock_ = Socket_UDPBind(0, config_.listen_port);
    if (sock_ == 0) {
        *error = "cannot bind UDP port " + std::to_string(config_.listen_port) + ": " +
                 std::strerror(errno);
        return false;
    }
    listen_port_ = config_.listen_port;
    if (listen_port_ == 0) listen_port_ = Socket_LocalPort(sock_);
    // The kernel stamps each datagram as it arrives: a receiver late to read
    // does not add to the converter's latency (without stamps: the read time).
    Socket_EnableReceiveStamps(sock_);
    return true;
}

void Session::setConverter(const std::string& serial, const std::string& ip, uint16_t port) {
    config_.serial = serial;
    config_.dest_ip = ip;
    config_.dest_port = port;
}

bool Session::openSerial(std::string* error) {
    makeMonitors();
    dest_addr_ = Socket_Str2Addr(config_.dest_ip.c_str());
    if (!config_.e2u && !config_.u2e) return true;
    // e2u's packets are handed over by the port's reader task as it reads them
    // (without e2u they are dropped there: no receive ring fills up unread).
    uart_ = UART_OpenReceiver(config_.serial.c_str(), config_.baud, &Session::onSerialBytes, this);
    if (uart_ != nullptr) return true;
    char why[160];
    UART_Explain(config_.serial.c_str(), config_.baud, why, sizeof why);
    *error = "cannot open serial port " + config_.serial + ": " + why;
    closeAll();
    return false;
}

bool Session::connect(std::string* error) {
    if (config_.transport == Transport::Udp) return true;
    const int64_t until = nowNs() + config_.connect_timeout_ns;
    if (config_.transport == Transport::TcpServer) {
        while (nowNs() < until) {
            if (Socket_IsRxPacketMS(static_cast<int>(listener_), kWaitMs) != 1) continue;
            const unsigned int c = Socket_Accept(listener_);
            if (c != kNoAccept) {
                onConnected(c);
                return true;
            }
        }
        *error = "no converter connected to TCP port " + std::to_string(listen_port_) + " within " +
                 std::to_string(config_.connect_timeout_ns / 1000000) + " ms";
        closeAll();
        return false;
    }
    // A converter still starting refuses for a moment: try again until the time is up.
    int64_t backoff = kBackoffFirstNs;
    int why = ETIMEDOUT;
    for (;;) {
        const int64_t left = until - nowNs();
        if (left <= 0) break;
        const unsigned int c =
            tcpConnectOnce(static_cast<int>(std::min<int64_t>(left / 1000000 + 1, 1000)));
        if (c != 0) {
            onConnected(c);
            return true;
        }
        why = errno;
        sleepNs(std::min(backoff, until - nowNs()));
        backoff = std::min(2 * backoff, kBackoffMaxNs);
    }
    *error = "cannot connect to " + config_.dest_ip + ":" + std::to_string(config_.dest_port) +
             " over TCP: " + std::strerror(why);
    closeAll();
    return false;
}

unsigned int Session::tcpConnectOnce(int timeout_ms) {
    return Socket_TCPConnect(Socket_Str2Addr(config_.dest_ip.c_str()), config_.dest_port,
                             timeout_ms);
}

void Session::onConnected(unsigned int c) {
    Socket_SetNoDelay(c);
    Socket_SetSendTimeout(c, kSendTimeoutMs);
    {
        std::lock_guard<std::mutex> g(conn_m_);
        conn_ = c;
    }
    const int64_t since = down_since_.exchange(0);
    if (connections_++ > 0 && since != 0)
        longest_outage_ns_ = std::max(longest_outage_ns_.load(), nowNs() - since);
}

void Session::dropConnection() {
    if (conn_ == 0) return;
    // Ends a send under way before the connection is taken from the sender.
    Socket_shutdown(static_cast<int>(conn_));
    unsigned int c;
    {
        std::lock_guard<std::mutex> g(conn_m_);
        c = conn_;
        conn_ = 0;
    }
    down_since_ = std::max<int64_t>(nowNs(), 1);
    Socket_Close(c);
    // Bytes of a packet cut by the drop belong to no packet; the next
    // connection starts a fresh stream.
    if (Monitor* m = monitor(Way::U2E)) m->streamEnd();
}

LinkFigures Session::link() const {
    LinkFigures f;
    f.connections = connections_.load();
    f.reconnects = f.connections > 0 ? f.connections - 1 : 0;
    const int64_t since = down_since_.load();
    f.connected = f.connections > 0 && since == 0;
    int64_t longest = longest_outage_ns_.load();
    if (since != 0) longest = std::max(longest, nowNs() - since);
    f.longest_outage_ms = static_cast<double>(longest) / 1e6;
    return f;
}

void Session::readSerialFigures() const {
    if (uart_ == nullptr) return;
    int lost_now = 0;
    uint64_t outages = 0, longest_ms = 0, total_ms = 0;
    if (UART_Outages(uart_, &lost_now, &outages, &longest_ms, &total_ms) != 0) return;
    std::lock_guard<std::mutex> g(serial_m_);
    serial_ = {outages, static_cast<double>(longest_ms), static_cast<double>(total_ms),
               lost_now != 0};
}

SerialFigures Session::serial() const {
    readSerialFigures();
    std::lock_guard<std::mutex> g(serial_m_);
    return serial_;
}

void Session::closeAll() {
    readSerialFigures();  // the driver's figures go with the handle
    if (uart_ != nullptr) UART_Close(uart_);
    uart_ = nullptr;
    if (sock_ != 0) Socket_Close(sock_);
    sock_ = 0;
    if (listener_ != 0) Socket_Close(listener_);
    listener_ = 0;
    std::lock_guard<std::mutex> g(conn_m_);
    if (conn_ != 0) Socket_Close(conn_);
    conn_ = 0;
}

void Session::start() {
    sending_.set(true);
    receiving_ = 1;
    if (config_.transport != Transport::Udp) {
        receivers_.emplace_back(&Session::linkLoop, this);
        if (config_.e2u) senders_.emplace_back(&Session::sendTcp, this);
        if (config_.u2e) senders_.emplace_back(&Session::sendSerial, this);
        senders_left_ = static_cast<int>(senders_.size());
        return;
    }
    if (config_.e2u) senders_.emplace_back(&Session::sendUdp, this, Way::E2U);
    if (config_.u2e || config_.net) {
        // One receiver takes every datagram; both ways cannot share the socket.
        receivers_.emplace_back(&Session::receiveUdp, this, config_.u2e ? Way::U2E : Way::NET);
    }
    if (config_.u2e) senders_.emplace_back(&Session::sendSerial, this);
    if (config_.net) senders_.emplace_back(&Session::sendUdp, this, Way::NET);
    senders_left_ = static_cast<int>(senders_.size());
}

bool Session::sendersDone() const { return senders_left_.load() == 0; }

void Session::stopSending() {
    sending_.set(false);
    for (auto& t : senders_)
        if (t.joinable()) t.join();
    senders_.clear();
}

void Session::drain(const std::atomic<int>& interrupted) {
    const int64_t until = nowNs() + config_.latency_bound_ns;
    for (;;) {
        if (interrupted.load() != 0) return;
        uint64_t in_flight = 0;
        for (auto& m : monitors_)
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

bool Session::serialGone() const {
    int lost_now = 0;
    return uart_ != nullptr && UART_Outages(uart_, &lost_now, nullptr, nullptr, nullptr) == 0 &&
           lost_now != 0;
}

void Session::stop() {
    stopSending();
    receiving_ = 0;
    for (auto& t : receivers_)
        if (t.joinable()) t.join();
    receivers_.clear();
    closeAll();
}

void Session::sendUdp(Way w) {
    Monitor* m = monitor(w);
    Pacer pacer(config_.rate);
    uint8_t pkt[measure::kMaxPacketSize];
    const int size = measure::packetSize(config_.format);
    const measure::Lane own = lane(w, config_);
    for (uint64_t seq = 1; config_.count == 0 || seq <= config_.count; ++seq) {
        if (!pacer.wait(sending_)) break;
        // e2u's packets come back on the tester's own serial port: while it
        // is gone they are not sent, and the converter is not blamed.
        if (w == Way::E2U && serialGone()) {
            m->notSent(seq, pacer.deadline());
            continue;
        }
        measure::buildPacket(config_.format, seq, pkt, own);
        m->sent(seq, nowNs(), pacer.deadline());
        if (Socket_SendTo(sock_, pkt, size, dest_addr_, config_.dest_port) != size)
            m->sendFailed(seq);
    }
    --senders_left_;
}

void Session::sendSerial() {
    Monitor* m = monitor(Way::U2E);
    Pacer pacer(config_.rate);
    uint8_t pkt[measure::kMaxPacketSize];
    const int size = measure::packetSize(config_.format);
    // The line carries baud/10 bytes a second (start, 8 data, stop bits). A
    // packet is written once no more than one packet waits for the line, as a
    // port with a small transmit buffer would hold it, so time spent in the
    // port's own buffer hardly counts as the converter's latency, and a rate
    // above what the line carries shows as a lower send rate.
    const int64_t byte_ns = config_.baud > 0 ? 10000000000LL / config_.baud : 0;
    int64_t line_free = 0;
    const measure::Lane own = lane(Way::U2E, config_);
    const auto running = [&] { return sending_.on(); };
    const auto sleep = [&](int64_t ns) { sending_.sleep(ns); };
    for (uint64_t seq = 1; config_.count == 0 || seq <= config_.count; ++seq) {
        if (!pacer.wait(sending_)) break;
        const int64_t packet_ns = size * byte_ns;
        if (line_free - packet_ns > nowNs() &&
            !Pacer::waitUntil(line_free - packet_ns, running, sleep))
            break;
        // The tester's own port is gone: the packet is not sent, and the
        // converter is not blamed for it.
        if (serialGone()) {
            m->notSent(seq, pacer.deadline());
            continue;
        }
        measure::buildPacket(config_.format, seq, pkt, own);
        const int64_t t = nowNs();
        m->sent(seq, t, pacer.deadline());
        const int wrote = UART_write_buffer_timeout(uart_, pkt, size, 0);
        if (wrote != size) {
            m->sendFailed(seq);
            // -1: the device refused the write or vanished under it.
            if (wrote < 0) m->notSent(seq, pacer.deadline());
            continue;
        }
        line_free = (line_free > t ? line_free : t) + packet_ns;
    }
    --senders_left_;
}

// The reader task hands over each chunk as it reads it, with the length the
// port's input queue had just before the read. The line brings baud/10 bytes a
// second, so the bytes still queued behind a byte came in at least that many
// byte times after it: byte i of the queue arrived no later than
// read - (queued - 1 - i) byte times. Each packet-sized piece gets the
// estimate of its last byte, the one that completes a packet. A reader that
// keeps up sees a short queue and an arrival close to the read.
void Session::onSerialBytes(void* self, const unsigned char* p, int n, int queued) {
    Session* s = static_cast<Session*>(self);
    Monitor* m = s->monitor(Way::E2U);
    if (m == nullptr) return;  // u2e alone: what the line brings back is not measured
    const int64_t read = nowNs();
    const int64_t byte_ns = s->config_.baud > 0 ? 10000000000LL / s->config_.baud : 0;
    const int piece = measure::packetSize(s->config_.format);
    for (int at = 0; at < n; at += piece) {
        const int len = std::min(piece, n - at);
        const int64_t behind = static_cast<int64_t>(queued - (at + len));  // queued after it
        m->bytes(p + at, static_cast<size_t>(len), read - std::max<int64_t>(behind, 0) * byte_ns,
                 read);
    }
}

void Session::receiveUdp(Way w) {
    Monitor* m = monitor(w);
    // Left uninitialised: only the pages datagrams reach take memory.
    const std::unique_ptr<uint8_t[]> buf(new uint8_t[kBufferSize]);
    // One blocking receive per datagram, ended every kWaitMs to look at the run flag.
    Socket_SetReceiveTimeout(sock_, kWaitMs);
    while (receiving_) {
        int64_t arrival = 0, read = 0;
        const int n = Socket_ReceiveStamped(sock_, buf.get(), kBufferSize, &arrival, &read);
        if (n >= 0) m->datagram(buf.get(), static_cast<size_t>(n), arrival, read);
    }
}

void Session::sendTcp() {
    Monitor* m = monitor(Way::E2U);
    Pacer pacer(config_.rate);
    uint8_t pkt[measure::kMaxPacketSize];
    const int size = measure::packetSize(config_.format);
    for (uint64_t seq = 1; config_.count == 0 || seq <= config_.count; ++seq) {
        if (!pacer.wait(sending_)) break;
        if (serialGone()) {  // nobody to receive it: not sent, as over UDP
            m->notSent(seq, pacer.deadline());
            continue;
        }
        measure::buildPacket(config_.format, seq, pkt, lane(Way::E2U, config_));
        m->sent(seq, nowNs(), pacer.deadline());
        // While the connection is down the packet goes nowhere: it counts as
        // sent and lost, as does one the connection would not take whole.
        std::lock_guard<std::mutex> g(conn_m_);
        if (conn_ != 0) Socket_Send(conn_, pkt, size);
    }
    --senders_left_;
}

// Owns the TCP connection: reads it (u2e's receiver), and makes it again when
// it drops: the client after a backoff, the server by accepting the next one.
// A new connection to the server replaces the current one (a converter that
// restarted may leave the old one half open).
void Session::linkLoop() {
    Monitor* m = monitor(Way::U2E);
    const std::unique_ptr<uint8_t[]> buf(new uint8_t[kBufferSize]);  // as in receiveUdp
    const bool server = config_.transport == Transport::TcpServer;
    int64_t backoff = kBackoffFirstNs, next_try = 0;
    const auto running = [this] { return receiving_.load() != 0; };
    while (receiving_) {
        if (conn_ == 0) {
            if (server) {
                if (Socket_IsRxPacketMS(static_cast<int>(listener_), kWaitMs) != 1) continue;
                const unsigned int c = Socket_Accept(listener_);
                if (c != kNoAccept) onConnected(c);
                continue;
            }
            if (!Pacer::waitUntil(next_try, running)) break;
            const unsigned int c = tcpConnectOnce(kAttemptMs);
            if (c != 0) {
                onConnected(c);
                backoff = kBackoffFirstNs;
            } else {
                next_try = nowNs() + backoff;
                backoff = std::min(2 * backoff, kBackoffMaxNs);
            }
            continue;
        }
        if (server && Socket_IsRxPacketMS(static_cast<int>(listener_), 0) == 1) {
            const unsigned int c = Socket_Accept(listener_);
            if (c != kNoAccept) {
                dropConnection();
                onConnected(c);
            }
        }
        const int r = Socket_IsRxPacketMS(static_cast<int>(conn_), kWaitMs);
        if (r == 0) continue;
        const int n = r > 0 ? Socket_Recv(conn_, buf.get(), kBufferSize) : -1;
        if (n > 0) {
            // A stream carries no arrival stamp: the read is the arrival.
            if (m != nullptr) m->bytes(buf.get(), static_cast<size_t>(n), nowNs());
            continue;
        }
        dropConnection();  // closed by the converter, or broken
        next_try = nowNs();
    }
}

}  // namespace traffic
