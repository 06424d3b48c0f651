// The sender: one worker thread per run pushes a numbered 7-byte test packet
// into the converter about every 100 ms, over UDP or the serial port.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tcp_function.h"
#include "traffic.h"
#include "uart.h"
#include "worker_status.h"

// Run flag of the TCP relay, process-wide; clearing it ends the relay stream.
extern std::atomic<int> active_task;

class client {
public:
    using packet = ::packet;  // the 7-byte test packet

    client();
    ~client();  // stops and joins a run still going
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    void start_client(int direction, int protocol, const std::string& m_com,
                      const std::string& dest_ip, int dest_port);
    void stop_client();
    void sender();
    void udp_sender();
    void uart_sender();
    // Fills m_com_port_list with the serial ports present (and any named in
    // CONVBENCH_EXTRA_PORTS). Listing ports needs Qt: it is defined with the
    // window (client_ports.cpp), not in the engine.
    void SelectComPort();
    int creatPacket(packet* pkt);
    void print_packet(packet* pckt);
    void announce();

    // TCP relay to the converter's fixed endpoint; the overload takes the endpoint.
    void tcp_to_Uart();
    void tcp_to_Uart(const char* ip, int port);

    std::string dev_name;
    std::vector<std::string> m_com_port_list;
    int flag = 1;
    int m_counter = 0;  // number of the last packet built in this run
    int m_sent = 0;     // packets the serial sender wrote whole in this run: its shown count
    int checksum = 0;
    int m_direction = -1;
    int m_protocol = -1;
    std::string m_dest_ip;
    int m_dest_port = 0;
    int socket = 0;
    std::string massage;
    int m_NoComPort_Flag = 0;
    std::thread client_task;
    std::atomic<int> client_task_flag{1};

    // Measured direction the packets are announced to as they leave; null for
    // none. Set before start_client and kept until stop_client has returned.
    traffic::Monitor* m_monitor = nullptr;
    // The serial sender's port outages in this run (cleared at its start, kept after it).
    SerialOutageFigures m_serial_outage;
};
