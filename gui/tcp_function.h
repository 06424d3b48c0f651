// TCP relay: streams test packets, numbered by the relay rule, into a TCP
// connection to the converter on a thread of its own.
//
// Life of a relay: client::tcp_to_Uart connects and starts pendingApproval on
// a record of its own; pendingApproval starts tcp_rx_msg and ends; tcp_rx_msg
// copies the record and streams with get_msg until active_task is cleared.
// Every relay thread is detached when it is started. When the stream ends,
// tcp_rx_msg closes the connection and releases the records handed to it
// (its own copy, the hand-over record and that record's thread handle), so a
// relay that was stopped leaves nothing behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

// The 7-byte test packet: counter, data 1..5, checksum = low 8 bits of the sum
// of the six bytes before it. The sender and the receiver use it as their
// client::packet and server::packet.
struct packet {
    int8_t counter;
    int8_t data[5];
    int8_t checksum;
};

// Record handed from relay thread to relay thread. `task` is written by the
// thread that starts the next relay thread, after starting it, and read by the
// started thread only when it releases the record; hence atomic.
struct tcp_client_struct {
    int socket;
    int port;
    const char* ip;
    std::atomic<std::thread*> task;
    int pending_approval_flag;
};

// Run flag of the relay: 1 keeps streaming, 0 ends the stream after the
// current packet; a send that waits for room on the connection (the peer
// stopped reading) looks at the flag every 100 ms and gives up when it is 0.
extern std::atomic<int> active_task;

// Relay streams started and not yet ended. Raised by client::tcp_to_Uart before
// it starts the relay threads, lowered by the streaming thread as its very last
// step, after the connection is closed and the records are released.
extern std::atomic<int> tcp_relay_streams;

int creatPacket(packet* pkt, int m_counter);
void print_packet(packet* pckt);
// One line describing the packet on standard output, the counter printed with
// counter_format; every byte as a signed decimal.
void dump_packet(const char* counter_format, const packet* pckt);
void pendingApproval(tcp_client_struct* h);
void tcp_rx_msg(tcp_client_struct* h);
int get_msg(tcp_client_struct* h);
