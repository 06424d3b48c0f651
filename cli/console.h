// What the runner needs of its console and process: whether the progress line
// may be drawn, and a flag raised by SIGINT or SIGTERM.
#pragma once

#include <atomic>

namespace cli {

bool stderrIsTerminal();
// From now on SIGINT and SIGTERM raise *flag instead of ending the process.
void catchInterrupts(std::atomic<int>* flag);

}  // namespace cli
