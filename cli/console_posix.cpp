#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "scratch_slots.h"

namespace cli {
namespace {

std::atomic<std::atomic<int>*> g_flag{nullptr};

ScratchSlots<PATH_MAX> g_scratch;

void writeErr(const char* text) {
    const ssize_t n = write(STDERR_FILENO, text, strlen(text));
    (void)n;
}

void onSignal(int) {
    std::atomic<int>* flag = g_flag.load();
    if (flag != nullptr && flag->fetch_add(1) == 0) return;  // the run stops and reports
    g_scratch.removeLive([](const char* path) { unlink(path); });
    writeErr(flag ? "\nconvbench-cli: interrupted again: stopped at once, reports not yet written "
                    "are left out\n"
                  : "\nconvbench-cli: interrupted before the run began: no report written\n");
    _exit(4);
}

// The file a report path names: a link's target, so the file is replaced, not the link.
std::string followLink(const std::string& target) {
    char real[PATH_MAX];
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        realpath(target.c_str(), real) != nullptr)
        return real;
    return target;
}

}  // namespace

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void catchInterrupts(std::atomic<int>* flag) {
    g_flag.store(flag);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void ignoreWriteSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

std::string serialDevice(const std::string& port) {
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

bool openOut(const std::string& target, OutFile* out, std::string* error) {
    *out = OutFile{};
    if (target == "-") {
        out->fd = STDOUT_FILENO;
        return true;
    }
    // A link is followed, so the file it names is replaced, not the link.
    const std::string path = followLink(target);
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        *error = systemError(EISDIR);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {  // a device or a pipe: written in place
        out->fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (out->fd < 0) *error = systemError(errno);
        return out->fd >= 0;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // Created like the report itself would be (0666 less the umask), or with
    // the permissions of the file it replaces.
    for (int n = 0;; ++n) {
        out->scratch =
            dir + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(n) + ".part";
        out->slot = g_scratch.hold(out->scratch);
        out->fd = open(out->scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out->fd >= 0) break;
        const int why = errno;
        g_scratch.release(out->slot);
        out->slot = -1;
        if (why != EEXIST || n > 100) {
            out->scratch.clear();
            *error = systemError(why);
            return false;
        }
    }
    if (exists && fchmod(out->fd, st.st_mode & 07777) != 0) {
        *error = systemError(errno);
        dropOut(out);
        return false;
    }
    return true;
}

int writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return k < 0 ? errno : EIO;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return 0;
}

std::string systemError(int err) {
    return strerror(err);
}

bool finishOut(OutFile* out, const std::string& target, std::string* error) {
    if (out->fd < 0 || out->fd == STDOUT_FILENO) return true;
    int why = 0;
    if (!out->scratch.empty() && fsync(out->fd) != 0) why = errno;
    if (close(out->fd) != 0 && why == 0) why = errno;
    out->fd = -1;
    if (why == 0 && !out->scratch.empty()) {
        if (rename(out->scratch.c_str(), followLink(target).c_str()) != 0) why = errno;
    }
    if (why != 0) {
        *error = systemError(why);
        dropOut(out);
        return false;
    }
    g_scratch.release(out->slot);
    *out = OutFile{};
    return true;
}

void dropOut(OutFile* out) {
    if (out->fd >= 0 && out->fd != STDOUT_FILENO) close(out->fd);
    if (!out->scratch.empty()) unlink(out->scratch.c_str());
    g_scratch.release(out->slot);
    *out = OutFile{};
}

bool isBrokenPipe(int err) {
    return err == EPIPE;
}

}  // namespace cli
