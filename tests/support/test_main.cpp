/* The main of every GoogleTest binary. The tests write /var/ipsec and
 * /etc/hosts, change routes, firewall rules and the kernel's IPsec tables,
 * and signal processes, so they run only in the test sandbox
 * (scripts/sandbox.sh, which sets IPSEC_SANDBOX). Started anywhere else, the
 * binary runs its selected cases again as ctest does: each in its own
 * sandbox, with the same arguments and the build's programs first on PATH;
 * where no sandbox can be made it fails, saying so. Listing the tests
 * (--gtest_list_tests, as the build's test discovery does) runs in place.
 * Then the daemon's shell commands go to the recorder and the tests run. */
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
/* Set on the run started in the sandbox: a second start from there would loop. */
const char *const kRestarted = "IPSEC_TEST_RESTARTED";

[[noreturn]] void cannotStart(const std::string &why) {
    fprintf(stderr,
            "%s: %s\n"
            "These tests change /var, /etc/hosts, routes, firewall rules and the kernel's IPsec tables, so they run\n"
            "only in the test sandbox (scripts/sandbox.sh: namespaces made with unshare, as root or with\n"
            "unprivileged user namespaces). Run them with ctest, or one case with\n"
            "  %s --path %s -- %sBINARY --gtest_filter=SUITE.CASE\n",
            program_invocation_short_name, why.c_str(), kSandbox, IPSEC_BIN_DIR,
            IPSEC_TEST_EMULATOR[0] ? IPSEC_TEST_EMULATOR " " : "");
    exit(1);
}

/* Runs `self` with `args` in a new sandbox, as ctest does (the build's
 * programs first on PATH, the emulator of a cross build), and waits for it.
 * Its standard output is kept in `out`, or passed on when `out` is null;
 * whether it said a case was skipped goes to `skipped`. Returns its exit status, -1 when it
 * did not start or did not exit. */
int runSandboxed(const std::string &self, const std::vector<std::string> &args, std::string *out, bool *skipped) {
    std::vector<std::string> cmd = {kSandbox, "--path", IPSEC_BIN_DIR, "--"};
    std::istringstream emulator(IPSEC_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        cmd.push_back(word);
    cmd.push_back(self);
    cmd.insert(cmd.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : cmd)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
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
    std::string kept;
    std::string &seen = out ? *out : kept;
    seen.clear();
    char buf[4096];
    for (ssize_t n; ((n = read(fds[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR));) {
        if (n <= 0)
            continue;
        seen.append(buf, static_cast<size_t>(n));
        if (!out && fwrite(buf, 1, static_cast<size_t>(n), stdout) == static_cast<size_t>(n))
            fflush(stdout);
    }
    close(fds[0]);
    if (skipped)
        *skipped = seen.find("[  SKIPPED ]") != std::string::npos;
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
        const size_t from = line.find_first_not_of(' ');
        if (from == std::string::npos)
            continue;
        const std::string name = line.substr(from, line.find_first_of(" #", from) - from);
        if (from == 0)
            suite = name;
        else if (!suite.empty())
            names.push_back(suite + name);
    }
    return names;
}

/* Runs this binary's selected cases (after --gtest_filter and the like in
 * `args`) again, each in its own sandbox as ctest runs them: the cases leave
 * files, routes and processes behind for the sandbox to throw away. Ends
 * with 0 only when there was a case to run and every one passed. A trial
 * run that only lists the cases comes first, so that a sandbox that cannot
 * be made, or an emulator that cannot be found, fails with its reason, not
 * as failed tests. */
[[noreturn]] void runInSandbox(const std::vector<std::string> &args) {
    if (getenv(kRestarted))
        cannotStart(std::string("started again through ") + kSandbox + " but IPSEC_SANDBOX is not set there");
    if (access(kSandbox, X_OK) != 0)
        cannotStart(std::string("cannot run the test sandbox ") + kSandbox + ": " + strerror(errno));
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        cannotStart(std::string("cannot find this test binary (/proc/self/exe): ") + strerror(errno));
    self[n] = '\0';
    std::vector<std::string> listArgs = args;
    listArgs.push_back("--gtest_list_tests");
    std::string listing;
    if (runSandboxed(self, listArgs, &listing, nullptr) != 0)
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
        bool skip = false;
        if (runSandboxed(self, caseArgs, nullptr, &skip) != 0)
            failed.push_back(name);
        else
            skipped += skip;
    }
    printf("\n%s: %zu test cases, each in its own sandbox\n", program_invocation_short_name, names.size());
    for (const std::string &name : failed)
        printf("  failed: %s\n", name.c_str());
    printf("%zu passed, %zu failed, %zu skipped\n", names.size() - failed.size() - skipped, failed.size(), skipped);
    exit(failed.empty() ? 0 : 1);
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    testing::InitGoogleTest(&argc, argv);
    if (!getenv("IPSEC_SANDBOX") && !testing::GTEST_FLAG(list_tests))
        runInSandbox(args);
    shell_recorder::install();
    return RUN_ALL_TESTS();
}
