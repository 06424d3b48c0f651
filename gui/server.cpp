#include "server.h"

#include <cstdio>
#include <vector>

#include "shared_items.h"
#include "socket.h"
#include "uart.h"
#include "worker_status.h"

namespace {
constexpr int kPacketSize = 7;
// Room for the largest UDP datagram (65,507 bytes), so that every datagram is
// read whole, counted and judged; a shorter buffer would cut long ones.
constexpr int kUdpBufferSize = 65536;
constexpr int kUartBufferSize = 65536;
// Longest wait for serial bytes; it bounds how long STOP waits for the receiver.
constexpr int kUartWaitMs = 100;

// True when the 7 bytes at p carry the checksum of their first six.
bool packetChecksumHolds(const unsigned char* p) {
    int sum = 0;
    for (int i = 0; i < kPacketSize - 1; ++i) sum += p[i];
    return static_cast<unsigned char>(sum & 0xFF) == p[kPacketSize - 1];
}
}  // namespace

server::server() = default;

server::~server() {
    stop_server();
}

void server::start_server(int direction, int protocol, const std::string& m_com, int src_port) {
    // A run still going (START without STOP) is ended first: a joinable thread
    // must never be overwritten.
    if (server_task.joinable()) stop_server();

    server_task_flag = 1;
    m_receiver_state = kOpening;
    m_serial_outage.reset();
    dev_name = m_com;
    m_direction = direction;
    m_protocol = protocol;
    m_src_port = src_port;
    server_task = std::thread(&server::receiver, this);
}

void server::stop_server() {
    server_task_flag = 0;
    if (server_task.joinable()) server_task.join();
}

void server::receiver() {
    switch (m_direction) {
        case CONVERT_ETHERNET_TO_UART:
            uart_reciever();
            break;
        case CONVERT_UART_TO_ETHERNET:
            udp_reciever();
            break;
        default:
            break;
    }
}

void server::udp_reciever() {
    // Port 0 would take a port of the system's choosing that no converter
    // knows, and a port outside 1..65535 is never cut to its low 16 bits.
    if (m_src_port < 1 || m_src_port > 65535) {
        m_receiver_state = kNotOpen;
        if (m_monitor) m_monitor->receiverReady();  // never listens: the sender may go
        updateServerMsg("Bad Source Port");
        return;
    }
    std::vector<unsigned char> buffer(kUdpBufferSize);
    // The port is this receiver's alone: taken by anyone, the open fails.
    socket = static_cast<int>(Socket_UDPServer(static_cast<unsigned short>(m_src_port)));
    m_receiver_state = socket != 0 ? kOpen : kNotOpen;
    if (m_monitor) m_monitor->receiverReady();  // listening, or never will: the sender may go
    if (socket == 0) {
        updateServerMsg("Open Socket failed");
        return;
    }
    updateServerMsg("Start UDP reciever");

    while (server_task_flag) {
        if (Socket_IsRxPacketMS(socket, 100) == 0) continue;
        unsigned int srcaddr = 0;
        unsigned short srcport = 0;
        const int n = Socket_ReceiveFrom(static_cast<unsigned int>(socket), buffer.data(),
                                         kUdpBufferSize, &srcaddr, &srcport);
        const int64_t t = traffic::nowNs();
        if (n < 0) continue;  // no datagram
        // Every datagram counts, an empty one too; isValid reports any that is
        // not whole, valid packets.
        if (m_monitor) m_monitor->datagram(buffer.data(), static_cast<size_t>(n), t);
        counter += 1;
        updateServerCnt(counter);
        isValid(buffer.data(), n);
    }

    if (socket != 0) {
        Socket_Close(static_cast<unsigned int>(socket));
        socket = 0;
        updateServerMsg("Socket closed");
        updateServerCnt(0);
        counter = 0;
    }
}

void server::uart_reciever() {
    const int read_size = kPacketSize;
    const int speed = 115200;
    UART_Handle_t handle = UART_Open(dev_name.c_str(), speed);
    m_receiver_state = handle != nullptr ? kOpen : kNotOpen;
    if (m_monitor) m_monitor->receiverReady();
    if (handle == nullptr) {
        reportUartOpenFailure("UART open failed", dev_name, speed);
        updateServerMsg("UART open failed");
        return;
    }
    updateServerMsg("Start UART reciever");
    std::vector<unsigned char> Buff(kUartBufferSize);

    // Everything waiting is taken as soon as it completes a 7-byte block, so a
    // packet that arrives whole reaches the monitor at once even after a lost or
    // extra byte has shifted the 7-byte cut. `held` bytes taken do not yet make a block;
    // they count once a block is whole, and never if the run ends first, just
    // as if they still waited in the ring.
    int held = 0;
    UartOutageWatch outage(handle, updateServerMsg, &m_serial_outage);
    while (server_task_flag) {
        const int uart_size = UART_WaitData(handle, read_size - held, kUartWaitMs);
        const int64_t t = traffic::nowNs();
        outage.check();
        if (uart_size < read_size - held) continue;
        const int ret = UART_read_buff(handle, Buff.data(),
                                       uart_size < kUartBufferSize ? uart_size : kUartBufferSize);
        if (ret <= 0) continue;
        if (m_monitor) m_monitor->bytes(Buff.data(), static_cast<size_t>(ret), t);
        held += ret;
        for (; held >= read_size; held -= read_size) {
            counter += 1;
            updateServerCnt(counter);
        }
    }

    UART_Close(handle);
    updateServerMsg("UART closed");
    updateServerCnt(0);
    counter = 0;
}

// Judges only the bytes received: a block of one packet by its checksum, a
// block of several whole packets (a converter may pack them into one
// datagram) packet by packet, anything else as bad. One message per block.
void server::isValid(unsigned char* buff, int length) {
    bool ok = buff != nullptr && length > 0 && length % kPacketSize == 0;
    for (int off = 0; ok && off < length; off += kPacketSize) ok = packetChecksumHolds(buff + off);
    if (!ok) updateServerMsg("checksum error !");
}

void server::print_packet(packet* pckt) {
    dump_packet("server:  counter: %d, ", pckt);
}
