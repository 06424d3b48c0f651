// The runner's console on Windows: Ctrl+C, Ctrl+Break and closing the console
// window raise the flag instead of ending the process; report files.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "console.h"
#include "scratch_slots.h"

namespace cli {
namespace {
std::atomic<std::atomic<int>*> g_flag{nullptr};

ScratchSlots<MAX_PATH> g_scratch;

// Runs on a thread of the system's own.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT: {
            std::atomic<int>* flag = g_flag.load();
            if (flag != nullptr && flag->fetch_add(1) == 0)
                return TRUE;  // handled: the run stops and reports
            g_scratch.removeLive([](const char* path) { DeleteFileA(path); });
            TerminateProcess(GetCurrentProcess(), 4);
            return TRUE;
        }
        default:
            return FALSE;
    }
}
}  // namespace

bool stderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void catchInterrupts(std::atomic<int>* flag) {
    g_flag.store(flag);
    static bool installed = false;
    if (!installed) SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    installed = true;
}

void ignoreWriteSignals() {}  // writes to a closed pipe fail with EPIPE here anyway

std::string serialDevice(const std::string& port) {
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name;
}

bool openOut(const std::string& target, OutFile* out, std::string* error) {
    *out = OutFile{};
    if (target == "-") {
        out->fd = _fileno(stdout);
        _setmode(out->fd, _O_BINARY);
        return true;
    }
    struct _stat64 st {};
    const bool exists = _stat64(target.c_str(), &st) == 0;
    if (exists && (st.st_mode & _S_IFDIR)) {
        *error = systemError(EISDIR);
        return false;
    }
    if (exists && !(st.st_mode & _S_IFREG)) {  // a device such as NUL: written in place
        out->fd = _open(target.c_str(), _O_WRONLY | _O_BINARY);
        if (out->fd < 0) *error = systemError(errno);
        return out->fd >= 0;
    }
    const size_t slash = target.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int n = 0;; ++n) {
        out->scratch =
            dir + "." + base + "." + std::to_string(_getpid()) + "-" + std::to_string(n) + ".part";
        out->slot = g_scratch.hold(out->scratch);
        out->fd = _open(out->scratch.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                        _S_IREAD | _S_IWRITE);
        if (out->fd >= 0) return true;
        const int why = errno;
        g_scratch.release(out->slot);
        out->slot = -1;
        if (why != EEXIST || n > 100) {
            out->scratch.clear();
            *error = systemError(why);
            return false;
        }
    }
}

int writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const unsigned int chunk = n > (1u << 30) ? (1u << 30) : static_cast<unsigned int>(n);
        const int k = _write(fd, p, chunk);
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
    if (out->fd < 0 || out->fd == _fileno(stdout)) return true;
    std::string why;
    if (!out->scratch.empty() && _commit(out->fd) != 0) why = systemError(errno);
    if (_close(out->fd) != 0 && why.empty()) why = systemError(errno);
    out->fd = -1;
    if (why.empty() && !out->scratch.empty() &&
        !MoveFileExA(out->scratch.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        char text[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       GetLastError(), 0, text, sizeof text, nullptr);
        why = text[0] ? text : "cannot rename";
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    }
    if (!why.empty()) {
        *error = why;
        dropOut(out);
        return false;
    }
    g_scratch.release(out->slot);
    *out = OutFile{};
    return true;
}

void dropOut(OutFile* out) {
    if (out->fd >= 0 && out->fd != _fileno(stdout)) _close(out->fd);
    if (!out->scratch.empty()) DeleteFileA(out->scratch.c_str());
    g_scratch.release(out->slot);
    *out = OutFile{};
}

bool isBrokenPipe(int err) {
    return err == EPIPE;
}

}  // namespace cli
