// The simulated serial-to-Ethernet converter: a pseudo-terminal on the serial
// side, one UDP socket or one TCP connection on the network side, a fault
// stage per direction between them, all driven by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "packet_format.h"
#include "stage.h"

namespace sim {

// The network side: datagrams (bind and peer), a TCP server (listens on bind,
// one connection at a time, a newer one waits for the current one to end) or a
// TCP client (connects to peer, again 100 ms after the connection ended).
enum class Transport { Udp, TcpServer, TcpClient };
const char* transportName(Transport t);  // "udp", "tcp-server", "tcp-client"
bool parseTransport(const std::string& name, Transport* out);

struct Config {
    std::string link;  // symlink made to the pty slave ("" = none)
    Transport transport = Transport::Udp;
    std::string bind_ip = "127.0.0.1";
    uint16_t bind_port = 0;  // 0 = any free port
    std::string peer_ip = "127.0.0.1";
    uint16_t peer_port = 0;  // where datagrams from the serial side go; the TCP client's server
    measure::Format format = measure::Format::Counter8;
    int size = 0;  // the Sized format's packet length
    Faults faults;
    // RFC 2217 mode (a TCP server speaking Telnet, telnet_server.h), and its
    // fault: a data 0xFF sent without its second IAC.
    bool telnet = false;
    bool drop_iac = false;
};

// Monotonic nanoseconds (the clock the converter times its faults on).
int64_t nowNs();

// Splits "IP:PORT" or "[IPv6]:PORT" into its parts.
bool parseEndpoint(const std::string& text, std::string* ip, uint16_t* port);

// Version of the JSON report's layout; raised when a field changes meaning or goes.
constexpr int kReportSchema = 1;

class Converter {
public:
    explicit Converter(Config config);
    ~Converter();  // stops
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Opens the pty and the socket, makes the link and starts the thread.
    bool start(std::string* error);
    // Joins the thread, closes everything and removes the link. Idempotent.
    void stop();

    std::string slavePath() const;  // the link when one was asked for, else the pty slave
    std::string ptyPath() const;    // the pty slave device itself
    uint16_t udpPort() const;       // the port bound, UDP or TCP (chosen by the system for port 0)
    Counts counts(Way way) const;   // a snapshot, safe from any thread
    // TCP: connections made or accepted, and those the disconnect fault dropped.
    uint64_t connections() const;
    uint64_t disconnects() const;
    std::string reportJson() const;
    // RFC 2217 mode: the settings the client sent, as JSON ("" otherwise).
    std::string telnetJson() const;
    const Config& config() const { return config_; }

private:
    struct Impl;  // the platform half
    Config config_;
    std::unique_ptr<Impl> impl_;
    int64_t started_ns_ = 0, stopped_ns_ = 0;
    // What stop() leaves for the report.
    Counts last_n2s_, last_s2n_;
    std::string last_pty_;
    uint16_t last_port_ = 0;
    uint64_t last_connections_ = 0, last_disconnects_ = 0;
    std::string last_telnet_;
};

}  // namespace sim
