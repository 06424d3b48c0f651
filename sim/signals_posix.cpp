// SIGINT and SIGTERM end the run; SIGUSR1 asks for a report. They are taken
// synchronously with sigtimedwait, so no handler runs inside the converter.
#include <cerrno>
#include <csignal>
#include <ctime>

#include "signals.h"

namespace sim {
namespace {
sigset_t runSignals() {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    sigaddset(&s, SIGUSR1);
    return s;
}
}  // namespace

void blockRunSignals() {
    const sigset_t s = runSignals();
    pthread_sigmask(SIG_BLOCK, &s, nullptr);
}

Signal waitRunSignal(int timeout_ms) {
    const sigset_t s = runSignals();
    timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    const int sig = sigtimedwait(&s, nullptr, timeout_ms < 0 ? nullptr : &ts);
    if (sig == SIGUSR1) return Signal::Report;
    if (sig == SIGINT || sig == SIGTERM) return Signal::Stop;
    return Signal::None;
}

}  // namespace sim
