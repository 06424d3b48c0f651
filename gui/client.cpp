#include "client.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "oslite.h"
#include "shared_items.h"
#include "socket.h"
#include "tcp_function.h"
#include "worker_status.h"

namespace {
// The converter's fixed relay endpoint.
const char* const kRelayIp = "192.168.0.95";
const int kRelayPort = 1234;
// One packet per 100 ms, on absolute deadlines.
constexpr double kPacketsPerSecond = 10.0;
// Longest wait of a measured run's first packet for the receiver to listen.
constexpr int64_t kReceiverWaitNs = 1000000000;
}  // namespace

client::client() = default;

client::~client() {
    stop_client();
}

void client::start_client(int direction, int protocol, const std::string& m_com,
                          const std::string& dest_ip, int dest_port) {
    // A run still going (START without STOP) is ended first: a joinable thread
    // must never be overwritten.
    if (client_task.joinable()) stop_client();

    dev_name = m_com;
    m_direction = direction;
    m_protocol = protocol;
    m_dest_ip = dest_ip;
    m_dest_port = dest_port;
    socket = 0;
    client_task_flag = 1;
    m_serial_outage.reset();
    client_task = std::thread(&client::sender, this);
}

void client::stop_client() {
    client_task_flag = 0;
    if (client_task.joinable()) client_task.join();
}

// Tells the monitor that the packet just built is leaving now. Called before
// the send: the receiving side may see the packet before the send returns.
void client::announce() {
    if (m_monitor) m_monitor->sent(static_cast<uint64_t>(m_counter), traffic::nowNs());
}

void client::sender() {
    switch (m_direction) {
        case CONVERT_ETHERNET_TO_UART:
            udp_sender();
            break;
        case CONVERT_UART_TO_ETHERNET:
            uart_sender();
            break;
        default:
            break;
    }
}

void client::udp_sender() {
    // A destination that cannot be meant is refused before anything is sent:
    // not a dotted IPv4 address (or 0.0.0.0, which is no destination), or a
    // port outside 1..65535 (it is never cut to its low 16 bits).
    unsigned int address = 0;
    if (!traffic::parseDottedIPv4(m_dest_ip, &address) || address == 0) {
        updateClientMsg("Bad Dest IP");
        return;
    }
    if (m_dest_port < 1 || m_dest_port > 65535) {
        updateClientMsg("Bad Dest Port");
        return;
    }
    const unsigned short port = static_cast<unsigned short>(m_dest_port);

    socket = static_cast<int>(Socket_UDPSocket());
    if (socket == 0) {
        updateClientMsg("Open socket failed");
        return;
    }
    packet* block = new packet{};
    updateClientMsg("Start UDP sender");

    if (m_monitor) m_monitor->awaitReceiver(client_task_flag, kReceiverWaitNs);
    traffic::Pacer pacer(kPacketsPerSecond);
    while (pacer.wait(client_task_flag)) {
        creatPacket(block);
        announce();
        const int sent = Socket_SendTo(static_cast<unsigned int>(socket),
                                       reinterpret_cast<unsigned char*>(block),
                                       static_cast<int>(sizeof(packet)), address, port);
        if (sent > 0)
            updateClientCnt(m_counter);
        else if (m_monitor)
            m_monitor->sendFailed(static_cast<uint64_t>(m_counter));
    }

    if (socket != 0) {
        Socket_Close(static_cast<unsigned int>(socket));
        socket = 0;
        updateClientMsg("Socket closed");
        updateClientCnt(0);
        m_counter = 0;
    }
    delete block;
}

void client::uart_sender() {
    UART_Handle_t handle = UART_Open(dev_name.c_str(), 115200);
    if (handle == nullptr) {
        reportUartOpenFailure("Open UART Failed", dev_name, 115200);
        updateClientMsg("Open UART Failed");
        return;
    }
    updateClientMsg("Start UART sender");
    packet* block = new packet{};

    // A packet the port did not take whole is not counted as sent: the shown
    // count is m_sent, the packets written. Its number is used up all the same
    // (m_counter goes on), so the far side sees the gap where it was lost.
    m_sent = 0;
    bool failing = false;  // in a spell of failed writes: said once, not per packet
    UartOutageWatch outage(handle, updateClientMsg, &m_serial_outage);
    if (m_monitor) m_monitor->awaitReceiver(client_task_flag, kReceiverWaitNs);
    traffic::Pacer pacer(kPacketsPerSecond);
    while (pacer.wait(client_task_flag)) {
        creatPacket(block);
        announce();
        const int ret = UART_write_buffer_timeout(handle, reinterpret_cast<unsigned char*>(block),
                                                  static_cast<int>(sizeof(packet)), 0);
        if (ret == static_cast<int>(sizeof(packet))) {
            failing = false;
            updateClientCnt(++m_sent);
        } else {  // -1, or cut short
            if (m_monitor) m_monitor->sendFailed(static_cast<uint64_t>(m_counter));
            if (!failing) updateClientMsg("UART write failed");
            failing = true;
        }
        outage.check();
    }

    UART_Close(handle);
    updateClientMsg("UART closed");
    updateClientCnt(0);
    m_counter = 0;
    m_sent = 0;
    delete block;
}

int client::creatPacket(packet* pkt) {
    ++m_counter;
    pkt->counter = static_cast<int8_t>(m_counter & 0xFF);
    for (int i = 0; i < 5; ++i) pkt->data[i] = static_cast<int8_t>(i + 1);
    pkt->checksum = static_cast<int8_t>((m_counter + 1 + 2 + 3 + 4 + 5) & 0xFF);
    return 1;
}

void client::print_packet(packet* pckt) {
    dump_packet("counter: %d, ", pckt);
}

void client::tcp_to_Uart() {
    tcp_to_Uart(kRelayIp, kRelayPort);
}

void client::tcp_to_Uart(const char* ip, int port) {
    updateClientMsg("Tcp to uart");
    tcp_client_struct* conn = new tcp_client_struct{};

    const int sock = Socket_TCPClient(ip, port);
    if (sock <= 0) {
        updateClientMsg("open tcp failed");
        OS_MSleep(3000);
        delete conn;
        // Other workers may still be running: end the process without running
        // static destructors under them.
        std::fflush(nullptr);
        std::_Exit(1);
    }

    // `ip` is kept for information only; no relay step reads it.
    conn->ip = ip;
    conn->socket = sock;
    conn->port = port;
    conn->pending_approval_flag = client_task_flag.load();

    tcp_client_struct* h = new tcp_client_struct{};
    h->ip = conn->ip;
    h->socket = conn->socket;
    h->port = conn->port;
    h->pending_approval_flag = conn->pending_approval_flag;

    tcp_relay_streams.fetch_add(1);
    std::thread* t = new std::thread(pendingApproval, h);
    t->detach();
    conn->task.store(t);

    // The relay threads own everything they were handed; this record only
    // served to start them.
    delete conn->task.load();
    delete conn;
}
