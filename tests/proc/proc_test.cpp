/* Key daemon and kernel table control, in the sandbox's own PID and network
 * namespaces: which processes are signalled, the setkey runs in order, and
 * the tables really loaded and flushed through the setkey stand-in. */
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "command_output.h"
#include "proc/ipsec_proc.h"
#include "proc/ipsec_shell.h"
#include "render/ipsec_paths.h"
#include "shell_recorder.h"
#include "test_files.h"

extern char **environ;

namespace {

const char *const TOOL_LOG = "/var/run/ipsec-tools.log";

pid_t spawn(const char *file, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, file, nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

/* Running and not a zombie. */
bool running(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    std::string stat = test_files::read(path);
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

/* Polls until `done` holds, for at most five seconds. */
bool waitUntil(const std::function<bool()> &done) {
    const struct timespec step = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 500; i++) {
        if (done())
            return true;
        nanosleep(&step, nullptr);
    }
    return done();
}

std::vector<std::string> logLines() {
    std::vector<std::string> out;
    std::string text = test_files::read(TOOL_LOG);
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

bool logged(const std::string &line) {
    for (const std::string &l : logLines())
        if (l == line)
            return true;
    return false;
}

/* What the stand-in logs it loaded from the worked example's files. */
const char *const LOADED_OK = "ok remote=1 sainfo=1 keys=1";

std::string racoonEvent(const char *event, pid_t pid, const char *verdict) {
    return std::string("racoon ") + event + " pid=" + std::to_string(pid) + " conf=/var/ipsec/racoon.conf " + verdict;
}

/* Starts the racoon stand-in as the daemon does; the pid its start line names
 * (the background process, which ends when its check fails), or -1. */
pid_t startRacoon() {
    size_t before = logLines().size();
    pid_t launcher = spawn("racoon", {"racoon", "-f", "/var/ipsec/racoon.conf"});
    int status = 0;
    if (launcher < 0 || waitpid(launcher, &status, 0) != launcher || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    std::vector<std::string> lines = logLines();
    for (size_t i = before; i < lines.size(); i++) {
        int pid = 0;
        if (sscanf(lines[i].c_str(), "racoon start pid=%d", &pid) == 1)
            return pid;
    }
    return -1;
}

class KeyDaemonControl : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir("/var/ipsec", 0755);
        test_files::write("/var/ipsec/racoon.conf",
                          test_files::read(test_files::goldenPath("racoon/worked_example/racoon.conf")));
        test_files::write("/var/ipsec/psk.txt",
                          test_files::read(test_files::goldenPath("racoon/worked_example/psk.txt")));
        chmod("/var/ipsec/psk.txt", 0600);
        setenv("IPSEC_TOOL_LOG", TOOL_LOG, 1);
        setenv("RACOON_STANDIN_PORT", "0", 1);
        unlink(TOOL_LOG);
        shell_recorder::clear();
        shell_recorder::setPassThrough(false);
        shell_recorder::setObserver(nullptr);
    }
    void TearDown() override {
        for (pid_t pid : started_)
            if (running(pid))
                kill(pid, SIGKILL);
        /* Orphans come to this process, pid 1 of the sandbox: reap them. */
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    pid_t startTracked(pid_t pid) {
        if (pid > 0)
            started_.push_back(pid);
        return pid;
    }
    std::vector<pid_t> started_;
};

struct SignalCase {
    const char *name;
    int sig;
    bool survives;
    const char *event; /* what the key daemon logs, or null */
};

TEST_F(KeyDaemonControl, KeyDaemonStartedByTheDaemonIsFoundAndSignalled) {
    const SignalCase cases[] = {
        {"reload", SIGHUP, true, "reload"},
        {"terminate", SIGTERM, false, "stop"},
        {"kill", SIGKILL, false, nullptr},
    };
    for (const SignalCase &c : cases) {
        SCOPED_TRACE(c.name);
        pid_t pid = startTracked(startRacoon());
        ASSERT_GT(pid, 1);
        ASSERT_TRUE(running(pid));
        EXPECT_EQ(1, kill_racoon(c.sig));
        if (c.survives) {
            EXPECT_TRUE(waitUntil([&] { return logged(racoonEvent(c.event, pid, LOADED_OK)); }));
            EXPECT_TRUE(running(pid));
        } else {
            EXPECT_TRUE(waitUntil([&] { return !running(pid); }));
        }
        if (c.sig == SIGTERM) {
            EXPECT_TRUE(logged("racoon stop pid=" + std::to_string(pid) + " signal=15"));
        }
        kill(pid, SIGKILL);
        EXPECT_TRUE(waitUntil([&] { return !running(pid); }));
    }
}

TEST_F(KeyDaemonControl, EveryRunningKeyDaemonIsSignalled) {
    pid_t first = startTracked(startRacoon());
    pid_t second = startTracked(startRacoon());
    ASSERT_GT(first, 1);
    ASSERT_GT(second, 1);
    EXPECT_EQ(1, kill_racoon(SIGHUP));
    EXPECT_TRUE(waitUntil([&] { return logged(racoonEvent("reload", first, LOADED_OK)); }));
    EXPECT_TRUE(waitUntil([&] { return logged(racoonEvent("reload", second, LOADED_OK)); }));
    EXPECT_EQ(1, kill_racoon(SIGKILL));
    EXPECT_TRUE(waitUntil([&] { return !running(first) && !running(second); }));
    EXPECT_EQ(0, kill_racoon(0));
}

struct Bystander {
    const char *name;
    const char *file;
    std::vector<std::string> argv;
};

TEST_F(KeyDaemonControl, ProcessesThatOnlyMentionRacoonAreLeftAlone) {
    const Bystander bystanders[] = {
        {"tail of the configuration", "tail", {"tail", "-f", "/var/ipsec/racoon.conf"}},
        {"racoon as a later argument", "sh", {"sh", "-c", "sleep 60; :", "racoon"}},
        {"program named racoon.conf", "sleep", {"/var/ipsec/racoon.conf", "60"}},
        {"program whose name starts with racoon", "sleep", {"/usr/sbin/racoon2", "60"}},
        {"program whose name ends with racoon", "sleep", {"notracoon", "60"}},
    };
    std::vector<pid_t> pids;
    for (const Bystander &b : bystanders) {
        pid_t pid = startTracked(spawn(b.file, b.argv));
        ASSERT_GT(pid, 1) << b.name;
        pids.push_back(pid);
    }
    pid_t keyDaemon = startTracked(startRacoon());
    ASSERT_GT(keyDaemon, 1);
    /* The spawned programs have replaced themselves by now. */
    EXPECT_TRUE(
        waitUntil([&] { return test_files::read("/proc/" + std::to_string(pids[0]) + "/cmdline").find("tail") == 0; }));

    EXPECT_EQ(1, kill_racoon(SIGKILL));
    EXPECT_TRUE(waitUntil([&] { return !running(keyDaemon); }));
    EXPECT_EQ(0, kill_racoon(SIGKILL));
    for (size_t i = 0; i < pids.size(); i++)
        EXPECT_TRUE(running(pids[i])) << bystanders[i].name;
}

TEST_F(KeyDaemonControl, LookingOnlySendsNoSignal) {
    for (int sig : {0, SIGHUP, SIGKILL})
        EXPECT_EQ(0, kill_racoon(sig)) << "no key daemon, signal " << sig;
    pid_t pid = startTracked(startRacoon());
    ASSERT_GT(pid, 1);
    EXPECT_EQ(1, kill_racoon(0));
    EXPECT_EQ(1, kill_racoon(0));
    EXPECT_TRUE(running(pid));
    std::vector<std::string> expected = {racoonEvent("start", pid, LOADED_OK)};
    EXPECT_EQ(expected, logLines());
}

std::vector<bool> g_runningAtCommand;
pid_t g_watched = 0;

TEST_F(KeyDaemonControl, StopFlushesBothTablesThenKillsTheKeyDaemon) {
    g_watched = startTracked(startRacoon());
    ASSERT_GT(g_watched, 1);
    g_runningAtCommand.clear();
    shell_recorder::setObserver([](const std::string &) { g_runningAtCommand.push_back(running(g_watched)); });
    ipsec_stopIpsecFunc();
    shell_recorder::setObserver(nullptr);
    ipsec_waitRacoonGone();
    EXPECT_EQ((std::vector<std::string>{"setkey -DF", "setkey -DPF"}), shell_recorder::commands());
    EXPECT_EQ((std::vector<bool>{true, true}), g_runningAtCommand);
    /* SIGKILL was sent; on a loaded machine the process may take longer to
     * die than the daemon's bounded wait. */
    EXPECT_TRUE(waitUntil([] { return !running(g_watched); }));
    EXPECT_TRUE(waitUntil([] { return kill_racoon(0) == 0; }));
}

TEST_F(KeyDaemonControl, StopWithNothingRunningStillFlushesBothTables) {
    ipsec_stopIpsecFunc();
    EXPECT_EQ((std::vector<std::string>{"setkey -DF", "setkey -DPF"}), shell_recorder::commands());
}

TEST_F(KeyDaemonControl, NewKeyDaemonGetsTheIkePortOnceTheKilledOneIsGone) {
    setenv("RACOON_STANDIN_PORT", "500", 1);
    pid_t old = startTracked(startRacoon());
    ASSERT_GT(old, 1);
    /* While it runs, a second one cannot hold the port: as the real key
     * daemon, its start returns 0 and its background process ends (as pid 1
     * of the sandbox this process reaps it). */
    pid_t second = startRacoon();
    ASSERT_GT(second, 1);
    EXPECT_TRUE(logged(racoonEvent("start", second, "error: IKE port 500 is in use (another key daemon runs?)")));
    EXPECT_EQ(second, waitpid(second, nullptr, 0));
    EXPECT_EQ(1, kill_racoon(SIGKILL));
    ipsec_waitRacoonGone();
    EXPECT_EQ(0, kill_racoon(0));
    pid_t fresh = startTracked(startRacoon());
    EXPECT_GT(fresh, 1);
    EXPECT_TRUE(logged(racoonEvent("start", fresh, LOADED_OK)));
}

TEST_F(KeyDaemonControl, StartLoadsTheTablesAndStopFlushesThemThroughSetkey) {
    test_files::write("/var/ipsec/setkey.conf", "flush;\nspdflush;\n"
                                                "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec "
                                                "esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
                                                "spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec "
                                                "esp/tunnel/203.0.113.9-198.51.100.2/unique:4;\n");
    shell_recorder::setPassThrough(true);
    ipsec_startIpsecFunc();
    EXPECT_EQ(std::vector<std::string>{"setkey -f /var/ipsec/setkey.conf"}, shell_recorder::commands());
    std::string policies = test_cmd::output("ip xfrm policy");
    for (const char *dir : {"dir out", "dir in", "dir fwd"})
        EXPECT_NE(std::string::npos, policies.find(dir)) << dir << " in\n" << policies;
    EXPECT_TRUE(logged("setkey -f /var/ipsec/setkey.conf"));

    ipsec_stopIpsecFunc();
    EXPECT_EQ("", test_cmd::output("ip xfrm policy"));
    EXPECT_TRUE(logged("setkey -DF"));
    EXPECT_TRUE(logged("setkey -DPF"));
}

} // namespace

namespace {

const std::string KEY_HEX = "00112233445566778899aabbccddeeff";

struct ToolFailureCase {
    const char *name;
    const char *command; /* scripted */
    int exitStatus;
    std::string output;
    std::function<int()> run;
    int result;
    std::string line; /* expected in the log, or empty for none */
};

/* Every setkey run and the key daemon's start is looked at: a failure is -1
 * and one level-3 line with the command, how it ended and what the tool said,
 * on one bounded line, with no key in it. */
TEST_F(KeyDaemonControl, ToolFailuresAreLoggedWithWhatTheToolSaid) {
    const std::string tooLong = std::string(60, 'x') + " " + std::string(300, 'y') + " syntax error at `;'";
    const std::string cutKey = "at `0x" + std::string(600, 'a') + "' parse error";
    const ToolFailureCase cases[] = {
        {"load stops at a key it refuses", "setkey -f /var/ipsec/setkey.conf", 1,
         "setkey: /var/ipsec/setkey.conf,5: Invalid key length at `0x" + KEY_HEX + "'\n", ipsec_startIpsecFunc, -1,
         "ipsec setkey -f /var/ipsec/setkey.conf failed, exit status 1: setkey: /var/ipsec/setkey.conf,5: Invalid key "
         "length at `0x...'\n"},
        {"lines joined into one", "setkey -f /var/ipsec/setkey.conf", 1,
         "line 3: File exists\r\n\tline 4: File exists\nsetkey: line 5: syntax error at `foo'\n", ipsec_startIpsecFunc,
         -1,
         "ipsec setkey -f /var/ipsec/setkey.conf failed, exit status 1: line 3: File exists line 4: File exists "
         "setkey: "
         "line 5: syntax error at `foo'\n"},
        {"a long output keeps its tail", "setkey -f /var/ipsec/setkey.conf", 1, tooLong, ipsec_startIpsecFunc, -1,
         ("ipsec setkey -f /var/ipsec/setkey.conf failed, exit status 1: ..." + tooLong.substr(tooLong.size() - 197) +
          "\n")},
        {"a key cut by the room is left out", "setkey -f /var/ipsec/setkey.conf", 1, cutKey, ipsec_startIpsecFunc, -1,
         "ipsec setkey -f /var/ipsec/setkey.conf failed, exit status 1: parse error\n"},
        {"nothing said", "setkey -f /var/ipsec/setkey.conf", 2, "", ipsec_startIpsecFunc, -1,
         "ipsec setkey -f /var/ipsec/setkey.conf failed, exit status 2: (no output)\n"},
        {"SA flush refused", "setkey -DF", 1, "setkey: Operation not permitted\n", ipsec_stopIpsecFunc, -1,
         "ipsec setkey -DF failed, exit status 1: setkey: Operation not permitted\n"},
        {"policy flush refused", "setkey -DPF", 1, "setkey: Operation not permitted\n", ipsec_stopIpsecFunc, -1,
         "ipsec setkey -DPF failed, exit status 1: setkey: Operation not permitted\n"},
        {"lone SA delete refused", "setkey -f /var/ipsec/tmp_delete.conf", 1, "line 1: No such process\n",
         [] { return ipsec_loadSetkeyFile(IPSEC_TMP_DELETE_CONF, "deleteLoneSa"); }, -1, "deleteLoneSa:"},
        {"key daemon refuses its file", "racoon -f /var/ipsec/racoon.conf", 1, "racoon: line 3: unknown cipher\n",
         [] { return ipsec_startRacoon("handleWanUp"); }, -1,
         "ipsec racoon -f /var/ipsec/racoon.conf failed, exit status 1: racoon: line 3: unknown cipher\n"},
        {"a load that succeeds says nothing", "setkey -f /var/ipsec/setkey.conf", 0, "line 3: File exists\n",
         ipsec_startIpsecFunc, 0, ""},
        {"flushes that succeed say nothing", "setkey -D", 0, "", ipsec_stopIpsecFunc, 0, ""},
    };
    for (const ToolFailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        shell_recorder::clearResults();
        shell_recorder::setResult("setkey -D", 0);
        shell_recorder::setResult(c.command, c.exitStatus, c.output);
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.result, c.run());
        const std::string log = testing::internal::GetCapturedStderr();
        if (!c.line.empty()) {
            EXPECT_NE(std::string::npos, log.find(c.line)) << log;
            EXPECT_EQ(1u, static_cast<size_t>(std::count(log.begin(), log.end(), '\n'))) << log;
        } else {
            EXPECT_EQ("", log);
        }
        EXPECT_EQ(std::string::npos, log.find(KEY_HEX.substr(0, 8))) << log;
        EXPECT_EQ(std::string::npos, log.find("aaaaaaaa")) << log;
    }
    shell_recorder::clearResults();
}

struct KeyDaemonCase {
    const char *name;
    bool running; /* a key daemon runs before the call */
    std::function<int()> call;
    bool started;      /* the start command ran */
    bool stillRunning; /* the key daemon that ran before */
    const char *line;  /* expected in the log, or empty for none */
};

/* What the dispatch asks of the key daemon: a keep-alive starts one only
 * where none runs while IKE tunnels are written, a reload signals a running
 * one and starts one otherwise, a restart always ends the old one first. */
TEST_F(KeyDaemonControl, KeepAliveReloadAndRestart) {
    const KeyDaemonCase cases[] = {
        {"keep-alive, one runs", true, [] { return ipsec_keepRacoon(0, 1, "ipsec_keepTunnels"); }, false, true, ""},
        {"keep-alive, none runs, no IKE tunnel", false, [] { return ipsec_keepRacoon(0, 0, "ipsec_keepTunnels"); },
         false, false, ""},
        {"keep-alive, none runs, IKE tunnels", false, [] { return ipsec_keepRacoon(SIGHUP, 2, "handleCfgChanged"); },
         true, false, "ERROR handleCfgChanged:"},
        {"reload, one runs", true, [] { return ipsec_reloadRacoon("loadAll"); }, false, true, ""},
        {"reload, none runs", false, [] { return ipsec_reloadRacoon("loadAll"); }, true, false, ""},
        {"restart, one runs", true, [] { return ipsec_restartRacoon("loadAll"); }, true, false, ""},
        {"restart, none runs", false, [] { return ipsec_restartRacoon("loadAll"); }, true, false, ""},
    };
    const std::vector<std::string> start = {"racoon -f /var/ipsec/racoon.conf"};
    for (const KeyDaemonCase &c : cases) {
        SCOPED_TRACE(c.name);
        pid_t pid = c.running ? startTracked(startRacoon()) : 0;
        if (c.running) {
            ASSERT_GT(pid, 1);
        }
        shell_recorder::clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, c.call());
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.started ? start : std::vector<std::string>{}, shell_recorder::commands());
        if (c.running) {
            if (c.stillRunning) {
                EXPECT_TRUE(running(pid));
            } else {
                EXPECT_TRUE(waitUntil([&] { return !running(pid); }));
            }
            kill(pid, SIGKILL);
            EXPECT_TRUE(waitUntil([&] { return !running(pid); }));
        }
        if (c.line[0] != '\0') {
            EXPECT_NE(std::string::npos, log.find(c.line)) << log;
            EXPECT_NE(std::string::npos, log.find("ipsec key daemon not running, starting it")) << log;
        } else {
            EXPECT_EQ("", log);
        }
    }
}

/* A helper that logs for its caller logs at the caller's line: the keep-alive's
 * line and the failed start's both name the line that called it. */
TEST_F(KeyDaemonControl, KeyDaemonLinesNameTheCallersLine) {
    shell_recorder::setResult("racoon -f /var/ipsec/racoon.conf", 1, "racoon: line 3: unknown cipher\n");
    testing::internal::CaptureStderr();
    const int line = ipsec_keepRacoon(0, 1, "ipsec_keepTunnels") == -1 ? __LINE__ : 0;
    const std::string log = testing::internal::GetCapturedStderr();
    shell_recorder::clearResults();
    const std::string at = "ERROR ipsec_keepTunnels:" + std::to_string(line) + " ";
    EXPECT_NE(std::string::npos, log.find(at + "ipsec key daemon not running, starting it")) << log;
    EXPECT_NE(std::string::npos, log.find(at + "ipsec racoon -f /var/ipsec/racoon.conf failed, exit status 1")) << log;
}

/* The shell's own runner: the exit status as system() gives it, standard
 * output and error in the order written, the tail kept when it is longer
 * than the room, and a tool that leaves a process in the background. */
TEST_F(KeyDaemonControl, TheShellRunnerKeepsWhatTheCommandSaid) {
    char out[16];
    int status = ipsec_systemRunner("echo one; echo two >&2; exit 3", out, sizeof(out));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_STREQ("one\ntwo\n", out);
    status = ipsec_systemRunner("printf 0123456789abcdefghij", out, sizeof(out));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_STREQ("56789abcdefghij", out);
    status = ipsec_systemRunner("kill -9 $$", out, sizeof(out));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_STREQ("", out);
    status = ipsec_systemRunner("true", nullptr, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* The real stand-in, started as the daemon starts it. The key daemon goes to the background before it reads its file,
 * so a refused file does not show in the start's exit status: the start succeeds, the background process ends, and the
 * next tick finds no key daemon. */
TEST_F(KeyDaemonControl, RefusedFileEndsTheKeyDaemonAfterItsStart) {
    test_files::write("/var/ipsec/racoon.conf", "remote 192.0.2.50 {\n exchange_mode foo;\n}\n");
    shell_recorder::setPassThrough(true);
    EXPECT_EQ(0, ipsec_startRacoon("handleWanUp"));
    EXPECT_TRUE(waitUntil([] { return kill_racoon(0) == 0; }));
    test_files::write("/var/ipsec/racoon.conf",
                      test_files::read(test_files::goldenPath("racoon/worked_example/racoon.conf")));
    EXPECT_EQ(0, ipsec_startRacoon("handleWanUp"));
    EXPECT_TRUE(waitUntil([] { return kill_racoon(0) == 1; }));
    EXPECT_EQ(1, kill_racoon(SIGKILL));
}

} // namespace
