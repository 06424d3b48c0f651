// A pseudo-terminal pair made for one test: the master plays the converter's
// UART, the slave path is what the code under test opens.
#pragma once

#include <string>

namespace testsupport {

// Opens a terminal device (a pty slave, a simulated converter's link) raw, for
// reading and writing; -1 if it cannot be opened.
int openRawTty(const std::string& path);

class PtyPair {
public:
    PtyPair();  // opens the pair, both ends raw; ok() tells whether it worked
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    // The test's own descriptor of the slave end, held for the pair's life.
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slave_path_; }

    // Writes all of buf to the master; false on error.
    bool writeMaster(const void* buf, size_t len);
    // Reads from the master until len bytes arrived or timeout_ms passed; returns
    // the number of bytes read.
    size_t readMaster(void* buf, size_t len, int timeout_ms);
    // Closes the master end (the device "vanishes" for whoever holds the slave).
    void closeMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

}  // namespace testsupport
