// A PostgreSQL server of a suite's own: a fresh cluster in a scratch folder,
// made and run by an unprivileged user (nobody, when the suite runs as root),
// listening on 127.0.0.1 at a port of its own and on a socket in that folder;
// stopped and removed with the object, and killed with the process should it
// end first. Needs Debian's postgresql package.
#pragma once

#include <string>

namespace testsupport {

class PgServer {
public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Makes the cluster and starts the server; false with the reason (no
    // PostgreSQL installed, initdb refused, ...) in *why.
    bool start(std::string* why);
    // Stops the server at once (sessions cut off), keeping the cluster.
    bool stop();
    // Starts it again on the same port.
    bool restart();
    // postgresql://postgres@127.0.0.1:PORT/postgres
    std::string uri() const;

private:
    std::string bin_, dir_;
    unsigned short port_ = 0;
    int pid_ = -1;  // the postmaster, our child
};

}  // namespace testsupport
