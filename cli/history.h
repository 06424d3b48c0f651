// convbench-cli history and convbench-cli sync: the results store read back,
// and the spooled runs delivered.
#pragma once

namespace cli {

constexpr int kHistoryFormat = 1;  // the history JSON and CSV; bump when a field changes meaning

// argv[0] is the subcommand's name; the exit status is returned.
int historyMain(int argc, const char* const* argv);
int syncMain(int argc, const char* const* argv);

}  // namespace cli
