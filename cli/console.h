// What the runner needs of its console and system: whether the progress line
// may be drawn, a flag raised by SIGINT or SIGTERM, and the device a serial
// port name stands for.
#pragma once

#include <atomic>
#include <string>

namespace cli {

bool stderrIsTerminal();
// From now on SIGINT and SIGTERM raise *flag instead of ending the process.
void catchInterrupts(std::atomic<int>* flag);
// The device a port name stands for, as far as it can be told without opening
// it (a name under /dev, links followed; COM3 and \\.\COM3 alike), so two
// names for one port are told apart from two ports.
std::string serialDevice(const std::string& port);

}  // namespace cli
