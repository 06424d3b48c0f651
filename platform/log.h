// Minimal leveled log: printf-style messages at or below the threshold go to
// the chosen stream, standard error by default.
#pragma once

void log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int log_get_level();
void log_set_level(int level);
void log_set_handle(void* fhandle);  // a FILE* owned by the caller; null: standard error
void log_flush();
void log_syslog(int level, char* fmt, ...);
