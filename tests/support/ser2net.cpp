#include "ser2net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "child_process.h"

namespace testsupport {
namespace {

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    unsigned short port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
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

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

}  // namespace

std::string ser2netPath() {
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

Ser2net::Ser2net(int life_seconds) {
    const std::string exe = ser2netPath();
    if (exe.empty()) {
        error_ = "ser2net is not installed (Debian package ser2net)";
        return;
    }
    if (std::system("command -v socat >/dev/null 2>&1") != 0) {
        error_ = "socat is not installed";
        return;
    }
    char tmpl[] = "/tmp/convbench-ser2net-XXXXXX";
    if (!mkdtemp(tmpl)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = tmpl;
    device_ = dir_ + "/ttyDEV";
    tester_ = dir_ + "/ttyTEST";
    config_ = dir_ + "/ser2net.yaml";
    const std::string life = std::to_string(life_seconds);
    socat_ = std::make_unique<Child>(
        std::vector<std::string>{"timeout", life, "socat", "pty,raw,echo=0,link=" + device_,
                                 "pty,raw,echo=0,link=" + tester_},
        Child::Options{Child::Output::Null, Child::Output::Null, SIGTERM});
    for (int i = 0; i < 500 && !(exists(device_) && exists(tester_)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!exists(device_) || !exists(tester_)) {
        error_ = "socat did not make its pty pair within 5 s";
        return;
    }
    telnet_port_ = freeTcpPort();
    raw_port_ = freeTcpPort();
    std::ofstream(config_) << "%YAML 1.1\n---\n"
                           << "connection: &rfc2217\n"
                           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_port_ << "\n"
                           << "  connector: serialdev," << device_ << ",115200n81,local\n"
                           << "  options:\n    kickolduser: true\n"
                           << "connection: &raw\n"
                           << "  accepter: tcp,127.0.0.1," << raw_port_ << "\n"
                           << "  connector: serialdev," << device_ << ",115200n81,local\n"
                           << "  options:\n    kickolduser: true\n";
    // -n: the foreground; -u: no UUCP lock files; -c: this configuration only.
    ser2net_ = std::make_unique<Child>(
        std::vector<std::string>{"timeout", life, exe, "-n", "-u", "-c", config_},
        Child::Options{Child::Output::Null, Child::Output::Null, SIGTERM});
    for (int i = 0; i < 500; ++i) {
        if (tcpListening(telnet_port_) && tcpListening(raw_port_)) {
            ok_ = true;
            return;
        }
        if (!ser2net_->running()) {
            error_ = "ser2net ended at start";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "ser2net did not listen within 5 s";
}

Ser2net::~Ser2net() {
    for (auto* c : {&ser2net_, &socat_}) {
        if (!*c) continue;
        (*c)->signal(SIGTERM);
        (*c)->wait();
    }
    for (const std::string& f : {config_, device_, tester_})
        if (!f.empty()) unlink(f.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
}

}  // namespace testsupport
