#include "options.h"

#include "console.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

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

// Which settings a channel gave itself.
struct Given {
    bool port = false, address = false, listen = false, baud = false, fault = false;
};

// One channel setting, from an option (--port) or a channel key (port).
// 1: taken; 0: not a channel setting; -1: bad value (*why says why).
int channelField(const std::string& key, const std::string& value, Channel* c, Given* g,
                 std::string* why) {
    int64_t n;
    auto bad = [&](const std::string& w) {
        *why = "'" + value + "' " + w;
        return -1;
    };
    if (key == "name") {
        if (value.empty()) return bad("is not a name");
        c->name = value;
    } else if (key == "port") {
        if (value.empty()) return bad("is not a port name");
        c->port = value;
        g->port = true;
    } else if (key == "address") {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos) return bad("is not IP:PORT");
        const std::string ip = value.substr(0, colon), port = value.substr(colon + 1);
        if (!isIPv4(ip)) return bad("does not start with a dotted IPv4 address");
        if (!toPort(port, &c->dest_port)) return bad("has no port in 1..65535");
        c->dest_ip = ip;
        g->address = true;
    } else if (key == "listen") {
        if (!toPort(value, &c->listen_port)) return bad("is not a port in 1..65535");
        g->listen = true;
    } else if (key == "baud") {
        static const int rates[] = {9600,    19200,   38400,   57600,   115200,  230400,
                                    460800,  500000,  576000,  921600,  1000000, 1152000,
                                    1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
        if (!toInt(value, 1, 1 << 30, &n)) return bad("is not a baud rate");
        bool known = false;
        for (int r : rates) known = known || r == n;
        if (!known) return bad("is not a standard rate from 9600 to 4000000");
        c->baud = static_cast<int>(n);
        g->baud = true;
    } else if (key == "direction") {
        if (value != "e2u" && value != "u2e" && value != "both" && value != "net")
            return bad("is not e2u, u2e, both or net");
        c->e2u = value == "e2u" || value == "both";
        c->u2e = value == "u2e" || value == "both";
        c->net = value == "net";
    } else if (key == "transport") {
        if (!traffic::parseTransport(value, &c->transport))
            return bad("is not udp, tcp-client or tcp-server");
    } else {
        return 0;
    }
    return 1;
}

// The checks of one channel on its own.
bool checkChannel(Channel* c, const Given& g, bool simulate, std::string* error) {
    const std::string who = c->name + ": ";
    const bool tcp = c->transport != traffic::Transport::Udp;
    if (tcp && c->net) {
        *error = who + "the net direction needs the udp transport";
        return false;
    }
    if (simulate) {
        if (g.port || g.address || c->net) {
            *error = who + "--simulate brings its own converter: no port, address or net direction";
            return false;
        }
        if (!g.listen) c->listen_port = 0;  // any free port
        if (g.baud) c->faults.baud = c->baud;
        if (!sim::checkFaults(c->faults, error)) {
            *error = who + *error;
            return false;
        }
        return true;
    }
    if (g.fault) {
        *error = who + "fault options need --simulate";
        return false;
    }
    const bool need_address = c->transport != traffic::Transport::TcpServer;
    if ((need_address && !g.address) || (!g.port && !c->net)) {
        *error = who + (c->net         ? "--address is needed"
                        : need_address ? "--port and --address are needed"
                                       : "--port is needed");
        return false;
    }
    return true;
}


// Channels in one run may not share a serial port or a listen port.
bool checkTogether(const std::vector<Channel>& cs, std::string* error) {
    std::map<std::string, std::string> ports;
    std::map<std::pair<bool, uint16_t>, std::string> listens;
    std::set<std::string> names;
    for (const Channel& c : cs) {
        if (!names.insert(c.name).second) {
            *error = "two channels are named " + c.name;
            return false;
        }
        if (!c.port.empty()) {
            const auto [it, fresh] = ports.emplace(serialDevice(c.port), c.name);
            if (!fresh) {
                *error = "channels " + it->second + " and " + c.name +
                         " name the same serial port " + c.port;
                return false;
            }
        }
        if (c.transport == traffic::Transport::TcpClient || c.listen_port == 0) continue;
        const bool tcp = c.transport == traffic::Transport::TcpServer;
        const auto [it, fresh] = listens.emplace(std::make_pair(tcp, c.listen_port), c.name);
        if (!fresh) {
            *error = "channels " + it->second + " and " + c.name + " listen on the same " +
                     (tcp ? "TCP" : "UDP") + " port " + std::to_string(c.listen_port) +
                     " (give each its own listen=)";
            return false;
        }
    }
    return true;
}

bool parseChannelGiven(const std::string& desc, bool simulate, Channel* c, Given* g,
                       std::string* error) {
    size_t i = 0;
    bool any = false;
    while (i < desc.size()) {
        const size_t end = desc.find_first_of(", \t", i);
        const std::string item = desc.substr(i, end == std::string::npos ? end : end - i);
        i = end == std::string::npos ? desc.size() : end + 1;
        if (item.empty()) continue;
        any = true;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = "channel '" + desc + "': '" + item + "' is not key=value";
            return false;
        }
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        std::string why;
        const int r = channelField(key, value, c, g, &why);
        if (r < 0) {
            *error = "channel '" + desc + "': " + key + ": " + why;
            return false;
        }
        if (r > 0) continue;
        if (!simulate) {
            *error = "channel '" + desc + "': unknown key " + key;
            return false;
        }
        if (!sim::parseFaultOption(key, value, &c->faults, &why)) {
            *error = "channel '" + desc +
                     "': " + (why.rfind("unknown", 0) == 0 ? "unknown key " + key : why);
            return false;
        }
        g->fault = true;
    }
    if (!any) {
        *error = "an empty channel";
        return false;
    }
    return true;
}

// Lines of a channel file: one channel a line, '#' starts a comment, an
// optional "format 1" line first.
bool readConfig(const std::string& path, std::vector<std::string>* descs, std::string* error) {
    std::ifstream f(path);
    if (!f) {
        *error = "--config: cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(f, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) continue;
        line = line.substr(b, line.find_last_not_of(" \t\r") - b + 1);
        if (line.rfind("format", 0) == 0 && line.find('=') == std::string::npos) {
            if (line != "format 1") {
                *error = path + ":" + std::to_string(number) + ": only format 1 is known";
                return false;
            }
            continue;
        }
        descs->push_back(line);
    }
    return true;
}

}  // namespace

bool parseChannel(const std::string& desc, bool simulate, Channel* c, std::string* error) {
    Given g;
    return parseChannelGiven(desc, simulate, c, &g, error) && checkChannel(c, g, simulate, error);
}

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
       convbench-cli --channel CHANNEL [--channel CHANNEL ...] [options]

Tests serial-to-Ethernet converters: sends numbered test packets into one side,
receives them from the other, and judges what came out.

Connection (one channel; the defaults of every --channel):
  -p, --port PORT          serial port wired to the converter (path, or a name under /dev)
  -a, --address IP:PORT    the converter's address (IPv4): where datagrams go (udp), or
                           where to connect (tcp-client)
  -l, --listen PORT        local port the converter sends to (udp) or connects to
                           (tcp-server) (default 3456)
      --transport T        udp (default), tcp-client (the runner connects to --address) or
                           tcp-server (the converter connects to --listen); over TCP the
                           packets go back to back on one connection, both ways
  -b, --baud RATE          serial baud rate, a standard rate 9600..4000000 (default 115200);
                           packets are written no faster than the line carries
      --connect-timeout MS how long the first TCP connection may take (default 5000); a
                           connection that drops later is made again and the run goes on
Channels (several ports at once, each on threads of its own):
      --channel CHANNEL    one channel, as key=value items separated by commas: port, address,
                           listen, transport, direction, baud, name (default ch1, ch2, ...)
                           and, with --simulate, any fault (drop=0.01); keys not given take
                           the options above. Repeat it for every channel.
      --config FILE        channels from a file: one CHANNEL a line, '#' comments
Run:
  -d, --direction DIR      e2u (network to serial), u2e (serial to network), both (default),
                           or net (network to network, udp only, no serial port: a UDP echo
                           at the address, or the listen port itself to check the tester)
  -r, --rate N             packets per second per direction (default 10)
  -t, --duration S         how long to send, in seconds (default 10)
  -n, --count N            send exactly N packets per direction instead of a duration
      --latency-bound MS   a packet not back within MS counts as lost (default 1000)
      --format F           counter8 (7-byte packet, default) or seq32 (11 bytes, 32-bit number)
Pass limits (a channel that breaks one fails, and with it the run):
      --max-lost N         packets lost (default 0)
      --max-duplicated N   duplicate packets (default 0)
      --max-corrupt N      damaged packets (default 0)
      --max-reordered N    packets out of order (default: no limit)
      --max-p99 MS         99th percentile of one-way latency (default: no limit)
Simulated converter (no hardware; one converter per channel runs in this process on loopback):
      --simulate           test against the built-in simulated converter
      --drop P --duplicate P --corrupt P --reorder P --reorder-depth K --delay MS
      --jitter MS --stray P --pack-size N --pack-gap MS --split N --outage MS
      --outage-every MS --disconnect-every MS --disconnect-for MS --seed N
                           its faults, as convbench-sim's options; --baud paces its serial
                           line at that rate (10 bits a byte); unpaced when not given
Reports:
      --json FILE          every figure, the options and the verdict as JSON ("-": stdout)
      --report FILE        one self-contained HTML file: the verdict, every figure, and plots
                           of latency over time, the latency histogram and the events
      --csv FILE           one row per second, channel and direction, for plotting long runs
      --junit FILE         JUnit XML: one test case per channel and direction
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
    bool have_duration = false;
    Channel base;  // the one-channel form, and what every --channel starts from
    Given given;
    std::vector<std::string> descs;
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
        std::string why;
        const int field = channelField(name.substr(2), value, &base, &given, &why);
        if (field < 0 || name == "--name") {
            *error = "option " + name + ": " + (field < 0 ? why : "belongs in a --channel");
            return false;
        }
        if (field > 0) continue;
        if (name == "--channel") {
            descs.push_back(value);
        } else if (name == "--config") {
            if (!readConfig(value, &descs, error)) return false;
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
        } else if (name == "--connect-timeout") {
            if (!toDouble(value, &d) || d <= 0 || d > 3.6e6) return bad("is not a time above 0");
            o->connect_timeout_ms = d;
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
        } else if (name == "--report") {
            if (value.empty() || value == "-") return bad("is not a file name");
            o->html_path = value;
        } else if (name == "--csv") {
            o->csv_path = value;
        } else if (name == "--junit") {
            o->junit_path = value;
        } else if (!sim::parseFaultOption(name, value, &base.faults, error)) {
            if (error->rfind("unknown", 0) == 0) *error = "unknown option " + name;
            return false;
        } else {
            given.fault = true;
        }
    }
    // The one-channel fields keep what was given, for the reports.
    o->port = base.port;
    o->dest_ip = base.dest_ip;
    o->dest_port = base.dest_port;
    o->listen_port = base.listen_port;
    o->listen_given = given.listen;
    o->transport = base.transport;
    o->e2u = base.e2u;
    o->u2e = base.u2e;
    o->net = base.net;
    o->baud = base.baud;
    o->faults = base.faults;
    if (o->help || o->version) return true;
    if (o->count > 0 && have_duration) {
        *error = "give --duration or --count, not both";
        return false;
    }
    o->channels.clear();
    if (descs.empty()) {
        base.name = "ch1";
        if (!checkChannel(&base, given, o->simulate, error)) {
            error->erase(0, base.name.size() + 2);  // one channel: no name to give
            return false;
        }
        o->channels.push_back(base);
        o->faults = base.faults;
        o->listen_port = base.listen_port ? base.listen_port : o->listen_port;
        return true;
    }
    if (given.port || given.address || given.listen) {
        *error = "with --channel or --config, give port, address and listen in each channel";
        return false;
    }
    for (const std::string& desc : descs) {
        Channel c = base;
        c.name = "ch" + std::to_string(o->channels.size() + 1);
        Given g = given;
        if (!parseChannelGiven(desc, o->simulate, &c, &g, error) ||
            !checkChannel(&c, g, o->simulate, error))
            return false;
        o->channels.push_back(c);
    }
    return checkTogether(o->channels, error);
}

}  // namespace cli
