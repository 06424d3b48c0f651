// Leveled log: a message goes out when its level is at or below the threshold,
// as one formatted write to the chosen stream (standard error when none is set).
#include "log.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

namespace {

// Read by every logging thread; atomics so that setting the level or the
// stream while others log is not a data race.
std::atomic<FILE*> g_log_file{nullptr};
std::atomic<int> m_log_level{32};

}  // namespace

void log_msg(int level, const char* fmt, ...) {
    if (level > m_log_level.load(std::memory_order_relaxed)) return;
    FILE* f = g_log_file.load(std::memory_order_acquire);
    if (!f) f = stderr;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);  // holds the stream's lock for the whole message
    va_end(ap);
}

int log_get_level() {
    return m_log_level.load(std::memory_order_relaxed);
}

void log_set_level(int level) {
    m_log_level.store(level, std::memory_order_relaxed);
}

void log_set_handle(void* fhandle) {
    g_log_file.store(static_cast<FILE*>(fhandle), std::memory_order_release);
}

void log_flush() {
    if (FILE* f = g_log_file.load(std::memory_order_acquire)) fflush(f);
}

void log_syslog(int level, char* fmt, ...) {
    (void)level;
    (void)fmt;
}
