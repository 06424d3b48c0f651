// The receiver: one worker thread per run counts what leaves the converter,
// as UDP datagrams on the source port or 7-byte blocks from the serial port.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "tcp_function.h"
#include "traffic.h"
#include "worker_status.h"

class server {
public:
    using packet = ::packet;  // the 7-byte test packet

    server();
    ~server();  // stops and joins a run still going
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    void start_server(int direction, int protocol, const std::string& m_com, int src_port);
    void stop_server();
    void receiver();
    void udp_reciever();
    void uart_reciever();
    void isValid(unsigned char* buff, int length);
    void print_packet(packet* pckt);

    int flag = 1;
    int finish_flag = 0;
    int counter = 0;
    int checksum = 0;
    int m_direction = -1;
    int m_protocol = -1;
    int m_src_port = 1234;
    int socket = 0;
    std::string dev_name;
    std::string massage;
    std::thread server_task;
    std::atomic<int> server_task_flag{1};

    // Measured direction fed with everything that arrives; null for none. Set
    // before start_server and kept until stop_server has returned.
    traffic::Monitor* m_monitor = nullptr;

    // Whether this run's receiving side opened: kOpening until it tried, then
    // kOpen or kNotOpen (bad port, open failed). Kept after the run.
    enum ReceiverState { kOpening = 0, kOpen = 1, kNotOpen = -1 };
    std::atomic<int> m_receiver_state{kOpening};
    // The serial receiver's port outages in this run (cleared at its start, kept after it).
    SerialOutageFigures m_serial_outage;
};
