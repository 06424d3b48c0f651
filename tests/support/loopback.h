// Loopback helpers for tests: free ports, a plain UDP peer, descriptor and thread counts.
#pragma once

#include <string>

namespace testsupport {

// A UDP port on 127.0.0.1 that was free a moment ago.
unsigned short freeUdpPort();

// A plain UDP socket bound to 127.0.0.1:port (0: any free port).
class UdpPeer {
public:
    explicit UdpPeer(unsigned short port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    unsigned short port() const { return port_; }
    // Sends one datagram to 127.0.0.1:port; the byte count or -1.
    int sendTo(unsigned short port, const void* buf, size_t len);

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// A TCP socket listening on 127.0.0.1 (any port), with a receive buffer of
// rcvbuf bytes (the least the kernel allows) when rcvbuf > 0; -1 on failure.
int listenTcp(int rcvbuf = 0);

// The local port socket fd is bound to, IPv4 or IPv6; 0 if none.
unsigned short boundPort(int fd);

// Entries of a directory ("/proc/self/fd" ...), "." and ".." aside; -1 if it cannot be read.
int procEntries(const std::string& dir);

// Number of descriptors this process has open (counts /proc/self/fd).
int openDescriptorCount();

// Number of threads this process runs (counts /proc/self/task).
int threadCount();

}  // namespace testsupport
