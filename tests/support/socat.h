// socat as a software converter for end-to-end tests: a pty on one side, UDP
// on 127.0.0.1 on the other. Every bridge has a bounded life and ends with the
// test that made it.
#pragma once

#include <memory>
#include <string>

#include "scratch.h"

namespace testsupport {

class Child;

bool socatAvailable();

class SocatBridge {
public:
    // Bytes written to the pty leave as datagrams to 127.0.0.1:peer_port, sent
    // from 127.0.0.1:local_port; datagrams arriving at local_port are written
    // to the pty. The pty's slave is reachable through ptyPath().
    SocatBridge(unsigned short local_port, unsigned short peer_port, int life_seconds = 120);
    ~SocatBridge();
    SocatBridge(const SocatBridge&) = delete;
    SocatBridge& operator=(const SocatBridge&) = delete;

    // The converter goes away (socat ends, its pty and the link vanish), and
    // comes back at the same path with the same ports. start() is what the
    // constructor does; false (see error()) if socat did not come up.
    void stop();
    bool start();

    bool ok() const { return ok_; }
    const std::string& ptyPath() const { return link_; }
    const std::string& error() const { return error_; }

private:
    unsigned short local_port_, peer_port_;
    int life_seconds_;
    std::unique_ptr<Child> child_;  // socat, under timeout
    bool ok_ = false;
    ScratchDir dir_;
    std::string link_;
    std::string error_;
};

}  // namespace testsupport
