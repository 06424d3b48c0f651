#include "pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"
#include "loopback.h"

namespace ts = testsupport;

namespace testsupport {

std::string PgServer::start() {
    for (int v = 40; v >= 10 && bin_.empty(); --v) {  // Debian's layout, the newest first
        const std::string bin = "/usr/lib/postgresql/" + std::to_string(v) + "/bin";
        if (access((bin + "/initdb").c_str(), X_OK) == 0) bin_ = bin;
    }
    if (bin_.empty()) return "no PostgreSQL server installed";
    if (geteuid() == 0 && chown(dir_.path.c_str(), 65534, 65534) != 0)
        return "cannot hand the scratch folder to nobody";
    ts::ProcessOptions as_server(60);
    as_server.as_nobody = true;
    const ts::ProcessResult init =
        ts::runProcess({bin_ + "/initdb", "-D", dir_ / "data", "-U", "postgres", "--auth=trust",
                        "-E", "UTF8", "--no-sync"},
                       as_server);
    if (init.status != 0) return "initdb failed: " + init.err;
    const int fd = ts::listenTcp();  // a port free a moment ago
    port_ = std::to_string(ts::boundPort(fd));
    close(fd);
    return restart() ? "" : "the server did not start";
}

bool PgServer::stop() {
    int status = -1;
    if (pid_ > 0 && kill(pid_, SIGINT) == 0) waitpid(pid_, &status, 0);  // fast shutdown
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PgServer::restart() {
    // Everything made before the fork: after it, only plain system calls.
    const std::string postgres = bin_ + "/postgres", data = dir_ / "data",
                      log = dir_ / "server.log";
    pid_ = fork();
    if (pid_ == 0) {
        // Its output to a log and no other descriptor of ours, so it never holds
        // a pipe of the suite's.
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
        for (int fd = 3; fd < 4096; ++fd) ::close(fd);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // after the change of user, which clears it
        execl(postgres.c_str(), "postgres", "-D", data.c_str(), "-k", dir_.path.c_str(), "-p",
              port_.c_str(), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
              "max_connections=40", nullptr);
        _exit(127);
    }
    // Ready when pg_isready says so: the port may accept before, refusing sessions.
    for (int waited = 0; pid_ > 0 && waited < 30000; waited += 50) {
        if (ts::runProcess({bin_ + "/pg_isready", "-q", "-h", "127.0.0.1", "-p", port_}, 30)
                .status == 0)
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;  // it gave up
        usleep(50000);
    }
    pid_ = -1;
    return false;
}

}  // namespace testsupport
