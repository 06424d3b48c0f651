#include "status_recorder.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "shared_items.h"

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
            for (const auto& r : rs)
                if (r.kind == kind && r.text == text) return true;
            return false;
        },
        timeout_ms);
}

bool waitForCount(Report::Kind kind, int min, int timeout_ms) {
    return waitFor(
        [&](const std::vector<Report>& rs) {
            for (const auto& r : rs)
                if (r.kind == kind && r.count >= min) return true;
            return false;
        },
        timeout_ms);
}

int messageCount(Report::Kind kind, const std::string& text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    int n = 0;
    for (const auto& r : g_reports)
        if (r.kind == kind && r.text == text) ++n;
    return n;
}

int lastCount(Report::Kind kind, int def) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_reports.rbegin(); it != g_reports.rend(); ++it)
        if (it->kind == kind) return it->count;
    return def;
}

std::vector<std::string> messages(Report::Kind kind) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> out;
    for (const auto& r : g_reports)
        if (r.kind == kind) out.push_back(r.text);
    return out;
}
}  // namespace status
}  // namespace testsupport

using testsupport::Report;

void updateClientMsg(std::string msg) { testsupport::add({Report::ClientMsg, msg.c_str(), 0}); }
void updateServerMsg(std::string msg) { testsupport::add({Report::ServerMsg, msg.c_str(), 0}); }
void updateClientCnt(int cnt) { testsupport::add({Report::ClientCnt, {}, cnt}); }
void updateServerCnt(int cnt) { testsupport::add({Report::ServerCnt, {}, cnt}); }
