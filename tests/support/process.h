// Runs one of the project's programs as a child for a test, with a bounded life.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;                 // exit status; -1 when it did not exit by itself
    double after_last_signal_s = 0;  // from the last signal sent to the end of its output
    std::string out, err;
};

// Conditions a child runs under beyond its arguments.
struct ProcessOptions {
    int timeout_s = 60;                        // then it is killed
    std::vector<std::pair<int, int>> signals;  // (ms since the start, signal), in time order
    bool stdout_closed = false;                // standard output a pipe nobody reads
    bool as_nobody = false;                    // drops root, so a read-only folder is read-only
    unsigned long file_size_limit = 0;         // bytes; 0: none
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// Runs argv[0] with the rest as its arguments and waits for it, at most timeout_s
// (then it is killed). With signal_after_ms > 0, sends sig after that long.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeout_s,
                         int signal_after_ms = 0, int sig = 0);

}  // namespace testsupport
