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
#include <tuple>
#include <vector>

#include "child_process.h"
#include "converter.h"
#include "json.h"
#include "loopback.h"
#include "packet_format.h"
#include "pty_pair.h"
#include "scratch.h"

using Bytes = std::vector<uint8_t>;

namespace {

bool gone(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) != 0;
}

// Reads fd (datagrams or stream) until `want` bytes came or nothing for 3 s.
Bytes readUntil(int fd, size_t want, size_t* reads = nullptr) {
    Bytes got;
    uint8_t buf[65536];
    for (pollfd p{fd, POLLIN, 0}; got.size() < want && poll(&p, 1, 3000) > 0;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
        if (reads) ++*reads;
    }
    return got;
}

Bytes packets(int n, uint64_t first) {
    Bytes out(7 * size_t(n));
    for (int i = 0; i < n; ++i)
        measure::buildPacket(measure::Format::Counter8, first + uint64_t(i), &out[7 * size_t(i)]);
    return out;
}

}  // namespace

// Both directions at once, without and with the echo: every byte through
// unchanged and in order, one datagram per packet. The echo sends the tester's
// own writes back to its port, whole packets between the converter's own (each
// stream in order); the network still gets them (how the echo is counted is
// the runner's exactness suite's). A second converter on the same port is
// refused; stop leaves no descriptor, thread or link behind.
TEST(SimConverter, ForwardsBothWaysEchoesAndCleansUp) {
    testsupport::UdpPeer net;
    std::thread([] {}).join();  // a sanitizer's own helper thread starts with the first thread
    const int fds = testsupport::openDescriptorCount(), threads = testsupport::threadCount();
    for (const bool echo : {false, true}) {
        SCOPED_TRACE(echo ? "echo" : "no echo");
        const testsupport::ScratchDir dir;
        sim::Config cfg;
        cfg.link = dir / "tty";
        cfg.peer_port = net.port();
        cfg.faults.echo = echo;
        sim::Converter conv(cfg);
        std::string error;
        ASSERT_TRUE(conv.start(&error)) << error;
        const int tty = testsupport::openRawTty(cfg.link);
        ASSERT_GE(tty, 0);
        const Bytes up = packets(200, 1), down = packets(200, 5000);
        for (size_t off = 0; off < up.size(); off += 7) {
            ASSERT_EQ(write(tty, up.data() + off, 7), 7);
            net.sendTo(conv.udpPort(), down.data() + off, 7);
        }
        size_t datagrams = 0;
        EXPECT_EQ(readUntil(net.fd(), up.size(), &datagrams), up);
        EXPECT_EQ(datagrams, 200u);
        const Bytes back = readUntil(tty, (echo ? 2 : 1) * up.size());
        if (!echo) {
            EXPECT_EQ(back, down);
            sim::Config same = cfg;
            same.link.clear();
            same.bind_port = conv.udpPort();
            sim::Converter second(same);
            EXPECT_FALSE(second.start(&error));
            EXPECT_NE(error.find("bind"), std::string::npos) << error;
        }
        // Seven bytes at a time, an interleaving of the echo and the network's
        // packets, each in order. Eight-bit counters repeat across the two
        // streams, so a chunk may fit both: keep every split that still fits.
        ASSERT_EQ(back.size(), (echo ? 2 : 1) * up.size());
        if (echo) {
            const size_t n = up.size() / 7, m = down.size() / 7;
            const auto same = [&](const Bytes& src, size_t k, size_t pos) {
                return std::equal(back.begin() + long(pos), back.begin() + long(pos + 7),
                                  src.begin() + long(7 * k));
            };
            // fits[e][d]: the first e echoed and d network packets make up the start of back.
            std::vector<std::vector<bool>> fits(n + 1, std::vector<bool>(m + 1, false));
            fits[0][0] = true;
            for (size_t e = 0; e <= n; ++e)
                for (size_t d = 0; d <= m; ++d) {
                    const size_t pos = 7 * (e + d - 1);
                    if (e > 0 && fits[e - 1][d] && same(up, e - 1, pos)) fits[e][d] = true;
                    if (d > 0 && fits[e][d - 1] && same(down, d - 1, pos)) fits[e][d] = true;
                }
            EXPECT_TRUE(fits[n][m]) << "not an interleaving of the echo and the network's packets";
        }
        close(tty);
        conv.stop();
        EXPECT_TRUE(gone(cfg.link));
    }
    EXPECT_EQ(testsupport::openDescriptorCount(), fds);
    // A joined thread can still be listed for a moment while the kernel reaps it.
    for (int i = 0; i < 500 && testsupport::threadCount() > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(testsupport::threadCount(), threads);
}

// The program: --help, no --link (2; bad values are the options suite's), a
// link it cannot make (3), and a timed run whose JSON report parses back with
// the settings it ran with.
TEST(SimProgram, ExitStatusAndReport) {
    auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), CONVBENCH_SIM_EXE);
        return testsupport::runProcess(args, 30);
    };
    EXPECT_EQ(run({"--help"}).status, 0);
    EXPECT_EQ(run({"--drop", "0.1"}).status, 2);
    EXPECT_EQ(run({"--link", "/nonexistent-dir/tty", "--duration", "1"}).status, 3);

    const testsupport::ScratchDir dir;
    const auto r = run({"--link", dir / "tty", "--duration", "0.3", "--drop", "0.25", "--seed", "9",
                        "--format", "seq32"});
    ASSERT_EQ(r.status, 0) << r.err;
    testsupport::Json j;
    ASSERT_TRUE(testsupport::parseJson(r.out, &j)) << r.out;
    EXPECT_EQ(j["format"].get<std::string>(), "seq32");
    EXPECT_EQ(j["serial"]["link"].get<std::string>(), dir / "tty");
    EXPECT_EQ(std::make_pair(j["faults"]["drop"].get<double>(), j["faults"]["seed"].get<double>()),
              std::make_pair(0.25, 9.0));
    EXPECT_GT(j["udp"]["port"].get<double>(), 0);
    EXPECT_GE(j["uptime_s"].get<double>(), 0.3);
    EXPECT_TRUE(gone(dir / "tty"));
}

// A converter process held up by its machine (stopped for 1.5 s, then for
// 0.15 s while it reads what waited) loses nothing, at 80 % of a 9600-baud
// line both ways.
// Datagrams that came meanwhile enter the line at their arrival, so what the
// line would have sent by then does not pile up and overflow its queue; the
// serial side's bytes that waited in the pty are read before the wait for a
// packet's rest ends, so no packet split across reads goes out as loose bytes.
TEST(SimProgram, AConverterHeldUpLosesNoLineTime) {
    const testsupport::ScratchDir dir;
    const unsigned short port = testsupport::freeUdpPort();
    testsupport::UdpPeer net;
    testsupport::Child sim({CONVBENCH_SIM_EXE, "--link", dir / "tty", "--bind",
                            "127.0.0.1:" + std::to_string(port), "--peer",
                            "127.0.0.1:" + std::to_string(net.port()), "--baud", "9600",
                            "--duration", "5"});
    ASSERT_TRUE(sim.started());
    int tty = -1;
    for (int i = 0; i < 500 && tty < 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!gone(dir / "tty")) tty = testsupport::openRawTty(dir / "tty");
    }
    ASSERT_GE(tty, 0);
    constexpr int kPackets = 330;  // 3 s at 110 a second, 770 of the line's 960 bytes a second
    const Bytes down = packets(kPackets, 0), up = packets(kPackets, 100);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPackets; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(9091) * i);
        if (i == 50 || i == 260) sim.signal(SIGSTOP);  // idle, then reading what waited
        if (i == 215 || i == 275) sim.signal(SIGCONT);
        net.sendTo(port, down.data() + 7 * i, 7);
        ASSERT_EQ(write(tty, up.data() + 7 * i, 7), 7);
    }
    EXPECT_EQ(readUntil(tty, down.size()), down);
    EXPECT_EQ(readUntil(net.fd(), up.size()), up);
    close(tty);
    const testsupport::Ended& end = sim.wait();
    ASSERT_EQ(end.status, 0) << end.err;
    testsupport::Json j;
    ASSERT_TRUE(testsupport::parseJson(end.out, &j)) << end.out;
    EXPECT_EQ(j["net_to_serial"]["overflow"].get<uint64_t>(), 0u);
    for (const char* way : {"net_to_serial", "serial_to_net"})
        EXPECT_EQ(j[way]["packets"].get<uint64_t>(), uint64_t(kPackets)) << way;
}
