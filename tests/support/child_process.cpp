#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "loopback.h"

namespace testsupport {
namespace {

// An unnamed scratch file for a child's output: gone from the file system at
// once, read back through the descriptor.
int scratchFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/convbench-child-XXXXXX";
    const int fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}

std::string readAll(int fd) {
    std::string text;
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) return text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv) : Child(argv, Options()) {}

Child::Child(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty()) return;
    // Everything the child needs is made before the fork: after it, in a
    // process with threads, only plain system calls are safe.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (options.out == Output::Keep) out_fd_ = scratchFile();
    if (options.err == Output::Keep) err_fd_ = scratchFile();
    auto target = [&](Output o, int kept, int given) {
        return o == Output::Keep ? kept : o == Output::Null ? null : o == Output::Fd ? given : -1;
    };
    const int to_out = target(options.out, out_fd_, options.out_fd),
              to_err = target(options.err, err_fd_, options.err_fd);
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    std::fflush(nullptr);  // nothing buffered here may be written twice
    pid_ = fork();
    if (pid_ == 0) {
        if ((to_out >= 0 && dup2(to_out, 1) < 0) || (to_err >= 0 && dup2(to_err, 2) < 0))
            _exit(127);
        if (options.file_size_limit) setrlimit(RLIMIT_FSIZE, &limit);
        if (options.as_nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        prctl(PR_SET_PDEATHSIG, options.death_signal);  // after a change of user, which clears it
        execvp(args[0], args.data());
        _exit(127);
    }
    if (null >= 0) close(null);
    if (pid_ < 0) {
        release();
        return;
    }
    // Readable once the child ends, where the kernel has it (else -1: waitFor looks every 5 ms).
#ifdef SYS_pidfd_open
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
#endif
}

Child::~Child() {
    release();
}

Child::Child(Child&& other) noexcept {
    *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
    if (this == &other) return *this;
    release();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::exchange(other.pidfd_, -1);
    out_fd_ = std::exchange(other.out_fd_, -1);
    err_fd_ = std::exchange(other.err_fd_, -1);
    ended_ = std::exchange(other.ended_, false);
    ended_as_ = std::move(other.ended_as_);
    return *this;
}

// Kills a child still running and reaps it, then closes what it had here.
void Child::release() {
    if (started() && !ended_) {
        signal(SIGKILL);
        wait();
    }
    for (int* fd : {&pidfd_, &out_fd_, &err_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Child::signal(int sig) const {
    if (started() && !ended_) kill(pid_, sig);
}

void Child::reap(int status, const void* usage) {
    const rusage& ru = *static_cast<const rusage*>(usage);
    ended_ = true;
    ended_as_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ended_as_.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                      static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    ended_as_.max_rss_kb = ru.ru_maxrss;
    ended_as_.out = readAll(out_fd_);
    ended_as_.err = readAll(err_fd_);
}

bool Child::waitFor(int timeout_ms) {
    if (!started()) return true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!ended_) {
        int status = 0;
        rusage ru{};
        const pid_t r = wait4(pid_, &status, WNOHANG, &ru);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            reap(r == pid_ ? status : 0, &ru);
            if (r != pid_) ended_as_.status = -1;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        // Without a pidfd, poll only sleeps: then a look every 5 ms.
        pollfd p{pidfd_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(pidfd_ >= 0 || left < 5 ? left : 5));
    }
    return true;
}

const Ended& Child::wait() {
    while (!waitFor(3600 * 1000)) {
    }
    return ended_as_;
}

double Child::cpuSeconds() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return -1;
    // Fields 14 and 15: user and system time, in clock ticks.
    std::istringstream rest(text.substr(paren + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i >= 14) ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long Child::rssKb() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int Child::countEntries(const char* dir) const {
    return procEntries("/proc/" + std::to_string(pid_) + "/" + dir);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& o) {
    using Clock = std::chrono::steady_clock;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    Child::Options co = o;
    co.out = co.err = Child::Output::Fd;
    co.out_fd = out[1];
    co.err_fd = err[1];
    Child c(argv, co);
    close(out[1]);
    close(err[1]);
    if (o.stdout_closed) close(out[0]), out[0] = -1;
    const auto start = Clock::now();
    auto last_signal = start;
    const auto since = [](Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    };
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string text[2];
    for (size_t next = 0, open = o.stdout_closed ? 1 : 2; open > 0 && c.started();) {
        for (; next < o.signals.size() && since(start) * 1000 >= o.signals[next].first; ++next) {
            c.signal(o.signals[next].second);
            last_signal = Clock::now();
        }
        if (since(start) > o.timeout_s) c.signal(SIGKILL);
        if (o.watch) o.watch(c, since(start));
        if (poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                text[i].append(buf, static_cast<size_t>(n));
                continue;
            }
            close(p[i].fd);
            p[i].fd = -1;
            --open;
        }
    }
    for (const pollfd& f : p)
        if (f.fd >= 0) close(f.fd);
    Ended r = c.wait();
    r.out = text[0];
    r.err = text[1];
    r.after_last_signal_s = since(last_signal);
    return r;
}

}  // namespace testsupport
