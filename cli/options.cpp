#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace cli {
namespace {

bool toDouble(const std::string& s, double* out) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool toInt(const std::string& s, int64_t lo, int64_t hi, int64_t* out) {
    if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-')) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool toPort(const std::string& s, uint16_t* out) {
    int64_t v;
    if (!toInt(s, 1, 65535, &v)) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

bool isIPv4(const std::string& text) {
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t digits = 0;
        int value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 4) {
            value = value * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

std::string usage() {
    return R"(usage: convbench-cli --port PORT --address IP:PORT [options]

Tests a serial-to-Ethernet converter: sends numbered test packets into one side,
receives them from the other, and judges what came out.

Connection:
  -p, --port PORT          serial port wired to the converter (path, or a name under /dev)
  -a, --address IP:PORT    the converter's UDP address (IPv4)
  -l, --listen PORT        local UDP port the converter sends to (default 3456)
  -b, --baud RATE          serial baud rate, a standard rate 9600..4000000 (default 115200);
                           packets are written no faster than the line carries
Run:
  -d, --direction DIR      e2u (network to serial), u2e (serial to network), both (default),
                           or net (network to network, no serial port: a UDP echo at the
                           address, or the listen port itself to check the tester)
  -r, --rate N             packets per second per direction (default 10)
  -t, --duration S         how long to send, in seconds (default 10)
  -n, --count N            send exactly N packets per direction instead of a duration
      --latency-bound MS   a packet not back within MS counts as lost (default 1000)
      --format F           counter8 (7-byte packet, default) or seq32 (11 bytes, 32-bit number)
Pass limits (a run that breaks one fails):
      --max-lost N         packets lost (default 0)
      --max-duplicated N   duplicate packets (default 0)
      --max-corrupt N      damaged packets (default 0)
      --max-reordered N    packets out of order (default: no limit)
      --max-p99 MS         99th percentile of one-way latency (default: no limit)
Simulated converter (no hardware; the converter runs in this process on loopback):
      --simulate           test against the built-in simulated converter
      --drop P --duplicate P --corrupt P --reorder P --reorder-depth K --delay MS
      --jitter MS --stray P --pack-size N --pack-gap MS --split N --outage MS
      --outage-every MS --seed N
                           its faults, as convbench-sim's options; --baud paces its serial
                           line at that rate (10 bits a byte); unpaced when not given
Reports:
      --json FILE          every figure, the options and the verdict as JSON ("-": stdout)
      --csv FILE           one row per second and direction, for plotting long runs
  -h, --help               this text
      --version            the program's version

Exit status: 0 pass, 1 fail, 2 usage error, 3 set-up error, 4 interrupted.
)";
}

bool parseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
    static const std::map<std::string, std::string> shorts = {
        {"-p", "--port"},     {"-a", "--address"},   {"-l", "--listen"},
        {"-b", "--baud"},     {"-d", "--direction"}, {"-r", "--rate"},
        {"-t", "--duration"}, {"-n", "--count"},     {"-h", "--help"}};
    bool have_port = false, have_address = false, have_duration = false, have_fault = false,
         have_baud = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i], value;
        const auto s = shorts.find(name);
        if (s != shorts.end()) name = s->second;
        if (name == "--help") {
            o->help = true;
            continue;
        }
        if (name == "--version") {
            o->version = true;
            continue;
        }
        if (name == "--simulate") {
            o->simulate = true;
            continue;
        }
        if (name.compare(0, 2, "--") != 0) {
            *error = "unexpected argument '" + name + "'";
            return false;
        }
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else {
            if (i + 1 >= argc) {
                *error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        auto bad = [&](const std::string& why) {
            *error = "option " + name + ": '" + value + "' " + why;
            return false;
        };
        int64_t n;
        double d;
        if (name == "--port") {
            if (value.empty()) return bad("is not a port name");
            o->port = value;
            have_port = true;
        } else if (name == "--address") {
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos) return bad("is not IP:PORT");
            const std::string ip = value.substr(0, colon), port = value.substr(colon + 1);
            if (!isIPv4(ip)) return bad("does not start with a dotted IPv4 address");
            if (!toPort(port, &o->dest_port)) return bad("has no port in 1..65535");
            o->dest_ip = ip;
            have_address = true;
        } else if (name == "--listen") {
            if (!toPort(value, &o->listen_port)) return bad("is not a port in 1..65535");
            o->listen_given = true;
        } else if (name == "--baud") {
            static const int rates[] = {9600,    19200,   38400,   57600,   115200,  230400,
                                        460800,  500000,  576000,  921600,  1000000, 1152000,
                                        1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
            if (!toInt(value, 1, 1 << 30, &n)) return bad("is not a baud rate");
            bool known = false;
            for (int r : rates) known = known || r == n;
            if (!known) return bad("is not a standard rate from 9600 to 4000000");
            o->baud = static_cast<int>(n);
            have_baud = true;
        } else if (name == "--direction") {
            if (value != "e2u" && value != "u2e" && value != "both" && value != "net")
                return bad("is not e2u, u2e, both or net");
            o->e2u = value == "e2u" || value == "both";
            o->u2e = value == "u2e" || value == "both";
            o->net = value == "net";
        } else if (name == "--rate") {
            if (!toDouble(value, &d) || d <= 0 || d > 1e6) return bad("is not a rate above 0");
            o->rate = d;
        } else if (name == "--duration") {
            if (!toDouble(value, &d) || d <= 0 || d > 1e7) return bad("is not a duration above 0");
            o->duration_s = d;
            have_duration = true;
        } else if (name == "--count") {
            if (!toInt(value, 1, INT64_MAX, &n)) return bad("is not a count of 1 or more");
            o->count = static_cast<uint64_t>(n);
        } else if (name == "--latency-bound") {
            if (!toDouble(value, &d) || d <= 0 || d > 3.6e6) return bad("is not a time above 0");
            o->latency_bound_ms = d;
        } else if (name == "--format") {
            if (!measure::parseFormat(value, &o->format)) return bad("is not counter8 or seq32");
        } else if (name == "--max-lost" || name == "--max-duplicated" || name == "--max-corrupt" ||
                   name == "--max-reordered") {
            if (!toInt(value, 0, INT64_MAX, &n)) return bad("is not a count of 0 or more");
            (name == "--max-lost"         ? o->limits.max_lost
             : name == "--max-duplicated" ? o->limits.max_duplicated
             : name == "--max-corrupt"    ? o->limits.max_corrupt
                                          : o->limits.max_reordered) = n;
        } else if (name == "--max-p99") {
            if (!toDouble(value, &d) || d < 0) return bad("is not a time of 0 or more");
            o->limits.max_p99_ms = d;
        } else if (name == "--json") {
            o->json_path = value;
        } else if (name == "--csv") {
            o->csv_path = value;
        } else if (!sim::parseFaultOption(name, value, &o->faults, error)) {
            if (error->rfind("unknown", 0) == 0) *error = "unknown option " + name;
            return false;
        } else {
            have_fault = true;
        }
    }
    if (o->help || o->version) return true;
    if (o->count > 0 && have_duration) {
        *error = "give --duration or --count, not both";
        return false;
    }
    if (o->simulate) {
        if (have_port || have_address || o->net) {
            *error = "--simulate brings its own converter: no --port, --address or net direction";
            return false;
        }
        if (have_baud) o->faults.baud = o->baud;
        return sim::checkFaults(o->faults, error);
    }
    if (have_fault) {
        *error = "fault options need --simulate";
        return false;
    }
    if (!have_address || (!have_port && !o->net)) {
        *error = o->net ? "--address is needed" : "--port and --address are needed";
        return false;
    }
    return true;
}

}  // namespace cli
