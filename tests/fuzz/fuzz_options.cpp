// The runner's option parser on arbitrary argument lists (NUL-separated):
// never a crash, and options it accepts are within their ranges.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"convbench-cli"};
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    args.push_back(cur);
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    cli::Options o;
    std::string error;
    const bool ok = cli::parseOptions(static_cast<int>(argv.size()), argv.data(), &o, &error);
    if (!ok && error.empty()) abort();
    if (ok && !o.help && !o.version) {
        if (o.rate <= 0 || o.listen_port == 0 || o.latency_bound_ms <= 0) abort();
        if (o.channels.empty()) abort();
        for (const cli::Channel& c : o.channels) {
            if (o.simulate) continue;
            if (c.transport != traffic::Transport::TcpServer &&
                (c.dest_port == 0 || !cli::isIPv4(c.dest_ip)))
                abort();
            if (!c.net && c.port.empty()) abort();
        }
    }
    return 0;
}
