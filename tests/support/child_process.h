// Child processes for the suites and the benchmarks: the project's programs,
// socat, iperf3, ... Every child dies with the process that started it, and
// one that is still running when its Child goes is killed and reaped.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// How a child ended.
struct Ended {
    int status = -1;                 // exit status; -1 when it did not exit by itself
    double cpu_s = 0;                // user and system CPU seconds it used
    long max_rss_kb = 0;             // its peak resident size
    std::string out, err;            // what it wrote, where kept (Output::Keep)
    double after_last_signal_s = 0;  // runProcess: from the last signal it sent to the end
};
using ProcessResult = Ended;

class Child {
public:
    enum class Output {
        Keep,     // kept for Ended (in an unnamed scratch file, so a child never blocks on it)
        Inherit,  // this process's own
        Null,     // discarded
        Fd,       // the descriptor in out_fd / err_fd, the caller's
    };
    struct Options {
        Output out = Output::Keep;
        Output err = Output::Null;
        int death_signal = SIGKILL;         // sent to the child should its parent end first
        bool as_nobody = false;             // drops root, so a read-only folder is read-only
        unsigned long file_size_limit = 0;  // bytes; 0: none
        int out_fd = -1, err_fd = -1;
    };

    Child() = default;
    // Starts argv[0] (looked up on PATH when it holds no slash) with the rest
    // as its arguments; started() tells whether it could be.
    explicit Child(const std::vector<std::string>& argv);
    Child(const std::vector<std::string>& argv, const Options& options);
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // Waits at most timeout_ms for the child to end (0: only looks); true once it has.
    bool waitFor(int timeout_ms);
    bool running() { return started() && !waitFor(0); }
    // Waits for the end, however long it takes; how it ended (also when asked again).
    const Ended& wait();

    // Figures of the running child, from /proc: CPU seconds so far, resident
    // size, and the entries of /proc/PID/<dir> ("fd": descriptors, "task":
    // threads); -1 when they cannot be read.
    double cpuSeconds() const;
    long rssKb() const;
    int countEntries(const char* dir) const;

private:
    void reap(int status, const void* usage);
    void release();

    pid_t pid_ = -1;
    int pidfd_ = -1;                 // readable once the child has ended, where the kernel has them
    int out_fd_ = -1, err_fd_ = -1;  // scratch files of the kept output
    bool ended_ = false;
    Ended ended_as_;
};

// A program run to its end with its two outputs read through pipes, for the
// suites: signals at set times, a standard output nobody reads, and the
// conditions of Child::Options.
struct ProcessOptions : Child::Options {
    ProcessOptions(int timeout = 60) : timeout_s(timeout) {}
    int timeout_s;                             // then it is killed
    bool stdout_closed = false;                // standard output a pipe nobody reads
    std::vector<std::pair<int, int>> signals;  // (ms since the start, signal), in time order
    // Called about every 20 ms while it runs, with the seconds since the start.
    std::function<void(Child&, double)> watch;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace testsupport
