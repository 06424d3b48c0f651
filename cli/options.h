// The runner's command line: every option, its default and its check.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "packet_format.h"
#include "session.h"
#include "stage.h"

namespace cli {

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
    sim::Faults faults;  // the simulated converter's, with --simulate

    std::string directionName() const {
        return net ? "net" : e2u && u2e ? "both" : (e2u ? "e2u" : "u2e");
    }
    std::string address() const {
        return dest_ip.empty() ? "" : dest_ip + ":" + std::to_string(dest_port);
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
    int baud = 115200;
    Thresholds limits;
    std::string json_path;  // "-" for standard output
    std::string html_path;  // the HTML report with plots
    std::string csv_path;
    std::string junit_path;
    double connect_timeout_ms = 5000;  // the first TCP connection of each channel
    bool simulate = false;  // test the built-in simulated converter instead of a device
    bool listen_given = false;
    sim::Faults faults;     // the simulated converter's faults
    bool help = false;
    bool version = false;
    // What runs: the --channel and --config channels, or the one-channel form.
    std::vector<Channel> channels;

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
// A strict dotted IPv4 address: four numbers 0..255, nothing else.
bool isIPv4(const std::string& text);
std::string usage();

}  // namespace cli
