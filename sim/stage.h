// The fault stage of one direction of the simulated converter. No I/O, no
// threads, no clock: callers hand it the bytes that arrived with their time
// and take back what is to be written (serial side) or sent (network side).
//
// Pipeline, in order: framing (measure::Framer) -> outage -> fate (drop,
// corrupt, duplicate: one draw, exclusive) -> truncate (a draw of its own, on
// packets the fate left intact) -> reorder hold -> FIFO delay -> output (stray
// byte, line queue with overflow, split or pack) -> ready.
// Bytes that are not packets pass every step unchanged and in order. The echo
// fault is no step here: the serial side's I/O (converter_posix.cpp) writes
// what it read back to the pty before the bytes reach this stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "packet_format.h"

namespace sim {

// Every fault is off at its default.
struct Faults {
    double drop = 0, duplicate = 0, corrupt = 0, reorder = 0;
    int reorder_depth = 1;
    double delay_ms = 0, jitter_ms = 0, stray = 0;
    int pack_size = 0;
    double pack_gap_ms = 0;
    int split = 0;
    int baud = 0;
    // Bytes the serial line queue (net->serial, with a baud rate) holds before
    // a packet overflows; 0: kLineQueueBytes.
    int queue = 0;
    int outage_ms = 0, outage_every_ms = 0;
    // TCP only: the converter drops its connection every disconnect_every_ms
    // and stays away for disconnect_for_ms (server: not listening; client: not
    // connecting) before it takes or makes the next one.
    int disconnect_every_ms = 0, disconnect_for_ms = 0;
    // A packet cut short: 1 .. size-1 bytes taken off its end, with this
    // probability (a draw of its own, after drop, corrupt and duplicate; only a
    // packet none of them took is cut, so each packet has at most one fault).
    double truncate = 0;
    // The serial side echoes every byte the tester writes back to the tester,
    // as a two-wire RS-485 line or a converter with local echo does.
    bool echo = false;
    uint64_t seed = 1;
};

// Parses one fault option ("--drop" or "drop", value "0.01") into *f.
bool parseFaultOption(const std::string& name, const std::string& value, Faults* f,
                      std::string* error);
// Checks the settings together (probabilities summing past 1, outage longer
// than its period).
bool checkFaults(const Faults& f, std::string* error);

enum class Way { NetToSerial, SerialToNet };
const char* wayName(Way w);  // "net_to_serial", "serial_to_net"

struct Counts {
    uint64_t packets = 0;    // valid packets found in the incoming bytes
    uint64_t bytes_in = 0;   // bytes that arrived
    uint64_t bytes_out = 0;  // bytes written (serial side) or sent (network side)
    uint64_t writes = 0;     // pty writes (net->serial) or datagrams (serial->net)
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t corrupted = 0;
    uint64_t reordered = 0;
    uint64_t stray_bytes = 0;
    uint64_t overflow = 0;         // packets that did not fit the line queue
    uint64_t outage_dropped = 0;   // packets that arrived during an outage
    uint64_t outages = 0;          // outage windows begun
    uint64_t damaged_in = 0;       // damaged packets that arrived (passed on as bytes)
    uint64_t discarded_bytes = 0;  // bytes the system would not take (set by the I/O side)
    uint64_t disconnected = 0;     // packets that arrived while no TCP connection was up
    uint64_t truncated = 0;        // packets sent cut short
    uint64_t truncated_bytes = 0;  // bytes cut off them
    // serial->net: bytes read from the pty and written back to it (the echo
    // fault; set by the I/O side)
    uint64_t echoed = 0;
};

// Bytes the serial line queue holds before a packet overflows, unless --queue
// says otherwise (up to kMaxLineQueueBytes).
constexpr size_t kLineQueueBytes = 1024;
constexpr int kMaxLineQueueBytes = 16777216;
// A reordered packet still held after this long without further packets is released.
constexpr int64_t kReorderHoldNs = 50000000;
// Packing by size alone sends the rest after this long without bytes.
constexpr int64_t kPackTailNs = 50000000;

class Stage : private measure::FrameSink {
public:
    // `size`: the Sized format's packet length (measure::packetSize).
    Stage(Way way, measure::Format format, const Faults& faults, int64_t start_ns, int size = 0);

    // One read from the pty or one datagram, arrived at now_ns.
    void input(const uint8_t* p, size_t n, int64_t now_ns);
    // Runs what is due at now_ns (delays, holds, pack gaps, line pacing).
    void advance(int64_t now_ns);
    // The earliest time advance() has something to do; max() when nothing.
    int64_t nextDeadline() const;

    // Writes (net->serial) or datagrams (serial->net) ready to go, oldest first.
    bool hasReady() const { return !ready_.empty(); }
    std::vector<uint8_t> popReady();

    // Reading pace of the serial side (serial->net with a baud rate): the time
    // the line has carried everything read so far, and the most to read at once.
    int64_t readableAt() const { return read_free_; }
    // serial->net over TCP: while offline (no connection up), what arrives is
    // dropped, its packets counted as `disconnected`.
    void setOffline(bool offline) { offline_ = offline; }
    size_t readLimit() const { return read_limit_; }

    const Counts& counts() const { return counts_; }
    Counts& counts() { return counts_; }
    Way way() const { return way_; }

private:
    enum class Fate : uint8_t { Intact, Corrupt, Duplicate, Truncated };
    struct Unit {
        bool packet = false;
        Fate fate = Fate::Intact;
        bool stray = false;
        uint8_t stray_byte = 0;
        uint16_t len = 0;          // packet bytes in pkt (fewer when truncated)
        std::vector<uint8_t> pkt;  // the packet, whole
        uint64_t pos = 0;          // input position among packets (1, 2, ...)
        int remaining = 0;         // reorder hold: packets still to pass
        int64_t release = 0;       // delay: time it leaves the FIFO
        int64_t jitter = 0;        // drawn jitter
        std::vector<uint8_t> raw;  // bytes that are not a packet
    };
    struct Piece {
        std::vector<uint8_t> bytes;
        int64_t due;
    };

    void onPacket(uint32_t wire, measure::Lane lane) override;
    void onCorrupt(size_t bytes) override;
    void onSkipped(size_t bytes) override;
    void take(size_t n, uint8_t* out);
    void rawUnit(size_t n);

    void updateOutages(int64_t now);
    bool inOutage(int64_t now) const;
    void decide(Unit&& u);
    void toDelay(Unit&& u);
    void output(Unit&& u);
    void endPass();
    void emit(std::vector<uint8_t>&& bytes);
    void releaseHeld(bool all);
    void runDue(int64_t now);

    Way way_;
    measure::Format format_;
    Faults f_;
    measure::Framer framer_;
    size_t size_;
    size_t queue_;  // the line queue's bytes
    int64_t start_;
    int64_t now_ = 0;
    bool dropping_ = false;  // the current input arrived during an outage
    bool offline_ = false;

    std::mt19937_64 fate_rng_;   // a fixed number of draws per packet
    std::mt19937_64 shape_rng_;  // split sizes
    std::mt19937_64 cut_rng_;    // truncate: two draws per packet, apart from the fate's

    std::vector<uint8_t> pend_;  // bytes fed to the framer, not yet attributed
    size_t pend_off_ = 0;
    int64_t hold_deadline_ = std::numeric_limits<int64_t>::max();
    int64_t hold_ns_;

    std::deque<Unit> held_;  // reorder
    int64_t held_deadline_ = std::numeric_limits<int64_t>::max();
    std::deque<Unit> delayed_;  // FIFO delay
    int64_t last_release_ = std::numeric_limits<int64_t>::min();
    uint64_t max_emitted_ = 0;

    std::vector<uint8_t> batch_;  // serial output of this pass
    std::vector<uint8_t> pack_;   // serial->net packing
    int64_t pack_deadline_ = std::numeric_limits<int64_t>::max();
    std::deque<Piece> line_;  // serial line queue (net->serial with a baud rate)
    size_t line_bytes_ = 0;
    int64_t line_free_ = 0;
    int64_t byte_ns_ = 0;  // one byte's time on the line, 0 without a baud rate

    int64_t read_free_ = std::numeric_limits<int64_t>::min();
    size_t read_limit_ = 65536;
    bool read_full_ = false;  // the last read took all it might: more was waiting

    uint64_t outage_index_ = 0;  // outage windows begun
    std::deque<std::vector<uint8_t>> ready_;
    Counts counts_;
};

}  // namespace sim
