/*
 * Stand-in framework: the global lock, an flock on $ZOR_HOME/lock shared by
 * every process of the framework. Time-outs are in milliseconds. A hold also
 * scopes the parsed data model: it is read again after the next acquire.
 */
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "zor_internal.h"

namespace {
int g_lockFd = -1;
pid_t g_holder = 0; /* a forked child does not inherit the hold */

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(long long ms) {
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    nanosleep(&ts, nullptr);
}
} // namespace

namespace zor_internal {
bool lockHeld() {
    return g_lockFd >= 0 && g_holder == getpid();
}
} // namespace zor_internal

ZorRet zorLck_acquireLockWithTimeoutTraced(const char *func, UINT32 timeoutMs) {
    const char *name = func ? func : "?";
    zor_internal::trace("lock %s", name);
    if (zor_internal::failThisLock(name)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "lock refused to %s (test hook)", name);
        return ZORRET_TIMED_OUT;
    }
    if (zor_internal::lockHeld()) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: the lock is already held by this process", name);
        return ZORRET_INTERNAL_ERROR;
    }
    const std::string dir = zor_internal::home();
    const std::string path = dir + "/lock";
    zor_internal::makeDirs(dir);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: cannot open %s: %s", name, path.c_str(), strerror(errno));
        return ZORRET_INTERNAL_ERROR;
    }
    /* flock has no time-out of its own: poll, with short naps growing to 10 ms. */
    const long long deadline = nowMs() + timeoutMs;
    long long nap = 1;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: flock: %s", name, strerror(errno));
            close(fd);
            return ZORRET_INTERNAL_ERROR;
        }
        long long left = deadline - nowMs();
        if (left <= 0) {
            close(fd);
            return ZORRET_TIMED_OUT;
        }
        sleepMs(nap < left ? nap : left);
        nap = nap < 10 ? nap * 2 : 10;
    }
    if (g_lockFd >= 0)
        close(g_lockFd); /* inherited across fork from a holding parent */
    g_lockFd = fd;
    g_holder = getpid();
    zor_internal::modelDrop();
    return ZORRET_SUCCESS;
}

void zorLck_releaseLockTraced(const char *func) {
    zor_internal::trace("unlock %s", func ? func : "?");
    if (!zor_internal::lockHeld())
        return;
    zor_internal::modelDrop();
    flock(g_lockFd, LOCK_UN);
    close(g_lockFd);
    g_lockFd = -1;
    g_holder = 0;
}
