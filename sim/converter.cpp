// The platform-neutral half of the converter: clock, endpoints, report.
#include <chrono>
#include <cstdio>

#include "converter.h"

namespace sim {
namespace {

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

std::string countsJson(const Counts& c) {
    const std::pair<const char*, uint64_t> fields[] = {
        {"packets", c.packets},
        {"bytes_in", c.bytes_in},
        {"bytes_out", c.bytes_out},
        {"writes", c.writes},
        {"dropped", c.dropped},
        {"duplicated", c.duplicated},
        {"corrupted", c.corrupted},
        {"reordered", c.reordered},
        {"stray_bytes", c.stray_bytes},
        {"overflow", c.overflow},
        {"outage_dropped", c.outage_dropped},
        {"outages", c.outages},
        {"damaged_in", c.damaged_in},
        {"discarded_bytes", c.discarded_bytes},
        {"disconnected", c.disconnected},
        {"truncated", c.truncated},
        {"truncated_bytes", c.truncated_bytes},
        {"echoed", c.echoed},
    };
    std::string out = "{";
    for (const auto& [name, value] : fields) {
        if (out.size() > 1) out += ", ";
        out += quoted(name) + ": " + std::to_string(value);
    }
    return out + "}";
}

}  // namespace

const char* transportName(Transport t) {
    static const char* const names[] = {"udp", "tcp-server", "tcp-client"};
    return names[static_cast<int>(t)];
}

bool parseTransport(const std::string& name, Transport* out) {
    for (Transport t : {Transport::Udp, Transport::TcpServer, Transport::TcpClient}) {
        if (name == transportName(t)) {
            *out = t;
            return true;
        }
    }
    return false;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool parseEndpoint(const std::string& text, std::string* ip, uint16_t* port) {
    std::string host, p;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return false;
        host = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    if (host.empty() || p.empty() || p.size() > 5) return false;
    unsigned long v = 0;
    for (const char c : p) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > 65535) return false;
    *ip = host;
    *port = static_cast<uint16_t>(v);
    return true;
}

std::string Converter::reportJson() const {
    const Faults& f = config_.faults;
    const int64_t end = stopped_ns_ ? stopped_ns_ : nowNs();
    const double up = started_ns_ ? static_cast<double>(end - started_ns_) / 1e9 : 0;
    std::string out = "{\n";
    out += "  \"schema\": " + std::to_string(kReportSchema) + ",\n";
    out += "  \"program\": \"convbench-sim\",\n";
    out += "  \"uptime_s\": " + num(up) + ",\n";
    out += "  \"format\": " + quoted(measure::formatName(config_.format)) + ",\n";
    out +=
        "  \"size\": " + std::to_string(measure::packetSize(config_.format, config_.size)) + ",\n";
    out += "  \"serial\": {\"pty\": " + quoted(ptyPath()) + ", \"link\": " + quoted(config_.link) +
           "},\n";
    out += "  \"transport\": " + quoted(transportName(config_.transport)) + ",\n";
    const std::string net = "{\"bind\": " + quoted(config_.bind_ip) +
                            ", \"port\": " + std::to_string(udpPort()) +
                            ", \"peer\": " + quoted(config_.peer_ip) +
                            ", \"peer_port\": " + std::to_string(config_.peer_port);
    if (config_.transport == Transport::Udp) {
        out += "  \"udp\": " + net + "},\n";
    } else {
        out += "  \"tcp\": " + net + ", \"connections\": " + std::to_string(connections()) +
               ", \"disconnects\": " + std::to_string(disconnects()) + "},\n";
    }
    out += "  \"faults\": {\"drop\": " + num(f.drop) + ", \"duplicate\": " + num(f.duplicate) +
           ", \"corrupt\": " + num(f.corrupt) + ", \"reorder\": " + num(f.reorder) +
           ", \"reorder_depth\": " + std::to_string(f.reorder_depth) +
           ", \"delay_ms\": " + num(f.delay_ms) + ", \"jitter_ms\": " + num(f.jitter_ms) +
           ", \"stray\": " + num(f.stray) + ", \"pack_size\": " + std::to_string(f.pack_size) +
           ", \"pack_gap_ms\": " + num(f.pack_gap_ms) + ", \"split\": " + std::to_string(f.split) +
           ", \"baud\": " + std::to_string(f.baud) + ", \"queue\": " +
           std::to_string(f.queue > 0 ? f.queue : static_cast<int>(kLineQueueBytes)) +
           ", \"outage_ms\": " + std::to_string(f.outage_ms) +
           ", \"outage_every_ms\": " + std::to_string(f.outage_every_ms) +
           ", \"disconnect_every_ms\": " + std::to_string(f.disconnect_every_ms) +
           ", \"disconnect_for_ms\": " + std::to_string(f.disconnect_for_ms) +
           ", \"truncate\": " + num(f.truncate) + ", \"echo\": " + (f.echo ? "true" : "false") +
           ", \"seed\": " + std::to_string(f.seed) + "},\n";
    if (config_.telnet) out += "  \"rfc2217\": " + telnetJson() + ",\n";
    out += "  \"net_to_serial\": " + countsJson(counts(Way::NetToSerial)) + ",\n";
    out += "  \"serial_to_net\": " + countsJson(counts(Way::SerialToNet)) + "\n";
    return out + "}\n";
}

}  // namespace sim
