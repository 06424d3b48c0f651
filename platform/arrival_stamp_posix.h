// Kernel arrival stamps of datagrams (Linux: SO_TIMESTAMPNS) on the monotonic
// clock, for receivers that read with recvmsg or recvmmsg.
#pragma once

#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace stamp {

// Control room for one stamp in a message.
constexpr size_t kControlBytes = CMSG_SPACE(sizeof(timespec));

// When the datagram in m arrived, on the monotonic clock. mono and wall are
// that clock and the wall clock read together after the receive: their
// difference moves the wall-clock stamp over, as it stands now (a step of the
// wall clock since the arrival shows as an error of that size). Without a
// stamp, or with one later than the read, the arrival is the read time.
inline int64_t arrivalNs(msghdr& m, int64_t mono, const timespec& wall) {
    int64_t arrival = mono;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec at;
        std::memcpy(&at, CMSG_DATA(c), sizeof at);
        const int64_t waited = (static_cast<int64_t>(wall.tv_sec) - at.tv_sec) * 1000000000LL +
                               (wall.tv_nsec - at.tv_nsec);
        if (waited > 0) arrival = mono - waited;
    }
    return arrival;
}

}  // namespace stamp
