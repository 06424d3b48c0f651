#include "ser2net.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "loopback.h"
#include "socat.h"

namespace testsupport {
namespace {

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short freeTcpPort() {
    const int fd = listenTcp();
    const unsigned short port = fd >= 0 ? boundPort(fd) : 0;
    if (fd >= 0) ::close(fd);
    return port;
}

// True once a socket listens on 127.0.0.1:port (from /proc: no probe connection).
bool tcpListening(unsigned short port) {
    char want[48];
    std::snprintf(want, sizeof want, ": 0100007F:%04X 00000000:0000 0A", port);
    std::ifstream f("/proc/net/tcp");
    for (std::string line; std::getline(f, line);)
        if (line.find(want) != std::string::npos) return true;
    return false;
}

// Asks `done` every 10 ms for at most 5 s; its last answer.
template <class Done>
bool within5s(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

}  // namespace

std::string ser2netPath() {
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

Ser2net::Ser2net(int life_seconds) {
    const std::string exe = ser2netPath(), life = std::to_string(life_seconds);
    if (exe.empty() || !socatAvailable() || dir_.path.empty()) {
        error_ = "ser2net or socat is not installed (Debian packages ser2net, socat)";
        return;
    }
    const std::string device = dir_ / "ttyDEV", config = dir_ / "ser2net.yaml";
    tester_ = dir_ / "ttyTEST";
    const Child::Options quiet{Child::Output::Null, Child::Output::Null, SIGTERM};
    socat_ = std::make_unique<Child>(
        std::vector<std::string>{"timeout", life, "socat", "pty,raw,echo=0,link=" + device,
                                 "pty,raw,echo=0,link=" + tester_},
        quiet);
    if (!within5s([&] {
            return access(device.c_str(), F_OK) == 0 && access(tester_.c_str(), F_OK) == 0;
        })) {
        error_ = "socat did not make its pty pair within 5 s";
        return;
    }
    telnet_port_ = freeTcpPort();
    std::ofstream(config) << "%YAML 1.1\n---\n"
                          << "connection: &rfc2217\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_port_ << "\n"
                          << "  connector: serialdev," << device << ",115200n81,local\n"
                          << "  options:\n    kickolduser: true\n";
    // -n: the foreground; -u: no UUCP lock files; -c: this configuration only.
    ser2net_ = std::make_unique<Child>(
        std::vector<std::string>{"timeout", life, exe, "-n", "-u", "-c", config}, quiet);
    within5s([&] { return !ser2net_->running() || tcpListening(telnet_port_); });
    ok_ = ser2net_->running() && tcpListening(telnet_port_);
    if (!ok_) error_ = "ser2net ended at start or did not listen within 5 s";
}

Ser2net::~Ser2net() {
    for (auto* c : {&ser2net_, &socat_}) {
        if (!*c) continue;
        (*c)->signal(SIGTERM);
        (*c)->wait();
    }
}

}  // namespace testsupport
