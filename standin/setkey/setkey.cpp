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

/* Runs `ip` with `args` (no shell), standard input, output and error from
 * and to the given descriptors (-1: inherited), and returns its exit status,
 * or -1 when it could not be run or was killed. */
int runIp(const std::vector<std::string> &args, int in = -1, int out = -1, int err = -1) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("ip"));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if ((in >= 0 && dup2(in, 0) < 0) || (out >= 0 && dup2(out, 1) < 0) || (err >= 0 && dup2(err, 2) < 0))
            _exit(127);
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

/* One command of a file's batch and the statement it comes from. */
struct Queued {
    setkey::IpCommand cmd;
    int line;
    std::string summary;
};

std::string readAll(FILE *f) {
    std::string out;
    char buf[4096];
    size_t n;
    rewind(f);
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    return out;
}

/* Runs `ip -batch -` on queue[from..], every command followed by a marker
 * (`xfrm policy count`, one netlink round trip that prints one line): ip
 * stops at the first command that fails (most exit at once on a kernel
 * refusal, without saying which), so the markers on its output count the
 * commands done. Returns ip's exit status; *done and *said receive that
 * count and ip's messages. */
int runBatchFrom(const std::vector<Queued> &queue, size_t from, size_t *done, std::string *said) {
    FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
    int rc = -1;
    if (in && out && err) {
        /* Every word was checked by the translation: no blank, quote or '#'
         * that ip's batch reader would take apart. */
        for (size_t i = from; i < queue.size(); i++) {
            std::string line;
            for (const std::string &a : queue[i].cmd.args)
                line += (line.empty() ? "" : " ") + a;
            fprintf(in, "%s\nxfrm policy count\n", line.c_str());
        }
        fflush(in);
        rewind(in);
        rc = runIp({"-batch", "-"}, fileno(in), fileno(out), fileno(err));
        const std::string shown = readAll(out);
        *done = 0;
        for (size_t pos = 0; (pos = shown.find("SPD IN", pos)) != std::string::npos; pos++)
            ++*done;
        *said = readAll(err);
    } else {
        *said = std::string("setkey: cannot make a temporary file: ") + strerror(errno) + "\n";
    }
    for (FILE *f : {in, out, err})
        if (f)
            fclose(f);
    return rc;
}

/* Runs the commands through `ip -batch`, one process for the whole file as
 * long as the kernel takes every command. A command it refuses is reported
 * with its statement, after ip's own message, and the batch goes on with the
 * next one, as setkey goes on past a statement the kernel refuses. False when
 * ip could not be run. */
bool runBatch(const char *path, const std::vector<Queued> &queue) {
    for (size_t next = 0; next < queue.size();) {
        size_t done = 0;
        std::string said;
        int rc = runBatchFrom(queue, next, &done, &said);
        if (rc == 0 && next + done == queue.size())
            return true;
        const size_t failed = next + done;
        if (rc < 0 || rc == 127 || failed >= queue.size()) {
            fputs(said.c_str(), stderr);
            fprintf(stderr, "setkey: %s: ip -batch failed (exit status %d)\n", path, rc);
            return false;
        }
        const Queued &q = queue[failed];
        if (!q.cmd.bestEffort) {
            fputs(said.c_str(), stderr);
            fprintf(stderr, "setkey: %s:%d: %s: ip xfrm %s %s failed\n", path, q.line, q.summary.c_str(),
                    q.cmd.args[1].c_str(), q.cmd.args[2].c_str());
        }
        next = failed + 1;
    }
    return true;
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

/* The request ids the kernel's policies hold (`ip xfrm policy list`). */
std::vector<unsigned> kernelReqids() {
    std::vector<unsigned> ids;
    FILE *out = tmpfile();
    if (!out)
        return ids;
    if (runIp({"xfrm", "policy", "list"}, -1, fileno(out)) == 0) {
        const std::string shown = readAll(out);
        for (size_t pos = 0; (pos = shown.find(" reqid ", pos)) != std::string::npos; pos += 7)
            ids.push_back(static_cast<unsigned>(strtoul(shown.c_str() + pos + 7, nullptr, 10)));
    }
    fclose(out);
    return ids;
}

/* Applies the statements up to the first one that cannot be parsed, as
 * setkey does: what came before it is done, nothing after it. A statement
 * the kernel refuses is reported and the rest still apply; only a statement
 * that cannot be parsed (or a file that cannot be read) fails the run. */
int applyFile(const char *path, bool dryRun) {
    std::string text;
    if (!readFile(path, &text)) {
        fprintf(stderr, "setkey: cannot read %s: %s\n", path, strerror(errno));
        return 1;
    }
    std::string rest;
    int restLine = 0;
    std::vector<setkey::Statement> statements = setkey::splitStatements(text, &rest, &restLine);
    std::vector<Queued> queue;
    std::string failure;
    for (const setkey::Statement &s : statements) {
        setkey::Translation t = setkey::translate(s.text);
        if (!t.ok) {
            failure = "setkey: " + std::string(path) + ":" + std::to_string(s.line) + ": " + t.summary + ": " + t.error;
            break;
        }
        for (const setkey::IpCommand &c : t.commands)
            queue.push_back({c, s.line, t.summary});
    }
    if (failure.empty() && restLine != 0)
        failure = "setkey: " + std::string(path) + ":" + std::to_string(restLine) + ": statement not terminated by ';'";
    std::vector<setkey::IpCommand *> commands;
    for (Queued &q : queue)
        commands.push_back(&q.cmd);
    setkey::assignAutoReqids(commands, dryRun ? std::vector<unsigned>() : kernelReqids());
    bool ran = true;
    if (dryRun) {
        for (const Queued &q : queue)
            printf("%s\n", setkey::displayCommand(q.cmd).c_str());
    } else {
        ran = runBatch(path, queue);
    }
    if (!failure.empty())
        fprintf(stderr, "%s\n", failure.c_str());
    return ran && failure.empty() ? 0 : 1;
}

int flushOrDump(const Options &o) {
    setkey::IpCommand cmd{{"xfrm", o.policy ? "policy" : "state", o.flush ? "flush" : "list"}, false};
    if (o.dryRun) {
        printf("%s\n", setkey::displayCommand(cmd).c_str());
        return 0;
    }
    int rc = runIp(cmd.args);
    if (rc == 0)
        return 0;
    fprintf(stderr, "setkey: ip xfrm %s %s failed (exit status %d)\n", cmd.args[1].c_str(), cmd.args[2].c_str(), rc);
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
