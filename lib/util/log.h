#pragma once
// The process log: one handle, three sinks (file, syslog, standard error),
// each with its own level mask. Callers format into the handle's message
// buffer and write it; `qlog` does both and does nothing without a handle.
#include "util/raii.h"

#include <memory>
#include <string>

namespace qpm {

constexpr int LL_ERROR = 1;
constexpr int LL_WARNING = 2;
constexpr int LL_INFO = 4;
constexpr int LL_DEBUG = 8;

constexpr size_t LOG_BUFSIZE = 2000;

struct LogHandle {
    std::string path; // resolved real path of the log file
    FilePtr file;     // that file, opened for the first line and kept for the rest of the run
    int file_mask = 7;
    int syslog_mask = 7;
    int stderr_mask = 7;
    int ready = 0;
    int file_enabled = 1;
    const char *const *level_names = nullptr;
    char message[LOG_BUFSIZE] = {};
};

using LogPtr = std::unique_ptr<LogHandle>;

// The process-wide handle; null until a front end calls log_init.
extern LogPtr llog;

LogPtr log_init(const char *path, int file_level, int syslog_level, int stderr_level,
                const char *ident);
// A null `text` writes the handle's message buffer.
int log_write(LogHandle *handle, int level, const char *text);
int log_file_new(LogHandle *handle, const char *path);
int log_level_new(LogHandle *handle, int file_level, int syslog_level, int stderr_level);

// Called, when set, before a log line goes to standard error: a line drawn
// in place there (the progress line) clears itself.
extern void (*log_before_stderr)();

// Name of a level for log lines; "" for levels without a name.
const char *log_level_name(int level);

// Formats into llog's message buffer and writes it at `level`; no-op without llog.
void qlog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The same through another handle (a plug-in logs through the one its host
// gave it): nothing without a handle.
void log_to(LogHandle *log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

} // namespace qpm
