#include "status_recorder.h"

#include <algorithm>
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
}  // namespace

namespace status {
void clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.clear();
}

std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_reports;
}

bool waitFor(const std::function<bool(const std::vector<Report>&)>& pred, int timeout_ms) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return pred(g_reports); });
}

bool waitForMessage(Report::Kind kind, const std::string& text, int timeout_ms) {
    return waitFor(
        [&](const std::vector<Report>& rs) {
            return std::any_of(rs.begin(), rs.end(),
                               [&](const Report& r) { return r.kind == kind && r.text == text; });
        },
        timeout_ms);
}

bool waitForCount(Report::Kind kind, int min, int timeout_ms) {
    return waitFor(
        [&](const std::vector<Report>& rs) {
            return std::any_of(rs.begin(), rs.end(),
                               [&](const Report& r) { return r.kind == kind && r.count >= min; });
        },
        timeout_ms);
}

int messageCount(Report::Kind kind, const std::string& text) {
    const auto ms = messages(kind);
    return static_cast<int>(std::count(ms.begin(), ms.end(), text));
}

int lastCount(Report::Kind kind, int def) {
    const auto rs = reports();
    auto it = std::find_if(rs.rbegin(), rs.rend(), [&](const Report& r) { return r.kind == kind; });
    return it == rs.rend() ? def : it->count;
}

std::vector<std::string> messages(Report::Kind kind) {
    std::vector<std::string> out;
    for (const auto& r : reports())
        if (r.kind == kind) out.push_back(r.text);
    return out;
}
}  // namespace status
}  // namespace testsupport

namespace {
using testsupport::Report;

// Registered before any test runs, for the whole program.
struct Recorder : StatusSink {
    ~Recorder() { unregisterStatusSink(this); }
    void clientMsg(const std::string& msg) override {
        testsupport::add({Report::ClientMsg, msg.c_str(), 0});
    }
    void serverMsg(const std::string& msg) override {
        testsupport::add({Report::ServerMsg, msg.c_str(), 0});
    }
    void clientCnt(int cnt) override { testsupport::add({Report::ClientCnt, {}, cnt}); }
    void serverCnt(int cnt) override { testsupport::add({Report::ServerCnt, {}, cnt}); }
} g_recorder;

[[maybe_unused]] const bool g_registered = (registerStatusSink(&g_recorder), true);
}  // namespace
