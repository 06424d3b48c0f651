// The runner's option parser on arbitrary input, read two ways: as an argument
// list (NUL-separated) and as the content of a --config channel file. Never a
// crash; what it accepts is within the documented limits; what it refuses is
// said in a message of bounded length without raw control characters.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "options.h"
#include "scratch.h"

namespace {

void check(bool ok, const cli::Options& o, const std::string& error) {
    if (!ok) {
        if (error.empty() || error.size() > 2000) abort();
        for (const char c : error)
            if ((static_cast<unsigned char>(c) < 0x20) || c == 0x7f) abort();
        return;
    }
    if (o.help || o.version) return;
    if (!(o.rate >= cli::kMinRate && o.rate <= cli::kMaxRate)) abort();
    if (!(o.latency_bound_ms >= cli::kMinLatencyBoundMs &&
          o.latency_bound_ms <= cli::kMaxLatencyBoundMs))
        abort();
    if (!(o.duration_s > 0 && o.duration_s <= cli::kMaxDurationS)) abort();
    if (o.count > 0 && static_cast<double>(o.count) / o.rate > cli::kMaxDurationS) abort();
    if (o.format == measure::Format::Counter8 &&
        o.rate * o.latency_bound_ms / 1000 >= cli::kCounter8Window)
        abort();
    if (o.listen_port == 0 || o.channels.empty() || o.channels.size() > cli::kMaxChannels) abort();
    int on_stdout = 0;
    for (const std::string* p : {&o.json_path, &o.csv_path, &o.junit_path}) on_stdout += *p == "-";
    if (on_stdout > 1) abort();
    double in_flight = 0;
    for (const cli::Channel& c : o.channels) {
        in_flight += (c.e2u && c.u2e && !c.net ? 2 : 1) * o.rate *
                     (o.latency_bound_ms + c.faults.delay_ms + c.faults.jitter_ms) / 1000;
        if (o.simulate) continue;
        if (c.transport != traffic::Transport::TcpServer &&
            (c.dest_port == 0 || !cli::isIPv4(c.dest_ip)))
            abort();
        if (!c.net && c.port.empty()) abort();
    }
    if (in_flight > cli::kMaxInFlight * (1 + 1e-9)) abort();
}

bool parse(const std::vector<std::string>& args, cli::Options* o, std::string* error) {
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return cli::parseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The bytes as a channel file first: any --config in the argument list
    // reads this file, never one of the machine's (a device could block).
    static const testsupport::ScratchDir dir;
    static const std::string path = dir / "channels";
    if (dir.path.empty()) abort();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
    std::fclose(f);

    std::vector<std::string> args{"convbench-cli"};
    std::string cur;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0) {
            cur += static_cast<char>(data[i]);
            continue;
        }
        if (args.back() == "--config") cur = path;
        if (cur.rfind("--config=", 0) == 0) cur = "--config=" + path;
        args.push_back(cur);
        cur.clear();
    }
    cli::Options o;
    std::string error;
    check(parse(args, &o, &error), o, error);

    for (const bool simulate : {true, false}) {
        cli::Options c;
        error.clear();
        std::vector<std::string> a{"convbench-cli", "--config", path, "-r", "50"};
        if (simulate) a.push_back("--simulate");
        check(parse(a, &c, &error), c, error);
    }
    return 0;
}
