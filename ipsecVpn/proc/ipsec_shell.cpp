/* Shell commands through the system shell, or through the runner a test set. */
#include "proc/ipsec_shell.h"

#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

extern char **environ;

namespace {

IpsecShellRunner g_runner = nullptr;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

/* The last outSize - 1 bytes of `f` into `out`. */
void readTail(FILE *f, char *out, size_t outSize) {
    out[0] = '\0';
    if (fseek(f, 0, SEEK_END) != 0)
        return;
    const long size = ftell(f);
    if (size <= 0)
        return;
    const long keep = static_cast<long>(outSize - 1) < size ? static_cast<long>(outSize - 1) : size;
    if (fseek(f, size - keep, SEEK_SET) != 0)
        return;
    const size_t n = fread(out, 1, static_cast<size_t>(keep), f);
    out[n] = '\0';
}

} // namespace

int ipsec_systemRunner(const char *cmd, char *out, size_t outSize) {
    if (!out || outSize == 0)
        return system(cmd);
    out[0] = '\0';
    /* The output goes to an unnamed file, not a pipe: a tool that leaves a
     * process behind in the background (the key daemon) cannot keep this
     * caller waiting for the end of its output. */
    std::unique_ptr<FILE, FileCloser> capture(tmpfile());
    if (!capture)
        return system(cmd);
    const int fd = fileno(capture.get());
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return system(cmd);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_adddup2(&actions, fd, 2);
    char sh[] = "sh", dashC[] = "-c";
    char *argv[] = {sh, dashC, const_cast<char *>(cmd), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = -1;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    readTail(capture.get(), out, outSize);
    return status;
}

int ipsec_runCommand(const char *cmd) {
    return g_runner ? g_runner(cmd, nullptr, 0) : ipsec_systemRunner(cmd, nullptr, 0);
}

int ipsec_runCommandOutput(const char *cmd, char *out, size_t outSize) {
    return g_runner ? g_runner(cmd, out, outSize) : ipsec_systemRunner(cmd, out, outSize);
}

void ipsec_setShellRunner(IpsecShellRunner run) {
    g_runner = run;
}
