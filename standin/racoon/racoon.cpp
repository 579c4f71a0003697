/*
 * racoon stand-in, for tests only (never installed). It negotiates nothing:
 * no IKE exchange, no SA. It plays the key daemon's process for the IPsec
 * daemon: started as "racoon -f FILE", it checks the configuration's syntax
 * (and the pre-shared key file it names), holds the IKE port, goes to the
 * background and stays there until killed, re-checking the configuration on
 * every SIGHUP. As the key daemon, it goes to the background before it
 * checks, so a start returns 0 whatever the file holds; a configuration that
 * fails the check at start is logged and ends the background process
 * (status 1; with -F the start itself fails), and at a reload it is logged
 * and the process goes on running on what it had.
 *
 * Log (IPSEC_TOOL_LOG if set, else /var/run/racoon-standin.log), one line
 * per event:
 *   racoon start pid=PID conf=FILE ok remote=R sainfo=S keys=K | error: line N: WHAT
 *   racoon reload pid=PID conf=FILE ok remote=R sainfo=S keys=K | error: ...
 *   racoon stop pid=PID signal=SIG
 *   racoon check pid=PID conf=FILE ok | error: ... (with -C)
 * SIGKILL ends it without a line, as it would the real one.
 *
 * Options: -f FILE (the configuration), -F (stay in the foreground), -C (check
 * the configuration, log the verdict and exit: 0 when it passes), -K PEER
 * (print the key taken for PEER, in hexadecimal, and exit: 1 when none).
 * Environment: RACOON_STANDIN_PORT, the UDP port held (default 500, 0 none).
 */
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "racoon_check.h"

namespace {

const char *g_conf = nullptr;

void logLine(const std::string &text) {
    const char *path = getenv("IPSEC_TOOL_LOG");
    if (!path || !*path)
        path = "/var/run/racoon-standin.log";
    std::string line = "racoon " + text + "\n";
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

/* Checks the configuration and its key file; `loaded` says what they hold. */
std::string check(std::string *loaded) {
    loaded->clear();
    FILE *f = fopen(g_conf, "r");
    if (!f)
        return std::string("cannot read ") + g_conf + ": " + strerror(errno);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    fclose(f);
    racoon::Loaded l;
    std::string why = racoon::checkConfig(text, &l);
    if (why.empty() && !l.pskPath.empty())
        why = racoon::checkPskFile(l.pskPath, &l.keys);
    /* A key file cut short (a full disk) leaves every remote without its key. */
    if (why.empty() && !l.pskPath.empty() && l.remotes > 0 && l.keys == 0)
        why = l.pskPath + " holds no key for the " + std::to_string(l.remotes) + " remote block" +
              (l.remotes == 1 ? "" : "s");
    if (why.empty())
        *loaded = " remote=" + std::to_string(l.remotes) + " sainfo=" + std::to_string(l.sainfos) +
                  " keys=" + std::to_string(l.keys);
    return why;
}

/* Logs the verdict of a check, with what was loaded when it passed; true
 * when it passed. */
bool logVerdict(const char *event, pid_t pid, const std::string &why, const std::string &loaded) {
    std::string head = std::string(event) + " pid=" + std::to_string(pid) + " conf=" + g_conf;
    logLine(head + (why.empty() ? " ok" + loaded : " error: " + why));
    return why.empty();
}

/* The IKE port, held as the key daemon holds it: a second key daemon on the
 * same host cannot start until the first is gone. Without the privilege to
 * bind it the stand-in goes on without it; RACOON_STANDIN_PORT names another
 * port, 0 none (for tests that run several at once). */
int holdIkePort(std::string *why) {
    const char *env = getenv("RACOON_STANDIN_PORT");
    long port = (env && *env) ? strtol(env, nullptr, 10) : 500;
    if (port <= 0 || port > 65535)
        return -1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
        if (errno == EADDRINUSE)
            *why = "IKE port " + std::to_string(port) + " is in use (another key daemon runs?)";
        close(fd);
        return -1;
    }
    return fd;
}

/* Descriptors inherited from whoever started it (the daemon's sockets) are
 * not the key daemon's to hold. */
void closeInherited(int keep) {
    for (int fd = 3; fd < 1024; fd++)
        if (fd != keep)
            close(fd);
}

void detachStdio() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2)
        close(fd);
}

/* -K PEER: the key taken for PEER from the key file the configuration
 * names, in hexadecimal on standard output (never in the log), so that a
 * test can compare it with the key the key daemon negotiates with. */
int printKey(const char *peer) {
    std::string loaded;
    std::string why = check(&loaded);
    racoon::Loaded l;
    FILE *f = fopen(g_conf, "r");
    std::string text;
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof(buf), f)) > 0;)
        text.append(buf, n);
    if (f)
        fclose(f);
    std::string key;
    if (!why.empty() || !racoon::checkConfig(text, &l).empty() || !racoon::pskFor(l.pskPath, peer, &key)) {
        fprintf(stderr, "racoon: no key for %s%s%s\n", peer, why.empty() ? "" : ": ", why.c_str());
        return 1;
    }
    for (unsigned char c : key)
        printf("%02x", c);
    printf("\n");
    return 0;
}

/* Waits for signals (blocked since start) until one ends the process. */
int serve(const sigset_t &set) {
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        if (sig == SIGHUP) {
            /* As the key daemon: a file that fails is logged and it goes on
             * running on what it had read. */
            std::string loaded;
            std::string why = check(&loaded);
            logVerdict("reload", getpid(), why, loaded);
            continue;
        }
        logLine("stop pid=" + std::to_string(getpid()) + " signal=" + std::to_string(sig));
        return 0;
    }
}

} // namespace

int main(int argc, char **argv) {
    bool foreground = false, checkOnly = false;
    const char *peer = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "f:FCK:")) != -1) {
        if (opt == 'f')
            g_conf = optarg;
        else if (opt == 'K')
            peer = optarg;
        else if (opt == 'F')
            foreground = true;
        else if (opt == 'C')
            checkOnly = true;
        else
            g_conf = nullptr, optind = argc + 1;
    }
    if (!g_conf || optind != argc) {
        fputs("usage: racoon [-F|-C|-K PEER] -f FILE\n", stderr);
        return 2;
    }
    if (peer)
        return printKey(peer);
    /* Blocked before the check so that a SIGHUP sent right after start is
     * taken as a reload, never as the default end of the process. */
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);

    std::string loaded;
    if (checkOnly) {
        std::string why = check(&loaded);
        if (!why.empty())
            fprintf(stderr, "racoon: %s\n", why.c_str());
        return logVerdict("check", getpid(), why, loaded) ? 0 : 1;
    }
    if (foreground) {
        std::string why = check(&loaded);
        int port = why.empty() ? holdIkePort(&why) : -1;
        logVerdict("start", getpid(), why, loaded);
        if (!why.empty()) {
            fprintf(stderr, "racoon: %s\n", why.c_str());
            return 1;
        }
        int rc = serve(set);
        if (port >= 0)
            close(port);
        return rc;
    }
    /* As the key daemon, it goes to the background before it reads its
     * file: the start succeeds (exit status 0) whatever the file holds, and
     * a file that fails ends the background process (status 1). The first
     * process waits until the second has logged its verdict, so that the
     * start line is in the log when the start returns. */
    int gate[2];
    if (pipe(gate) != 0)
        return 1;
    pid_t child = fork();
    if (child < 0)
        return 1;
    if (child > 0) {
        close(gate[1]);
        char c;
        while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
        }
        return 0;
    }
    close(gate[0]);
    std::string why = check(&loaded);
    int port = why.empty() ? holdIkePort(&why) : -1;
    logVerdict("start", getpid(), why, loaded);
    close(gate[1]);
    if (!why.empty())
        return 1;
    setsid();
    if (chdir("/") != 0)
        return 1;
    detachStdio();
    closeInherited(port);
    int rc = serve(set);
    if (port >= 0)
        close(port);
    return rc;
}
