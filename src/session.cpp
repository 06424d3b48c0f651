#include "session.h"

#include <cerrno>
#include <cstring>

#include "socket.h"

namespace traffic {
namespace {
constexpr int kWaitMs = 50;  // longest wait of a receiver between run-flag checks
constexpr int kBufferSize = 65536;
}  // namespace

const char* wayName(Way w) {
    static const char* const names[] = {"e2u", "u2e", "net"};
    return names[static_cast<int>(w)];
}

Session::Session(SessionConfig config) : config_(std::move(config)) {
    for (Way w : kWays) {
        const bool on = w == Way::E2U ? config_.e2u : w == Way::U2E ? config_.u2e : config_.net;
        if (on)
            monitors_[static_cast<int>(w)] =
                std::make_unique<Monitor>(config_.format, config_.latency_bound_ns);
    }
}

Session::~Session() { stop(); }

bool Session::open(std::string* error) { return openNetwork(error) && openSerial(error); }

bool Session::openNetwork(std::string* error) {
    sock_ = Socket_UDPBind(0, config_.listen_port);
    if (sock_ == 0) {
        *error = "cannot bind UDP port " + std::to_string(config_.listen_port) + ": " +
                 std::strerror(errno);
        return false;
    }
    listen_port_ = config_.listen_port;
    if (listen_port_ == 0) listen_port_ = Socket_LocalPort(sock_);
    return true;
}

void Session::setConverter(const std::string& serial, const std::string& ip, uint16_t port) {
    config_.serial = serial;
    config_.dest_ip = ip;
    config_.dest_port = port;
}

bool Session::openSerial(std::string* error) {
    dest_addr_ = Socket_Str2Addr(config_.dest_ip.c_str());
    if (!config_.e2u && !config_.u2e) return true;
    // e2u's packets are handed over by the port's reader task as it reads them.
    uart_ = UART_OpenReceiver(config_.serial.c_str(), config_.baud,
                              config_.e2u ? &Session::onSerialBytes : nullptr, this);
    if (uart_ != nullptr) return true;
    char why[160];
    UART_Explain(config_.serial.c_str(), config_.baud, why, sizeof why);
    *error = "cannot open serial port " + config_.serial + ": " + why;
    Socket_Close(sock_);
    sock_ = 0;
    return false;
}

void Session::start() {
    sending_ = 1;
    receiving_ = 1;
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
    sending_ = 0;
    for (auto& t : senders_)
        if (t.joinable()) t.join();
    senders_.clear();
}

void Session::drain() {
    const int64_t until = nowNs() + config_.latency_bound_ns;
    for (;;) {
        uint64_t in_flight = 0;
        for (auto& m : monitors_)
            if (m) in_flight += m->figures(nowNs()).in_flight;
        if (in_flight == 0 || nowNs() >= until) return;
        sleepNs(2000000);
    }
}

void Session::stop() {
    stopSending();
    receiving_ = 0;
    for (auto& t : receivers_)
        if (t.joinable()) t.join();
    receivers_.clear();
    if (uart_ != nullptr) UART_Close(uart_);
    uart_ = nullptr;
    if (sock_ != 0) Socket_Close(sock_);
    sock_ = 0;
}

void Session::sendUdp(Way w) {
    Monitor* m = monitor(w);
    Pacer pacer(config_.rate);
    uint8_t pkt[measure::kMaxPacketSize];
    const int size = measure::packetSize(config_.format);
    for (uint64_t seq = 1; config_.count == 0 || seq <= config_.count; ++seq) {
        if (!pacer.wait(sending_)) break;
        measure::buildPacket(config_.format, seq, pkt);
        m->sent(seq, nowNs());
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
    const auto running = [&] { return sending_.load() != 0; };
    for (uint64_t seq = 1; config_.count == 0 || seq <= config_.count; ++seq) {
        if (!pacer.wait(sending_)) break;
        const int64_t packet_ns = size * byte_ns;
        if (line_free - packet_ns > nowNs() && !Pacer::waitUntil(line_free - packet_ns, running))
            break;
        measure::buildPacket(config_.format, seq, pkt);
        const int64_t t = nowNs();
        m->sent(seq, t);
        if (UART_write_buffer_timeout(uart_, pkt, size, 0) != size) m->sendFailed(seq);
        line_free = (line_free > t ? line_free : t) + packet_ns;
    }
    --senders_left_;
}

void Session::onSerialBytes(void* self, const unsigned char* p, int n) {
    static_cast<Session*>(self)->monitor(Way::E2U)->bytes(p, static_cast<size_t>(n), nowNs());
}

void Session::receiveUdp(Way w) {
    Monitor* m = monitor(w);
    std::vector<uint8_t> buf(kBufferSize);
    // One blocking receive per datagram, ended every kWaitMs to look at the run flag.
    Socket_SetReceiveTimeout(sock_, kWaitMs);
    while (receiving_) {
        const int n = Socket_ReceiveFrom(sock_, buf.data(), kBufferSize, nullptr, nullptr);
        const int64_t t = nowNs();
        if (n >= 0) m->datagram(buf.data(), static_cast<size_t>(n), t);
    }
}

}  // namespace traffic
