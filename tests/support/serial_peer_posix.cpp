#include <sys/resource.h>

#include "pty_pair.h"
#include "serial_peer.h"

namespace testsupport {

struct SerialPeer::Impl {
    PtyPair pty;
};

SerialPeer::SerialPeer() : impl_(std::make_unique<Impl>()) {
    if (impl_->pty.ok())
        port_ = impl_->pty.slavePath();
    else
        error_ = "openpty failed";
}

SerialPeer::~SerialPeer() = default;

bool SerialPeer::ok() const {
    return impl_->pty.ok();
}

bool SerialPeer::write(const void* buf, size_t len) {
    return impl_->pty.writeMaster(buf, len);
}

size_t SerialPeer::read(void* buf, size_t len, int timeout_ms) {
    return impl_->pty.readMaster(buf, len, timeout_ms);
}

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace testsupport
