// The simulated converter in RFC 2217 mode: the Telnet server side of its
// TCP connection. It agrees to COM-PORT-OPTION, BINARY and SUPPRESS-GO-AHEAD,
// refuses every other option, keeps a record of the line settings the client
// sent (and answers each with the value asked), and carries data with 0xFF
// doubled both ways. The iac fault sends a data 0xFF alone (drops the second
// IAC), as a converter that forgets the escape would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "telnet_codec.h"

namespace sim {

class TelnetServer {
public:
    explicit TelnetServer(bool drop_second_iac = false) : drop_(drop_second_iac) {}
    // A new connection: what to send first (DO COM-PORT-OPTION).
    void begin(std::vector<uint8_t>* out);
    // Bytes from the client: data to *data, answers to *reply.
    void feed(const uint8_t* p, size_t n, std::vector<uint8_t>* data, std::vector<uint8_t>* reply);
    // Data for the client, 0xFF doubled (unless the fault drops the second).
    void escape(const uint8_t* p, size_t n, std::vector<uint8_t>* out) const;
    // The settings received, in order, as "baud 115200", "data_bits 7",
    // "parity even", "stop_bits 2", "flow xonxoff"; a JSON object of the
    // latest value of each, and the list in order.
    std::string json() const;
    uint64_t escapedDropped() const { return dropped_; }

private:
    void onSubnegotiation(const std::vector<uint8_t>& sb, std::vector<uint8_t>* reply);
    telnet::Decoder decoder_;
    bool drop_;
    mutable uint64_t dropped_ = 0;
    std::vector<std::pair<std::string, std::string>> received_;
};

}  // namespace sim
