#include "telnet.h"

namespace engine {

using namespace telnet;

namespace {

// The RFC's parity coding, by UART_kParity*: none 1, odd 2, even 3, mark 4, space 5.
constexpr uint8_t kParityCode[] = {1, 3, 2, 4, 5};
// Flow control (SET-CONTROL), by UART_kFlow*: none 1, XON/XOFF 2, hardware 3.
constexpr uint8_t kFlowCode[] = {1, 3, 2};

std::string optionName(uint8_t opt) {
    switch (opt) {
        case kBinary:
            return "BINARY";
        case kEcho:
            return "ECHO";
        case kSga:
            return "SUPPRESS-GO-AHEAD";
        case kComPort:
            return "COM-PORT-OPTION";
        default:
            return "option " + std::to_string(opt);
    }
}

std::string commandName(uint8_t cmd) {
    return cmd == kWill ? "WILL" : cmd == kWont ? "WONT" : cmd == kDo ? "DO" : "DONT";
}

enum State : uint8_t { No = 0, WantYes = 1, Yes = 2 };

}  // namespace

Rfc2217Client::Rfc2217Client(int baud, const UART_Line_t& line)
    : settings_{{"baud", static_cast<uint32_t>(baud)},
                {"data_bits", static_cast<uint32_t>(line.data_bits)},
                {"parity", kParityCode[line.parity]},
                {"stop_bits", static_cast<uint32_t>(line.stop_bits)},
                {"flow", kFlowCode[line.flow]}} {}

std::string Rfc2217Client::valueText(int index, uint32_t value) {
    static const char* const parity[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const flow[] = {"?", "none", "xonxoff", "rtscts"};
    if (index == 2) return value <= 5 ? parity[value] : std::to_string(value);
    if (index == 3 && value == 3) return "1.5";
    if (index == 4) return value <= 3 ? flow[value] : std::to_string(value);
    return std::to_string(value);
}

void Rfc2217Client::note(const std::string& s) {
    if (first_) log_.push_back(s);
}

void Rfc2217Client::begin(std::vector<uint8_t>* out) {
    if (!decoder_.idle() || !log_.empty()) first_ = false;
    decoder_.reset();
    accepted_ = refused_ = sent_settings_ = false;
    for (Setting& s : settings_) s.answered = false, s.value = 0;
    for (int i = 0; i < 256; ++i) will_[i] = do_[i] = No;
    const uint8_t hello[] = {kIac,    kWill, kComPort, kIac, kWill, kBinary, kIac, kDo,
                             kBinary, kIac,  kWill,    kSga, kIac,  kDo,     kSga};
    out->insert(out->end(), hello, hello + sizeof hello);
    will_[kComPort] = will_[kBinary] = will_[kSga] = WantYes;
    do_[kBinary] = do_[kSga] = WantYes;
    note("sent WILL COM-PORT-OPTION, WILL/DO BINARY, WILL/DO SUPPRESS-GO-AHEAD");
}

bool Rfc2217Client::allAnswered() const {
    for (const Setting& s : settings_)
        if (!s.answered) return false;
    return true;
}

std::vector<std::string> Rfc2217Client::differences() const {
    std::vector<std::string> d;
    for (int i = 0; i < kSettings; ++i) {
        const Setting& s = settings_[i];
        if (!s.answered)
            d.push_back(std::string(s.name) + ": asked " + valueText(i, s.asked) + ", no answer");
        else if (s.value != s.asked)
            d.push_back(std::string(s.name) + ": asked " + valueText(i, s.asked) + ", answered " +
                        valueText(i, s.value));
    }
    return d;
}

void Rfc2217Client::feed(const uint8_t* p, size_t n, std::vector<uint8_t>* data,
                         std::vector<uint8_t>* reply) {
    decoder_.feed(
        p, n, data, [&](uint8_t cmd, uint8_t opt) { onCommand(cmd, opt, reply); },
        [&](const std::vector<uint8_t>& sb) { onSubnegotiation(sb); });
}

void Rfc2217Client::onCommand(uint8_t cmd, uint8_t opt, std::vector<uint8_t>* reply) {
    const bool mine = cmd == kDo || cmd == kDont;  // about this side's option
    uint8_t& state = mine ? will_[opt] : do_[opt];
    const bool on = cmd == kDo || cmd == kWill;
    const bool supported = opt == kBinary || opt == kSga || (mine && opt == kComPort);
    const uint8_t yes = mine ? kWill : kDo, no = mine ? kWont : kDont;
    std::string what = "received " + commandName(cmd) + " " + optionName(opt);
    if (on) {
        if (state == No) {
            if (supported) {
                state = Yes;
                reply->insert(reply->end(), {kIac, yes, opt});
                what += ": agreed";
            } else {
                reply->insert(reply->end(), {kIac, no, opt});
                what += ": refused (" + commandName(no) + ")";
            }
        }
        state = supported ? Yes : No;
    } else {
        if (state == Yes) reply->insert(reply->end(), {kIac, no, opt});
        state = No;
        if (mine && opt == kComPort) refused_ = true;
    }
    note(what);
    if (mine && opt == kComPort && state == Yes && !sent_settings_) {
        accepted_ = true;
        sendSettings(reply);
    }
}

// Baud, data size, parity, stop size, in the order the RFC recommends, then
// the flow control.
void Rfc2217Client::sendSettings(std::vector<uint8_t>* reply) {
    sent_settings_ = true;
    const uint32_t baud = settings_[0].asked;
    const uint8_t b[] = {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                         static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
    const uint8_t cmds[] = {kSetBaud, kSetDataSize, kSetParity, kSetStopSize, kSetControl};
    for (int i = 0; i < kSettings; ++i) {
        reply->insert(reply->end(), {kIac, kSb, kComPort, cmds[i]});
        if (i == 0) {
            escape(b, 4, reply);
        } else {
            const uint8_t v = static_cast<uint8_t>(settings_[i].asked);
            escape(&v, 1, reply);
        }
        reply->insert(reply->end(), {kIac, kSe});
    }
    note("sent SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE, SET-CONTROL");
}

void Rfc2217Client::onSubnegotiation(const std::vector<uint8_t>& sb) {
    if (sb.size() < 2 || sb[0] != kComPort) return;
    const int cmd = sb[1] - kServerOffset;
    if (cmd < kSetBaud || cmd > kSetControl) return;  // notifications, signature: not used
    Setting& s = settings_[cmd - 1];
    if (cmd == kSetBaud) {
        if (sb.size() < 6) return;
        s.value =
            (uint32_t{sb[2]} << 24) | (uint32_t{sb[3]} << 16) | (uint32_t{sb[4]} << 8) | sb[5];
    } else {
        if (sb.size() < 3) return;
        // SET-CONTROL answers other queries too (break, DTR, RTS): only the
        // flow control's codes are its answer.
        if (cmd == kSetControl && (sb[2] < 1 || sb[2] > 3)) return;
        s.value = sb[2];
    }
    s.answered = true;
    note("received " + std::string(s.name) + " " + valueText(cmd - 1, s.value));
}

}  // namespace engine
