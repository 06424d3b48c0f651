#include "options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "console.h"
#include "direction.h"
#include "fault_options.h"
#include "numbers.h"
#include "record.h"
#include "stage.h"

namespace cli {
namespace {

using numbers::Parsed;

bool toPort(const std::string& s, uint16_t* out) {
    int64_t v;
    if (numbers::parseWhole(s, 1, 65535, &v) != Parsed::Ok) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

// Why a dotted address is not taken; empty when it is.
std::string ipv4Problem(const std::string& ip) {
    if (isIPv4(ip)) return "";
    // Four numbers with a leading zero somewhere: some read it as octal.
    int parts = 0;
    bool zero = false;
    size_t i = 0;
    for (;;) {
        const size_t b = i;
        while (i < ip.size() && ip[i] >= '0' && ip[i] <= '9' && i - b < 4) ++i;
        if (i == b || i - b > 3) return "does not start with a dotted IPv4 address";
        zero = zero || (ip[b] == '0' && i - b > 1);
        if (++parts == 4 || i >= ip.size() || ip[i] != '.') break;
        ++i;
    }
    if (parts == 4 && i == ip.size() && zero)
        return "has a number with a leading zero, read as octal by some systems: write it "
               "without";
    return "does not start with a dotted IPv4 address";
}

// ---- Line settings: --data-bits, --parity, --stop-bits, --flow ----
// 1: taken; 0: not a line setting; -1: bad value (*why says why).
int lineField(const std::string& key, const std::string& value, UART_Line_t* line,
              std::string* why) {
    why->clear();
    int64_t n;
    if (key == "data-bits") {
        if (numbers::parseWhole(value, 5, 8, &n) != Parsed::Ok)
            *why = numbers::quoted(value) + " is not 5, 6, 7 or 8 data bits";
        else
            line->data_bits = static_cast<int>(n);
    } else if (key == "parity") {
        if (UART_ParseParity(value.c_str(), &line->parity) != 0)
            *why = numbers::quoted(value) + " is not none, even, odd, mark or space";
    } else if (key == "stop-bits") {
        if (value != "1" && value != "2")
            *why = numbers::quoted(value) + " is not 1 or 2 stop bits";
        else
            line->stop_bits = value == "1" ? 1 : 2;
    } else if (key == "flow") {
        if (UART_ParseFlow(value.c_str(), &line->flow) != 0)
            *why = numbers::quoted(value) + " is not none, rtscts or xonxoff";
    } else {
        return 0;
    }
    return why->empty() ? 1 : -1;
}

// The packet format against the channels' lines: a line of 7 data bits or
// XON/XOFF flow control needs seq7 (no byte >= 0x80, no 0x11 or 0x13), chosen
// by itself unless --format named another; fewer than 7 data bits carry no
// packet format.
bool fitFormat(Options* o, std::string* error) {
    const Channel* needs = nullptr;
    for (const Channel& c : o->channels) {
        if (c.line.data_bits < 7) {
            *error = numbers::visible(c.name) + ": --data-bits " +
                     std::to_string(c.line.data_bits) +
                     ": no packet format fits a line of fewer than 7 data bits";
            return false;
        }
        if (!needs && (c.line.data_bits < 8 || c.line.flow == UART_kFlowXonXoff)) needs = &c;
    }
    if (!needs || measure::sevenBitSafe(o->format)) return true;
    if (!o->format_given) {
        o->format = measure::Format::Seq7;
        return true;
    }
    char text[32];
    UART_LineText(&needs->line, text, sizeof text);
    *error = std::string("--format ") + measure::formatName(o->format) + " does not fit " +
             numbers::visible(needs->name) + "'s line (" + text +
             "): its bytes reach 0x80 and include 0x11 and 0x13; use --format seq7, or leave "
             "--format out to have it chosen";
    return false;
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
        *why = numbers::quoted(value) + " " + w;
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
        const std::string problem = ipv4Problem(ip);
        if (!problem.empty()) return bad(problem);
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
        if (numbers::parseWhole(value, 1, 1 << 30, &n) != Parsed::Ok)
            return bad("is not a baud rate (a whole number, 9600 to 4000000)");
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
            return bad("is not udp, tcp-client, tcp-server or rfc2217");
    } else if (key == "dut") {
        const std::string problem = store::identityProblem(value, store::kMaxIdentityBytes);
        if (!problem.empty()) return bad(problem);
        c->dut = value;
    } else if (lineField(key, value, &c->line, why) != 0) {
        return why->empty() ? 1 : -1;
    } else {
        return 0;
    }
    return 1;
}

// The checks of one channel on its own.
bool checkChannel(Channel* c, const Given& g, bool simulate, std::string* error) {
    const std::string who = numbers::visible(c->name) + ": ";
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
        const std::string name = numbers::visible(c.name);
        if (!names.insert(c.name).second) {
            *error = "two channels are named " + name;
            return false;
        }
        if (!c.port.empty()) {
            const auto [it, fresh] = ports.emplace(serialDevice(c.port), c.name);
            if (!fresh) {
                *error = "channels " + numbers::visible(it->second) + " and " + name +
                         " name the same serial port " + numbers::visible(c.port);
                return false;
            }
        }
        if (c.transport == traffic::Transport::TcpClient ||
            c.transport == traffic::Transport::Rfc2217 || c.listen_port == 0)
            continue;
        const bool tcp = c.transport == traffic::Transport::TcpServer;
        const auto [it, fresh] = listens.emplace(std::make_pair(tcp, c.listen_port), c.name);
        if (!fresh) {
            *error = "channels " + numbers::visible(it->second) + " and " + name +
                     " listen on the same " + (tcp ? "TCP" : "UDP") + " port " +
                     std::to_string(c.listen_port) + " (give each its own listen=)";
            return false;
        }
    }
    return true;
}

bool parseChannelGiven(const std::string& desc, bool simulate, Channel* c, Given* g,
                       std::string* error) {
    size_t i = 0;
    bool any = false;
    const std::string where = "channel " + numbers::quoted(desc) + ": ";
    while (i < desc.size()) {
        const size_t end = desc.find_first_of(", \t", i);
        const std::string item = desc.substr(i, end == std::string::npos ? end : end - i);
        i = end == std::string::npos ? desc.size() : end + 1;
        if (item.empty()) continue;
        any = true;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = where + numbers::quoted(item) + " is not key=value";
            return false;
        }
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        std::string why;
        const int r = channelField(key, value, c, g, &why);
        if (r < 0) {
            *error = where + numbers::visible(key) + ": " + why;
            return false;
        }
        if (r > 0) continue;
        if (!simulate) {
            *error = where + "unknown key " + numbers::quoted(key);
            return false;
        }
        if (!sim::parseFaultOption(key, value, &c->faults, &why)) {
            *error = where +
                     (why.rfind("unknown", 0) == 0 ? "unknown key " + numbers::quoted(key) : why);
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

// A channel desc and where it came from: "" (a --channel) or "FILE:LINE".
struct Desc {
    std::string text, origin;
};

// Lines of a channel file: one channel a line, '#' starts a comment, an
// optional "format 1" line first.
bool parseConfigText(const std::string& text, const std::string& path, std::vector<Desc>* descs,
                     std::string* error) {
    const size_t before = descs->size();
    size_t at = 0;
    for (int number = 1; at < text.size(); ++number) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) continue;
        line = line.substr(b, line.find_last_not_of(" \t\r") - b + 1);
        const std::string origin = numbers::visible(path) + ":" + std::to_string(number);
        if (line.rfind("format", 0) == 0 && line.find('=') == std::string::npos) {
            if (line != "format 1") {
                *error = origin + ": only format 1 is known, not " + numbers::quoted(line);
                return false;
            }
            continue;
        }
        descs->push_back({line, origin});
        if (descs->size() > kMaxChannels) {
            *error = origin + ": more than " + std::to_string(kMaxChannels) +
                     " channels, the most one run takes";
            return false;
        }
    }
    if (descs->size() == before) {
        *error = "--config " + numbers::quoted(path) +
                 ": no channel in it (only blank lines, comments " + "or a format line)";
        return false;
    }
    return true;
}

bool readConfig(const std::string& path, std::vector<Desc>* descs, std::string* error) {
    const std::string cannot = "--config: cannot read " + numbers::quoted(path) + ": ";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {  // Windows will not even open it
        *error = cannot + "it is a directory";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = cannot + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kMaxConfigBytes)
        text.append(buf, n);
    const int err = errno;
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *error = cannot + std::strerror(err);
        return false;
    }
    if (text.size() > kMaxConfigBytes) {
        *error = "--config " + numbers::quoted(path) + ": larger than " +
                 std::to_string(kMaxConfigBytes >> 20) + " MiB, more than any bench needs";
        return false;
    }
    return parseConfigText(text, path, descs, error);
}

// Whole milliseconds of the largest latency bound counter8 can vouch for at `rate`.
int64_t counter8Bound(double rate) {
    int64_t b = static_cast<int64_t>(std::ceil(kCounter8Window * 1000 / rate)) - 1;
    while (b > 0 && rate * static_cast<double>(b) / 1000 >= kCounter8Window) --b;
    while (rate * static_cast<double>(b + 1) / 1000 < kCounter8Window) ++b;
    return b;
}

// The settings together: counter8's window, the packets in flight, the run's length.
bool checkRun(const Options& o, std::string* error) {
    const std::string rate = numbers::limitText(o.rate);
    if (o.count > 0 && static_cast<double>(o.count) / o.rate > kMaxDurationS) {
        *error = "--count " + std::to_string(o.count) + " at --rate " + rate +
                 " runs longer than " + numbers::limitText(kMaxDurationS) + " s, the longest run";
        return false;
    }
    const double window = o.rate * o.latency_bound_ms / 1000;
    if (o.format == measure::Format::Counter8 && window >= kCounter8Window) {
        const int64_t fits = counter8Bound(o.rate);
        *error = "--rate " + rate + " with --latency-bound " +
                 numbers::limitText(o.latency_bound_ms) + " ms keeps up to " +
                 numbers::limitText(std::floor(window)) +
                 " packets in flight, and --format counter8 tells only " +
                 numbers::limitText(kCounter8Window) + " apart: use --format seq32, or at this " +
                 "rate a --latency-bound of at most " +
                 (fits > 0 ? std::to_string(fits) + " ms" : "under 1 ms");
        return false;
    }
    // Settled packets stay known this long for arrivals read late (the core's kReadGraceNs).
    constexpr double kReadGraceMs = measure::Direction::kReadGraceNs / 1e6;
    double in_flight = 0, run_packets = 0;
    bool delayed = false;
    for (const Channel& c : o.channels) {
        const double delay = o.simulate ? c.faults.delay_ms + c.faults.jitter_ms : 0;
        delayed = delayed || delay > 0;
        in_flight += (c.e2u && c.u2e && !c.net ? 2 : 1) * o.rate *
                     (o.latency_bound_ms + delay + kReadGraceMs) / 1000;
        run_packets += (c.e2u && c.u2e && !c.net ? 2 : 1) *
                       (o.count > 0 ? static_cast<double>(o.count) : o.rate * o.duration_s);
    }
    if (in_flight > kMaxInFlight) {
        *error = "--rate " + rate + " with --latency-bound " +
                 numbers::limitText(o.latency_bound_ms) + " ms" +
                 (delayed ? " and the simulated delay" : "") + " over " +
                 std::to_string(o.channels.size()) + " channel(s) holds up to " +
                 numbers::limitText(std::ceil(in_flight)) + " packets in flight, more than the " +
                 numbers::limitText(kMaxInFlight) +
                 " a run may hold: lower the rate, the bound or the channels";
        return false;
    }
    if (o.format != measure::Format::Counter8 && run_packets > kMaxRunPackets) {
        *error = "the run sends " + numbers::limitText(std::ceil(run_packets)) +
                 " packets over its channels and directions, more than the " +
                 numbers::limitText(kMaxRunPackets) + " a " +
                 std::string(measure::formatName(o.format)) +
                 " run may send: shorten it, or lower the rate or the channels";
        return false;
    }
    return true;
}

// Unit records: identity, tags and where runs are recorded. True when name is
// one of these options; *error is then set should its value be refused.
bool recordOption(const std::string& name, const std::string& value, Options* o,
                  std::string* error) {
    error->clear();
    auto identity = [&](std::string* field) {
        const std::string problem = store::identityProblem(value, store::kMaxIdentityBytes);
        if (problem.empty())
            *field = value;
        else
            *error = "option " + name + ": " + numbers::quoted(value) + " " + problem;
        return true;
    };
    if (name == "--dut") return identity(&o->dut);
    if (name == "--station") return identity(&o->station);
    if (name == "--operator") return identity(&o->operator_name);
    if (name == "--part") return identity(&o->part);
    if (name == "--tag") {
        const size_t eq = value.find('=');
        const std::string key = value.substr(0, eq);
        const std::string problem = eq == std::string::npos
                                        ? "is not key=value"
                                        : store::tagProblem(key, value.substr(eq + 1));
        if (!problem.empty()) {
            *error = "option --tag: " + numbers::quoted(value) + " " + problem;
        } else if (o->tags.size() >= store::kMaxTags) {
            *error = "option --tag: more than " + std::to_string(store::kMaxTags) + " tags";
        } else {
            for (const auto& [k, v] : o->tags)
                if (k == key) *error = "option --tag: " + numbers::quoted(key) + " given twice";
            if (error->empty()) o->tags.emplace_back(key, value.substr(eq + 1));
        }
        return true;
    }
    if (name == "--db" || name == "--spool") {
        if (value.empty()) *error = "option " + name + ": is empty";
        (name == "--db" ? o->db : o->spool_dir) = value;
        return true;
    }
    return false;
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
        const size_t b = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - b < 3) {
            value = value * 10 + (text[i] - '0');
            ++i;
        }
        const size_t digits = i - b;
        if (digits == 0 || value > 255 || (digits > 1 && text[b] == '0')) return false;
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
       convbench-cli characterize [options]
                             (a converter's limits: convbench-cli characterize
                             --help lists its options)

Tests serial-to-Ethernet converters: sends numbered test packets into one side,
receives them from the other, and judges what came out. Numbers are plain
decimals (digits and one '.'; no exponent, sign or spaces), within the limits
shown.

Connection (one channel; the defaults of every --channel):
  -p, --port PORT            serial port wired to the converter (path, or a name
                             under /dev)
  -a, --address IP:PORT      the converter's address (dotted IPv4, no leading
                             zeros; port 1..65535): where datagrams go (udp), or
                             where to connect (tcp-client)
  -l, --listen PORT          local port 1..65535 the converter sends to (udp) or
                             connects to (tcp-server) (default 3456)
      --transport T          udp (default), tcp-client (the runner connects to
                             --address), tcp-server (the converter connects to
                             --listen) or rfc2217 (tcp-client speaking Telnet
                             with the Com Port Control option: the runner sets
                             the converter's line too); over TCP the packets go
                             back to back on one connection, both ways
  -b, --baud RATE            serial baud rate, a standard rate 9600..4000000
                             (default 115200); packets are written no faster
                             than the line carries
      --connect-timeout MS   how long the first TCP connection may take,
                             1..3600000 (default 5000); a connection that drops
                             later is made again and the run goes on
Line settings (the serial port, and with rfc2217 the converter's; read back):
      --data-bits N          5..8 (default 8); 7 needs --format seq7 (chosen
                             by itself), fewer carry no packet format
      --parity P             none (default), even, odd, mark or space
      --stop-bits N          1 (default) or 2
      --flow F               none (default), rtscts or xonxoff (xonxoff needs
                             --format seq7, chosen by itself)
      --strict-rfc2217       fail a channel whose converter answers a setting
                             differently from what was asked (else a note)
Channels (several ports at once, each on threads of its own; at most 1000):
      --channel CHANNEL      one channel, as key=value items separated by
                             commas: port, address, listen, transport,
                             direction, baud, data-bits, parity, stop-bits,
                             flow, name (default ch1, ch2, ...) and,
                             with --simulate, any fault (drop=0.01, echo=1);
                             keys not given take the options above. Repeat it
                             for every channel.
      --config FILE          channels from a file (at most 1 MiB): one CHANNEL a
                             line, '#' comments; a file without a channel is
                             refused
Run:
  -d, --direction DIR        e2u (network to serial), u2e (serial to network),
                             both (default), or net (network to network, udp
                             only, no serial port: a UDP echo at the address, or
                             the listen port itself to check the tester)
  -r, --rate N               packets per second per direction, 0.01..1000000
                             (default 10)
  -t, --duration S           how long to send, in seconds, 0.001..86400
                             (default 10)
  -n, --count N              send exactly N packets per direction instead of a
                             duration; N / rate at most 86400 s
      --latency-bound MS     a packet not back within MS counts as lost,
                             0.1..600000 (default 1000)
      --format F             counter8 (7-byte packet, default), seq32
                             (11 bytes, 32-bit number), seq7 (11 bytes,
                             32-bit number, 7-bit safe) or sized (--size
                             bytes, 32-bit number, CRC-32); counter8 tells 256
                             packets in flight apart, so with it rate x latency
                             bound must stay under 256 packets
      --size BYTES           the sized format's packet length, 13..1472
                             (default 13)
      --tester-stall MS      a failing run whose tester was held up longer than
                             MS is inconclusive, 0..600000 (default 50)
Pass limits (a channel that breaks one fails, and with it the run):
      --max-lost N           packets lost, 0 or more (default 0)
      --max-duplicated N     duplicate packets, 0 or more (default 0)
      --max-corrupt N        damaged packets, 0 or more (default 0)
      --max-reordered N      packets out of order, 0 or more (default: no limit)
      --max-p99 MS           99th percentile of one-way latency, 0..600000
                             (default: no limit)
Simulated converter (no hardware; one per channel, run here on loopback):
      --simulate             test against the built-in simulated converter;
                             --baud paces its serial line at that rate (10 bits
                             a byte), unpaced when not given; in a --channel the
                             faults below are keys (drop=0.01, echo=1)
      --drop P               drop a packet with probability P (0..1)
      --duplicate P          send a packet twice, back to back (0..1)
      --corrupt P            damage one byte of a packet (0..1)
      --reorder P            hold a packet back until --reorder-depth packets
                             passed (0..1)
      --reorder-depth K      packets a held packet waits, 1..1000 (default 1)
      --delay MS             delay every byte, 0..600000
      --jitter MS            plus a random 0..MS per packet, 0..600000
      --stray P              network to serial: one random byte before a packet
                             (0..1)
      --truncate P           cut 1 or more bytes off the end of a packet (0..1)
      --pack-size N          serial to network: datagrams of N bytes, cut across
                             packets, 0..65507
      --pack-gap MS          serial to network: send what was gathered after MS
                             without bytes, 0..600000
      --split N              network to serial: write a datagram in pieces of
                             1..N bytes, 0..65536
      --queue BYTES          network to serial: the line queue with --baud,
                             0..16777216 (default 0: 1024 bytes); a packet
                             that does not fit is lost
      --outage MS            stop forwarding for MS, 0..86400000 ...
      --outage-every MS      ... every MS, 0..86400000
      --disconnect-every MS  TCP: drop the connection every MS, 0..86400000 ...
      --disconnect-for MS    ... and stay away MS, 0..86400000
      --echo                 the serial side echoes every byte the tester writes
      --seed N               seed of the random draws, 0..18446744073709551615
                             (default 1)
Reports (at most one of them on standard output):
      --json FILE            every figure, the options and the verdict as JSON
                             ("-": stdout)
      --report FILE          one self-contained HTML file: the verdict, every
                             figure, and plots of latency over time, the latency
                             histogram and the events
      --csv FILE             one row per second, channel and direction, for
                             plotting long runs ("-": stdout)
      --junit FILE           JUnit XML: one test case per channel and direction
                             ("-": stdout)
Unit records (in every report, and in the results store):
      --dut SERIAL           the unit's serial number (dut= in a --channel: that
                             port's own unit); naming a unit records the run in
                             the default store (see --db)
      --station NAME         the test station (default: the host name)
      --operator NAME        who ran the test
      --part NUMBER          the unit's part number
      --tag TAG              any other fact as KEY=VALUE, repeatable (at most
                             32; KEY: letters, digits, '_', '-', '.', at most 32
                             bytes; VALUE at most 128 bytes); the texts above at
                             most 64 bytes of UTF-8 without control characters
      --db TARGET            record the run in this SQLite file or
                             postgresql:// database (default: $CONVBENCH_DB, or
                             with a unit named $XDG_DATA_HOME/convbench/
                             results.db; "none": no record)
      --spool DIR            where runs the store cannot take wait (default
                             $XDG_STATE_HOME/convbench/spool)
  -h, --help                 this text
      --version              the program's version

Memory: the packets a run holds at once, the sum over channels and directions
of rate x (latency bound + simulated delay and jitter + 1 s kept for late
reads), are at most 1048576 (at most 32 MB of send times), and a seq32 run
sends at most 134217728 packets over its channels and directions (32 MB of
packet states): a run's memory stays under 100 MB.

History: convbench-cli history --help; spooled runs: convbench-cli sync --help.

Exit status: 0 pass, 1 fail, 2 usage error, 3 set-up error, 4 interrupted,
5 inconclusive.
)";
}

bool parseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
    // CLI11 reads the command line: option names and short forms, "--name=value"
    // and "--name value", a missing value, what is not an option. The values are
    // then taken here in the order given, for two reasons CLI11 cannot serve:
    // --channel and --config channels are numbered in the order they come, and
    // every number goes through the parser the channel file and the simulator
    // share (numbers.h), with messages naming the option and its limits.
    CLI::App app("convbench-cli");
    app.set_help_flag();
    app.allow_extras();
    struct Item {
        const char* names;
        bool flag;
    };
    static const Item items[] = {{"-h,--help", true},
                                 {"--version", true},
                                 {"--simulate", true},
                                 {"-p,--port", false},
                                 {"-a,--address", false},
                                 {"-l,--listen", false},
                                 {"--transport", false},
                                 {"-b,--baud", false},
                                 {"--connect-timeout", false},
                                 {"--channel", false},
                                 {"--config", false},
                                 {"--name", false},
                                 {"-d,--direction", false},
                                 {"-r,--rate", false},
                                 {"-t,--duration", false},
                                 {"-n,--count", false},
                                 {"--latency-bound", false},
                                 {"--format", false},
                                 {"--tester-stall", false},
                                 {"--max-lost", false},
                                 {"--max-duplicated", false},
                                 {"--max-corrupt", false},
                                 {"--max-reordered", false},
                                 {"--max-p99", false},
                                 {"--json", false},
                                 {"--report", false},
                                 {"--csv", false},
                                 {"--junit", false},
                                 // Unit records
                                 {"--dut", false},
                                 {"--station", false},
                                 {"--operator", false},
                                 {"--part", false},
                                 {"--tag", false},
                                 {"--db", false},
                                 {"--spool", false},
                                 // Line settings
                                 {"--data-bits", false},
                                 {"--parity", false},
                                 {"--stop-bits", false},
                                 {"--flow", false},
                                 {"--strict-rfc2217", true}};
    auto add = [&app](const std::string& names, bool flag) {
        if (flag) {
            app.add_flag(names);
        } else {
            app.add_option(names)->expected(1)->multi_option_policy(
                CLI::MultiOptionPolicy::TakeAll);
        }
    };
    for (const Item& s : items) add(s.names, s.flag);
    add("--size", false);
    for (const sim::FaultOption& f : sim::faultOptions()) add("--" + f.name, f.flag);
    try {
        if (argc > 0) app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        *error = "option " + what.substr(0, what.find(':')) + " needs a value";
        return false;
    } catch (const CLI::ParseError& e) {
        *error = numbers::visible(e.what(), 200);
        return false;
    }
    for (const std::string& extra : app.remaining()) {
        if (extra == "--") continue;
        if (extra.size() > 1 && extra[0] == '-')
            *error = "unknown option " + numbers::visible(extra.substr(0, extra.find('=')));
        else
            *error = "unexpected argument " + numbers::quoted(extra);
        return false;
    }

    bool have_duration = false;
    Channel base;  // the one-channel form, and what every --channel starts from
    Given given;
    std::vector<Desc> descs;
    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* opt : app.parse_order()) {
        const std::string name = opt->get_name();
        const std::string value = opt->results().at(taken[opt]++);
        auto bad = [&](const std::string& why) {
            *error = "option " + name + ": " + numbers::quoted(value) + " " + why;
            return false;
        };
        if (opt->get_expected_max() == 0) {  // a flag
            if (value != "true") {
                *error = "option " + name + " takes no value";
                return false;
            }
            if (name == "--help") o->help = true;
            if (name == "--version") o->version = true;
            if (name == "--simulate") o->simulate = true;
            if (name == "--strict-rfc2217") o->strict_rfc2217 = true;
            if (name == "--echo") {
                base.faults.echo = true;
                given.fault = true;
            }
            continue;
        }
        // A decimal option within lo..hi; `what` names it for the message.
        auto decimal = [&](double lo, double hi, const char* what, const char* unit, double* out) {
            const Parsed p = numbers::parseDecimal(value, lo, hi, out);
            if (p == Parsed::Ok) return true;
            return bad("is not " + std::string(what) + " " + numbers::limitText(lo) + ".." +
                       numbers::limitText(hi) + " " + unit +
                       (p == Parsed::NotANumber ? numbers::plainHint(false) : ""));
        };
        auto whole = [&](int64_t lo, int64_t hi, const std::string& what, int64_t* out) {
            const Parsed p = numbers::parseWhole(value, lo, hi, out);
            if (p == Parsed::Ok) return true;
            return bad("is not " + what +
                       (p == Parsed::NotANumber ? numbers::plainHint(true) : ""));
        };
        int64_t n;
        std::string why;
        // --dut names the run's unit; dut= in a channel that port's own.
        const int field =
            name == "--dut" ? 0 : channelField(name.substr(2), value, &base, &given, &why);
        if (field < 0 || name == "--name") {
            *error = "option " + name + ": " + (field < 0 ? why : "belongs in a --channel");
            return false;
        }
        if (field > 0) continue;
        if (name == "--channel") {
            descs.push_back({value, ""});
            if (descs.size() > kMaxChannels) {
                *error = "more than " + std::to_string(kMaxChannels) +
                         " channels, the most one run takes";
                return false;
            }
        } else if (name == "--config") {
            if (!readConfig(value, &descs, error)) return false;
        } else if (name == "--rate") {
            if (!decimal(kMinRate, kMaxRate, "a rate", "packets per second", &o->rate))
                return false;
        } else if (name == "--duration") {
            if (!decimal(kMinDurationS, kMaxDurationS, "a duration", "seconds", &o->duration_s))
                return false;
            have_duration = true;
        } else if (name == "--count") {
            const auto most = static_cast<int64_t>(kMaxRate * kMaxDurationS);
            if (!whole(1, most, "a count 1.." + std::to_string(most), &n)) return false;
            o->count = static_cast<uint64_t>(n);
        } else if (name == "--latency-bound") {
            if (!decimal(kMinLatencyBoundMs, kMaxLatencyBoundMs, "a time", "ms",
                         &o->latency_bound_ms))
                return false;
        } else if (name == "--connect-timeout") {
            if (!decimal(kMinConnectTimeoutMs, kMaxConnectTimeoutMs, "a time", "ms",
                         &o->connect_timeout_ms))
                return false;
        } else if (name == "--tester-stall") {
            if (!decimal(0, kMaxTesterStallMs, "a time", "ms", &o->tester_stall_ms)) return false;
        } else if (name == "--format") {
            if (!measure::parseFormat(value, &o->format))
                return bad("is not counter8, seq32, seq7 or sized");
            o->format_given = true;
        } else if (name == "--size") {
            if (!whole(measure::kSizedMin, measure::kMaxPacketSize,
                       "a packet size " + std::to_string(measure::kSizedMin) + ".." +
                           std::to_string(measure::kMaxPacketSize) + " bytes",
                       &n))
                return false;
            o->size = static_cast<int>(n);
            o->size_given = true;
        } else if (name == "--max-lost" || name == "--max-duplicated" || name == "--max-corrupt" ||
                   name == "--max-reordered") {
            if (!whole(0, INT64_MAX, "a count of 0 or more", &n)) return false;
            (name == "--max-lost"         ? o->limits.max_lost
             : name == "--max-duplicated" ? o->limits.max_duplicated
             : name == "--max-corrupt"    ? o->limits.max_corrupt
                                          : o->limits.max_reordered) = n;
        } else if (name == "--max-p99") {
            if (!decimal(0, kMaxP99Ms, "a time", "ms", &o->limits.max_p99_ms)) return false;
        } else if (name == "--json") {
            o->json_path = value;
        } else if (name == "--report") {
            if (value.empty() || value == "-") return bad("is not a file name");
            o->html_path = value;
        } else if (name == "--csv") {
            o->csv_path = value;
        } else if (name == "--junit") {
            o->junit_path = value;
        } else if (recordOption(name, value, o, error)) {
            if (!error->empty()) return false;
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
    o->line = base.line;
    o->faults = base.faults;
    if (o->help || o->version) return true;
    if (o->size_given && o->format != measure::Format::Sized) {
        *error = "--size needs --format sized";
        return false;
    }
    if (o->station.empty()) o->station = store::hostName();
    if (o->count > 0 && have_duration) {
        *error = "give --duration or --count, not both";
        return false;
    }
    std::string on_stdout;
    for (const auto& [flag, path] :
         {std::pair<const char*, const std::string&>{"--json", o->json_path},
          {"--csv", o->csv_path},
          {"--junit", o->junit_path}}) {
        if (path != "-") continue;
        if (!on_stdout.empty()) {
            *error = on_stdout + " - and " + flag +
                     " - would both write to standard output: give one of them a file";
            return false;
        }
        on_stdout = flag;
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
        return fitFormat(o, error) && checkRun(*o, error);
    }
    if (given.port || given.address || given.listen) {
        *error = "with --channel or --config, give port, address and listen in each channel";
        return false;
    }
    for (const Desc& desc : descs) {
        Channel c = base;
        c.name = "ch" + std::to_string(o->channels.size() + 1);
        Given g = given;
        if (!parseChannelGiven(desc.text, o->simulate, &c, &g, error) ||
            !checkChannel(&c, g, o->simulate, error)) {
            if (!desc.origin.empty()) *error = desc.origin + ": " + *error;
            return false;
        }
        o->channels.push_back(c);
    }
    return checkTogether(o->channels, error) && fitFormat(o, error) && checkRun(*o, error);
}

}  // namespace cli
