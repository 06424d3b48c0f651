#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace testsupport {

namespace {
int makeRaw(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) return fd;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}
}  // namespace

int openRawTty(const std::string& path) {
    return makeRaw(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
}

PtyPair::PtyPair() {
    char name[128] = {};
    int m = -1, s = -1;
    if (openpty(&m, &s, name, nullptr, nullptr) != 0) return;
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    master_ = m;
    slave_ = makeRaw(s);
    slave_path_ = name;
}

PtyPair::~PtyPair() {
    closeMaster();
    if (slave_ >= 0) ::close(slave_);
}

bool PtyPair::writeMaster(const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        const ssize_t n = ::write(master_, p, len);  // blocking: waits for room
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

size_t PtyPair::readMaster(void* buf, size_t len, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(timeout_ms);
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{master_, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = ::read(master_, p + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

void PtyPair::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace testsupport
