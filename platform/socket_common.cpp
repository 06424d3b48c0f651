// The socket layer's parts that are the same on every platform: the Internet
// checksum, and the operations whose results are fixed.
#include <cstring>

#include "socket.h"

// ---------------------------------------------------------------------------
// Checksum

unsigned short checksum(const void* b, int len) {
    // A 64-bit sum keeps every carry, however long the input.
    const unsigned char* p = static_cast<const unsigned char*>(b);
    unsigned long long sum = 0;
    while (len > 1) {
        unsigned short word;
        std::memcpy(&word, p, sizeof word);  // machine byte order, any alignment
        sum += word;
        p += 2;
        len -= 2;
    }
    if (len == 1) sum += *p;
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<unsigned short>(~sum);
}

// ---------------------------------------------------------------------------
// Operations with fixed results on this platform

std::list<ip_intrf_t> Socket_GetMyAddrList() {
    return {};
}

char* Socket_GetMyAddr(char* addrbuff, const char*) {
    return addrbuff;
}

char* Socket_GetMacAddr(const char*, char*) {
    return nullptr;
}

int Socket_hasIPAddress(std::string) {
    return 0;
}

bool Socket_isInterfaceUp(const char*) {
    return false;
}

int ping(const char*, int, int, int*) {
    return 0;
}

int Socket_JoinMulticast(int, unsigned int, unsigned int) {
    return 0;
}

int Socket_SetMulticast(int, int, int, unsigned int, const char*) {
    return 0;
}

int Socket_SetMulticast2(int, int, std::string, std::string, int) {
    return 0;
}

int Socket_RemoveMulticast(int) {
    return 0;
}
