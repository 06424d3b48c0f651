#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial_peer.h"

namespace testsupport {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// COM1..COM4 stand for the machine's own serial ports (under wine /dev/ttyS0..3,
// and ttyS0 may be a kernel console): never ours.
bool reserved(const std::string& name) {
    return name.size() == 4 && _strnicmp(name.c_str(), "COM", 3) == 0 && name[3] >= '1' &&
           name[3] <= '4';
}

// Under wine a COM port is mapped to a Unix device in the registry
// (HKLM\Software\Wine\Ports, value COMn = device). True when `name` is mapped
// to `device` there; *seen is what the mapping names.
bool mappedTo(const std::string& name, const std::string& device, std::string* seen) {
    char target[1024] = {};
    DWORD size = sizeof target;
    seen->clear();
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", name.c_str(), RRF_RT_REG_SZ,
                     nullptr, target, &size) != ERROR_SUCCESS)
        return false;
    *seen = target;
    return *seen == device;
}

}  // namespace

struct SerialPeer::Impl {
    HANDLE h = INVALID_HANDLE_VALUE;
};

SerialPeer::SerialPeer() : impl_(std::make_unique<Impl>()) {
    const std::string port = env("CONVBENCH_TEST_PORT"), peer = env("CONVBENCH_TEST_PEER");
    if (port.empty() || peer.empty()) {
        error_ = "CONVBENCH_TEST_PORT and CONVBENCH_TEST_PEER name no null-modem pair";
        return;
    }
    if (reserved(port) || reserved(peer)) {
        error_ = "COM1..COM4 are the machine's own ports; not used by tests";
        return;
    }
    // Under wine, both must be mapped to the devices the test made; on Windows
    // itself (no device named) the pair is the tester's own.
    std::string seen;
    for (const auto& [name, dev] : {std::make_pair(port, env("CONVBENCH_TEST_PORT_DEV")),
                                    std::make_pair(peer, env("CONVBENCH_TEST_PEER_DEV"))}) {
        if (!dev.empty() && !mappedTo(name, dev, &seen)) {
            error_ = name + " is not mapped to " + dev + " (it names '" + seen + "')";
            return;
        }
    }
    HANDLE h = CreateFileA(("\\\\.\\" + peer).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = "cannot open " + peer;
        return;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 100, 0, 0};  // what has come, or wait 100 ms for a byte
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &t) ||
        !PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        CloseHandle(h);
        error_ = "cannot set up " + peer;
        return;
    }
    impl_->h = h;
    port_ = port;
}

SerialPeer::~SerialPeer() {
    if (impl_->h != INVALID_HANDLE_VALUE) CloseHandle(impl_->h);
}

bool SerialPeer::ok() const {
    return impl_->h != INVALID_HANDLE_VALUE;
}

bool SerialPeer::write(const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        DWORD n = 0;
        if (!WriteFile(impl_->h, p, static_cast<DWORD>(len), &n, nullptr)) return false;
        p += n;
        len -= n;
    }
    return true;
}

size_t SerialPeer::read(void* buf, size_t len, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len && std::chrono::steady_clock::now() < end) {
        DWORD n = 0;
        if (!ReadFile(impl_->h, p + got, static_cast<DWORD>(len - got), &n, nullptr)) break;
        got += n;
    }
    return got;
}

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& f) {
        return static_cast<double>((static_cast<uint64_t>(f.dwHighDateTime) << 32) |
                                   f.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace testsupport
