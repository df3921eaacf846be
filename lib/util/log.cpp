#include "util/log.h"

#include "util/raii.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <syslog.h>

namespace qpm {

LogPtr llog;

namespace {

constexpr const char *level_name_table[9] = {"ALL", "ERROR", "WARNING", "", "INFO", "", "", "", "DEBUG"};

struct Stamp {
    char text[64];
};

Stamp time_stamp()
{
    Stamp s{};
    const time_t now = std::time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    std::snprintf(s.text, sizeof s.text, "%4d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return s;
}

int mask_or_default(int level) { return (level & 15) ? level : 7; }

int syslog_mask_of(int level) { return mask_or_default(level > 7 ? level - 8 : level); }

void send_syslog(int level, const char *text)
{
    syslog(LOG_NOTICE, "[%s] %.1900s\n", log_level_name(level), text);
}

} // namespace

const char *log_level_name(int level)
{
    if (level < 0 || level > 8)
        return "";
    return level_name_table[level];
}

LogPtr log_init(const char *path, int file_level, int syslog_level, int stderr_level,
                const char *ident)
{
    auto handle = std::make_unique<LogHandle>();
    handle->level_names = level_name_table;
    const Stamp stamp = time_stamp();

    FilePtr file;
    if (!path || !*path) {
        handle->file_enabled = 0;
    } else if (std::string_view(path).size() >= LOG_BUFSIZE) {
        std::fprintf(stderr, "log file specified too long\n. Logging disabled.\n");
        handle->file_enabled = 0;
    } else {
        file = fopen_cloexec(path, "a");
        if (!file) {
            std::fprintf(stderr, "Unable to open file: %s\n. Logging disabled.", path);
            handle->file_enabled = 0;
        } else {
            char resolved[PATH_MAX];
            if (!realpath(path, resolved)) {
                std::fprintf(stderr, "Unable to get path of %s\n. Logging disabled.", path);
                handle->file_enabled = 0;
                file.reset();
            } else {
                handle->path.assign(resolved, std::min<size_t>(std::strlen(resolved), LOG_BUFSIZE - 1));
            }
        }
    }

    handle->file_mask = mask_or_default(file_level);
    if (file) {
        if (handle->file_mask == file_level)
            std::fprintf(file.get(), "%s [INIT] Setting log level %d\n", stamp.text, file_level);
        else
            std::fprintf(file.get(), "%s [INIT] Setting default log level %d\n", stamp.text, 7);
    }
    const int reduced = syslog_level > 7 ? syslog_level - 8 : syslog_level;
    handle->syslog_mask = syslog_mask_of(syslog_level);
    if (file) {
        if (handle->syslog_mask == reduced)
            std::fprintf(file.get(), "%s [INIT] Setting syslog level %d\n", stamp.text, reduced);
        else
            std::fprintf(file.get(), "%s [INIT] Setting default syslog level %d\n", stamp.text, 7);
    }
    handle->stderr_mask = mask_or_default(stderr_level);

    if (file)
        std::fflush(file.get());
    handle->file = std::move(file);
    handle->ready = 1;
    if (ident)
        openlog(ident, LOG_PID, LOG_USER);
    return handle;
}

void (*log_before_stderr)() = nullptr;

int log_write(LogHandle *handle, int level, const char *text)
{
    if (!handle)
        return -1;
    if (!text)
        text = handle->message;

    if (handle->file_enabled && (level & handle->file_mask)) {
        const Stamp stamp = time_stamp();
        // Opened once for the run, not for every line; a line that cannot be
        // written goes to syslog and the file is opened afresh for the next.
        if (handle->ready && !handle->file)
            handle->file = fopen_cloexec(handle->path, "a");
        FILE *file = handle->file.get();
        if (!file || std::fprintf(file, "%s [%s] %.1900s\n", stamp.text, log_level_name(level), text) < 0 ||
            std::fflush(file) != 0) {
            handle->file.reset();
            send_syslog(level, text);
        }
    }
    if (level & handle->syslog_mask)
        send_syslog(level, text);
    if (level & handle->stderr_mask) {
        if (log_before_stderr)
            log_before_stderr();
        std::fprintf(stderr, "%s\n", text);
    }
    return 0;
}

int log_file_new(LogHandle *handle, const char *path)
{
    if (!handle)
        return -1;
    handle->file_enabled = 1;
    if (!path || !*path) {
        std::fprintf(stderr, "No log file specified\n.Logging disabled.\n");
        handle->file_enabled = 0;
        return 0;
    }
    if (std::string_view(path).size() >= LOG_BUFSIZE) {
        std::fprintf(stderr, "log file specified too long\n. Logging disabled.\n");
        handle->file_enabled = 0;
        return 0;
    }
    handle->path = path;
    handle->file.reset();
    FilePtr probe = fopen_cloexec(path, "a");
    if (!probe) {
        std::fprintf(stderr, "Unable to open file: %s\n. Logging disabled.", path);
        handle->file_enabled = 0;
        return 0;
    }
    handle->file = std::move(probe);
    return 1;
}

int log_level_new(LogHandle *handle, int file_level, int syslog_level, int stderr_level)
{
    if (!handle)
        return -1;
    handle->file_enabled = 1;
    handle->file_mask = mask_or_default(file_level);
    handle->syslog_mask = syslog_mask_of(syslog_level);
    handle->stderr_mask = mask_or_default(stderr_level);
    return 0;
}

namespace {

__attribute__((format(printf, 3, 0)))
void vlog_to(LogHandle *log, int level, const char *fmt, va_list args)
{
    if (!log)
        return;
    std::vsnprintf(log->message, sizeof log->message, fmt, args);
    log_write(log, level, nullptr);
}

} // namespace

void qlog(int level, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vlog_to(llog.get(), level, fmt, args);
    va_end(args);
}

void log_to(LogHandle *log, int level, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vlog_to(log, level, fmt, args);
    va_end(args);
}

} // namespace qpm
