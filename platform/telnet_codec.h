// The Telnet stream (RFC 854) as both ends of an RFC 2217 connection read and
// write it: the command bytes, 0xFF in data doubled (IAC IAC), and a decoder
// that splits what arrives into data, option commands and subnegotiations.
// No I/O: bytes in, bytes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kBinary = 0, kEcho = 1, kSga = 3, kComPort = 44;

// Appends p[0, n) with every 0xFF doubled.
inline void escape(const uint8_t* p, size_t n, std::vector<uint8_t>* out) {
    for (size_t i = 0; i < n; ++i) {
        out->push_back(p[i]);
        if (p[i] == kIac) out->push_back(kIac);
    }
}

// Splits a Telnet stream, whatever pieces it comes in: data bytes (IAC IAC as
// one 0xFF) go to *data; each option command calls command(cmd, option) with
// cmd WILL, WONT, DO or DONT; each subnegotiation calls sub(body), its
// IAC IAC as one 0xFF, at most kMaxSub bytes kept. Other commands (NOP, GA,
// DM, ...) carry nothing and are dropped.
class Decoder {
public:
    static constexpr size_t kMaxSub = 256;

    // A new connection.
    void reset() {
        in_ = In::Data;
        sb_.clear();
    }
    // Between two pieces of the stream, not inside a command.
    bool idle() const { return in_ == In::Data; }

    template <typename Command, typename Sub>
    void feed(const uint8_t* p, size_t n, std::vector<uint8_t>* data, Command command, Sub sub) {
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
                        data->push_back(kIac);  // an escaped 0xFF
                        in_ = In::Data;
                    } else if (b >= kWill && b <= kDont) {
                        command_ = b;
                        in_ = In::Command;
                    } else {
                        in_ = b == kSb ? In::Sb : In::Data;
                        sb_.clear();
                    }
                    break;
                case In::Command:
                    in_ = In::Data;
                    command(command_, b);
                    break;
                case In::Sb:
                    if (b == kIac)
                        in_ = In::SbIac;
                    else if (sb_.size() < kMaxSub)
                        sb_.push_back(b);
                    break;
                case In::SbIac:
                    if (b == kIac) {
                        if (sb_.size() < kMaxSub) sb_.push_back(kIac);
                        in_ = In::Sb;
                    } else {  // SE, or a broken subnegotiation: it ends here either way
                        in_ = In::Data;
                        sub(static_cast<const std::vector<uint8_t>&>(sb_));
                    }
                    break;
            }
        }
    }

private:
    enum class In { Data, Iac, Command, Sb, SbIac } in_ = In::Data;
    uint8_t command_ = 0;
    std::vector<uint8_t> sb_;
};

}  // namespace telnet
