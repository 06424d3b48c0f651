// The simulated converter needs a pseudo-terminal for its serial side, which
// Windows does not have: on Windows the converter does not start, and says so.
// (A converter to run against on Windows is a real one, or a null-modem pair
// of virtual COM ports with a bridge to UDP.)
#include "converter.h"

namespace sim {

struct Converter::Impl {};

Converter::Converter(Config config) : config_(std::move(config)) {}

Converter::~Converter() {
    stop();
}

bool Converter::start(std::string* error) {
    if (error)
        *error = "not available on Windows (the simulated converter needs a pseudo-terminal)";
    return false;
}

void Converter::stop() {}

std::string Converter::telnetJson() const {
    return last_telnet_;
}

std::string Converter::ptyPath() const {
    return last_pty_;
}

std::string Converter::slavePath() const {
    return config_.link.empty() ? ptyPath() : config_.link;
}

uint16_t Converter::udpPort() const {
    return last_port_;
}

uint64_t Converter::connections() const {
    return last_connections_;
}

uint64_t Converter::disconnects() const {
    return last_disconnects_;
}

Counts Converter::counts(Way way) const {
    return way == Way::NetToSerial ? last_n2s_ : last_s2n_;
}

}  // namespace sim
