// The runner's console on Windows: Ctrl+C, Ctrl+Break and closing the console
// window raise the flag instead of ending the process.
#include <ctype.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "console.h"

namespace cli {
namespace {
std::atomic<int>* g_flag = nullptr;

// Runs on a thread of the system's own; the flag is all it touches.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (g_flag) g_flag->store(1);
            return TRUE;  // handled: the run stops and reports
        default:
            return FALSE;
    }
}
}  // namespace

bool stderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void catchInterrupts(std::atomic<int>* flag) {
    g_flag = flag;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

std::string serialDevice(const std::string& port) {
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace cli
