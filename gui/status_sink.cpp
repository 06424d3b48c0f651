#include "status_sink.h"

#include <atomic>
#include <mutex>

#include "shared_items.h"

namespace {

// Held while a report is handed to the sink and while the sink changes, so
// that once a sink is removed no report can still be on its way to it. The
// pointer is an atomic as well, so that its hand-over between threads is plain
// to ThreadSanitizer without the lock's history.
std::mutex g_lock;
std::atomic<StatusSink*> g_sink{nullptr};

template <typename Deliver>
void report(Deliver deliver) {
    std::lock_guard<std::mutex> g(g_lock);
    if (StatusSink* sink = g_sink.load()) deliver(*sink);
}

}  // namespace

void registerStatusSink(StatusSink* sink) {
    std::lock_guard<std::mutex> g(g_lock);
    g_sink.store(sink);
}

void unregisterStatusSink(StatusSink* sink) {
    std::lock_guard<std::mutex> g(g_lock);
    if (g_sink.load() == sink) g_sink.store(nullptr);
}

void updateClientMsg(std::string msg) {
    report([&](StatusSink& s) { s.clientMsg(msg); });
}

void updateServerMsg(std::string msg) {
    report([&](StatusSink& s) { s.serverMsg(msg); });
}

void updateClientCnt(int cnt) {
    report([&](StatusSink& s) { s.clientCnt(cnt); });
}

void updateServerCnt(int cnt) {
    report([&](StatusSink& s) { s.serverCnt(cnt); });
}
