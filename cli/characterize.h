// `convbench-cli characterize`: a converter's limits, found by trials on the
// runner's engine (one Session a trial), in the manner of RFC 2544: per
// channel, direction and packet size (the sized format) at the channel's baud:
//  - throughput: the highest offered load with nothing lost, by binary search
//    between 0 and the line rate (baud / 10 bytes/s) to a resolution, then a
//    confirming trial at the load found;
//  - loss against offered load: 100 %, 90 %, ... of the line rate until two
//    steps in a row lose nothing;
//  - latency (p50, p99, max) at 10, 50, 90 and 100 % of the throughput found;
//  - back-to-back: the longest burst, sent as fast as the sending side goes
//    (e2u: datagrams back to back; u2e: the serial line at its rate), that
//    loses nothing: the converter's buffer as seen from that side.
// Between trials: the residual wait (until nothing is in flight, at most the
// latency bound) and a settle time. A figure that cannot be established is
// inconclusive, never guessed; a losing trial whose tester was held up is
// repeated, and if it stays held up, inconclusive.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "direction.h"
#include "options.h"

namespace cli {

// The bytes a second the channel's line carries: the baud rate over the bits
// of one byte's frame (start, data, parity, stop: 10 on an 8N1 line).
inline double lineBytesPerSecond(const Channel& c) {
    const UART_Line_t& l = c.line;
    return c.baud / double(1 + l.data_bits + (l.parity != UART_kParityNone) + l.stop_bits);
}

// Version of the characterize JSON report; bump when a field changes meaning or goes.
constexpr int kCharacterizeSchema = 1;

struct CharzOptions {
    std::vector<Channel> channels;
    std::vector<std::vector<int>> channel_sizes;  // per channel: its sizes= key, else `sizes`
    std::vector<int> sizes;                       // packet sizes (default 13, 64, 256, 1024)
    double trial_s = 10;                          // length of a trial
    double resolution_pct = 1;                    // of the line rate
    double settle_ms = 500;                       // between trials
    double latency_bound_ms = 1000;               // also the longest residual wait
    double tester_stall_ms = 50;                  // a losing trial held up longer is repeated
    int retries = 2;                              // repeats of a held-up trial
    double burst_max_bytes = 0;                   // 0: one trial length at the line rate
    double connect_timeout_ms = 5000;
    bool throughput = true, loss = true, latency = true, burst = true;  // --only
    bool simulate = false;
    std::string json_path, html_path, sheet_path;
    bool help = false;
};

// Parses the arguments after "characterize"; false with a message on bad input.
bool parseCharacterize(int argc, const char* const* argv, CharzOptions* out, std::string* error);
std::string characterizeUsage();

// One trial and its raw figures.
struct Trial {
    std::string kind;     // "throughput", "confirm", "loss", "latency", "burst"
    double load_pct = 0;  // offered load asked, % of the line rate (burst: 100)
    double rate_pps = 0;  // packets per second asked
    uint64_t count = 0;   // packets asked
    measure::Figures figures;
    double offered_Bps = 0, delivered_Bps = 0;  // bytes/s sent and received
    double utilisation = 0;                     // delivered against the line rate
    double elapsed_s = 0;                       // sending
    double residual_wait_ms = 0;                // after sending, until nothing was in flight
    bool lossless = false;                      // every packet sent came back intact
    bool held_up = false;                       // lost, with the tester itself held up
    bool interrupted = false;
    int attempt = 1;
    std::string error;  // set-up failed
};

// A figure, or why it could not be established.
struct Finding {
    bool known = false;
    double value = 0;
    std::string note;
};

struct LoadPoint {
    double load_pct = 0;  // of the line rate
    Finding loss_ratio;   // loss trials: lost / sent
    Finding p50_ms, p99_ms, max_ms;
};

struct SizeResult {
    std::string way;  // "e2u", "u2e"
    int size = 0;
    double line_Bps = 0;     // baud / 10
    Finding throughput_pct;  // of the line rate
    bool confirmed = false;
    std::vector<LoadPoint> loss;     // 100 %, 90 %, ...
    std::vector<LoadPoint> latency;  // 10, 50, 90, 100 % of the throughput (load_pct: of the line)
    Finding burst_packets;           // longest burst with nothing lost
    bool burst_lower_bound = false;  // nothing lost up to the longest burst tried
    std::vector<Trial> trials;
};

struct ChannelCharz {
    Channel channel;
    std::vector<SizeResult> results;
    std::string error;
};

struct CharzResult {
    CharzOptions options;
    std::vector<ChannelCharz> channels;
    bool interrupted = false;
    std::string started_at;
    double elapsed_s = 0;
};

// Runs every channel at once (each its trials in turn); `interrupted` non-zero
// ends the current trial and leaves what was done. `progress` (may be null)
// gets a line after each trial.
CharzResult characterize(const CharzOptions& o, const std::atomic<int>& interrupted,
                         void (*progress)(const std::string& line));

std::string charzJson(const CharzResult& r);
std::string charzHtml(const CharzResult& r);
std::string charzSheet(const CharzResult& r);  // the one-page data sheet

// The subcommand: arguments after "characterize"; returns the exit status.
int characterizeMain(int argc, const char* const* argv);

}  // namespace cli
