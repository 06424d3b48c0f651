// Socket layer on Windows Sockets 2.
//
// Sockets travel as 32-bit integers holding the SOCKET handle (kernel handles
// fit in 32 bits); 0 means "no socket". Winsock reports failures through
// WSAGetLastError, not errno: every failure that is reported with perror or
// read by callers through errno first copies the Winsock error into errno, so
// the same texts and tests work on both platforms. Ports this module binds are
// held exclusively (SO_EXCLUSIVEADDRUSE): on Windows a later socket that asks
// for address reuse could otherwise take over a bound port.
#include "socket.h"

// clang-format off
#include <winsock2.h>  // before the other Winsock headers
#include <ws2tcpip.h>
#include <mswsock.h>
// clang-format on

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<int> m_initialized{0};

constexpr int kUdpSocketBufSize = 0x800000;     // send and receive, unbound UDP socket
constexpr int kUdpServerRcvBufSize = 0x200000;  // receive, bound UDP socket
constexpr int kMaxDatagram = 0x8000;            // largest datagram of one send step
constexpr int kTcpClientBufSize = 0x200000;     // send and receive, TCP client
constexpr int kListenBacklog = 6;
constexpr int kMcastRecvBufSize = 0x200000;
constexpr int kZeroCopyOption = 60;

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

// Copies the last Winsock error into errno (as the POSIX code where there is one).
void wsaToErrno() {
    static constexpr struct {
        int wsa, posix;
    } kCodes[] = {
        {WSAEADDRINUSE, EADDRINUSE},
        {WSAEADDRNOTAVAIL, EADDRNOTAVAIL},
        {WSAECONNREFUSED, ECONNREFUSED},
        {WSAECONNRESET, ECONNRESET},
        {WSAENOTCONN, ENOTCONN},
        {WSAENOTSOCK, ENOTSOCK},
        {WSAEOPNOTSUPP, EOPNOTSUPP},
        {WSAEINVAL, EINVAL},
        {WSAEACCES, EACCES},
        {WSAEMSGSIZE, EMSGSIZE},
        {WSAETIMEDOUT, ETIMEDOUT},
        {WSAEWOULDBLOCK, EWOULDBLOCK},
        {WSAEAFNOSUPPORT, EAFNOSUPPORT},
        {WSAENOPROTOOPT, ENOPROTOOPT},
        {WSAEHOSTUNREACH, EHOSTUNREACH},
        {WSAENETUNREACH, ENETUNREACH},
        {WSAEMFILE, EMFILE},
        {WSAENOBUFS, ENOBUFS},
        {WSAEINTR, EINTR},
    };
    const int e = WSAGetLastError();
    errno = EIO;  // anything not listed
    for (const auto& c : kCodes)
        if (c.wsa == e) errno = c.posix;
}

void report(const char* text) {
    wsaToErrno();
    perror(text);
}

SOCKET asSocket(unsigned int s) {
    return static_cast<SOCKET>(s);
}

unsigned int asValue(SOCKET s) {
    return s == INVALID_SOCKET ? 0u : static_cast<unsigned int>(s);
}

SOCKET newSocket(int family, int type, int protocol) {
    // As socket() makes them (overlapped: wine applies SO_RCVTIMEO to those
    // alone), and not inherited by child processes.
    return WSASocketW(family, type, protocol, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

void setIntOption(SOCKET s, int level, int name, int value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

sockaddr_in ipv4Address(unsigned int addr, unsigned short port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    return sa;
}

// A bound UDP socket for this process alone: an ICMP "port unreachable" for
// an earlier send must not fail the next receive (Windows reports it there).
void holdExclusively(SOCKET s) {
    setIntOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}
void ignoreUnreachable(SOCKET s) {
    BOOL off = FALSE;
    DWORD n = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &n, nullptr, nullptr);
}

// Waits until the socket is readable or the timeout has passed: 1, 0 or -1.
int waitReadable(int socket, long sec, long usec) {
    if (socket == 0) {
        errno = EBADF;
        return -1;
    }
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(asSocket(static_cast<unsigned int>(socket)), &rd);
    timeval tv{sec, usec};
    const int rc = select(socket + 1, &rd, nullptr, nullptr, &tv);
    if (rc == SOCKET_ERROR) {
        wsaToErrno();
        return -1;
    }
    return rc > 0 ? 1 : 0;
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

void tcp_sock_opt(SOCKET s, int enable) {
    setIntOption(s, IPPROTO_TCP, TCP_NODELAY, enable);
}

}  // namespace

// ---------------------------------------------------------------------------
// Core and addresses

int Socket_Init() {
    if (m_initialized.load() != 0) return 0;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);  // counted by the platform; a second start does no harm
    m_initialized.store(1);
    return 0;
}

void Socket_Term() {
    WSACleanup();
    m_initialized.store(0);
}

unsigned int Socket_Str2Addr(const char* pc_ip) {
    if (pc_ip == nullptr || pc_ip[0] == '\0') return 0;
    Socket_Init();
    return ntohl(inet_addr(pc_ip));
}

char* Socket_Addr2Str(char* buffer, unsigned int ip) {
    std::snprintf(buffer, 16, "%u.%u.%u.%u", (ip >> 24) & 0xFFu, (ip >> 16) & 0xFFu,
                  (ip >> 8) & 0xFFu, ip & 0xFFu);
    return buffer;
}

void Socket_Close(unsigned int socket) {
    if (socket != 0) closesocket(asSocket(socket));
}

// ---------------------------------------------------------------------------
// UDP

unsigned int Socket_UDPSocket() {
    Socket_Init();
    SOCKET s = newSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return 0;
    setIntOption(s, SOL_SOCKET, SO_RCVBUF, kUdpSocketBufSize);
    setIntOption(s, SOL_SOCKET, SO_SNDBUF, kUdpSocketBufSize);
    return asValue(s);
}

unsigned int Socket_UDPServer(unsigned short localPort) {
    Socket_Init();
    SOCKET s = newSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        report("setsockopt() failed");
        return 0;
    }
    // The port is this socket's alone (no SO_REUSEADDR, which on Windows lets
    // another socket take a bound port over).
    holdExclusively(s);
    sockaddr_in local = ipv4Address(INADDR_ANY, localPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        report("setsockopt() **** failed");
        fprintf(stderr, "%s.%d addr in use\n\r", "Socket_UDPServer", 621);
        closesocket(s);
        return 0;
    }
    ignoreUnreachable(s);
    setIntOption(s, SOL_SOCKET, SO_RCVBUF, kUdpServerRcvBufSize);
    return asValue(s);
}

unsigned int Socket_UDPBind(unsigned int localAddr, unsigned short localPort) {
    Socket_Init();
    SOCKET s = newSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        wsaToErrno();
        return 0;
    }
    holdExclusively(s);
    sockaddr_in local = ipv4Address(localAddr, localPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        wsaToErrno();
        const int saved = errno;
        closesocket(s);
        errno = saved;
        return 0;
    }
    ignoreUnreachable(s);
    setIntOption(s, SOL_SOCKET, SO_RCVBUF, kUdpServerRcvBufSize);
    setIntOption(s, SOL_SOCKET, SO_SNDBUF, kUdpSocketBufSize);
    return asValue(s);
}

int Socket_SetReceiveTimeout(unsigned int socket, int ms) {
    const DWORD t = ms > 0 ? static_cast<DWORD>(ms) : 0;
    return setsockopt(asSocket(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t),
                      sizeof t) == 0
               ? 0
               : -1;
}

unsigned short Socket_LocalPort(unsigned int socket) {
    sockaddr_in local;
    int len = sizeof local;
    std::memset(&local, 0, sizeof local);
    if (getsockname(asSocket(socket), reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
    return ntohs(local.sin_port);
}

int Socket_SendTo(unsigned int socket, unsigned char* buff, int bufferLen, unsigned int destaddr,
                  unsigned short dstport) {
    // Address 0 names no destination, so nothing is sent.
    if (destaddr == 0) return 0;
    sockaddr_in to = ipv4Address(destaddr, dstport);
    int total = 0;
    while (bufferLen > 0) {
        const int chunk = bufferLen < kMaxDatagram ? bufferLen : kMaxDatagram;
        const int sent = sendto(asSocket(socket), reinterpret_cast<const char*>(buff), chunk, 0,
                                reinterpret_cast<sockaddr*>(&to), sizeof to);
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
    int len = sizeof from;
    // A datagram longer than the buffer fails with WSAEMSGSIZE: a failed
    // receive, not a short datagram, as on the other platforms.
    const int n =
        recvfrom(asSocket(socket), reinterpret_cast<char*>(buff), bufferLen > 0 ? bufferLen : 0, 0,
                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n == SOCKET_ERROR) {
        wsaToErrno();
        return -1;
    }
    if (srcddr) *srcddr = ntohl(from.sin_addr.s_addr);
    if (srcport) *srcport = ntohs(from.sin_port);
    return n;
}

// Winsock gives no arrival stamp for a datagram: the read time stands for it.
int Socket_EnableReceiveStamps(unsigned int) {
    return -1;
}

int Socket_ReceiveStamped(unsigned int socket, unsigned char* buff, int bufferLen,
                          int64_t* arrival_ns, int64_t* read_ns) {
    const int n = Socket_ReceiveFrom(socket, buff, bufferLen, nullptr, nullptr);
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (read_ns) *read_ns = now;
    if (arrival_ns) *arrival_ns = now;
    return n;
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
    SOCKET s = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        report("setsockopt() failed");
        return 0xFFFFFFFFu;
    }
    // SO_REUSEADDR would let a second listener share the port on Windows; a
    // listener holds its port alone.
    holdExclusively(s);
    sockaddr_in local = ipv4Address(INADDR_ANY, localPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(s, kListenBacklog) != 0) {
        report("setsockopt() failed");
        closesocket(s);
        return 0xFFFFFFFFu;
    }
    return asValue(s);
}

unsigned int Socket_TCPListen(unsigned int localAddr, unsigned short localPort) {
    Socket_Init();
    SOCKET s = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        wsaToErrno();
        return 0;
    }
    holdExclusively(s);
    sockaddr_in local = ipv4Address(localAddr, localPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(s, kListenBacklog) != 0) {
        wsaToErrno();
        const int saved = errno;
        closesocket(s);
        errno = saved;
        return 0;
    }
    return asValue(s);
}

unsigned int Socket_TCPConnect(unsigned int addr, unsigned short port, int timeout_ms) {
    Socket_Init();
    if (addr == 0) {  // address 0 names no peer
        errno = EADDRNOTAVAIL;
        return 0;
    }
    SOCKET s = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        wsaToErrno();
        return 0;
    }
    tcp_sock_opt(s, 1);
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    const sockaddr_in to = ipv4Address(addr, port);
    int err = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            wsaToErrno();
            err = errno;
        } else {
            // Connected once writable; refused once in the exception set.
            fd_set wr, ex;
            FD_ZERO(&wr);
            FD_ZERO(&ex);
            FD_SET(s, &wr);
            FD_SET(s, &ex);
            timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000L};
            const int rc = select(0, nullptr, &wr, &ex, &tv);
            if (rc == 0) {
                err = ETIMEDOUT;
            } else if (rc == SOCKET_ERROR || FD_ISSET(s, &ex)) {
                int so = 0, len = sizeof so;
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &len);
                WSASetLastError(so ? so : WSAECONNREFUSED);
                wsaToErrno();
                err = errno;
            }
        }
    }
    if (err != 0) {
        closesocket(s);
        errno = err;
        return 0;
    }
    nonblocking = 0;
    ioctlsocket(s, FIONBIO, &nonblocking);
    return asValue(s);
}

int Socket_SetNoDelay(unsigned int socket) {
    const BOOL one = TRUE;
    return setsockopt(asSocket(socket), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&one), sizeof one) == 0
               ? 0
               : -1;
}

int Socket_SetSendTimeout(unsigned int socket, int ms) {
    const DWORD t = ms > 0 ? static_cast<DWORD>(ms) : 0;
    return setsockopt(asSocket(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t),
                      sizeof t) == 0
               ? 0
               : -1;
}

unsigned int Socket_Accept(unsigned int socket) {
    SOCKET s = accept(asSocket(socket), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        report("**********setsockopt() failed");
        return 0xFFFFFFFFu;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return asValue(s);
}

int Socket_TCPClient(const char* foreignAddress, int foreignPort) {
    Socket_Init();
    SOCKET s = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    setIntOption(s, SOL_SOCKET, SO_SNDBUF, kTcpClientBufSize);
    setIntOption(s, SOL_SOCKET, SO_RCVBUF, kTcpClientBufSize);
    tcp_sock_opt(s, 1);
    sockaddr_in to;
    // An unresolved name, or the address 0, has nowhere to connect to.
    if (!fillAddr(foreignAddress, static_cast<unsigned short>(foreignPort), &to) ||
        to.sin_addr.s_addr == htonl(INADDR_ANY) ||
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(asValue(s));
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
    const int n = send(asSocket(socket), reinterpret_cast<const char*>(buffer), bufferLen, 0);
    if (n == SOCKET_ERROR) {
        wsaToErrno();
        return -1;
    }
    return n;
}

int Socket_SendWithin(unsigned int socket, const unsigned char* buffer, int bufferLen,
                      int timeout_ms) {
    if (socket == 0 || bufferLen < 0) {
        errno = EINVAL;
        return -1;
    }
    if (bufferLen == 0) return 0;
    const SOCKET s = asSocket(socket);
    fd_set wr;
    FD_ZERO(&wr);
    FD_SET(s, &wr);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000L};
    const int rc = select(0, nullptr, &wr, nullptr, &tv);
    if (rc == SOCKET_ERROR) {
        wsaToErrno();
        return -1;
    }
    if (rc == 0) return 0;
    // Send what fits without blocking, then back to a blocking socket.
    u_long on = 1, off = 0;
    ioctlsocket(s, FIONBIO, &on);
    const int n = send(s, reinterpret_cast<const char*>(buffer), bufferLen, 0);
    const int e = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    ioctlsocket(s, FIONBIO, &off);
    if (n != SOCKET_ERROR) return n;
    if (e == WSAEWOULDBLOCK) return 0;
    WSASetLastError(e);
    wsaToErrno();
    return -1;
}

int Socket_Recv(unsigned int socket, unsigned char* buffer, int bufferLen) {
    if (bufferLen < 0) {
        errno = EINVAL;
        return -1;
    }
    const int n = recv(asSocket(socket), reinterpret_cast<char*>(buffer), bufferLen, 0);
    if (n == SOCKET_ERROR) {
        wsaToErrno();
        return -1;
    }
    return n;
}

// Shuts both directions.
void Socket_shutdown(int socket) {
    shutdown(asSocket(static_cast<unsigned int>(socket)), SD_BOTH);
}

int Socket_GetForeignAddress(unsigned int socket, char* address) {
    Socket_Init();
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    int len = sizeof peer;
    if (getpeername(asSocket(socket), reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        report("***setsockopt() failed");
        return -1;
    }
    if (peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;  // an IPv6 peer has no IPv4 address to give
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
    return setsockopt(asSocket(static_cast<unsigned int>(socket)), SOL_SOCKET, kZeroCopyOption,
                      reinterpret_cast<const char*>(&enable), sizeof enable) == 0
               ? 0
               : -1;
}

// ---------------------------------------------------------------------------
// Multicast and broadcast

int Socket_SetBrodcast(int Socket) {
    const BOOL one = TRUE;
    return setsockopt(asSocket(static_cast<unsigned int>(Socket)), SOL_SOCKET, SO_BROADCAST,
                      reinterpret_cast<const char*>(&one), sizeof one) == 0
               ? 0
               : -1;
}

unsigned int Socket_MulticastServer(unsigned int socket, unsigned int groupaddr) {
    ip_mreq req;
    std::memset(&req, 0, sizeof req);
    req.imr_multiaddr.s_addr = htonl(groupaddr);
    req.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(asSocket(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                   reinterpret_cast<const char*>(&req), sizeof req) != 0) {
        report("setsockopt() failed");
        return 0;
    }
    return socket;
}

int Socket_LeaveMulticast(int Socket, unsigned int group_ip, unsigned int interface_ip) {
    ip_mreq req;
    std::memset(&req, 0, sizeof req);
    req.imr_multiaddr.s_addr = htonl(group_ip);
    req.imr_interface.s_addr = htonl(interface_ip);
    if (setsockopt(asSocket(static_cast<unsigned int>(Socket)), IPPROTO_IP, IP_DROP_MEMBERSHIP,
                   reinterpret_cast<const char*>(&req), sizeof req) != 0) {
        report("****setsockopt() failed");
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
    Socket_Init();
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* group = nullptr;
    int status = getaddrinfo(multicastIP, nullptr, &hints, &group);
    if (status != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerrorA(status));
        return -1;
    }

    hints.ai_family = group->ai_family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* local = nullptr;
    status = getaddrinfo(nullptr, multicastPort, &hints, &local);
    if (status != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerrorA(status));
        freeaddrinfo(group);
        return -1;
    }

    SOCKET sock = newSocket(local->ai_family, local->ai_socktype, 0);
    auto fail = [&](const char* what) {
        if (what) report(what);
        if (sock != INVALID_SOCKET) closesocket(sock);
        freeaddrinfo(local);
        freeaddrinfo(group);
        return -1;
    };
    if (sock == INVALID_SOCKET) return fail("socket() failed");

    const BOOL one = TRUE;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                   sizeof one) != 0)
        return fail("setsockopt");
    if (bind(sock, local->ai_addr, static_cast<int>(local->ai_addrlen)) != 0)
        return fail("bind() failed");

    int size = 0;
    int len = sizeof size;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &len) != 0)
        return fail("getsockopt");
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF,
                   reinterpret_cast<const char*>(&multicastRecvBufSize),
                   sizeof multicastRecvBufSize) != 0)
        report("setsockopt");
    len = sizeof size;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &len) != 0)
        report("getsockopt");

    if (group->ai_family == AF_INET && group->ai_addrlen == sizeof(sockaddr_in)) {
        ip_mreq req;
        std::memset(&req, 0, sizeof req);
        req.imr_multiaddr = reinterpret_cast<sockaddr_in*>(group->ai_addr)->sin_addr;
        req.imr_interface.s_addr = htonl(INADDR_ANY);
        if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&req),
                       sizeof req) != 0)
            return fail("setsockopt() failed");
    } else if (group->ai_family == AF_INET6 && group->ai_addrlen == sizeof(sockaddr_in6)) {
        ipv6_mreq req;
        std::memset(&req, 0, sizeof req);
        req.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(group->ai_addr)->sin6_addr;
        req.ipv6mr_interface = 0;
        if (setsockopt(sock, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&req),
                       sizeof req) != 0)
            return fail("setsockopt() failed");
    } else {
        errno = EAFNOSUPPORT;
        perror("Neither IPv4 or IPv6");
        return fail(nullptr);
    }

    freeaddrinfo(local);
    freeaddrinfo(group);
    return static_cast<int>(asValue(sock));
}
