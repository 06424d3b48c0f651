#include "status_recorder.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "status_sink.h"

namespace testsupport {
namespace {
std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<Report> g_reports;

void add(Report r) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_reports.push_back(std::move(r));
    }
    g_cv.notify_all();
}

// What each report of kind holds, in order.
template <typename T, typename F>
std::vector<T> pick(Report::Kind kind, F what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<T> out;
    for (const Report& r : g_reports)
        if (r.kind == kind) out.push_back(what(r));
    return out;
}

// Registered before any test runs, for the whole program.
struct Recorder : StatusSink {
    ~Recorder() { unregisterStatusSink(this); }
    void clientMsg(const std::string& msg) override { add({Report::ClientMsg, msg.c_str(), 0}); }
    void serverMsg(const std::string& msg) override { add({Report::ServerMsg, msg.c_str(), 0}); }
    void clientCnt(int cnt) override { add({Report::ClientCnt, {}, cnt}); }
    void serverCnt(int cnt) override { add({Report::ServerCnt, {}, cnt}); }
} g_recorder;

[[maybe_unused]] const bool g_registered = (registerStatusSink(&g_recorder), true);
}  // namespace

namespace status {
void clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.clear();
}

bool waitFor(const std::function<bool(const Report&)>& match, int timeout_ms) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return std::any_of(g_reports.begin(), g_reports.end(), match); });
}

std::vector<std::string> messages(Report::Kind kind) {
    return pick<std::string>(kind, [](const Report& r) { return r.text; });
}

std::vector<int> counts(Report::Kind kind) {
    return pick<int>(kind, [](const Report& r) { return r.count; });
}
}  // namespace status
}  // namespace testsupport
