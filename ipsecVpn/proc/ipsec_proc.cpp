/*
 * Key daemon and kernel table control: loads and flushes the kernel's IPsec
 * tables through setkey, and finds running key daemons through /proc to
 * signal them.
 */
#include "proc/ipsec_proc.h"

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "framework/zor.h"
#include "proc/ipsec_shell.h"

namespace {

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

/* The process id named by a /proc entry, or 0 when the name is not all digits. */
pid_t procEntryPid(const char *name) {
    if (name[0] < '0' || name[0] > '9')
        return 0;
    char *end = nullptr;
    long pid = strtol(name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid > 0x7fffffff)
        return 0;
    return static_cast<pid_t>(pid);
}

/* True when the process runs the key daemon: the base name of its first
 * argument is exactly "racoon". A process that merely mentions racoon in its
 * arguments (an editor on racoon.conf, a tail of its log) does not count. */
bool runsRacoon(pid_t pid) {
    char path[256];
    snprintf(path, sizeof(path), "/proc/%d/cmdline", static_cast<int>(pid));
    std::unique_ptr<FILE, FileCloser> f(fopen(path, "r"));
    if (!f)
        return false; /* ended meanwhile */
    char cmdline[4096] = {};
    size_t n = fread(cmdline, 1, sizeof(cmdline) - 2, f.get());
    if (n == 0)
        return false;            /* kernel thread or zombie */
    const char *argv0 = cmdline; /* NUL-terminated: the buffer was cleared */
    const char *slash = strrchr(argv0, '/');
    const char *base = slash ? slash + 1 : argv0;
    return strcmp(base, "racoon") == 0;
}

} // namespace

void ipsec_startIpsecFunc(void) {
    ipsec_runCommand("setkey -f /var/ipsec/setkey.conf");
}

void ipsec_stopIpsecFunc(void) {
    ipsec_runCommand("setkey -DF");
    ipsec_runCommand("setkey -DPF");
    kill_racoon(SIGKILL);
}

int kill_racoon(int sig) {
    std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
    if (!dir) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "Cannot open proc!\n");
        return 0;
    }
    const pid_t self = getpid();
    std::vector<pid_t> found;
    while (const struct dirent *ent = readdir(dir.get())) {
        pid_t pid = procEntryPid(ent->d_name);
        /* Never pid 1 nor this daemon, whatever they run. */
        if (pid == 0 || pid == 1 || pid == self || !runsRacoon(pid))
            continue;
        try {
            found.push_back(pid);
        } catch (const std::bad_alloc &) {
            log_log(ZOR_LOG_ERR, __func__, __LINE__, "findSystemProc(): Out of memeory!\r\n");
            return 0;
        }
    }
    dir.reset();
    if (found.empty())
        return 0;
    if (sig != 0)
        for (pid_t pid : found)
            kill(pid, sig);
    return 1;
}

void ipsec_waitRacoonGone(void) {
    /* A key daemon killed with SIGKILL may still hold the IKE port for a
     * moment; a new one started meanwhile would fail to bind it. */
    const struct timespec step = {0, 20 * 1000 * 1000};
    for (int i = 0; i < 50 && kill_racoon(0) == 1; i++)
        nanosleep(&step, nullptr);
}
