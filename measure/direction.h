// Measurement of one direction of a run: what the sending side sent, what the
// receiving side got, and the figures that follow. No threads, no I/O, no
// clock of its own: callers pass monotonic times in nanoseconds and serialise
// their calls.
//
// Matching a received packet to the packet sent: a Counter8 packet carries its
// number mod 256, and is taken to be the most recently sent packet with that
// counter byte. This is exact for any mix of loss, duplication and reordering
// as long as no packet arrives 256 or more sends after it was sent. Seq32
// packets carry 32 bits and match directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "histogram.h"
#include "packet_format.h"

namespace measure {

struct Latency {
    uint64_t count = 0;
    double min_us = 0, mean_us = 0, p50_us = 0, p90_us = 0, p99_us = 0, max_us = 0;
};

// The tester's own health (stub until the core lands).
struct TesterFigures {
    Latency send_lateness;
    Latency receive_delay;
    uint64_t sent_late = 0;
    double longest_stall_ms = 0;
    double stall_at_s = 0;
};

struct Figures {
    uint64_t sent = 0;        // packets handed to the converter
    uint64_t received = 0;    // packets that arrived intact, once each, within the bound
    uint64_t lost = 0;        // sent, overdue by the bound, never seen intact nor damaged
    uint64_t duplicated = 0;  // further copies of a packet already received
    uint64_t reordered = 0;   // arrived after a packet sent later had arrived
    uint64_t corrupt = 0;     // damaged packets (and empty datagrams)
    uint64_t skipped_bytes = 0;  // bytes that belong to no packet
    uint64_t late = 0;        // arrived after being counted lost (stay lost)
    uint64_t in_flight = 0;   // sent, not yet received nor overdue
    Latency latency;          // one-way, send to arrival, of received packets
    double jitter_us = 0;     // RFC 3550 interarrival jitter
    double send_rate = 0;     // packets/s over the sending span
    double receive_rate = 0;  // packets/s over the receiving span
    uint64_t echoed = 0;
    uint64_t not_sent = 0;
    TesterFigures tester;
};

class Direction : private FrameSink {
public:
    Direction(Format format, int64_t latency_bound_ns);

    Format format() const { return format_; }
    int64_t latencyBound() const { return bound_; }

    // Packet `seq` (1, 2, ... rising; gaps allowed) is being sent at t_ns.
    // Call it before the packet goes on the wire.
    void onSent(uint64_t seq, int64_t t_ns);
    // The send of `seq`, the last one announced, failed: it never left.
    void onSendFailed(uint64_t seq);

    // Bytes from a stream (serial line, TCP) that arrived at t_ns.
    void onBytes(const uint8_t* p, size_t n, int64_t t_ns);
    // One datagram that arrived at t_ns. Datagrams are framed as one stream,
    // so packets packed several to a datagram, or cut across datagrams, count.
    // An empty datagram counts as corrupt.
    void onDatagram(const uint8_t* p, size_t n, int64_t t_ns);
    // The stream ended (a TCP connection closed): bytes held count as skipped,
    // and the next stream is framed afresh.
    void onStreamEnd() { framer_.flush(*this); }

    // Counts as lost every packet overdue by the latency bound at now_ns. Each
    // onSent does this too, so memory stays bounded by the packets in flight.
    void expire(int64_t now_ns);
    // End of the run (after any drain wait): bytes still held count as skipped,
    // and with `all` every packet not yet received counts as lost.
    void finish(int64_t now_ns, bool all);

    Figures figures() const;
    // Latency of the packets received since the last call (the first: since
    // the start), for figures over time.
    Latency takeIntervalLatency();
    // One-way latencies of the packets received, in coarse bins (nanoseconds).
    std::vector<std::pair<int64_t, uint64_t>> latencyBins(int per_decade) const {
        return latency_.bins(per_decade);
    }
    // Packets the core has room to remember: its memory use, bounded by the
    // packets in flight.
    size_t capacity() const { return ring_.size(); }

private:
    enum State : uint8_t { kUnsent, kInFlight, kReceived, kLost };
    struct Entry {
        int64_t sent_ns;
        State state;
    };

    void onPacket(uint32_t wire) override;
    void onCorrupt() override { ++corrupt_; }
    void onSkipped(size_t bytes) override { skipped_ += bytes; }

    Entry& at(uint64_t seq) { return ring_[seq & (ring_.size() - 1)]; }
    const Entry& at(uint64_t seq) const { return ring_[seq & (ring_.size() - 1)]; }
    void grow();
    void trim();
    uint64_t match(uint32_t wire) const;  // 0 when no packet sent matches

    Format format_;
    int64_t bound_;
    Framer framer_;
    int64_t arrival_ns_ = 0;  // arrival time of the bytes being framed

    // Packets [base_, next_) are remembered; [base_, expiry_) are settled.
    std::vector<Entry> ring_;
    uint64_t base_ = 1, expiry_ = 1, next_ = 1;
    uint64_t max_received_ = 0;

    uint64_t sent_ = 0, received_ = 0, lost_ = 0, duplicated_ = 0, reordered_ = 0;
    uint64_t corrupt_ = 0, skipped_ = 0, late_ = 0, in_flight_ = 0;
    Histogram latency_, interval_;
    double jitter_ns_ = 0;
    int64_t last_transit_ = 0;
    int64_t first_sent_ = 0, last_sent_ = 0, first_recv_ = 0, last_recv_ = 0;
};

}  // namespace measure
