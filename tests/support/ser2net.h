// ser2net as a software converter in Telnet RFC 2217 mode, for end-to-end
// tests: a socat pty pair, one end ser2net's serial device, the other what the
// test opens; ser2net in the foreground with its own configuration in a
// scratch folder, accepting on 127.0.0.1 only. Everything has a bounded life
// and ends with the test that made it.
#pragma once

#include <memory>
#include <string>

#include "scratch.h"

namespace testsupport {

class Child;

// Where ser2net is ("" when it is not installed).
std::string ser2netPath();

class Ser2net {
public:
    // telnetPort() speaks `telnet(rfc2217)` to the serial device.
    explicit Ser2net(int life_seconds = 60);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // The serial port to open: the far end of ser2net's device.
    const std::string& ptyPath() const { return tester_; }
    unsigned short telnetPort() const { return telnet_port_; }

private:
    ScratchDir dir_;
    std::unique_ptr<Child> socat_, ser2net_;
    std::string tester_, error_;
    unsigned short telnet_port_ = 0;
    bool ok_ = false;
};

}  // namespace testsupport
