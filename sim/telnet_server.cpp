#include "telnet_server.h"

namespace sim {
namespace {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kBinary = 0, kSga = 3, kComPort = 44;

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
    in_ = In::Data;
    sb_.clear();
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
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        switch (in_) {
            case In::Data:
                if (b == kIac)
                    in_ = In::Iac;
                else
                    data->push_back(b);
                break;
            case In::Iac:
                if (b == kIac) {
                    data->push_back(kIac);
                    in_ = In::Data;
                } else if (b >= kWill && b <= kDont) {
                    command_ = b;
                    in_ = In::Command;
                } else {
                    in_ = b == kSb ? In::Sb : In::Data;
                    sb_.clear();
                }
                break;
            case In::Command: {
                // Agrees to what it knows, refuses the rest; an answer only
                // where the option changes (no loop of answers).
                const bool known = b == kBinary || b == kSga || b == kComPort;
                // (WILL COM-PORT-OPTION answers its own DO: nothing to say.)
                if (command_ == kWill && b != kComPort)
                    reply->insert(reply->end(), {kIac, known ? kDo : kDont, b});
                else if (command_ == kDo)
                    reply->insert(reply->end(), {kIac, known && b != kComPort ? kWill : kWont, b});
                in_ = In::Data;
                break;
            }
            case In::Sb:
                if (b == kIac)
                    in_ = In::SbIac;
                else if (sb_.size() < 256)
                    sb_.push_back(b);
                break;
            case In::SbIac:
                if (b == kIac) {
                    if (sb_.size() < 256) sb_.push_back(kIac);
                    in_ = In::Sb;
                } else {
                    onSubnegotiation(reply);
                    in_ = In::Data;
                }
                break;
        }
    }
}

// A setting is recorded and answered with the value asked (a query, value 0,
// is answered with 0 here: the simulated line has no settings of its own).
void TelnetServer::onSubnegotiation(std::vector<uint8_t>* reply) {
    if (sb_.size() < 2 || sb_[0] != kComPort || sb_[1] < 1 || sb_[1] > 5) return;
    const int cmd = sb_[1];
    const std::vector<uint8_t> value(sb_.begin() + 2, sb_.end());
    received_.emplace_back(kNames[cmd - 1], valueText(cmd, value));
    reply->insert(reply->end(), {kIac, kSb, kComPort, static_cast<uint8_t>(cmd + 100)});
    for (uint8_t v : value) {
        reply->push_back(v);
        if (v == kIac) reply->push_back(kIac);
    }
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
