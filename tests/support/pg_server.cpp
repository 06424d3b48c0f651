#include "pg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {
namespace {

namespace fs = std::filesystem;

// The newest installed server's programs (/usr/lib/postgresql/N/bin), or "".
std::string serverBin() {
    std::error_code ec;
    std::vector<int> versions;
    for (const fs::directory_entry& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string v = e.path().filename().string();
        if (!v.empty() && v.find_first_not_of("0123456789") == std::string::npos &&
            fs::exists(e.path() / "bin" / "initdb", ec) &&
            fs::exists(e.path() / "bin" / "pg_ctl", ec))
            versions.push_back(std::stoi(v));
    }
    if (versions.empty()) return "";
    return "/usr/lib/postgresql/" +
           std::to_string(*std::max_element(versions.begin(), versions.end())) + "/bin";
}

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    unsigned short port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

// Starts argv as the server's user (nobody, when this is root: PostgreSQL
// refuses root) with its output appended to log and no other descriptor of
// ours, so it never holds a pipe of the suite's. It dies with this process.
pid_t spawnAsServerUser(const std::vector<std::string>& argv, const std::string& log) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
    for (int fd = 3; fd < 4096; ++fd) ::close(fd);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(126);
    // After the change of user, which clears it. A postmaster killed so leaves
    // no server behind: its backends notice and end.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Its exit status; -1 when it did not end within a minute (then killed).
int waitEnd(pid_t pid) {
    if (pid < 0) return -1;
    for (int waited = 0; waited < 60000; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Whether something accepts connections on 127.0.0.1:port.
bool accepting(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace

bool PgServer::start(std::string* why) {
    bin_ = serverBin();
    if (bin_.empty()) {
        *why = "no PostgreSQL server installed (/usr/lib/postgresql/N/bin/initdb)";
        return false;
    }
    std::string t = (fs::temp_directory_path() / "convbench-pg-XXXXXX").string();
    if (mkdtemp(t.data()) == nullptr) {
        *why = "no scratch folder";
        return false;
    }
    dir_ = t;
    if (geteuid() == 0 && chown(dir_.c_str(), 65534, 65534) != 0) {
        *why = "cannot hand the scratch folder to nobody";
        return false;
    }
    if (waitEnd(spawnAsServerUser({bin_ + "/initdb", "-D", dir_ + "/data", "-U", "postgres",
                                   "--auth=trust", "-E", "UTF8", "--no-sync"},
                                  dir_ + "/initdb.log")) != 0) {
        *why = "initdb failed (see its log)";
        return false;
    }
    port_ = freeTcpPort();
    if (!restart()) {
        *why = "the server did not start";
        return false;
    }
    return true;
}

bool PgServer::stop() {
    if (pid_ <= 0) return true;
    kill(pid_, SIGINT);  // fast shutdown: sessions cut off, then it ends
    const bool ok = waitEnd(pid_) == 0;
    pid_ = -1;
    return ok;
}

bool PgServer::restart() {
    if (pid_ > 0) return true;
    pid_ =
        spawnAsServerUser({bin_ + "/postgres", "-D", dir_ + "/data", "-k", dir_, "-p",
                           std::to_string(port_), "-c", "listen_addresses=127.0.0.1", "-c",
                           "fsync=off", "-c", "full_page_writes=off", "-c", "max_connections=40"},
                          dir_ + "/server.log");
    for (int waited = 0; pid_ > 0 && waited < 30000; waited += 20) {
        // Ready when pg_isready says so: before, the port may accept and refuse
        // sessions as "starting up".
        if (accepting(port_) &&
            waitEnd(spawnAsServerUser(
                {bin_ + "/pg_isready", "-q", "-h", "127.0.0.1", "-p", std::to_string(port_)},
                dir_ + "/pg_isready.log")) == 0)
            return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) break;  // it gave up
        usleep(20000);
    }
    pid_ = -1;
    return false;
}

std::string PgServer::uri() const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/postgres";
}

PgServer::~PgServer() {
    stop();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

}  // namespace testsupport
