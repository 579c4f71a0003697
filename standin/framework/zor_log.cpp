/*
 * Stand-in framework: logging. One line per call on standard error (time,
 * entity, level, function:line, message), or through syslog when
 * ZOR_LOG=syslog.
 */
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "zor_internal.h"

namespace {
ZorEntityId g_eid = 0;
bool g_syslogOpen = false;
char g_ident[32] = "zor";

const char *levelName(int level) {
    static const char *const names[] = {"EMERG", "ALERT", "CRIT", "ERROR", "WARN", "NOTICE", "INFO", "DEBUG"};
    return (level >= 0 && level <= 7) ? names[level] : "LOG";
}

std::string formatMessage(const char *fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    char small[512];
    int n = vsnprintf(small, sizeof(small), fmt, ap);
    std::string out;
    if (n < 0) {
        out = "(bad log format)";
    } else if (static_cast<size_t>(n) < sizeof(small)) {
        out.assign(small, static_cast<size_t>(n));
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), fmt, again);
        out.assign(big.data(), static_cast<size_t>(n));
    }
    va_end(again);
    /* Callers often end their text with a newline; the line gets exactly one. */
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}
} // namespace

void zorLog_init(ZorEntityId eid) {
    g_eid = eid;
    snprintf(g_ident, sizeof(g_ident), "zor-%u", static_cast<unsigned>(eid));
}

void log_log(int level, const char *func, int line, const char *fmt, ...) {
    if (!fmt)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::string msg = formatMessage(fmt, ap);
    va_end(ap);
    const char *where = func ? func : "?";

    const char *dest = getenv("ZOR_LOG");
    if (dest && strcmp(dest, "syslog") == 0) {
        if (!g_syslogOpen) {
            openlog(g_ident, LOG_PID, LOG_DAEMON);
            g_syslogOpen = true;
        }
        syslog((level >= 0 && level <= 7) ? level : LOG_INFO, "%s:%d %s", where, line, msg.c_str());
        return;
    }

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm);
    std::string text = std::string(stamp) + "." + std::to_string(ts.tv_nsec / 1000000 + 1000).substr(1) + " [" +
                       std::to_string(g_eid) + "] " + levelName(level) + " " + where + ":" + std::to_string(line) +
                       " " + msg + "\n";
    /* One write per line so lines of several processes do not interleave. */
    ssize_t w = write(STDERR_FILENO, text.data(), text.size());
    (void)w;
}
