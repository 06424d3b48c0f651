// A PostgreSQL server of a suite's own: a fresh cluster in a scratch folder,
// made and run by an unprivileged user (nobody, when the suite runs as root:
// PostgreSQL refuses root), listening on 127.0.0.1 at a port of its own and on
// a socket in that folder; stopped with the object, killed with the process.
// Needs Debian's postgresql package.
#pragma once

#include <sys/types.h>

#include <string>

#include "scratch.h"

namespace testsupport {

class PgServer {
public:
    ~PgServer() { stop(); }
    // Makes the cluster and starts the server; why it could not, or "".
    std::string start();
    // Stops the server at once (sessions cut off), keeping the cluster.
    bool stop();
    // Starts it (again) on the same port; true once it takes sessions.
    bool restart();
    std::string uri(const std::string& db) const {
        return "postgresql://postgres@127.0.0.1:" + port_ + "/" + db;
    }

private:
    ScratchDir dir_;
    std::string bin_, port_;
    pid_t pid_ = -1;  // the postmaster, our child
};

}  // namespace testsupport
