// Serial-side status reports the sender and the receiver share.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "uart.h"

// The serial port's outages in the current run, for the window's status line:
// written by the worker that holds the port, read by the window at any time.
struct SerialOutageFigures {
    std::atomic<int> lost_now{0};
    std::atomic<uint64_t> total_ms{0};  // every outage of the run so far, the one going on included
    void reset() {
        lost_now = 0;
        total_ms = 0;
    }
};

// Reports the loss of the port's device ("UART lost") and its return ("UART
// back") through `report`, once per change, when check() is called; keeps
// *figures (if given) up to date.
class UartOutageWatch {
public:
    UartOutageWatch(UART_Handle_t handle, void (*report)(std::string),
                    SerialOutageFigures* figures = nullptr)
        : handle_(handle), report_(report), figures_(figures) {}
    void check() {
        int lost = 0;
        uint64_t total_ms = 0;
        if (UART_Outages(handle_, &lost, nullptr, nullptr, &total_ms) != 0) return;
        if (figures_) {
            figures_->lost_now = lost;
            figures_->total_ms = total_ms;
        }
        if (lost == lost_) return;
        lost_ = lost;
        report_(lost ? "UART lost" : "UART back");
    }

private:
    UART_Handle_t handle_;
    void (*report_)(std::string);
    SerialOutageFigures* figures_;
    int lost_ = 0;
};

// The window shows only a short message for a port that does not open; why
// (no such device, permission, in use) goes to standard error.
inline void reportUartOpenFailure(const char* message, const std::string& device, int baud) {
    char why[200];
    UART_Explain(device.c_str(), baud, why, sizeof why);
    // A bare name is explained under its /dev path; a path is named here.
    const bool path = std::strchr(device.c_str(), '/') != nullptr;
    std::fprintf(stderr, "%s: %s%s%s\n", message, path ? device.c_str() : "", path ? ": " : "",
                 why);
}
