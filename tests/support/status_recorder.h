// A recorder of the four status reports, registered as the workers' sink for
// tests that run them without the window (linking it is enough). Thread-safe;
// waits are bounded.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct Report {
    enum Kind { ClientMsg, ServerMsg, ClientCnt, ServerCnt } kind;
    std::string text;  // for messages
    int count = 0;     // for counts
};

namespace status {
void clear();
std::vector<Report> reports();
// Waits until pred holds for the reports so far, at most timeout_ms.
bool waitFor(const std::function<bool(const std::vector<Report>&)>& pred, int timeout_ms);
bool waitForMessage(Report::Kind kind, const std::string& text, int timeout_ms);
// Waits for a count report of kind with a value of at least min.
bool waitForCount(Report::Kind kind, int min, int timeout_ms);
// Number of message reports of kind with this text.
int messageCount(Report::Kind kind, const std::string& text);
// The last count of kind, or def when there is none.
int lastCount(Report::Kind kind, int def = -1);
// All messages of kind, in order.
std::vector<std::string> messages(Report::Kind kind);
}  // namespace status

}  // namespace testsupport
