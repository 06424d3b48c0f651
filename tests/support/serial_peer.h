// The far end of a serial line for the suites that run on every platform: the
// test writes and reads what the converter's UART would, and portName() is what
// the code under test opens.
//   POSIX:   a pty pair made for the test (the master is the far end).
//   Windows: two COM ports joined by a null-modem link outside the program
//            (under wine: socat between two ptys, mapped in the registry). The
//            names come from CONVBENCH_TEST_PORT and CONVBENCH_TEST_PEER. With
//            CONVBENCH_TEST_PORT_DEV and CONVBENCH_TEST_PEER_DEV set (wine),
//            each must be mapped to that device in wine's registry, which is
//            checked before either is opened.
//            COM1..COM4 are never used.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class SerialPeer {
public:
    SerialPeer();
    ~SerialPeer();
    SerialPeer(const SerialPeer&) = delete;
    SerialPeer& operator=(const SerialPeer&) = delete;

    bool ok() const;
    const std::string& error() const { return error_; }  // why not ok()
    const std::string& portName() const { return port_; }
    // Writes all of buf; false on error.
    bool write(const void* buf, size_t len);
    // Reads until len bytes came or timeout_ms passed; the number read.
    size_t read(void* buf, size_t len, int timeout_ms);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string port_, error_;
};

// Stream bytes [from, from + n): all byte values, period 257 so a power-of-two slip shows.
inline std::vector<unsigned char> stream(long from, long n) {
    std::vector<unsigned char> b(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) b[size_t(i)] = static_cast<unsigned char>((from + i) % 257);
    return b;
}

// CPU time (user and system) this process has used, in seconds.
double processCpuSeconds();

}  // namespace testsupport
