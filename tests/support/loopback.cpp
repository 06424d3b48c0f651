#include "loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {
namespace {
sockaddr_in loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}
}  // namespace

unsigned short freeUdpPort() {
    return UdpPeer(0).port();
}

UdpPeer::UdpPeer(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        ::close(fd);
    else if (fd >= 0)
        fd_ = fd;
    port_ = boundPort(fd_);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

int UdpPeer::sendTo(unsigned short port, const void* buf, size_t len) {
    const sockaddr_in a = loopback(port);
    return static_cast<int>(
        sendto(fd_, buf, len, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

int listenTcp(int rcvbuf) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(0);
    if (fd >= 0 && rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (fd < 0 ||
        (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && listen(fd, 4) == 0))
        return fd;
    ::close(fd);
    return -1;
}

unsigned short boundPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    // sin_port and sin6_port sit at the same place.
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

int procEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

int openDescriptorCount() {
    return procEntries("/proc/self/fd") - 1;  // less the directory stream itself
}

int threadCount() {
    return procEntries("/proc/self/task");
}

}  // namespace testsupport
