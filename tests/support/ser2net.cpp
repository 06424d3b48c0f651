#include "ser2net.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "loopback.h"
#include "socat.h"

namespace testsupport {

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
    auto made = [&] {
        return access(device.c_str(), F_OK) == 0 && access(tester_.c_str(), F_OK) == 0;
    };
    for (int i = 0; i < 500 && !made(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!made()) {
        error_ = "socat did not make its pty pair within 5 s";
        return;
    }
    // A TCP port on 127.0.0.1 that was free a moment ago.
    const int probe = listenTcp();
    telnet_port_ = probe >= 0 ? boundPort(probe) : 0;
    if (probe >= 0) ::close(probe);
    std::ofstream(config) << "%YAML 1.1\n---\n"
                          << "connection: &rfc2217\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_port_ << "\n"
                          << "  connector: serialdev," << device << ",115200n81,local\n"
                          << "  options:\n    kickolduser: true\n";
    // -n: the foreground; -u: no UUCP lock files; -c: this configuration only.
    // The runner tries its connection again until ser2net listens.
    ser2net_ = std::make_unique<Child>(
        std::vector<std::string>{"timeout", life, exe, "-n", "-u", "-c", config}, quiet);
    ok_ = ser2net_->started();
    if (!ok_) error_ = "ser2net did not start";
}

Ser2net::~Ser2net() {
    for (auto* c : {&ser2net_, &socat_}) {
        if (!*c) continue;
        (*c)->signal(SIGTERM);
        (*c)->wait();
    }
}

}  // namespace testsupport
