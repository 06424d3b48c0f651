// A recorder of the four status reports, registered as the workers' sink for
// tests that run them without the window (linking it is enough). Thread-safe;
// waits are bounded.
#pragma once

#include <algorithm>
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
// Waits until some report so far matches, at most timeout_ms.
bool waitFor(const std::function<bool(const Report&)>& match, int timeout_ms);
// All messages, or counts, of kind, in order.
std::vector<std::string> messages(Report::Kind kind);
std::vector<int> counts(Report::Kind kind);

inline bool waitForMessage(Report::Kind kind, const std::string& text, int timeout_ms) {
    return waitFor([&](const Report& r) { return r.kind == kind && r.text == text; }, timeout_ms);
}
// Waits for a count report of kind with a value of at least min.
inline bool waitForCount(Report::Kind kind, int min, int timeout_ms) {
    return waitFor([&](const Report& r) { return r.kind == kind && r.count >= min; }, timeout_ms);
}
inline int messageCount(Report::Kind kind, const std::string& text) {
    const auto ms = messages(kind);
    return static_cast<int>(std::count(ms.begin(), ms.end(), text));
}
// The last count of kind, or def when there is none.
inline int lastCount(Report::Kind kind, int def = -1) {
    const auto cs = counts(kind);
    return cs.empty() ? def : cs.back();
}
}  // namespace status

}  // namespace testsupport
