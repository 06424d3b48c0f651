// Values and functions shared by the window and the traffic engine.
#pragma once

#include <string>

// Conversion direction of a run, as chosen in the form.
enum {
    CONVERT_ETHERNET_TO_UART = 0,  // "ethernet -> uart"
    CONVERT_UART_TO_ETHERNET = 1,  // "uart -> ethernet"
};

// Status reports from the workers to the window. Callable from any thread;
// delivery is queued to the GUI thread and never blocks the caller. The
// window defines them; whoever links the engine without the window supplies
// its own definitions.
void updateClientMsg(std::string msg);
void updateServerMsg(std::string msg);
void updateClientCnt(int cnt);
void updateServerCnt(int cnt);
