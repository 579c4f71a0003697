/* Running a command or a program from a test. */
#include "command_output.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "test_files.h"

extern char **environ;

namespace test_cmd {

std::string output(const std::string &cmd, int *status) {
    std::string out;
    if (status)
        *status = -1;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    const int st = pclose(p);
    if (status && st != -1 && WIFEXITED(st))
        *status = WEXITSTATUS(st);
    return out;
}

std::string linesStartingWith(const std::string &text, const std::string &prefix) {
    std::string kept;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = (end == std::string::npos) ? text.size() : end + 1;
        if (text.compare(at, prefix.size(), prefix) == 0)
            kept += text.substr(at, end - at);
        at = end;
    }
    return kept;
}

std::string scratchDir() {
    const char *tmp = getenv("TMPDIR");
    return getenv("IPSEC_SANDBOX") ? "/var/tmp" : (tmp && *tmp ? tmp : "/tmp");
}

Run spawn(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env,
          const std::vector<std::string> &unset) {
    const std::string name = program.substr(program.rfind('/') + 1);
    const std::string outPath = scratchDir() + "/" + name + "-test.out";
    const std::string errPath = scratchDir() + "/" + name + "-test.err";
    std::vector<char *> argv = {const_cast<char *>(name.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envText = env;
    for (char **e = environ; *e; e++) {
        const std::string entry = *e;
        bool dropped = false;
        for (const std::string &u : unset)
            dropped = dropped || entry.compare(0, u.size() + 1, u + "=") == 0;
        if (!dropped)
            envText.push_back(entry);
    }
    std::vector<char *> envp;
    for (std::string &e : envText)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Run r;
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = test_files::read(outPath);
    r.err = test_files::read(errPath);
    return r;
}

} // namespace test_cmd
