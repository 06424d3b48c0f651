// Serial-side status reports the sender and the receiver share.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "uart.h"

// Reports the loss of the port's device ("UART lost") and its return ("UART
// back") through `report`, once per change, when check() is called.
class UartOutageWatch {
public:
    UartOutageWatch(UART_Handle_t handle, void (*report)(std::string))
        : handle_(handle), report_(report) {}
    void check() {
        int lost = 0;
        if (UART_Outages(handle_, &lost, nullptr, nullptr, nullptr) != 0 || lost == lost_) return;
        lost_ = lost;
        report_(lost ? "UART lost" : "UART back");
    }

private:
    UART_Handle_t handle_;
    void (*report_)(std::string);
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
