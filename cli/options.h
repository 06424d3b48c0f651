// The runner's command line: every option, its default and its check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packet_format.h"
#include "session.h"
#include "stage.h"

namespace cli {

// Limits of the options, chosen so that a run's memory stays bounded: the
// packets in flight (the core remembers each until it is settled) and the
// simulated converters' held packets together stay under kMaxInFlight, and a
// run is at most a day long. Every limit is in --help and the README.
constexpr double kMinRate = 0.01, kMaxRate = 1000000;  // packets per second per direction
constexpr double kMinDurationS = 0.001, kMaxDurationS = 86400;  // also --count at --rate
constexpr double kMinLatencyBoundMs = 0.1, kMaxLatencyBoundMs = 600000;
constexpr double kMinConnectTimeoutMs = 1, kMaxConnectTimeoutMs = 3600000;
constexpr double kMaxTesterStallMs = 600000;
constexpr double kMaxP99Ms = 600000;
// The sum over channels and directions of rate x (latency bound + simulated
// delay + jitter + the second the core keeps settled packets for late reads):
// the packets a run may hold at once.
constexpr double kMaxInFlight = 1048576;
// The packets of a whole run, over channels and directions: seq32 keeps a
// quarter byte of state for each, so this caps that at 32 MB.
constexpr double kMaxRunPackets = 134217728;
constexpr size_t kMaxChannels = 1000;
constexpr size_t kMaxConfigBytes = 1 << 20;  // a --config file
// counter8 tells this many packets in flight apart (measure::kCounter8Window).
constexpr double kCounter8Window = 256;

// Pass limits; a negative limit is no limit.
struct Thresholds {
    int64_t max_lost = 0;
    int64_t max_duplicated = 0;
    int64_t max_corrupt = 0;
    int64_t max_reordered = -1;
    double max_p99_ms = -1;
};

// One channel: a serial port, its converter's endpoint, the transport and the
// directions. Every channel runs on threads of its own.
struct Channel {
    std::string name;  // "ch1", "ch2", ... unless named
    std::string port;
    std::string dest_ip;  // udp, tcp-client: the converter
    uint16_t dest_port = 0;
    uint16_t listen_port = 3456;  // udp, tcp-server: the local port (0: any, with --simulate)
    traffic::Transport transport = traffic::Transport::Udp;
    bool e2u = true, u2e = true, net = false;
    int baud = 115200;
    UART_Line_t line;    // data bits, parity, stop bits, flow control
    sim::Faults faults;  // the simulated converter's, with --simulate
    std::string dut;     // the unit on this channel's port (dut=); empty: the run's --dut

    std::string directionName() const {
        return net ? "net" : e2u && u2e ? "both" : (e2u ? "e2u" : "u2e");
    }
    std::string address() const {
        return dest_ip.empty() ? "" : dest_ip + ":" + std::to_string(dest_port);
    }
    // A session on this channel's port, line and endpoint; its directions,
    // rate and packets are the caller's.
    traffic::SessionConfig session() const {
        traffic::SessionConfig sc;
        sc.serial = port;
        sc.baud = baud;
        sc.line = line;
        sc.dest_ip = dest_ip;
        sc.dest_port = dest_port;
        sc.listen_port = listen_port;
        sc.transport = transport;
        return sc;
    }
};

struct Options {
    // The one-channel form, and the defaults of every --channel.
    std::string port;  // serial port, path or bare name
    std::string dest_ip;
    uint16_t dest_port = 0;
    uint16_t listen_port = 3456;
    traffic::Transport transport = traffic::Transport::Udp;
    bool e2u = true, u2e = true, net = false;
    double rate = 10;
    double duration_s = 10;
    uint64_t count = 0;  // packets per direction; 0: by duration
    double latency_bound_ms = 1000;
    measure::Format format = measure::Format::Counter8;
    // Packet sizes: the sized format's length, --size.
    int size = measure::kSizedMin;
    bool size_given = false;
    int baud = 115200;
    Thresholds limits;
    std::string json_path;  // "-" for standard output
    std::string html_path;  // the HTML report with plots
    std::string csv_path;
    std::string junit_path;
    double connect_timeout_ms = 5000;  // the first TCP connection of each channel
    // A failing run whose tester was held up longer than this is inconclusive.
    double tester_stall_ms = 50;
    bool simulate = false;  // test the built-in simulated converter instead of a device
    bool listen_given = false;
    sim::Faults faults;     // the simulated converter's faults
    bool help = false;
    bool version = false;
    // Line settings and RFC 2217 (the defaults of every --channel in `line`).
    UART_Line_t line;
    bool format_given = false;    // --format named; else a line that needs seq7 gets it
    bool strict_rfc2217 = false;  // an rfc2217 answer unlike the setting asked fails

    // What runs: the --channel and --config channels, or the one-channel form.
    std::vector<Channel> channels;

    // Unit records: who and what is tested, and where the run is recorded.
    std::string dut;            // --dut: the unit's serial number
    std::string station;        // --station (default: the host name)
    std::string operator_name;  // --operator
    std::string part;           // --part: the unit's part number
    std::vector<std::pair<std::string, std::string>> tags;  // --tag key=value, in order
    std::string db;         // --db: a file or postgresql:// URI; "none": no record
    std::string spool_dir;  // --spool: where runs the store cannot take wait

    std::string directionName() const {
        return net ? "net" : e2u && u2e ? "both" : (e2u ? "e2u" : "u2e");
    }
};

// Parses argv; false with a message for the user on bad input, among it two
// channels naming the same serial port or the same listen port. Nothing is
// opened but a --config file, which is read.
bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error);
// One channel from its desc ("port=/dev/ttyUSB0,address=10.0.0.5:4001,
// transport=tcp-client"; keys separated by commas or blanks), starting from
// *out (the defaults); fault keys are taken only with `simulate`.
bool parseChannel(const std::string& desc, bool simulate, Channel* out, std::string* error);
// A strict dotted IPv4 address: four decimal numbers 0..255 without leading
// zeros (010 would be octal to inet_aton), nothing else.
bool isIPv4(const std::string& text);
std::string usage();

}  // namespace cli
