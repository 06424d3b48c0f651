#include "pg_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <sys/socket.h>
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
            fs::exists(e.path() / "bin" / "initdb", ec) && fs::exists(e.path() / "bin" / "pg_ctl", ec))
            versions.push_back(std::stoi(v));
    }
    if (versions.empty()) return "";
    return "/usr/lib/postgresql/" + std::to_string(*std::max_element(versions.begin(), versions.end())) +
           "/bin";
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

// Runs argv as the server's user (nobody, when this is root: PostgreSQL
// refuses root) with its output appended to log and no other descriptor of
// ours: the server pg_ctl leaves running must not hold a pipe of the suite's.
// Its exit status, -1 when it did not end within a minute.
int asServerUser(const std::vector<std::string>& argv, const std::string& log) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        for (int fd = 3; fd < 4096; ++fd) ::close(fd);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
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
    if (asServerUser({bin_ + "/initdb", "-D", dir_ + "/data", "-U", "postgres", "--auth=trust",
                      "-E", "UTF8", "--no-sync"},
                     dir_ + "/initdb.log") != 0) {
        *why = "initdb failed (see its log)";
        return false;
    }
    port_ = freeTcpPort();
    if (!ctl("start")) {
        *why = "the server did not start";
        return false;
    }
    return true;
}

bool PgServer::ctl(const std::string& action) {
    std::vector<std::string> argv = {bin_ + "/pg_ctl", action, "-D", dir_ + "/data", "-w",
                                     "-t", "30"};
    if (action == "start") {
        const std::string opts = "-k " + dir_ + " -p " + std::to_string(port_) +
                                 " -c listen_addresses=127.0.0.1 -c fsync=off "
                                 "-c full_page_writes=off -c max_connections=40";
        argv.insert(argv.end(), {"-l", dir_ + "/server.log", "-o", opts});
    } else {
        argv.insert(argv.end(), {"-m", "fast"});
    }
    const bool ok = asServerUser(argv, dir_ + "/pg_ctl.log") == 0;
    if (ok) running_ = action == "start";
    return ok;
}

bool PgServer::stop() {
    return !running_ || ctl("stop");
}

bool PgServer::restart() {
    return running_ || ctl("start");
}

std::string PgServer::uri() const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/postgres";
}

PgServer::~PgServer() {
    if (running_) ctl("stop");
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

}  // namespace testsupport
