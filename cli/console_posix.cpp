#include <signal.h>
#include <unistd.h>

#include "console.h"

namespace cli {
namespace {
std::atomic<int>* g_flag = nullptr;
void onSignal(int) {
    if (g_flag) g_flag->store(1);
}
}  // namespace

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void catchInterrupts(std::atomic<int>* flag) {
    g_flag = flag;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace cli
