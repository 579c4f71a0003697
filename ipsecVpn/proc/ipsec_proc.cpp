/*
 * Key daemon and kernel table control: loads and flushes the kernel's IPsec
 * tables through setkey and starts, reloads and restarts the key daemon,
 * looking at how each run ended, and finds running key daemons through /proc
 * to signal them.
 */
#include "proc/ipsec_proc.h"

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "framework/zor.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_paths.h"

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

/* Room for what a tool said: its last lines are where it stopped. */
constexpr size_t kToolOutput = 512;
/* At most this much of it in a log line. */
constexpr size_t kLoggedOutput = 200;
static_assert(kLoggedOutput > 3, "room for the mark of a cut");

/* What a tool said, as one bounded log line's text: control characters and
 * runs of blanks become one blank, and every hexadecimal number written
 * 0x... loses its digits, since setkey echoes the word where it stopped and
 * that may be a key. The tail is kept when it is too long. */
void toolSaid(const char *out, char *said, size_t saidSize) {
    char text[2 * kToolOutput]; /* "0x..." may stand for fewer characters */
    size_t n = 0;
    for (size_t i = 0; out[i] != '\0' && n + 6 < sizeof(text); i++) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == '0' && (out[i + 1] == 'x' || out[i + 1] == 'X') && isxdigit(static_cast<unsigned char>(out[i + 2]))) {
            memcpy(text + n, "0x...", 5);
            n += 5;
            for (i += 2; isxdigit(static_cast<unsigned char>(out[i + 1])); i++) {
            }
        } else if (c < 0x20 || c == 0x7f || c == ' ') {
            if (n > 0 && text[n - 1] != ' ')
                text[n++] = ' ';
        } else {
            text[n++] = static_cast<char>(c);
        }
    }
    while (n > 0 && text[n - 1] == ' ')
        n--;
    text[n] = '\0';
    const size_t room = saidSize - 1;
    if (n == 0)
        snprintf(said, saidSize, "(no output)");
    else if (n <= room)
        memcpy(said, text, n + 1);
    else
        snprintf(said, saidSize, "...%s", text + n - (room - 3));
}

/* Runs `cmd`; 0 when it exited with status 0, else -1 and a level-3 line as
 * `func` at `line`. */
int checkedRun(const char *cmd, const char *func, int line) {
    char out[kToolOutput];
    const int status = ipsec_runCommandOutput(cmd, out, sizeof(out));
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    char how[32];
    if (status == -1)
        snprintf(how, sizeof(how), "could not be run");
    else if (WIFSIGNALED(status))
        snprintf(how, sizeof(how), "killed by signal %d", WTERMSIG(status));
    else
        snprintf(how, sizeof(how), "exit status %d", WEXITSTATUS(status));
    /* Output that filled the room may begin inside a word, a key's tail
     * without its 0x: that word is left out. */
    const char *from = out;
    if (strnlen(out, sizeof(out)) == sizeof(out) - 1)
        while (*from != '\0' && static_cast<unsigned char>(*from) > ' ')
            from++;
    char said[kLoggedOutput + 1];
    toolSaid(from, said, sizeof(said));
    log_log(ZOR_LOG_ERR, func, line, "ipsec %s failed, %s: %s\n", cmd, how, said);
    return -1;
}

/* The one spelling of a tool run on a file: "TOOL -f PATH". */
int runOnFile(const char *tool, const char *path, const char *func, int line) {
    const std::string cmd = std::string(tool) + " -f " + path;
    return checkedRun(cmd.c_str(), func, line);
}

} // namespace

int ipsec_loadSetkeyFile(const char *path, const char *func, int line) {
    return runOnFile("setkey", path, func, line);
}

int ipsec_startIpsecFunc(void) {
    return ipsec_loadSetkeyFile(IPSEC_SETKEY_CONF, __func__);
}

int ipsec_stopIpsecFunc(void) {
    const int sa = checkedRun("setkey -DF", __func__, __LINE__);
    const int sp = checkedRun("setkey -DPF", __func__, __LINE__);
    kill_racoon(SIGKILL);
    return sa == -1 || sp == -1 ? -1 : 0;
}

int ipsec_startRacoon(const char *func, int line) {
    /* The real key daemon goes to the background before it reads its file
     * and dies there when it refuses it: that shows as no key daemon running
     * at the next look (the next change or tick), not in this exit status. */
    return runOnFile("racoon", IPSEC_RACOON_CONF, func, line);
}

int ipsec_restartRacoon(const char *func, int line) {
    kill_racoon(SIGKILL);
    ipsec_waitRacoonGone();
    return ipsec_startRacoon(func, line);
}

int ipsec_reloadRacoon(const char *func, int line) {
    return kill_racoon(SIGHUP) == 1 ? 0 : ipsec_startRacoon(func, line);
}

int ipsec_keepRacoon(int sig, int ikeTunnels, const char *func, int line) {
    if (kill_racoon(sig) == 1 || ikeTunnels <= 0)
        return 0;
    log_log(ZOR_LOG_ERR, func, line, "ipsec key daemon not running, starting it\n");
    return ipsec_startRacoon(func, line);
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
