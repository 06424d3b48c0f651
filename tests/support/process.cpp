#include "process.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

ProcessResult runProcess(const std::vector<std::string>& argv, int timeout_s, int signal_after_ms,
                         int sig) {
    ProcessOptions o;
    o.timeout_s = timeout_s;
    if (signal_after_ms > 0) o.signals = {{signal_after_ms, sig}};
    return runProcess(argv, o);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& o) {
    ProcessResult r;
    int out[2], err[2];
    if (pipe(out) != 0) return r;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        const rlimit limit{o.file_size_limit, o.file_size_limit};
        if (o.file_size_limit) setrlimit(RLIMIT_FSIZE, &limit);
        if (o.as_nobody && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (o.stdout_closed) close(out[0]), out[0] = -1;
    const auto start = std::chrono::steady_clock::now();
    auto ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    size_t signalled = 0;
    auto last_signal = start;
    bool killed = false;
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sink[2] = {&r.out, &r.err};
    int open = o.stdout_closed ? 1 : 2;
    while (open > 0 && pid > 0) {
        if (signalled < o.signals.size() && ms() >= o.signals[signalled].first) {
            kill(pid, o.signals[signalled++].second);
            last_signal = std::chrono::steady_clock::now();
        }
        if (!killed && ms() > o.timeout_s * 1000L) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                sink[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(p[i].fd);
                p[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : p)
        if (f.fd >= 0) close(f.fd);
    r.after_last_signal_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - last_signal).count();
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

}  // namespace testsupport
