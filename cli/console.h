// What the runner needs of its console and system: whether the progress line
// may be drawn, interrupts (SIGINT, SIGTERM; Ctrl+C on Windows), the device a
// serial port name stands for, and the files its reports are written through.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace cli {

bool stderrIsTerminal();

// From now on an interrupt raises *flag (to 1, 2, ...) instead of ending the
// process, and the run stops and reports. With flag null (while the run is
// being set up), or when *flag is already raised (a second interrupt), the
// process ends at once with status 4: the scratch files of reports not yet
// complete are removed, the reports already in place stay, nothing else is
// written.
void catchInterrupts(std::atomic<int>* flag);

// A reader closing standard output (or any pipe), or a file growing past the
// size limit, makes writes fail (EPIPE, EFBIG) instead of ending the process.
void ignoreWriteSignals();

// The device a port name stands for, as far as it can be told without opening
// it (a name under /dev, links followed; COM3 and \\.\COM3 alike), so two
// names for one port are told apart from two ports.
std::string serialDevice(const std::string& port);

// A report's destination. A regular file (or a name not yet taken) is written
// through a scratch file created beside it, renamed onto it once complete, so
// nobody ever sees it partly written; anything else (a device such as
// /dev/null, a pipe) is written in place. "-" is standard output.
struct OutFile {
    int fd = -1;
    std::string scratch;  // empty: written in place
    int slot = -1;        // the scratch file's entry among those removed on an interrupt
};
// Opens the destination; false with the reason in *error (the system's words).
bool openOut(const std::string& target, OutFile* out, std::string* error);
// Writes all of p, retrying short writes: 0, or the errno of the failure.
int writeAll(int fd, const char* p, size_t n);
// The system's words for an errno.
std::string systemError(int err);
// Flushes the file to its device, closes it and renames the scratch file
// onto the target; false with the reason, and then the scratch file is gone.
bool finishOut(OutFile* out, const std::string& target, std::string* error);
// Closes and removes the scratch file, leaving the target as it was.
void dropOut(OutFile* out);
// True when err (an errno) means the reader of a pipe has gone.
bool isBrokenPipe(int err);

}  // namespace cli
