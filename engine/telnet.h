// The Telnet side of an RFC 2217 (Com Port Control) connection: the runner as
// a client that negotiates COM-PORT-OPTION (option 44), sets the converter's
// line (baud, data bits, parity, stop bits, flow control, in the order the
// RFC recommends), checks each acknowledgement, and carries data with 0xFF
// doubled (IAC IAC) both ways. BINARY and SUPPRESS-GO-AHEAD are agreed to;
// every other option the converter offers or asks for is refused (DONT,
// WONT). No I/O here: bytes in, bytes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "telnet_codec.h"
#include "uart.h"

namespace engine {

namespace telnet {
using namespace ::telnet;
// COM-PORT-OPTION commands from the client; the server answers with +100.
constexpr uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5;
constexpr int kServerOffset = 100;
}  // namespace telnet

class Rfc2217Client {
public:
    // One setting asked for and what the converter answered.
    struct Setting {
        const char* name;  // "baud", "data_bits", "parity", "stop_bits", "flow"
        uint32_t asked = 0;
        bool answered = false;
        uint32_t value = 0;  // in the RFC's coding but baud and data bits (plain numbers)
    };
    static constexpr int kSettings = 5;

    Rfc2217Client(int baud, const UART_Line_t& line);
    // A new connection: the state starts afresh; *out gets what to send first
    // (WILL COM-PORT-OPTION, and the offer of BINARY and SUPPRESS-GO-AHEAD).
    void begin(std::vector<uint8_t>* out);
    // Bytes from the converter: the data they carry goes to *data, anything
    // to answer (negotiation, the settings once COM-PORT-OPTION is agreed) to
    // *reply, which goes out before any more data.
    void feed(const uint8_t* p, size_t n, std::vector<uint8_t>* data, std::vector<uint8_t>* reply);

    bool accepted() const { return accepted_; }  // DO COM-PORT-OPTION came
    bool refused() const { return refused_; }    // DONT COM-PORT-OPTION came
    bool allAnswered() const;
    const Setting* settings() const { return settings_; }
    // The answers that differ from what was asked, as "parity: asked even,
    // answered none"; empty when all agree (unanswered ones are named too).
    std::vector<std::string> differences() const;
    // What was negotiated, in order ("sent WILL COM-PORT-OPTION", "received
    // WILL ECHO: refused"), for the report; kept to the first connection.
    const std::vector<std::string>& log() const { return log_; }
    // The RFC's coding of a setting's value as text ("even", "rtscts", "8").
    static std::string valueText(int index, uint32_t value);

private:
    void onCommand(uint8_t cmd, uint8_t opt, std::vector<uint8_t>* reply);
    void onSubnegotiation(const std::vector<uint8_t>& sb);
    void sendSettings(std::vector<uint8_t>* reply);
    void note(const std::string& s);

    Setting settings_[kSettings];
    ::telnet::Decoder decoder_;
    bool accepted_ = false, refused_ = false, sent_settings_ = false;
    uint8_t will_[256] = {}, do_[256] = {};  // options of each side: no, asked, yes
    bool first_ = true;                      // the log keeps the first connection only
    std::vector<std::string> log_;
};

}  // namespace engine
