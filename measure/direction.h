// Measurement of one direction of a run: what the sending side sent, what the
// receiving side got, and the figures that follow. No threads, no I/O, no
// clock of its own: callers pass monotonic times in nanoseconds and serialise
// their calls.
//
// Every packet numbered ends in exactly one state:
//  - not sent: its turn came while the tester could not send (onNotSent), or
//    its send failed (onSendFailed); never counted as sent, nor lost;
//  - received: its first intact copy arrived within the latency bound;
//  - lost: overdue by the bound with no intact copy, or (counter8) settled by
//    the window (below);
//  - in flight: neither yet.
// So sent == received + lost + in_flight at any time. Damaged packets count as
// corrupt on their own: they say nothing about which packet they were. A
// further copy of a received packet counts as duplicated however late it comes;
// a copy arriving after its bound counts as late (the packet stays lost). Intact
// packets of the other lane are the other direction's (an echo of the tester's
// own bytes) and count as echoed, never as received.
//
// Matching a received packet to the packet sent: a Seq32 packet carries 32 bits
// and matches directly; the state of every packet of the run is remembered in
// two bits (a quarter byte a packet), so a copy arriving long after is still
// known. A Counter8 packet carries its number mod 256 and is taken to be the most
// recently numbered packet with that counter byte. So that a counter byte can
// never match the wrong packet, a counter8 packet is settled once
// kCounter8Window (256) newer packets have been numbered: lost if it has not
// arrived, whatever the bound. Copies arriving later than that cannot be told
// from newer packets: the runner refuses counter8 settings whose rate x bound
// reaches the window.
//
// Memory: the send times of the packets in flight, plus those settled within the
// last second (kReadGraceNs: an arrival read that much late still finds its
// packet), in a ring that starts at 16 entries and doubles as needed (8 to 16
// bytes a packet of rate x (bound + 1 s)); seq32 adds the quarter byte per packet
// of the run, counter8 keeps only its window's states. Histograms allocate a
// 1 KiB page per factor of two of the values seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "histogram.h"
#include "packet_format.h"

namespace measure {

struct Latency {
    uint64_t count = 0;
    double min_us = 0, mean_us = 0, p50_us = 0, p90_us = 0, p99_us = 0, max_us = 0;
};

// The tester's own health: how late it sent and how late it read.
struct TesterFigures {
    Latency send_lateness;        // send time against each packet's deadline (us)
    Latency receive_delay;        // arrival (kernel stamp, or serial estimate) to the read (us)
    uint64_t sent_late = 0;       // packets sent more than one period after their deadline
    double longest_stall_ms = 0;  // the largest send lateness or receive delay
    double stall_at_s = 0;        // when that stall began, seconds after the first send
};

struct Figures {
    uint64_t sent = 0;           // packets handed to the converter
    uint64_t received = 0;       // packets whose first intact copy arrived within the bound
    uint64_t lost = 0;           // sent, settled without an intact copy within the bound
    uint64_t duplicated = 0;     // further copies of a packet already received
    uint64_t reordered = 0;      // received after a packet sent later had been received
    uint64_t corrupt = 0;        // damaged or short packets (and empty datagrams)
    uint64_t skipped_bytes = 0;  // bytes that belong to no packet
    uint64_t late = 0;           // copies that arrived after their bound (the packet stays lost)
    uint64_t in_flight = 0;      // sent, not yet received nor settled
    uint64_t echoed = 0;      // the other direction's packets (the tester's own bytes, echoed back)
    uint64_t not_sent = 0;    // packets whose turn came while the tester could not send
    Latency latency;          // one-way, send to arrival, of received packets
    double jitter_us = 0;     // RFC 3550 interarrival jitter
    double send_rate = 0;     // packets/s over the sending span
    double receive_rate = 0;  // packets/s over the receiving span
    TesterFigures tester;
};

class Direction : private FrameSink {
public:
    // An arrival read up to this long after it came still finds its packet's
    // send time, even if the bound ran out meanwhile.
    static constexpr int64_t kReadGraceNs = 1000000000;

    // `own`: the lane this direction's packets are sent on; intact packets of
    // the other lane count as echoed. `size`: the run's Sized packet length.
    Direction(Format format, int64_t latency_bound_ns, Lane own = Lane::Plain, int size = 0);

    Format format() const { return format_; }
    int packetSize() const { return framer_.packetSize(); }
    Lane lane() const { return own_; }
    int64_t latencyBound() const { return bound_; }

    // The pacing period asked for, to count packets sent more than one period
    // late (none are counted without it).
    void setPeriod(int64_t period_ns) { period_ = period_ns; }

    // Packet `seq` (1, 2, ... rising; gaps allowed) is being sent at t_ns; its
    // turn was deadline_ns. Call it before the packet goes on the wire.
    void onSent(uint64_t seq, int64_t t_ns, int64_t deadline_ns);
    void onSent(uint64_t seq, int64_t t_ns) { onSent(seq, t_ns, t_ns); }
    // The send of `seq`, the last one announced, failed: it never left.
    void onSendFailed(uint64_t seq);
    // Packet `seq`'s turn came at deadline_ns while the tester's own port was
    // gone: counted as not_sent, never as sent nor lost.
    void onNotSent(uint64_t seq, int64_t deadline_ns);

    // Bytes from a stream (serial line, TCP) that arrived at arrival_ns and
    // were read at read_ns. Latency counts from the arrival; read - arrival
    // is the tester's receive delay.
    void onBytes(const uint8_t* p, size_t n, int64_t arrival_ns, int64_t read_ns);
    void onBytes(const uint8_t* p, size_t n, int64_t t_ns) { onBytes(p, n, t_ns, t_ns); }
    // One datagram. Datagrams are framed as one stream, so packets packed
    // several to a datagram, or cut across datagrams, count. An empty datagram
    // counts as corrupt.
    void onDatagram(const uint8_t* p, size_t n, int64_t arrival_ns, int64_t read_ns);
    void onDatagram(const uint8_t* p, size_t n, int64_t t_ns) { onDatagram(p, n, t_ns, t_ns); }
    // The stream ended (a TCP connection closed): bytes held are framed as
    // they are, and the next stream is framed afresh.
    void onStreamEnd() { framer_.flush(*this); }

    // Settles as lost every packet overdue by the latency bound at now_ns. Each
    // onSent does this too, so memory stays bounded by the packets in flight.
    void expire(int64_t now_ns);
    // End of the run (after any drain wait): bytes still held are framed, and
    // with `all` every packet still in flight counts as lost.
    void finish(int64_t now_ns, bool all);

    Figures figures() const;
    // Latency of the packets received since the last call (the first: since
    // the start), for figures over time.
    Latency takeIntervalLatency();
    // One-way latencies of the packets received, in coarse bins (nanoseconds).
    std::vector<std::pair<int64_t, uint64_t>> latencyBins(int per_decade) const {
        return latency_.bins(per_decade);
    }
    // Packets whose send times the core has room for (its ring), bounded by the
    // packets in flight.
    size_t capacity() const { return ring_.size(); }
    // Bytes the core holds on the heap (ring, packet states, histograms).
    size_t memoryBytes() const;

private:
    enum State : uint8_t { kUnsent = 0, kInFlight = 1, kReceived = 2, kLost = 3 };
    static constexpr int kPageShift = 14;  // packets a state page holds: 2^14 (4 KiB)

    void onPacket(uint32_t wire, Lane lane) override;
    void onCorrupt(size_t) override { ++corrupt_; }
    void onSkipped(size_t bytes) override { skipped_ += bytes; }

    State state(uint64_t seq) const;
    void setState(uint64_t seq, State s);
    int64_t& sentAt(uint64_t seq) { return ring_[seq & (ring_.size() - 1)]; }
    int64_t sentAt(uint64_t seq) const { return ring_[seq & (ring_.size() - 1)]; }
    void number(uint64_t seq, int64_t t_ns, State s);
    void settle(uint64_t seq);
    void trim();
    void stall(int64_t ns, int64_t began_ns);
    void received(uint64_t seq, int64_t transit);
    uint64_t match(uint32_t wire) const;  // 0 when no packet numbered matches

    Format format_;
    int64_t bound_;
    Lane own_;
    Framer framer_;
    int64_t arrival_ns_ = 0;   // arrival time of the bytes being framed
    int64_t now_ = INT64_MIN;  // the latest time expiry ran at

    // Send times of packets [base_, next_); [base_, expiry_) are settled.
    std::vector<int64_t> ring_;
    uint64_t base_ = 1, expiry_ = 1, next_ = 1;
    uint64_t max_received_ = 0;
    // Two bits of state per packet, by pages of 2^kPageShift packets; counter8
    // releases the pages it can no longer match.
    std::vector<std::unique_ptr<uint64_t[]>> states_;
    uint64_t freed_ = 0;  // pages below this one are released

    uint64_t sent_ = 0, received_ = 0, lost_ = 0, duplicated_ = 0, reordered_ = 0;
    uint64_t corrupt_ = 0, skipped_ = 0, late_ = 0, in_flight_ = 0, echoed_ = 0, not_sent_ = 0;
    Histogram latency_, interval_;
    double jitter_ns_ = 0;
    int64_t last_transit_ = 0;
    int64_t first_sent_ = 0, last_sent_ = 0, before_last_sent_ = 0, first_recv_ = 0, last_recv_ = 0;

    // The tester's own health.
    int64_t period_ = 0;
    Histogram send_lateness_, receive_delay_;
    uint64_t sent_late_ = 0;
    bool started_ = false;
    int64_t origin_ = 0;  // the first packet's turn
    int64_t longest_stall_ = 0, stall_began_ = 0;
};

}  // namespace measure
