// Runs one of the project's programs as a child for a test, with a bounded life.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;  // exit status; -1 when it did not exit by itself
    std::string out, err;
};

// Runs argv[0] with the rest as its arguments and waits for it, at most timeout_s
// (then it is killed). With signal_after_ms > 0, sends sig after that long.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeout_s,
                         int signal_after_ms = 0, int sig = 0);

}  // namespace testsupport
