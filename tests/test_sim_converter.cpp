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

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "converter.h"
#include "json.h"
#include "loopback.h"
#include "packet_format.h"
#include "pty_pair.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::string tempDir() {
    char tmpl[] = "/tmp/convbench-sim-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

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

}  // namespace

// Both directions at once, no faults: every byte through unchanged and in
// order, one datagram per packet; a second converter on the same port is
// refused; stop leaves no descriptor, thread or link behind.
TEST(SimConverter, ForwardsBothWaysAndCleansUp) {
    const std::string dir = tempDir();
    testsupport::UdpPeer net;
    std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
    const int fds = testsupport::openDescriptorCount(), threads = testsupport::threadCount();
    sim::Config cfg;
    cfg.link = dir + "/tty";
    cfg.peer_port = net.port();
    {
        sim::Converter conv(cfg);
        std::string error;
        ASSERT_TRUE(conv.start(&error)) << error;
        const int tty = testsupport::openRawTty(cfg.link);
        ASSERT_GE(tty, 0);
        const Bytes up = packets(200), down = packets(200, 5000);
        for (size_t off = 0; off < up.size(); off += 7) {
            ASSERT_EQ(write(tty, up.data() + off, 7), 7);
            net.sendTo(conv.udpPort(), down.data() + off, 7);
        }
        Bytes got_up, got_down;
        size_t datagrams = 0;
        readUntil(net.fd(), up.size(), 3000, [&](const Bytes& b) {
            got_up.insert(got_up.end(), b.begin(), b.end());
            ++datagrams;
        });
        readUntil(tty, down.size(), 3000,
                  [&](const Bytes& b) { got_down.insert(got_down.end(), b.begin(), b.end()); });
        EXPECT_EQ(got_up, up);
        EXPECT_EQ(got_down, down);
        EXPECT_EQ(datagrams, 200u);

        sim::Config same = cfg;
        same.link.clear();
        same.bind_port = conv.udpPort();
        sim::Converter second(same);
        EXPECT_FALSE(second.start(&error));
        EXPECT_NE(error.find("bind"), std::string::npos) << error;
        close(tty);
        conv.stop();
        struct stat st {};
        EXPECT_NE(lstat(cfg.link.c_str(), &st), 0);
        EXPECT_EQ(conv.counts(sim::Way::SerialToNet).packets, 200u);  // kept after stop
    }
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    // A joined thread can still be listed for a moment while the kernel reaps it.
    for (int i = 0; i < 500 && testsupport::threadCount() > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(testsupport::threadCount(), threads);
    rmdir(dir.c_str());
}

// Echo on a real pty and loopback UDP: the tester's own writes come back on its
// port, whole packets between the converter's own (each stream in order),
// counted in bytes; the network still gets them.
TEST(SimConverter, EchoesTheTestersBytes) {
    const std::string dir = tempDir();
    testsupport::UdpPeer net;
    sim::Config cfg;
    cfg.link = dir + "/tty";
    cfg.peer_port = net.port();
    cfg.faults.echo = true;
    sim::Converter conv(cfg);
    std::string error;
    ASSERT_TRUE(conv.start(&error)) << error;
    const int tty = testsupport::openRawTty(cfg.link);
    ASSERT_GE(tty, 0);
    const Bytes up = packets(200), down = packets(200, 1000);
    for (size_t off = 0; off < up.size(); off += 7) {
        ASSERT_EQ(write(tty, up.data() + off, 7), 7);
        net.sendTo(conv.udpPort(), down.data() + off, 7);
    }
    Bytes got_up, back;
    readUntil(net.fd(), up.size(), 3000,
              [&](const Bytes& b) { got_up.insert(got_up.end(), b.begin(), b.end()); });
    readUntil(tty, 2 * up.size(), 3000,
              [&](const Bytes& b) { back.insert(back.end(), b.begin(), b.end()); });
    EXPECT_EQ(got_up, up);
    // Seven bytes at a time: the next packet of the echo or the next from the network.
    ASSERT_EQ(back.size(), 2 * up.size());
    size_t e = 0, d = 0;
    for (size_t pos = 0; pos < back.size(); pos += 7) {
        const auto at = [&](const Bytes& src, size_t off) {
            return off < src.size() &&
                   std::equal(back.begin() + long(pos), back.begin() + long(pos + 7),
                              src.begin() + long(off));
        };
        if (at(up, e)) {
            e += 7;
        } else {
            ASSERT_TRUE(at(down, d)) << "byte " << pos << " is neither";
            d += 7;
        }
    }
    conv.stop();
    EXPECT_EQ(conv.counts(sim::Way::SerialToNet).echoed, up.size());
    EXPECT_EQ(conv.counts(sim::Way::NetToSerial).echoed, 0u);
    testsupport::Json j;
    ASSERT_TRUE(testsupport::parseJson(conv.reportJson(), &j));
    EXPECT_EQ(j["serial_to_net"]["echoed"].get<uint64_t>(), up.size());
    close(tty);
    rmdir(dir.c_str());
}

// The program: --help, a bad option (2), a link it cannot make (3), and a
// timed run whose JSON report parses back with the settings and counts.
TEST(SimProgram, ExitStatusAndReport) {
    auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), CONVBENCH_SIM_EXE);
        return testsupport::runProcess(args, 30);
    };
    const auto help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    // The help names the line queue the code has.
    EXPECT_NE(help.out.find(std::to_string(sim::kLineQueueBytes) + "-byte queue"),
              std::string::npos)
        << help.out;
    EXPECT_EQ(run({"--link", "/tmp/x", "--drop", "2"}).status, 2);
    EXPECT_EQ(run({"--drop", "0.1"}).status, 2);  // no --link
    EXPECT_EQ(run({"--link", "/nonexistent-dir/tty", "--duration", "1"}).status, 3);

    const std::string dir = tempDir();
    const auto r = run({"--link", dir + "/tty", "--duration", "0.3", "--drop", "0.25", "--seed",
                        "9", "--format", "seq32"});
    ASSERT_EQ(r.status, 0) << r.err;
    testsupport::Json j;
    ASSERT_TRUE(testsupport::parseJson(r.out, &j)) << r.out;
    EXPECT_EQ(j["schema"].get<double>(), 1);
    EXPECT_EQ(j["format"].get<std::string>(), "seq32");
    EXPECT_EQ(j["serial"]["link"].get<std::string>(), dir + "/tty");
    EXPECT_EQ(j["faults"]["drop"].get<double>(), 0.25);
    EXPECT_EQ(j["faults"]["seed"].get<double>(), 9);
    EXPECT_FALSE(j["faults"]["echo"].get<bool>());
    EXPECT_EQ(j["faults"]["truncate"].get<double>(), 0);
    EXPECT_EQ(j["serial_to_net"]["truncated"].get<uint64_t>() +
                  j["serial_to_net"]["truncated_bytes"].get<uint64_t>(),
              0u);
    EXPECT_GT(j["udp"]["port"].get<double>(), 0);
    EXPECT_EQ(j["net_to_serial"]["packets"].get<uint64_t>(), 0u);
    EXPECT_GE(j["uptime_s"].get<double>(), 0.3);
    struct stat st {};
    EXPECT_NE(lstat((dir + "/tty").c_str(), &st), 0);
    rmdir(dir.c_str());
}
