// The simulated converter end to end on a real pty and loopback UDP, and the
// convbench-sim program around it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "converter.h"
#include "packet_format.h"
#include "json_reader.h"
#include "loopback.h"
#include "pty_pair.h"
#include "process.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::string tempDir() {
    char tmpl[] = "/tmp/convbench-sim-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

// A UDP socket on 127.0.0.1 for the test's side of the network.
struct Udp {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    Udp() {
        const int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        port = testsupport::boundPort(fd);
    }
    ~Udp() { close(fd); }
    void sendTo(uint16_t to, const Bytes& b) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to);
        sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

// Reads fd (datagrams or stream) until `want` bytes came or nothing for quiet_ms;
// calls got(bytes) per read.
template <typename F>
size_t readUntil(int fd, size_t want, int quiet_ms, F got) {
    size_t total = 0;
    uint8_t buf[65536];
    while (total < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got(Bytes(buf, buf + n));
        total += static_cast<size_t>(n);
    }
    return total;
}

Bytes packets(int n, uint64_t first = 1) {
    Bytes out;
    uint8_t p[7];
    for (int i = 0; i < n; ++i) {
        measure::buildPacket(measure::Format::Counter8, first + static_cast<uint64_t>(i), p);
        out.insert(out.end(), p, p + 7);
    }
    return out;
}

void breather() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

// Both directions at once, no faults: every byte through unchanged and in
// order; stop leaves no descriptor, thread or link behind.
TEST(SimConverter, ForwardsBothWaysAndCleansUp) {
    const std::string dir = tempDir();
    Udp net;
    std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
    const int fds = testsupport::openDescriptorCount(), threads = testsupport::threadCount();
    sim::Config cfg;
    cfg.link = dir + "/tty";
    cfg.peer_port = net.port;
    {
        sim::Converter conv(cfg);
        std::string error;
        ASSERT_TRUE(conv.start(&error)) << error;
        ASSERT_NE(conv.udpPort(), 0);
        const int tty = testsupport::openRawTty(cfg.link);
        ASSERT_GE(tty, 0);

        const Bytes up = packets(2000), down = packets(2000, 5000);
        std::thread writer([&] {
            for (size_t off = 0; off < up.size(); off += 7 * 50) {  // 50 packets a write
                ASSERT_EQ(write(tty, up.data() + off, 7 * 50), 7 * 50);
                for (size_t p = off; p < off + 7 * 50; p += 7)
                    net.sendTo(conv.udpPort(), Bytes(down.begin() + p, down.begin() + p + 7));
                breather();
            }
        });
        Bytes got_up, got_down;
        size_t datagrams = 0;
        std::thread reader([&] {
            readUntil(net.fd, up.size(), 3000, [&](const Bytes& b) {
                got_up.insert(got_up.end(), b.begin(), b.end());
                ++datagrams;
            });
        });
        readUntil(tty, down.size(), 3000,
                  [&](const Bytes& b) { got_down.insert(got_down.end(), b.begin(), b.end()); });
        writer.join();
        reader.join();
        EXPECT_EQ(got_up, up);
        EXPECT_EQ(got_down, down);
        EXPECT_EQ(datagrams, 2000u);  // one per packet
        const sim::Counts s2n = conv.counts(sim::Way::SerialToNet);
        EXPECT_EQ(s2n.packets, 2000u);
        EXPECT_EQ(s2n.writes, 2000u);
        EXPECT_EQ(conv.counts(sim::Way::NetToSerial).bytes_out, down.size());

        sim::Config same = cfg;  // a port in use is refused, naming the bind
        same.link.clear();
        same.bind_port = conv.udpPort();
        sim::Converter second(same);
        EXPECT_FALSE(second.start(&error));
        EXPECT_NE(error.find("bind"), std::string::npos) << error;
        close(tty);
        conv.stop();
        struct stat st {};
        EXPECT_NE(lstat(cfg.link.c_str(), &st), 0);
        EXPECT_EQ(conv.counts(sim::Way::SerialToNet).packets, 2000u);  // kept after stop
    }
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    EXPECT_EQ(testsupport::threadCount(), threads);
    rmdir(dir.c_str());
}

// The program: --help, a bad option (2), a link it cannot make (3), and a
// timed run whose JSON report parses back with the settings and counts.
TEST(SimProgram, ExitStatusAndReport) {
    auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), CONVBENCH_SIM_EXE);
        return testsupport::runProcess(args, 30);
    };
    EXPECT_EQ(run({"--help"}).status, 0);
    EXPECT_EQ(run({"--link", "/tmp/x", "--drop", "2"}).status, 2);
    EXPECT_EQ(run({"--drop", "0.1"}).status, 2);  // no --link
    EXPECT_EQ(run({"--link", "/nonexistent-dir/tty", "--duration", "1"}).status, 3);

    const std::string dir = tempDir();
    const auto r = run({"--link", dir + "/tty", "--duration", "0.3", "--drop", "0.25", "--seed",
                        "9", "--format", "seq32"});
    ASSERT_EQ(r.status, 0) << r.err;
    testsupport::Json j;
    ASSERT_TRUE(testsupport::parseJson(r.out, &j)) << r.out;
    EXPECT_EQ(j["schema"].number, 1);
    EXPECT_EQ(j["format"].text, "seq32");
    EXPECT_EQ(j["serial"]["link"].text, dir + "/tty");
    EXPECT_EQ(j["faults"]["drop"].number, 0.25);
    EXPECT_EQ(j["faults"]["seed"].number, 9);
    EXPECT_GT(j["udp"]["port"].number, 0);
    EXPECT_EQ(j["net_to_serial"]["packets"].count(), 0u);
    EXPECT_GE(j["uptime_s"].number, 0.3);
    struct stat st {};
    EXPECT_NE(lstat((dir + "/tty").c_str(), &st), 0);
    rmdir(dir.c_str());
}
