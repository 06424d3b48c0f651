// One measured run between a serial port and a UDP endpoint, free of Qt: the
// engine behind the headless runner. Each direction has a paced sender and a
// receiver feeding one Monitor; "both" runs the two directions at once over
// the same serial port and the same UDP socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
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

struct SessionConfig {
    std::string serial;  // port path, or a bare name under /dev
    int baud = 115200;
    std::string dest_ip;  // the converter, dotted IPv4
    uint16_t dest_port = 0;
    uint16_t listen_port = 0;  // local UDP port the converter sends to (0: any)
    bool e2u = true, u2e = false, net = false;  // net runs alone, without a serial port
    double rate = 10;    // packets per second per direction
    uint64_t count = 0;  // packets per direction; 0: until stopSending()
    measure::Format format = measure::Format::Counter8;
    int64_t latency_bound_ns = 1000000000;
};

class Session {
public:
    explicit Session(SessionConfig config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the UDP socket, then the serial port (unless only net runs). On
    // failure *error names what could not be opened and why, and nothing stays
    // open.
    bool open(std::string* error);
    // The same in two steps, for a converter that must learn the listen port
    // before it can name its serial port and address (setConverter).
    bool openNetwork(std::string* error);
    void setConverter(const std::string& serial, const std::string& ip, uint16_t port);
    bool openSerial(std::string* error);
    void start();
    // True once every sender has sent all it was asked to.
    bool sendersDone() const;
    void stopSending();
    // Waits until nothing is in flight, or the latency bound has passed.
    void drain();
    // Ends every thread and closes the port and the socket.
    void stop();

    const SessionConfig& config() const { return config_; }
    Monitor* monitor(Way w) { return monitors_[static_cast<int>(w)].get(); }
    uint16_t listenPort() const { return listen_port_; }

private:
    void sendUdp(Way w);
    void sendSerial();
    static void onSerialBytes(void* self, const unsigned char* p, int n);
    void receiveUdp(Way w);

    SessionConfig config_;
    std::unique_ptr<Monitor> monitors_[3];
    UART_Handle_t uart_ = nullptr;
    unsigned int sock_ = 0;
    unsigned int dest_addr_ = 0;
    uint16_t listen_port_ = 0;
    std::atomic<int> sending_{0}, receiving_{0};
    std::atomic<int> senders_left_{0};
    std::vector<std::thread> senders_, receivers_;
};

}  // namespace traffic
