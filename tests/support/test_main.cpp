/* The main of every GoogleTest binary. The tests write /var/ipsec and
 * /etc/hosts, change routes, firewall rules and the kernel's IPsec tables,
 * and signal processes, so they run only in the test sandbox
 * (scripts/sandbox.sh, which sets IPSEC_SANDBOX). Started anywhere else, the
 * binary runs its test cases again as ctest does: each in its own sandbox,
 * with the same arguments and the build's programs first on PATH; where no
 * sandbox can be made it fails, saying so. Listing the tests
 * (--gtest_list_tests, as the build's test discovery does) runs in place.
 * Then the daemon's shell commands go to the recorder and the tests run. */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell_recorder.h"

namespace {

const char *const kSandbox = IPSEC_SOURCE_DIR "/scripts/sandbox.sh";
const char *const kBinDir = IPSEC_BIN_DIR;
/* Set on the run started in the sandbox: a second start from there would loop. */
const char *const kRestarted = "IPSEC_TEST_RESTARTED";

bool listsTests(int argc, char **argv) {
    for (int i = 1; i < argc; i++)
        if (strstr(argv[i], "gtest_list_tests"))
            return true;
    return false;
}

std::string buildDir() {
    std::string dir = kBinDir;
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "." : dir.substr(0, slash);
}

[[noreturn]] void cannotStart(const std::string &why) {
    fprintf(stderr,
            "%s: %s\n"
            "These tests change /var, /etc/hosts, routes, firewall rules and the kernel's IPsec tables, so they run\n"
            "only in the test sandbox (scripts/sandbox.sh: namespaces made with unshare, as root or with\n"
            "unprivileged user namespaces). Run them with\n"
            "  ctest --test-dir %s\n"
            "or one case with\n"
            "  %s --path %s -- %sBINARY --gtest_filter=SUITE.CASE\n",
            program_invocation_short_name, why.c_str(), buildDir().c_str(), kSandbox, kBinDir,
            IPSEC_TEST_EMULATOR[0] ? IPSEC_TEST_EMULATOR " " : "");
    exit(1);
}

/* The command that runs this binary in a sandbox, as ctest does: the sandbox,
 * the build's programs first on PATH, the emulator of a cross build, this
 * binary and `args`. */
std::vector<std::string> sandboxed(const std::string &self, const std::vector<std::string> &args) {
    std::vector<std::string> cmd = {kSandbox, "--path", kBinDir, "--"};
    std::istringstream emulator(IPSEC_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        cmd.push_back(word);
    cmd.push_back(self);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

std::vector<char *> argvOf(std::vector<std::string> &cmd) {
    std::vector<char *> v;
    for (std::string &s : cmd)
        v.push_back(&s[0]);
    v.push_back(nullptr);
    return v;
}

/* Runs `cmd` (a sandbox command line) with the restart marker set and waits
 * for it; its standard output is passed on (when `out` is null) or kept in
 * `out`, and also kept in `seen`. Returns its exit status, -1 when it did
 * not exit or did not start. fork, not posix_spawn: under qemu-user (a cross
 * build's tests) a plain fork is what the emulator handles best. */
int runSandboxed(std::vector<std::string> cmd, std::string *out, std::string *seen = nullptr) {
    std::vector<char *> argv = argvOf(cmd);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        setenv(kRestarted, "1", 1);
        execv(kSandbox, argv.data());
        fprintf(stderr, "cannot run %s: %s\n", kSandbox, strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
        if (n <= 0)
            continue;
        if (out)
            out->append(buf, static_cast<size_t>(n));
        else if (fwrite(buf, 1, static_cast<size_t>(n), stdout) != static_cast<size_t>(n) || fflush(stdout) != 0)
            break;
        if (seen)
            seen->append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* The full names ("Suite.Case") in a --gtest_list_tests listing. */
std::vector<std::string> caseNames(const std::string &listing) {
    std::vector<std::string> names;
    std::istringstream lines(listing);
    std::string suite;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const bool isCase = line[0] == ' ';
        const size_t from = line.find_first_not_of(' ');
        const std::string name = line.substr(from, line.find_first_of(" #", from) - from);
        if (!isCase)
            suite = name;
        else if (!suite.empty())
            names.push_back(suite + name);
    }
    return names;
}

/* Runs this binary's test cases again, each in its own sandbox as ctest runs
 * them (the cases leave files, routes and processes behind for the sandbox
 * to throw away), with the given arguments; ends with 0 only when there was
 * a case to run and every one passed. A trial that lists the cases comes
 * first, so that a sandbox that cannot be made, or an emulator that cannot
 * be found, fails with its reason, not as failed tests. */
[[noreturn]] void runInSandbox(int argc, char **argv) {
    if (getenv(kRestarted))
        cannotStart("this test binary was started again through " + std::string(kSandbox) +
                    " but IPSEC_SANDBOX is not set there");
    if (access(kSandbox, X_OK) != 0)
        cannotStart("cannot run the test sandbox " + std::string(kSandbox) + ": " + strerror(errno));
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        cannotStart(std::string("cannot find this test binary (/proc/self/exe): ") + strerror(errno));
    self[n] = '\0';

    const std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> listArgs = args;
    listArgs.push_back("--gtest_list_tests");
    std::string listing;
    if (runSandboxed(sandboxed(self, listArgs), &listing) != 0)
        cannotStart("the test sandbox could not be made here (its reason above)");
    const std::vector<std::string> names = caseNames(listing);
    if (names.empty()) {
        fprintf(stderr, "%s: no test case to run (the arguments left none)\n", program_invocation_short_name);
        exit(1);
    }

    fprintf(stderr, "%s: not in the test sandbox: each of its %zu test cases runs in its own, as under ctest\n",
            program_invocation_short_name, names.size());
    std::vector<std::string> failed;
    size_t skipped = 0;
    for (const std::string &name : names) {
        std::vector<std::string> caseArgs = args;
        caseArgs.push_back("--gtest_filter=" + name);
        std::string seen;
        if (runSandboxed(sandboxed(self, caseArgs), nullptr, &seen) != 0)
            failed.push_back(name);
        else if (seen.find("[  SKIPPED ]") != std::string::npos)
            skipped++;
    }
    printf("\n%s: %zu test cases, each in its own sandbox\n", program_invocation_short_name, names.size());
    for (const std::string &name : failed)
        printf("  failed: %s\n", name.c_str());
    printf("%zu passed, %zu failed, %zu skipped\n", names.size() - failed.size() - skipped, failed.size(), skipped);
    exit(failed.empty() ? 0 : 1);
}

} // namespace

int main(int argc, char **argv) {
    if (!getenv("IPSEC_SANDBOX") && !listsTests(argc, argv))
        runInSandbox(argc, argv);
    shell_recorder::install();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
