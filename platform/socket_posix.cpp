// Socket layer on BSD sockets (Linux).
//
// Sockets travel as 32-bit integers holding the descriptor; the UDP openers use
// 0 for "no socket", so a descriptor at 0, 1 or 2 (possible when the standard
// streams are closed) is moved above 2 before it is handed out. Every socket is
// close-on-exec. Readiness waits use ppoll(): no FD_SETSIZE limit, and the
// microsecond timeouts keep their precision.
#include "arrival_stamp_posix.h"
#include "socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// Nothing to start on this platform: the flag is all the module keeps.
std::atomic<int> m_initialized{0};

constexpr int kUdpSocketBufSize = 0x800000;     // send and receive, unbound UDP socket
constexpr int kUdpServerRcvBufSize = 0x200000;  // receive, bound UDP socket
constexpr int kMaxDatagram = 0x8000;            // largest datagram of one send step
constexpr int kTcpClientBufSize = 0x200000;     // send and receive, TCP client
constexpr int kListenBacklog = 6;
constexpr int kMcastRecvBufSize = 0x200000;
constexpr int kZeroCopyOption = 60;

// Returns fd, moved above the standard streams if it landed on one of them;
// -1 (and fd closed) if it cannot be moved.
int aboveStdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

int newSocket(int family, int type, int protocol) {
    return aboveStdio(socket(family, type | SOCK_CLOEXEC, protocol));
}

void setIntOption(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

// A socket value this module could have handed out: never a standard stream.
bool isSocketValue(int fd) {
    return fd > 2;
}

sockaddr_in ipv4Address(unsigned int addr, unsigned short port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    return sa;
}

// Waits until the socket is readable or the timeout has passed: 1, 0 or -1.
// Negative timeout fields are an error, as they are for select().
int waitReadable(int socket, long sec, long usec) {
    if (!isSocketValue(socket)) {
        errno = EBADF;
        return -1;
    }
    if (sec < 0 || usec < 0) {
        errno = EINVAL;
        return -1;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += sec + usec / 1000000;
    deadline.tv_nsec += (usec % 1000000) * 1000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    timespec left{static_cast<time_t>(sec + usec / 1000000), (usec % 1000000) * 1000};
    for (;;) {
        pollfd pfd{socket, POLLIN, 0};
        int rc = ppoll(&pfd, 1, &left, nullptr);
        if (rc > 0) {
            if (pfd.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1;  // data, an end of stream or a pending error: a read will not block
        }
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000;
        }
        if (left.tv_sec < 0) return 0;
    }
}

// Resolves a host name or dotted text to its first IPv4 address. On failure
// address and port stay 0 and false is returned.
bool fillAddr(const char* address, unsigned short port, sockaddr_in* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    if (address == nullptr || address[0] == '\0') return false;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(address, nullptr, &hints, &res) != 0 || res == nullptr) return false;
    bool found = false;
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            addr->sin_addr = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr;
            addr->sin_port = htons(port);
            found = true;
            break;
        }
    }
    freeaddrinfo(res);
    return found;
}

void tcp_sock_opt(int s, int enable) {
    setIntOption(s, IPPROTO_TCP, TCP_NODELAY, enable);
}

// A blocking connect that survives a signal: once interrupted, the connection
// goes on in the background, so wait for it and read its outcome.
int connectBlocking(int fd, const sockaddr_in& to) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    if (errno != EINTR) return -1;
    for (;;) {
        pollfd pfd{fd, POLLOUT, 0};
        int rc = poll(&pfd, 1, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
        if (err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Core and addresses

int Socket_Init() {
    m_initialized.store(1);
    return 0;
}

void Socket_Term() {
    m_initialized.store(0);
}

unsigned int Socket_Str2Addr(const char* pc_ip) {
    if (pc_ip == nullptr || pc_ip[0] == '\0') return 0;
    return ntohl(inet_addr(pc_ip));
}

char* Socket_Addr2Str(char* buffer, unsigned int ip) {
    std::snprintf(buffer, 16, "%u.%u.%u.%u", (ip >> 24) & 0xFFu, (ip >> 16) & 0xFFu,
                  (ip >> 8) & 0xFFu, ip & 0xFFu);
    return buffer;
}

void Socket_Close(unsigned int socket) {
    // 0 is "no socket"; the standard streams are never ours to close.
    int fd = static_cast<int>(socket);
    if (isSocketValue(fd)) close(fd);
}

// ---------------------------------------------------------------------------
// UDP

unsigned int Socket_UDPSocket() {
    Socket_Init();
    int fd = newSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return 0;
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, kUdpSocketBufSize);
    setIntOption(fd, SOL_SOCKET, SO_SNDBUF, kUdpSocketBufSize);
    return static_cast<unsigned int>(fd);
}

unsigned int Socket_UDPServer(unsigned short localPort) {
    Socket_Init();
    int fd = newSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local = ipv4Address(INADDR_ANY, localPort);
    // No SO_REUSEADDR: on Linux it lets every socket that sets it bind the same
    // UDP port and take part of its datagrams. The port is this socket's alone.
    if (fd < 0) {
        perror("setsockopt() failed");
        return 0;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        perror("setsockopt() **** failed");
        fprintf(stderr, "%s.%d addr in use\n\r", "Socket_UDPServer", 621);
        close(fd);
        return 0;
    }
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, kUdpServerRcvBufSize);
    return static_cast<unsigned int>(fd);
}

unsigned int Socket_UDPBind(unsigned int localAddr, unsigned short localPort) {
    Socket_Init();
    int fd = newSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return 0;
    // No SO_REUSEADDR: a port someone else holds is refused, never shared.
    sockaddr_in local = ipv4Address(localAddr, localPort);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return 0;
    }
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, kUdpServerRcvBufSize);
    setIntOption(fd, SOL_SOCKET, SO_SNDBUF, kUdpSocketBufSize);
    return static_cast<unsigned int>(fd);
}

int Socket_SetReceiveTimeout(unsigned int socket, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0
                                                                                              : -1;
}

unsigned short Socket_LocalPort(unsigned int socket) {
    sockaddr_in local;
    socklen_t len = sizeof local;
    std::memset(&local, 0, sizeof local);
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return ntohs(local.sin_port);
}

int Socket_SendTo(unsigned int socket, unsigned char* buff, int bufferLen, unsigned int destaddr,
                  unsigned short dstport) {
    // Address 0 would reach this host on Linux; it names no destination, so
    // nothing is sent.
    if (destaddr == 0) return 0;
    sockaddr_in to = ipv4Address(destaddr, dstport);
    int total = 0;
    while (bufferLen > 0) {
        int chunk = bufferLen < kMaxDatagram ? bufferLen : kMaxDatagram;
        ssize_t sent;
        do {
            sent = sendto(static_cast<int>(socket), buff, static_cast<size_t>(chunk), MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr*>(&to), sizeof to);
        } while (sent < 0 && errno == EINTR);
        if (sent != chunk) break;
        total += chunk;
        buff += chunk;
        bufferLen -= chunk;
    }
    return total;
}

int Socket_ReceiveFrom(unsigned int socket, unsigned char* buff, int bufferLen,
                       unsigned int* srcddr, unsigned short* srcport) {
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    iovec iov{buff, bufferLen > 0 ? static_cast<size_t>(bufferLen) : 0};
    msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = recvmsg(static_cast<int>(socket), &msg, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (srcddr) *srcddr = ntohl(from.sin_addr.s_addr);
    if (srcport) *srcport = ntohs(from.sin_port);
    // A datagram longer than the buffer has lost its excess; it is a failed
    // receive, not a short datagram.
    if (msg.msg_flags & MSG_TRUNC) {
        errno = EMSGSIZE;
        return -1;
    }
    return static_cast<int>(n);
}

int Socket_EnableReceiveStamps(unsigned int socket) {
    const int on = 1;
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0
               ? 0
               : -1;
}

int Socket_ReceiveStamped(unsigned int socket, unsigned char* buff, int bufferLen,
                          int64_t* arrival_ns, int64_t* read_ns) {
    iovec iov{buff, bufferLen > 0 ? static_cast<size_t>(bufferLen) : 0};
    alignas(cmsghdr) unsigned char control[stamp::kControlBytes];
    msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(static_cast<int>(socket), &msg, 0);
    } while (n < 0 && errno == EINTR);
    const int64_t mono = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    if (read_ns) *read_ns = mono;
    if (arrival_ns) *arrival_ns = mono;
    if (n < 0) return -1;
    if (msg.msg_flags & MSG_TRUNC) {
        errno = EMSGSIZE;
        return -1;
    }
    if (arrival_ns) *arrival_ns = stamp::arrivalNs(msg, mono, wall);
    return static_cast<int>(n);
}

int Socket_IsRxPacket(int socket) {
    return waitReadable(socket, 0, 3000);
}

int Socket_IsRxPacketUS(int socket, int us) {
    return waitReadable(socket, us / 1000000, us % 1000000);
}

int Socket_IsRxPacketMS(int socket, int ms) {
    return waitReadable(socket, ms / 1000, (ms % 1000) * 1000L);
}

// ---------------------------------------------------------------------------
// TCP

unsigned int Socket_TCPServer(unsigned short localPort) {
    Socket_Init();
    int fd = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        perror("setsockopt() failed");
        return 0xFFFFFFFFu;
    }
    sockaddr_in local = ipv4Address(INADDR_ANY, localPort);
    setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        perror("setsockopt() failed");
        close(fd);
        return 0xFFFFFFFFu;
    }
    return static_cast<unsigned int>(fd);
}

unsigned int Socket_Accept(unsigned int socket) {
    int fd;
    do {
        fd = accept4(static_cast<int>(socket), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    fd = aboveStdio(fd);
    if (fd < 0) {
        perror("**********setsockopt() failed");
        return 0xFFFFFFFFu;
    }
    return static_cast<unsigned int>(fd);
}

int Socket_TCPClient(const char* foreignAddress, int foreignPort) {
    Socket_Init();
    int fd = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return -1;
    setIntOption(fd, SOL_SOCKET, SO_SNDBUF, kTcpClientBufSize);
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, kTcpClientBufSize);
    tcp_sock_opt(fd, 1);
    sockaddr_in to;
    // An unresolved name, or the address 0 (which Linux would take for this
    // host), has nowhere to connect to.
    if (!fillAddr(foreignAddress, static_cast<unsigned short>(foreignPort), &to) ||
        to.sin_addr.s_addr == htonl(INADDR_ANY) || connectBlocking(fd, to) != 0) {
        Socket_Close(static_cast<unsigned int>(fd));
        return -1;
    }
    return fd;
}

int Socket_TCPClient_NonBlock(const char*, int) {
    return 0;
}

int Socket_Send(unsigned int socket, unsigned char* buffer, int bufferLen) {
    if (socket == 0) return -1;
    if (bufferLen < 0) {
        errno = EINVAL;
        return -1;
    }
    // A peer that has gone away is an error result, not a SIGPIPE.
    ssize_t n;
    do {
        n = send(static_cast<int>(socket), buffer, static_cast<size_t>(bufferLen), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int Socket_SendWithin(unsigned int socket, const unsigned char* buffer, int bufferLen,
                      int timeout_ms) {
    const int fd = static_cast<int>(socket);
    if (!isSocketValue(fd) || bufferLen < 0) {
        errno = EINVAL;
        return -1;
    }
    if (bufferLen == 0) return 0;
    pollfd pfd{fd, POLLOUT, 0};
    const int rc = poll(&pfd, 1, timeout_ms);
    if (rc < 0) return errno == EINTR ? 0 : -1;  // a signal ends the slice early
    if (rc == 0) return 0;
    ssize_t n;
    do {
        n = send(fd, buffer, static_cast<size_t>(bufferLen), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    return static_cast<int>(n);
}

int Socket_Recv(unsigned int socket, unsigned char* buffer, int bufferLen) {
    if (bufferLen < 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    do {
        n = recv(static_cast<int>(socket), buffer, static_cast<size_t>(bufferLen), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

// Shuts both directions.
void Socket_shutdown(int socket) {
    shutdown(socket, SHUT_RDWR);
}

int Socket_GetForeignAddress(unsigned int socket, char* address) {
    Socket_Init();
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t len = sizeof peer;
    int rc = getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), &len);
    if (rc == 0 && peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;  // an IPv6 peer has no IPv4 address to give
        rc = -1;
    }
    if (rc != 0) {
        perror("***setsockopt() failed");
        return -1;
    }
    char text[INET_ADDRSTRLEN];
    if (address == nullptr || inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr)
        return -1;
    std::memcpy(address, text, std::strlen(text) + 1);
    return 0;
}

int Socket_ZeroCopy(int socket, int enable) {
    return setsockopt(socket, SOL_SOCKET, kZeroCopyOption, &enable, sizeof enable) == 0 ? 0 : -1;
}

unsigned int Socket_TCPListen(unsigned int localAddr, unsigned short localPort) {
    Socket_Init();
    int fd = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return 0;
    setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in local = ipv4Address(localAddr, localPort);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return 0;
    }
    return static_cast<unsigned int>(fd);
}

unsigned int Socket_TCPConnect(unsigned int addr, unsigned short port, int timeout_ms) {
    Socket_Init();
    if (addr == 0) {  // Linux would take address 0 for this host
        errno = EADDRNOTAVAIL;
        return 0;
    }
    int fd = newSocket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) return 0;
    tcp_sock_opt(fd, 1);
    const sockaddr_in to = ipv4Address(addr, port);
    int err = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            pollfd pfd{fd, POLLOUT, 0};
            int rc;
            do {
                rc = poll(&pfd, 1, timeout_ms);
            } while (rc < 0 && errno == EINTR);
            socklen_t len = sizeof err;
            if (rc == 0)
                err = ETIMEDOUT;
            else if (rc < 0)
                err = errno;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        close(fd);
        errno = err;
        return 0;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return static_cast<unsigned int>(fd);
}

int Socket_SetNoDelay(unsigned int socket) {
    const int one = 1;
    return setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0
               ? 0
               : -1;
}

int Socket_SetSendTimeout(unsigned int socket, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0
                                                                                              : -1;
}

// ---------------------------------------------------------------------------
// Multicast and broadcast

int Socket_SetBrodcast(int Socket) {
    int one = 1;
    return setsockopt(Socket, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0 ? 0 : -1;
}

unsigned int Socket_MulticastServer(unsigned int socket, unsigned int groupaddr) {
    ip_mreq req;
    std::memset(&req, 0, sizeof req);
    req.imr_multiaddr.s_addr = htonl(groupaddr);
    req.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(static_cast<int>(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) !=
        0) {
        perror("setsockopt() failed");
        return 0;
    }
    return socket;
}

int Socket_LeaveMulticast(int Socket, unsigned int group_ip, unsigned int interface_ip) {
    ip_mreq req;
    std::memset(&req, 0, sizeof req);
    req.imr_multiaddr.s_addr = htonl(group_ip);
    req.imr_interface.s_addr = htonl(interface_ip);
    if (setsockopt(Socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, sizeof req) != 0) {
        perror("****setsockopt() failed");
        return -1;
    }
    return 0;
}

unsigned int Socket_MUDPServer(unsigned int groupaddr, unsigned short groupPort) {
    Socket_Init();
    char group[100];
    char port[20];
    Socket_Addr2Str(group, groupaddr);
    std::snprintf(port, sizeof port, "%d", groupPort);
    return static_cast<unsigned int>(mcast_recv_socket(group, port, kMcastRecvBufSize));
}

int mcast_recv_socket(const char* multicastIP, const char* multicastPort,
                      int multicastRecvBufSize) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* group = nullptr;
    int status = getaddrinfo(multicastIP, nullptr, &hints, &group);
    if (status != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(status));
        return -1;
    }

    hints.ai_family = group->ai_family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* local = nullptr;
    status = getaddrinfo(nullptr, multicastPort, &hints, &local);
    if (status != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(status));
        freeaddrinfo(group);
        return -1;
    }

    int sock = newSocket(local->ai_family, local->ai_socktype, 0);
    auto fail = [&](const char* what) {
        if (what) perror(what);
        if (sock >= 0) close(sock);
        freeaddrinfo(local);
        freeaddrinfo(group);
        return -1;
    };
    if (sock < 0) return fail("socket() failed");

    int one = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail("setsockopt");
    if (bind(sock, local->ai_addr, local->ai_addrlen) != 0) return fail("bind() failed");

    int size = 0;
    socklen_t len = sizeof size;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) return fail("getsockopt");
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &multicastRecvBufSize,
                   sizeof multicastRecvBufSize) != 0)
        perror("setsockopt");
    len = sizeof size;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) perror("getsockopt");

    if (group->ai_family == AF_INET && group->ai_addrlen == sizeof(sockaddr_in)) {
        ip_mreq req;
        std::memset(&req, 0, sizeof req);
        req.imr_multiaddr = reinterpret_cast<sockaddr_in*>(group->ai_addr)->sin_addr;
        req.imr_interface.s_addr = htonl(INADDR_ANY);
        if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) != 0)
            return fail("setsockopt() failed");
    } else if (group->ai_family == AF_INET6 && group->ai_addrlen == sizeof(sockaddr_in6)) {
        ipv6_mreq req;
        std::memset(&req, 0, sizeof req);
        req.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(group->ai_addr)->sin6_addr;
        req.ipv6mr_interface = 0;
        if (setsockopt(sock, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &req, sizeof req) != 0)
            return fail("setsockopt() failed");
    } else {
        return fail("Neither IPv4 or IPv6");
    }

    freeaddrinfo(local);
    freeaddrinfo(group);
    return sock;
}
