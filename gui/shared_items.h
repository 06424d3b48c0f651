// Values and functions shared by the window and its workers.
#pragma once

#include <string>

// Conversion direction of a run, as chosen in the form.
enum {
    CONVERT_ETHERNET_TO_UART = 0,  // "ethernet -> uart"
    CONVERT_UART_TO_ETHERNET = 1,  // "uart -> ethernet"
};

// Status reports from the workers to the window. Callable from any thread;
// each goes to the sink the window registers (status_sink.h), which queues it
// to the GUI thread, so the caller never waits; with no sink it is dropped.
void updateClientMsg(std::string msg);
void updateServerMsg(std::string msg);
void updateClientCnt(int cnt);
void updateServerCnt(int cnt);
