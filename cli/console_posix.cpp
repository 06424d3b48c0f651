#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "console.h"

namespace cli {
namespace {
std::atomic<int>* g_flag = nullptr;
void onSignal(int) {
    if (g_flag) g_flag->store(1);
}
}  // namespace

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void catchInterrupts(std::atomic<int>* flag) {
    g_flag = flag;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::string serialDevice(const std::string& port) {
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

}  // namespace cli
