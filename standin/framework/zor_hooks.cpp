/*
 * Stand-in framework: where its files live, and the hooks tests drive it with
 * (forced lock and write failures, a trace of every call). The environment is
 * read at each call so a test can change it in-process.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "zor_internal.h"

namespace {
std::map<std::string, unsigned long> g_lockCounts;
unsigned long g_setCount = 0;
} // namespace

namespace zor_internal {

std::string home() {
    const char *h = getenv("ZOR_HOME");
    return (h && h[0]) ? std::string(h) : std::string("/var/run/zor");
}

bool makeDirs(const std::string &path) {
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

void trace(const char *fmt, ...) {
    const char *file = getenv("ZOR_TRACE");
    if (!file || !file[0])
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof(line) - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = (static_cast<size_t>(n) < sizeof(line) - 1) ? static_cast<size_t>(n) : sizeof(line) - 2;
    line[len++] = '\n';
    /* One write with O_APPEND: lines of concurrent processes never interleave. */
    int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t w = write(fd, line, len);
    (void)w;
    close(fd);
}

std::string pathText(const InstanceIdStack *stack) {
    if (!stack || stack->currentDepth == 0)
        return "-";
    std::string out;
    for (unsigned i = 0; i < stack->currentDepth && i < 6; i++) {
        if (i)
            out += '.';
        out += std::to_string(stack->instance[i]);
    }
    return out;
}

bool failThisLock(const char *func) {
    std::string name = func ? func : "";
    unsigned long count = ++g_lockCounts[name];
    const char *hook = getenv("ZOR_FAIL_LOCK");
    if (!hook || !hook[0])
        return false;
    std::string rule = hook;
    size_t colon = rule.rfind(':');
    if (colon == std::string::npos)
        return rule == name;
    if (rule.compare(0, colon, name) != 0 || colon != name.size())
        return false;
    return strtoul(rule.c_str() + colon + 1, nullptr, 10) == count;
}

bool failThisSet() {
    unsigned long count = ++g_setCount;
    const char *hook = getenv("ZOR_FAIL_SET");
    return hook && hook[0] && strtoul(hook, nullptr, 10) == count;
}

bool envFlag(const char *name) {
    const char *v = getenv(name);
    return v && v[0] && strcmp(v, "0") != 0;
}

void resetCounters() {
    g_lockCounts.clear();
    g_setCount = 0;
}

} // namespace zor_internal
