/*
 * setkey: loads and flushes the kernel's IPsec SA and policy tables through
 * iproute2's `ip xfrm`, for systems without the IPsec tools' own setkey. It
 * understands the statements the IPsec daemon writes (see
 * docs/setkey-standin.md):
 *
 *   setkey -f FILE    apply the statements of FILE (- for standard input)
 *   setkey -DF        flush the SA table
 *   setkey -DPF       flush the policy table
 *   setkey -D [-P]    list the SA (policy) table
 *   setkey -n ...     dry run: print the ip command lines instead of running them
 *
 * SETKEY_DRY_RUN=1 in the environment is the same as -n. When IPSEC_TOOL_LOG
 * names a file, each invocation appends one line with its arguments.
 */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "setkey_translate.h"

namespace {

struct Options {
    bool dump = false, flush = false, policy = false, dryRun = false;
    const char *file = nullptr;
};

int usage() {
    fputs("usage: setkey [-n] -f FILE | -DF | -DPF | -D [-P]\n", stderr);
    return 2;
}

/* One line per invocation, in one write so that lines of concurrent tools do
 * not mix. */
void logInvocation(int argc, char **argv) {
    const char *path = getenv("IPSEC_TOOL_LOG");
    if (!path || !*path)
        return;
    std::string line = "setkey";
    for (int i = 1; i < argc; i++)
        line += std::string(" ") + argv[i];
    line += '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

bool parseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (a[0] != '-' || a[1] == '\0')
            return false;
        for (const char *p = a + 1; *p; p++) {
            switch (*p) {
            case 'D':
                o->dump = true;
                break;
            case 'F':
                o->flush = true;
                break;
            case 'P':
                o->policy = true;
                break;
            case 'n':
                o->dryRun = true;
                break;
            case 'f':
                if (p[1] != '\0' || i + 1 >= argc)
                    return false;
                o->file = argv[++i];
                break;
            default:
                return false;
            }
        }
    }
    const char *dry = getenv("SETKEY_DRY_RUN");
    if (dry && strcmp(dry, "1") == 0)
        o->dryRun = true;
    return o->file ? !(o->dump || o->flush || o->policy) : (o->dump || o->flush);
}

/* Runs `ip` with the command's arguments (no shell) and returns its exit
 * status, or -1 when it could not be run or was killed. */
int runIp(const setkey::IpCommand &cmd) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("ip"));
    for (const std::string &a : cmd.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execvp("ip", argv.data());
        fprintf(stderr, "setkey: cannot run ip: %s\n", strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* Runs (or prints) one command; false when it failed. */
bool apply(const setkey::IpCommand &cmd, bool dryRun, std::string *why) {
    if (dryRun) {
        printf("%s\n", setkey::displayCommand(cmd).c_str());
        return true;
    }
    int rc = runIp(cmd);
    if (rc == 0 || cmd.bestEffort)
        return true;
    *why = "ip xfrm " + cmd.args[1] + " " + cmd.args[2] + " failed (exit status " + std::to_string(rc) + ")";
    return false;
}

bool readFile(const char *path, std::string *out) {
    FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "r");
    if (!f)
        return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out->append(buf, n);
    bool ok = !ferror(f);
    if (f != stdin)
        fclose(f);
    return ok;
}

/* Applies every statement it can; reports each one it cannot with its line. */
int applyFile(const char *path, bool dryRun) {
    std::string text;
    if (!readFile(path, &text)) {
        fprintf(stderr, "setkey: cannot read %s: %s\n", path, strerror(errno));
        return 1;
    }
    std::string rest;
    int restLine = 0;
    std::vector<setkey::Statement> statements = setkey::splitStatements(text, &rest, &restLine);
    bool allApplied = true;
    for (const setkey::Statement &s : statements) {
        setkey::Translation t = setkey::translate(s.text);
        std::string why = t.error;
        bool ok = t.ok;
        for (size_t i = 0; ok && i < t.commands.size(); i++)
            ok = apply(t.commands[i], dryRun, &why);
        if (!ok) {
            fprintf(stderr, "setkey: %s:%d: %s: %s\n", path, s.line, t.summary.c_str(), why.c_str());
            allApplied = false;
        }
    }
    if (restLine != 0) {
        fprintf(stderr, "setkey: %s:%d: statement not terminated by ';'\n", path, restLine);
        allApplied = false;
    }
    return allApplied ? 0 : 1;
}

int flushOrDump(const Options &o) {
    setkey::IpCommand cmd{{"xfrm", o.policy ? "policy" : "state", o.flush ? "flush" : "list"}, false};
    std::string why;
    if (apply(cmd, o.dryRun, &why))
        return 0;
    fprintf(stderr, "setkey: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    logInvocation(argc, argv);
    Options o;
    if (!parseOptions(argc, argv, &o))
        return usage();
    return o.file ? applyFile(o.file, o.dryRun) : flushOrDump(o);
}
