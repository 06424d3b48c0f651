#include "socat.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "child_process.h"

namespace testsupport {
namespace {

// True once some socket is bound to 127.0.0.1:port. Read from /proc: a probing
// bind of our own would race with socat for the port.
bool udpLoopbackBound(unsigned short port) {
    char want[32];
    snprintf(want, sizeof want, ": 0100007F:%04X ", port);
    std::ifstream f("/proc/net/udp");
    for (std::string line; std::getline(f, line);)
        if (line.find(want) != std::string::npos) return true;
    return false;
}

}  // namespace

bool socatAvailable() {
    return system("command -v socat >/dev/null 2>&1") == 0;
}

SocatBridge::SocatBridge(unsigned short local_port, unsigned short peer_port, int life_seconds)
    : local_port_(local_port), peer_port_(peer_port), life_seconds_(life_seconds) {
    if (!socatAvailable() || dir_.path.empty()) {
        error_ = dir_.path.empty() ? "mkdtemp failed" : "socat is not installed";
        return;
    }
    link_ = dir_ / "ttyCONV";
    start();
}

bool SocatBridge::start() {
    ok_ = false;
    if (link_.empty()) return false;
    const std::string pty = "pty,raw,echo=0,link=" + link_;
    const std::string udp = "udp4-datagram:127.0.0.1:" + std::to_string(peer_port_) +
                            ",bind=127.0.0.1:" + std::to_string(local_port_);
    const std::string life = std::to_string(life_seconds_);

    child_ = std::make_unique<Child>(
        std::vector<std::string>{"timeout", life, "socat", "-b", "65536", pty, udp},
        Child::Options{Child::Output::Inherit, Child::Output::Inherit, SIGTERM});
    // socat opens its pty first, then binds its UDP side: wait for both.
    for (int i = 0; i < 500; ++i) {
        struct stat st {};
        if (lstat(link_.c_str(), &st) == 0 && udpLoopbackBound(local_port_)) return ok_ = true;
        if (!child_->running()) {
            child_.reset();
            error_ = "socat did not start, or exited at start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "socat did not open its pty and UDP port within 5 s";
    return false;
}

void SocatBridge::stop() {
    if (child_) {
        child_->signal(SIGTERM);
        child_->wait();
    }
    child_.reset();
    ok_ = false;
    if (!link_.empty()) unlink(link_.c_str());
}

SocatBridge::~SocatBridge() {
    stop();
}

}  // namespace testsupport
