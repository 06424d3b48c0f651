// One measured run between a serial port and a network endpoint (UDP, or one
// TCP connection), free of Qt: the engine behind the headless runner, one
// Session per channel. Each direction has a paced sender and a receiver
// feeding one Monitor; "both" runs the two directions at once over the same
// serial port and the same socket or connection.
//
// Every session's timers, port, socket and connection are served by an event
// loop (loop.h) shared with the other channels: a channel adds no thread.
// Opening and the first connection happen on the caller's thread; from
// start() to stop() the channel lives on its loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "traffic.h"
#include "uart.h"

namespace traffic {

// e2u: packets go out as datagrams and come back on the serial port;
// u2e: packets are written to the serial port and come back as datagrams;
// net: packets go out as datagrams and come back as datagrams (a network echo,
// or the tester's own listen port: a check of the tester itself).
enum class Way { E2U = 0, U2E = 1, NET = 2 };
constexpr Way kWays[] = {Way::E2U, Way::U2E, Way::NET};
const char* wayName(Way w);  // "e2u", "u2e", "net"

// The network side: datagrams to and from the converter, or one TCP
// connection carrying packets both ways back to back, framed like the serial
// line; the runner connects (TcpClient) or the converter does (TcpServer).
// Rfc2217 is TcpClient speaking Telnet with the Com Port Control option to a
// converter in RFC 2217 mode: it sets the converter's line, and 0xFF bytes
// travel doubled (telnet.h).
enum class Transport { Udp, TcpClient, TcpServer, Rfc2217 };
const char* transportName(Transport t);  // "udp", "tcp-client", "tcp-server", "rfc2217"
bool parseTransport(const std::string& name, Transport* out);

// A TCP channel's connection over the run. A dropped connection is made again
// (client: with a backoff of 50, 100, 200, 400, 400 ... ms; server: the next
// connection accepted); packets whose turn comes while it is down count as
// sent and lost.
struct LinkFigures {
    uint64_t connections = 0;      // connections made or accepted
    uint64_t reconnects = 0;       // of them after the first
    double longest_outage_ms = 0;  // drop to the next connection (or to now, if still down)
    bool connected = false;
};

// The serial port's outages: a device that vanished (unplugged adapter) and came
// back at the same path.
struct SerialFigures {
    uint64_t outages = 0;
    double longest_outage_ms = 0, total_outage_ms = 0;
    bool lost_now = false;
};

// The serial port's line as read back from the device after opening.
struct LineFigures {
    bool known = false;  // false: no serial port, or it could not be read
    int baud = 0;
    UART_Line_t line;
};

// What an rfc2217 channel negotiated (on its first connection) and what the
// converter answered to each setting (on its latest).
struct Rfc2217Figures {
    bool accepted = false;  // the converter agreed to COM-PORT-OPTION
    struct Setting {
        std::string name, asked, answered;  // answered: "" when no answer came
    };
    std::vector<Setting> settings;
    std::vector<std::string> differences;  // "parity: asked even, answered none"
    std::vector<std::string> log;          // the negotiation, in order
};

struct SessionConfig {
    std::string serial;  // port path, or a bare name under /dev
    int baud = 115200;
    std::string dest_ip;  // the converter, dotted IPv4
    uint16_t dest_port = 0;
    uint16_t listen_port = 0;  // local UDP or TCP port the converter sends to (0: any)
    Transport transport = Transport::Udp;
    int64_t connect_timeout_ns = 5000000000;    // first TCP connection, at the start
    bool e2u = true, u2e = false, net = false;  // net runs alone, without a serial port
    double rate = 10;                           // packets per second per direction
    uint64_t count = 0;                         // packets per direction; 0: until stopSending()
    measure::Format format = measure::Format::Counter8;
    int size = 0;  // the Sized format's packet length (measure::packetSize)
    int64_t latency_bound_ns = 1000000000;
    // The serial line: the tester's port, and with rfc2217 the converter's too.
    UART_Line_t line;
};

class Session {
public:
    explicit Session(SessionConfig config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the UDP socket (or the TCP listening socket), then the serial
    // port (unless only net runs), then makes the first TCP connection. On
    // failure *error names what could not be opened and why, and nothing
    // stays open.
    bool open(std::string* error);
    // The same in two steps, for a converter that must learn the listen port
    // before it can name its serial port and address (setConverter).
    bool openNetwork(std::string* error);
    void setConverter(const std::string& serial, const std::string& ip, uint16_t port);
    bool openSerial(std::string* error);
    // TCP: connects to the converter, or waits for it to connect, at most
    // connect_timeout_ns; a converter that refuses or never comes is an error.
    // UDP: nothing to do.
    bool connect(std::string* error);
    void start();
    // True once every sender has sent all it was asked to.
    bool sendersDone() const;
    void stopSending();
    // Waits until nothing is in flight, or the latency bound has passed, or
    // interrupted turns non-zero (looked at every few milliseconds).
    void drain(const std::atomic<int>& interrupted);
    void drain();
    // Takes the channel off its loop and closes the port and the socket.
    void stop();

    const SessionConfig& config() const;
    // A direction's figures; made when the session opens (null before, and for
    // a direction that does not run). In both, e2u sends the plain packet and
    // u2e the other lane, so either receiver tells an echo of the tester's own
    // packets from the converter's.
    Monitor* monitor(Way w);
    static measure::Lane lane(Way w, const SessionConfig& c) {
        return w == Way::U2E && c.e2u ? measure::Lane::Alt : measure::Lane::Plain;
    }
    uint16_t listenPort() const;
    LinkFigures link() const;
    // The serial port's outages so far (kept after stop()).
    SerialFigures serial() const;
    // The tester's port line as read back when it opened.
    LineFigures line() const;
    // rfc2217: the negotiation and the answers (empty for other transports).
    Rfc2217Figures rfc2217() const;

    // The channel's state on its loop (session.cpp).
    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace traffic
