// Flat socket layer. Sockets are 32-bit integers (0 means "no socket" for the
// UDP openers), IPv4 addresses are unsigned ints in host byte order with the
// first dotted number most significant, ports are host-order unsigned shorts.
#pragma once

#include <cstdint>
#include <list>
#include <string>

// Core and addresses.
int Socket_Init();
void Socket_Term();
unsigned int Socket_Str2Addr(const char* pc_ip);
char* Socket_Addr2Str(char* buffer, unsigned int ip);
void Socket_Close(unsigned int socket);

// UDP.
unsigned int Socket_UDPSocket();
unsigned int Socket_UDPServer(unsigned short localPort);
// A UDP socket bound to localAddr:localPort for this process alone (no address
// reuse): 0 with errno set when the port is taken or cannot be bound.
unsigned int Socket_UDPBind(unsigned int localAddr, unsigned short localPort);
// Makes receives on the socket wait at most ms for a datagram (then -1).
int Socket_SetReceiveTimeout(unsigned int socket, int ms);
// The local port a socket is bound to; 0 if none.
unsigned short Socket_LocalPort(unsigned int socket);
int Socket_SendTo(unsigned int socket, unsigned char* buff, int bufferLen, unsigned int destaddr,
                  unsigned short dstport);
int Socket_ReceiveFrom(unsigned int socket, unsigned char* buff, int bufferLen,
                       unsigned int* srcddr, unsigned short* srcport);
// Asks the kernel to stamp each datagram with its arrival time (Linux:
// SO_TIMESTAMPNS). 0 when it will, -1 when the platform gives no stamps.
int Socket_EnableReceiveStamps(unsigned int socket);
// Receives one datagram like Socket_ReceiveFrom. *read_ns is the time of the
// read and *arrival_ns the kernel's arrival stamp, both on the monotonic clock
// of std::chrono::steady_clock (the stamp, taken on the wall clock, is moved
// over by the two clocks' difference read at this receive). Without a stamp
// (none enabled, or a platform without them) the arrival is the read time;
// it is never later than the read. The datagram's length, or -1 as
// Socket_ReceiveFrom.
int Socket_ReceiveStamped(unsigned int socket, unsigned char* buff, int bufferLen,
                          int64_t* arrival_ns, int64_t* read_ns);
int Socket_IsRxPacket(int socket);
int Socket_IsRxPacketUS(int socket, int us);
int Socket_IsRxPacketMS(int socket, int ms);

// TCP.
unsigned int Socket_TCPServer(unsigned short localPort);
unsigned int Socket_Accept(unsigned int socket);
int Socket_TCPClient(const char* foreignAddress, int foreignPort);
int Socket_TCPClient_NonBlock(const char* foreignAddress, int foreignPort);
int Socket_Send(unsigned int socket, unsigned char* buffer, int bufferLen);
// Waits at most timeout_ms for room on the socket, then sends what fits
// without blocking: the bytes sent (0 when no room came in time), or -1 on
// error. Lets a sender to a peer that stopped reading look at its run flag.
int Socket_SendWithin(unsigned int socket, const unsigned char* buffer, int bufferLen,
                      int timeout_ms);
int Socket_Recv(unsigned int socket, unsigned char* buffer, int bufferLen);
void Socket_shutdown(int socket);
int Socket_GetForeignAddress(unsigned int socket, char* address);
int Socket_ZeroCopy(int socket, int enable);
// A listening TCP socket on localAddr:localPort (0: any port); 0 with errno set
// when the port cannot be bound. Address reuse is on, so a port left in
// TIME_WAIT by an earlier connection can be listened on again at once.
unsigned int Socket_TCPListen(unsigned int localAddr, unsigned short localPort);
// A TCP connection to addr:port, made within timeout_ms; 0 with errno set
// (ETIMEDOUT, ECONNREFUSED, ...) when it cannot be. TCP_NODELAY is on.
unsigned int Socket_TCPConnect(unsigned int addr, unsigned short port, int timeout_ms);
// TCP_NODELAY on a connection (an accepted one, say): small writes go at once.
int Socket_SetNoDelay(unsigned int socket);
// Makes sends on the socket wait at most ms for room (then a short count or -1).
int Socket_SetSendTimeout(unsigned int socket, int ms);

// Multicast and broadcast.
int Socket_SetBrodcast(int Socket);
unsigned int Socket_MulticastServer(unsigned int socket, unsigned int groupaddr);
unsigned int Socket_MUDPServer(unsigned int groupaddr, unsigned short groupPort);
int Socket_LeaveMulticast(int Socket, unsigned int group_ip, unsigned int interface_ip);
int Socket_JoinMulticast(int Socket, unsigned int group_ip, unsigned int interface_ip);
int Socket_SetMulticast(int Socket, int ttl, int isloop, unsigned int interface_ip,
                        const char* interface_name);
int Socket_SetMulticast2(int sockfd, int ttl, std::string interface_name,
                         std::string multicast_group, int multicast_port);
int Socket_RemoveMulticast(int Socket);

// Interfaces and diagnostics.
struct ip_intrf_t {
    char interface_name[20];
    unsigned int ip;
    unsigned int mask;
};
std::list<ip_intrf_t> Socket_GetMyAddrList();
char* Socket_GetMyAddr(char* addrbuff, const char* theinterface);
char* Socket_GetMacAddr(const char* net_interface, char* buff);
int Socket_hasIPAddress(std::string interfaceName);
bool Socket_isInterfaceUp(const char* interfaceName);
int ping(const char* adress, int length, int timeout_ms, int* p_cnt);

// Module internals, declared here so the module's own tests can reach them.
int mcast_recv_socket(const char* multicastIP, const char* multicastPort,
                      int multicastRecvBufSize);
unsigned short checksum(const void* b, int len);
