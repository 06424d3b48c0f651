#include "tcp_function.h"

#include <cstdio>
#include <string>

#include "oslite.h"
#include "shared_items.h"
#include "socket.h"

std::atomic<int> active_task{1};
std::atomic<int> tcp_relay_streams{0};

namespace {
constexpr int kSendSliceMs = 100;  // longest wait for room before active_task is looked at again
}

// Relay numbering: the count runs 1 ... 127 and then starts again at 1.
int creatPacket(packet* pkt, int m_counter) {
    if (m_counter == 127) m_counter = 0;
    const int count = m_counter + 1;
    pkt->counter = static_cast<int8_t>(count & 0xFF);
    for (int i = 0; i < 5; ++i) pkt->data[i] = static_cast<int8_t>(i + 1);
    pkt->checksum = static_cast<int8_t>((count + 15) & 0xFF);
    return count;
}

void dump_packet(const char* counter_format, const packet* pckt) {
    printf(counter_format, pckt->counter);
    for (int i = 0; i < 5; ++i) printf("%d, ", pckt->data[i]);
    printf("cheaksum: %d, ", pckt->checksum);
    printf("\n");
}

void print_packet(packet* pckt) {
    dump_packet("client:   counter: %d, ", pckt);
}

// Waits until the starter has stored the thread handle of the record (it does
// so right after starting the thread), then releases handle and record.
static void release_record(tcp_client_struct* h) {
    std::thread* t;
    while ((t = h->task.load(std::memory_order_acquire)) == nullptr) OS_MSleep(1);
    delete t;  // detached by its starter: deleting the handle does not touch the thread
    delete h;
}

void pendingApproval(tcp_client_struct* h) {
    std::thread* t = new std::thread(tcp_rx_msg, h);
    t->detach();
    h->task.store(t, std::memory_order_release);
}

void tcp_rx_msg(tcp_client_struct* h) {
    tcp_client_struct* phandle = new tcp_client_struct{};
    phandle->ip = h->ip;
    phandle->socket = h->socket;
    phandle->port = h->port;
    phandle->pending_approval_flag = h->pending_approval_flag;

    while (phandle->pending_approval_flag) {
        phandle->pending_approval_flag = get_msg(phandle);
    }

    // The stream has ended: close the connection and release the records.
    Socket_Close(static_cast<unsigned int>(phandle->socket));
    delete phandle;
    release_record(h);
    tcp_relay_streams.fetch_sub(1, std::memory_order_release);
}

// Sends the packet in slices of at most kSendSliceMs, looking at active_task
// between them: a peer that stops reading cannot hold the relay past a clear
// of the flag. A failed send is given up, as a packet sent.
static void send_packet(int socket, const packet* block) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(block);
    int left = static_cast<int>(sizeof(packet));
    while (left > 0 && active_task.load() != 0) {
        const int n = Socket_SendWithin(static_cast<unsigned int>(socket), p, left, kSendSliceMs);
        if (n < 0) return;
        p += n;
        left -= n;
    }
}

int get_msg(tcp_client_struct* h) {
    packet* block = new packet{};
    int count = 0;
    while (h->pending_approval_flag) {
        count = creatPacket(block, count);
        send_packet(h->socket, block);
        updateClientCnt(count);
        OS_MSleep(100);
        h->pending_approval_flag = active_task.load();
    }
    delete block;
    return 0;
}
