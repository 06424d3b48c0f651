#include "telnet_server.h"

namespace sim {
namespace {

using namespace telnet;

const char* const kNames[] = {"baud", "data_bits", "parity", "stop_bits", "flow"};

std::string valueText(int cmd, const std::vector<uint8_t>& v) {
    static const char* const parity[] = {"query", "none", "odd", "even", "mark", "space"};
    static const char* const flow[] = {"query", "none", "xonxoff", "rtscts"};
    if (cmd == 1) {
        if (v.size() < 4) return "?";
        return std::to_string((uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) |
                              (uint32_t{v[2]} << 8) | v[3]);
    }
    if (v.empty()) return "?";
    if (cmd == 3 && v[0] <= 5) return parity[v[0]];
    if (cmd == 4 && v[0] == 3) return "1.5";
    if (cmd == 5 && v[0] <= 3) return flow[v[0]];
    return std::to_string(v[0]);
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

void TelnetServer::begin(std::vector<uint8_t>* out) {
    decoder_.reset();
    out->insert(out->end(), {kIac, kDo, kComPort});
}

void TelnetServer::escape(const uint8_t* p, size_t n, std::vector<uint8_t>* out) const {
    for (size_t i = 0; i < n; ++i) {
        out->push_back(p[i]);
        if (p[i] != kIac) continue;
        if (drop_)
            ++dropped_;
        else
            out->push_back(kIac);
    }
}

void TelnetServer::feed(const uint8_t* p, size_t n, std::vector<uint8_t>* data,
                        std::vector<uint8_t>* reply) {
    // Agrees to what it knows, refuses the rest; an answer only where the
    // option changes (no loop of answers). WILL COM-PORT-OPTION answers its
    // own DO: nothing to say.
    const auto command = [reply](uint8_t cmd, uint8_t opt) {
        const bool known = opt == kBinary || opt == kSga || opt == kComPort;
        if (cmd == kWill && opt != kComPort)
            reply->insert(reply->end(), {kIac, known ? kDo : kDont, opt});
        else if (cmd == kDo)
            reply->insert(reply->end(), {kIac, known && opt != kComPort ? kWill : kWont, opt});
    };
    decoder_.feed(p, n, data, command,
                  [this, reply](const std::vector<uint8_t>& sb) { onSubnegotiation(sb, reply); });
}

// A setting is recorded and answered with the value asked (a query, value 0,
// is answered with 0 here: the simulated line has no settings of its own).
void TelnetServer::onSubnegotiation(const std::vector<uint8_t>& sb, std::vector<uint8_t>* reply) {
    if (sb.size() < 2 || sb[0] != kComPort || sb[1] < 1 || sb[1] > 5) return;
    const int cmd = sb[1];
    const std::vector<uint8_t> value(sb.begin() + 2, sb.end());
    received_.emplace_back(kNames[cmd - 1], valueText(cmd, value));
    reply->insert(reply->end(), {kIac, kSb, kComPort, static_cast<uint8_t>(cmd + 100)});
    telnet::escape(value.data(), value.size(), reply);
    reply->insert(reply->end(), {kIac, kSe});
}

std::string TelnetServer::json() const {
    std::string latest = "{", order = "[";
    for (const char* name : kNames) {
        std::string value;
        for (const auto& r : received_)
            if (r.first == name) value = r.second;
        if (value.empty()) continue;
        if (latest.size() > 1) latest += ", ";
        latest += quoted(name) + ": " + quoted(value);
    }
    for (const auto& r : received_) {
        if (order.size() > 1) order += ", ";
        order += quoted(r.first + " " + r.second);
    }
    return "{\"settings\": " + latest + "}, \"received\": " + order +
           "], \"iac_dropped\": " + std::to_string(dropped_) + "}";
}

}  // namespace sim
