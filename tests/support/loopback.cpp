#include "loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

unsigned short freeUdpPort() {
    UdpPeer p(0);
    return p.port();
}

UdpPeer::UdpPeer(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    fd_ = fd;
    port_ = ntohs(a.sin_port);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

int UdpPeer::sendTo(unsigned short port, const void* buf, size_t len) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return static_cast<int>(sendto(fd_, buf, len, 0, reinterpret_cast<sockaddr*>(&a), sizeof a));
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
