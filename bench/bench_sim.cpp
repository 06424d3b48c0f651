// Figures of the simulated converter (convbench-sim, no faults) beside socat on
// the same machine in the same run: added one-way latency per direction, and
// the highest rate of 7-byte packets forwarded with nothing lost.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "loopback.h"
#include "pty_pair.h"
#include "socat.h"

namespace {

using Clock = std::chrono::steady_clock;
int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int udpSocket(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

void sendTo(int fd, uint16_t port, const void* p, size_t n) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    sendto(fd, p, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Reads until n bytes came; false after 1 s without.
bool readN(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return false;
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// A converter under test: a pty reachable at link(), UDP in at `local`, out to `peer`.
struct Converter {
    virtual ~Converter() = default;
    virtual bool ok() const = 0;
    virtual std::string link() const = 0;
};

struct Socat : Converter {
    testsupport::SocatBridge b;
    Socat(uint16_t local, uint16_t peer) : b(local, peer, 600) {}
    bool ok() const override { return b.ok(); }
    std::string link() const override { return b.ptyPath(); }
};

struct Sim : Converter {
    testsupport::Child child;
    std::string dir, path;
    Sim(uint16_t local, uint16_t peer) {
        char tmpl[] = "/tmp/convbench-bsim-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/tty";
        child = testsupport::Child(
            {CONVBENCH_SIM_EXE, "--link", path, "--bind", "127.0.0.1:" + std::to_string(local),
             "--peer", "127.0.0.1:" + std::to_string(peer), "--duration", "600"},
            {testsupport::Child::Output::Null, testsupport::Child::Output::Null, SIGTERM});
        for (int i = 0; i < 500; ++i) {
            struct stat st {};
            if (lstat(path.c_str(), &st) == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Sim() override {
        child.signal(SIGTERM);
        child.wait();
        rmdir(dir.c_str());
    }
    bool ok() const override {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }
    std::string link() const override { return path; }
};

struct Quantiles {
    double p50, p99;
};
Quantiles quantiles(std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return {0, 0};
    return {v[v.size() / 2] / 1e3, v[v.size() * 99 / 100] / 1e3};
}

constexpr int kRounds = 3000;
const uint8_t kPacket[7] = {1, 1, 2, 3, 4, 5, 16};

// One-way latency, one packet in flight: pty write -> datagram, datagram -> pty read.
void latency(const char* name, Converter& c, int tty, int net, uint16_t conv_port) {
    std::vector<int64_t> up, down;
    uint8_t buf[65536];
    for (int i = 0; i < kRounds; ++i) {
        int64_t t0 = nowNs();
        if (write(tty, kPacket, 7) != 7 || !readN(net, buf, 7)) break;  // one datagram
        up.push_back(nowNs() - t0);
        t0 = nowNs();
        sendTo(net, conv_port, kPacket, 7);
        if (!readN(tty, buf, 7)) break;
        down.push_back(nowNs() - t0);
    }
    const Quantiles u = quantiles(up), d = quantiles(down);
    std::printf(
        "%-6s latency serial->net p50 %6.1f us p99 %6.1f us | net->serial p50 %6.1f us p99 %6.1f "
        "us\n",
        name, u.p50, u.p99, d.p50, d.p99);
    (void)c;
}

// Baselines without a converter: pty write -> read, and UDP send -> receive.
void baselines() {
    int m, s;
    openpty(&m, &s, nullptr, nullptr, nullptr);
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    const int a = udpSocket(0), b = udpSocket(0);
    const uint16_t bport = testsupport::boundPort(b);
    std::vector<int64_t> pty, udp;
    uint8_t buf[64];
    for (int i = 0; i < kRounds; ++i) {
        int64_t t0 = nowNs();
        (void)!write(s, kPacket, 7);
        readN(m, buf, 7);
        pty.push_back(nowNs() - t0);
        t0 = nowNs();
        sendTo(a, bport, kPacket, 7);
        readN(b, buf, 7);
        udp.push_back(nowNs() - t0);
    }
    const Quantiles p = quantiles(pty), u = quantiles(udp);
    std::printf(
        "bare   pty write->read p50 %6.1f us p99 %6.1f us | udp send->recv p50 %6.1f us p99 %6.1f "
        "us\n",
        p.p50, p.p99, u.p50, u.p99);
    close(m), close(s), close(a), close(b);
}

// Sends 7-byte packets at `rate`/s for 1 s in 1 ms bursts; true when the sender
// kept the rate and every byte arrived.
bool trial(bool serial_to_net, double rate, int tty, int net, uint16_t conv_port) {
    std::atomic<uint64_t> got{0};
    std::atomic<bool> done{false};
    const int in = serial_to_net ? net : tty;
    std::thread reader([&] {
        // Up to 64 datagrams (or one stream read) per call, polling only when idle.
        constexpr int kN = 64;
        std::vector<uint8_t> bufs(kN * 2048);
        mmsghdr msgs[kN];
        iovec iov[kN];
        while (!done) {
            int n;
            if (serial_to_net) {
                for (int i = 0; i < kN; ++i) {
                    iov[i] = {bufs.data() + i * 2048, 2048};
                    msgs[i] = {};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                }
                n = recvmmsg(in, msgs, kN, MSG_DONTWAIT, nullptr);
                for (int i = 0; i < n; ++i) got += msgs[i].msg_len;
            } else {
                pollfd p{in, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                const ssize_t r = read(in, bufs.data(), bufs.size());
                if (r > 0) got += static_cast<uint64_t>(r);
                continue;
            }
            if (n <= 0) {
                pollfd p{in, POLLIN, 0};
                poll(&p, 1, 20);
            }
        }
    });
    const int64_t start = nowNs(), span = 1000000000;
    uint64_t sent = 0;
    for (int64_t ms = 0;; ++ms) {
        const int64_t at = start + ms * 1000000;
        while (nowNs() < at) std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (at - start >= span) break;
        const uint64_t due = static_cast<uint64_t>(rate * (ms + 1) / 1000.0);
        for (; sent < due; ++sent) {
            if (serial_to_net) {
                if (write(tty, kPacket, 7) != 7) break;
            } else {
                sendTo(net, conv_port, kPacket, 7);
            }
        }
    }
    const double took = (nowNs() - start) / 1e9;
    const int64_t drain_end = nowNs() + 500000000;
    while (got < sent * 7 && nowNs() < drain_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    reader.join();
    // Leftovers of a failed trial must not count in the next one.
    uint8_t buf[65536];
    for (pollfd p{in, POLLIN, 0}; poll(&p, 1, 100) > 0;)
        if (read(in, buf, sizeof buf) <= 0) break;
    const bool ok = got == sent * 7 && took < 1.05;
    if (!ok)
        std::printf("         %s at %.0f/s: %s\n", serial_to_net ? "serial->net" : "net->serial",
                    rate,
                    took >= 1.05 ? "sender held back"
                                 : ("lost " + std::to_string(sent * 7 - got) + " bytes").c_str());
    return ok;
}

// Highest rate with nothing lost: doubling, then halving the gap.
double highestRate(bool serial_to_net, int tty, int net, uint16_t conv_port) {
    double good = 0, bad = 0;
    for (double r = 10000; r <= 2.6e6; r *= 2) {
        if (trial(serial_to_net, r, tty, net, conv_port))
            good = r;
        else {
            bad = r;
            break;
        }
    }
    if (bad == 0) return good;
    for (int i = 0; i < 4; ++i) {
        const double mid = (good + bad) / 2;
        if (trial(serial_to_net, mid, tty, net, conv_port))
            good = mid;
        else
            bad = mid;
    }
    return good;
}

struct Result {
    double up = 0, down = 0;
};

Result measure(const char* name, bool is_sim) {
    Result r;
    const uint16_t local = testsupport::freeUdpPort(), peer = testsupport::freeUdpPort();
    const int net = udpSocket(peer);
    std::unique_ptr<Converter> c;
    if (is_sim)
        c = std::make_unique<Sim>(local, peer);
    else
        c = std::make_unique<Socat>(local, peer);
    if (!c->ok()) {
        std::printf("%s: could not start\n", name);
        close(net);
        return r;
    }
    const int tty = testsupport::openRawTty(c->link());
    latency(name, *c, tty, net, local);
    r.up = highestRate(true, tty, net, local);
    r.down = highestRate(false, tty, net, local);
    std::printf("%-6s rate, nothing lost: serial->net %8.0f pkt/s | net->serial %8.0f pkt/s\n",
                name, r.up, r.down);
    close(tty);
    close(net);
    return r;
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    baselines();
    const Result s = measure("sim", true);
    if (!testsupport::socatAvailable()) {
        std::printf("socat is not installed: no comparison\n");
        return 0;
    }
    const Result o = measure("socat", false);
    if (o.up > 0 && o.down > 0)
        std::printf("ratio sim/socat: serial->net %.2f | net->serial %.2f\n", s.up / o.up,
                    s.down / o.down);
    return 0;
}
