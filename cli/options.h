// The runner's command line: every option, its default and its check.
#pragma once

#include <cstdint>
#include <string>

#include "packet_format.h"
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

struct Options {
    std::string port;  // serial port, path or bare name
    std::string dest_ip;
    uint16_t dest_port = 0;
    uint16_t listen_port = 3456;
    bool e2u = true, u2e = true, net = false;
    double rate = 10;
    double duration_s = 10;
    uint64_t count = 0;  // packets per direction; 0: by duration
    double latency_bound_ms = 1000;
    measure::Format format = measure::Format::Counter8;
    int baud = 115200;
    Thresholds limits;
    std::string json_path;  // "-" for standard output
    std::string csv_path;
    bool simulate = false;  // test the built-in simulated converter instead of a device
    bool listen_given = false;
    sim::Faults faults;     // the simulated converter's faults
    bool help = false;
    bool version = false;

    std::string directionName() const {
        return net ? "net" : e2u && u2e ? "both" : (e2u ? "e2u" : "u2e");
    }
};

// Parses argv; false with a message for the user on bad input.
bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error);
// A strict dotted IPv4 address: four numbers 0..255, nothing else.
bool isIPv4(const std::string& text);
std::string usage();

}  // namespace cli
