// One run as the results store keeps it: who and what was tested, where and
// when, every figure with its limit, the per-second rows, the outcome and the
// status. Plain data, filled by the runner or the window; the same text form
// (JSON) serves the spool, `history` exports and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace store {

// Identity texts: at most this many bytes of valid UTF-8, no control characters.
constexpr size_t kMaxIdentityBytes = 64;
constexpr size_t kMaxTagKeyBytes = 32;     // letters, digits, '_', '-', '.'
constexpr size_t kMaxTagValueBytes = 128;  // like an identity text
constexpr size_t kMaxTags = 32;

struct Figure {
    std::string name;  // "lost", "latency_p99_ms", ...
    double value = 0;
    bool has_limit = false;
    double limit = 0;  // the most allowed, when has_limit
    std::string unit;  // "packets", "ms", "1/s", "bytes"
    bool passed = true;
};

struct Direction {
    std::string name;     // "e2u", "u2e", "net"
    std::string outcome;  // "pass", "fail", "inconclusive"
    std::vector<Figure> figures;
};

struct Channel {
    std::string name, dut, port, transport, address, direction;
    std::string outcome;
    std::vector<Direction> directions;
};

// The figures so far of one channel and direction at one second of the run.
struct Second {
    int channel = 0;  // index into Run::channels
    std::string direction;
    double t_s = 0;
    int64_t sent = 0, received = 0, lost = 0, duplicated = 0, reordered = 0, corrupt = 0;
    double p50_us = 0, p99_us = 0;
};

struct Run {
    std::string id;          // a random UUID: delivering a run twice records it once
    std::string started_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
    double elapsed_s = 0;
    std::string program, version;  // "convbench-cli", "0.2.0"
    std::string station, operator_name, part, dut;
    std::string outcome;  // "pass", "fail", "inconclusive"
    std::string status;   // "completed", "interrupted", "setup-error"
    std::vector<std::pair<std::string, std::string>> tags;
    std::string settings;  // the run's options, as a JSON object
    std::vector<Channel> channels;
    std::vector<Second> seconds;
};

std::string newRunId();
std::string utcNow();
std::string hostName();

// The run as a JSON object and back; false (with a reason) for text that is
// not such an object.
std::string toJson(const Run& run, int indent = -1);
bool fromJson(const std::string& text, Run* run, std::string* error);

// Why an identity text (a serial number, station, operator, part, tag value)
// is refused; empty when it is taken. `most` is its longest in bytes.
std::string identityProblem(const std::string& value, size_t most);
// Why a "key=value" tag is refused; empty when it is taken.
std::string tagProblem(const std::string& key, const std::string& value);
// Outcome and status texts the store takes.
bool isOutcome(const std::string& s);
bool isStatus(const std::string& s);
// Why a run cannot be stored (no id, an unknown outcome or status); empty when
// it can. A store, its spool and a sync all take the same runs.
std::string runProblem(const Run& run);

}  // namespace store
