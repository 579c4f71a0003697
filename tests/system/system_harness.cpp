/* The system tests' harness: the daemon as a process, its inputs and what it left. */
#include "system_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>

#include "command_output.h"
#include "mdm_fixture.h"
#include "msg_frame.h"
#include "test_files.h"

namespace sys {

namespace {

constexpr const char *DAEMON_OUT = "/var/tmp/ipsecVpn.out";
constexpr const char *DAEMON_LOG = "/var/tmp/ipsecVpn.log";
constexpr const char *TOOL_LOG = "/var/tmp/tools.log";
/* The line the daemon logs for the body-less message sync() sends. */
constexpr const char *SYNC_LINE = "type=0x10002800 dataLength=0 need=160";

void pause20ms() {
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
}

/* The tests run as the sandbox's first process: orphans (key daemons the
 * daemon started) end up as its children and are reaped here. */
void reapOrphans() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::string daemonSocket() {
    return mdm_fixture::home() + "/msg/502";
}

struct sockaddr_un unixAddress(const std::string &path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    return addr;
}

bool socketBound(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    const struct sockaddr_un addr = unixAddress(path);
    bool ok = connect(s, reinterpret_cast<const struct sockaddr *>(&addr), sizeof(addr)) == 0;
    close(s);
    return ok;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

/* Process ids differ from run to run. */
std::string normaliseToolLine(const std::string &line) {
    static const std::regex pid("pid[ =]?[0-9]+");
    return std::regex_replace(line, pid, "pid N");
}

std::string normaliseLogLine(const std::string &line) {
    static const std::regex stamped("^[0-9-]+ [0-9:.]+ (\\[[0-9]+\\] [A-Z]+ [^ :]+):[0-9]+ (.*)$");
    return std::regex_replace(line, stamped, "$1 $2");
}

} // namespace

std::string toolLogPath() {
    return TOOL_LOG;
}

RunResult run(const std::string &cmd) {
    RunResult r{-1, ""};
    r.output = test_cmd::output(cmd + " 2>&1", &r.status);
    return r;
}

bool waitFor(const std::function<bool()> &done, int seconds) {
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (done())
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= seconds)
            return done();
        reapOrphans();
        pause20ms();
    }
}

bool sendRaw(const std::vector<unsigned char> &datagram) {
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    const struct sockaddr_un addr = unixAddress(daemonSocket());
    ssize_t n =
        sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<const struct sockaddr *>(&addr), sizeof(addr));
    close(s);
    return n == static_cast<ssize_t>(datagram.size());
}

Daemon::Daemon() {
    setenv("IPSEC_TOOL_LOG", TOOL_LOG, 1);
    /* What reaches the kernel is the setkey stand-in's business and depends on
     * the host's kernel; here only the daemon's runs of setkey count. */
    setenv("SETKEY_DRY_RUN", "1", 1);
    run("mkdir -p " + mdm_fixture::home());
}

Daemon::~Daemon() {
    stop();
}

bool Daemon::start(const std::vector<std::string> &args, bool waitReady) {
    const std::string bin = std::string(IPSEC_BIN_DIR) + "/ipsecVpn";
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int out = open(DAEMON_OUT, O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = open(DAEMON_LOG, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;
    if (!waitReady)
        return true;
    return waitFor([&] {
               int st;
               if (waitpid(pid_, &st, WNOHANG) == pid_) {
                   pid_ = -1;
                   return true;
               }
               return socketBound(daemonSocket());
           }) &&
           pid_ > 0;
}

bool Daemon::startOnSimulatedKernel(const std::string &saTable) {
    test_files::write(saTable, "");
    setenv("LD_PRELOAD", (std::string(IPSEC_BIN_DIR) + "/libpfkeysim.so").c_str(), 1);
    setenv("PFKEYSIM_TABLE", saTable.c_str(), 1);
    const bool started = start();
    unsetenv("LD_PRELOAD");
    return started;
}

int Daemon::waitExit(int seconds) {
    if (pid_ <= 0)
        return -1;
    int status = -1;
    bool ended = waitFor(
        [&] {
            int st;
            if (waitpid(pid_, &st, WNOHANG) != pid_)
                return false;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return true;
        },
        seconds);
    if (ended)
        pid_ = -1;
    return ended ? status : -1;
}

void Daemon::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    reapOrphans();
}

bool Daemon::sync() {
    if (!sendRaw(msg_frame::frame(ZOR_MSG_IPSEC_CFG_CHANGED, nullptr, 0, ZOR_MSG_FLAG_EVENT)))
        return false;
    size_t want = static_cast<size_t>(++syncs_);
    return waitFor([&] { return countOf(test_files::read(DAEMON_LOG), SYNC_LINE) >= want; });
}

std::string Daemon::out() const {
    return test_files::read(DAEMON_OUT);
}

std::string Daemon::log() const {
    std::string out;
    for (const std::string &line : lines(test_files::read(DAEMON_LOG))) {
        if (line.find(SYNC_LINE) == std::string::npos)
            out += normaliseLogLine(line) + "\n";
    }
    return out;
}

void Transcript::step(const std::string &what) {
    text_ += "== " + what + "\n";
}

void Transcript::add(const std::string &title, const std::string &body) {
    text_ += "-- " + title + "\n" + body;
    if (!body.empty() && body.back() != '\n')
        text_ += "\n";
}

void Transcript::news() {
    std::vector<std::string> tool = lines(test_files::read(TOOL_LOG));
    /* The key daemon logs a reload when it gets to its SIGHUP, while the
     * daemon goes on: reloads are listed apart, after the runs in order. */
    std::string toolText, reloads;
    for (size_t i = toolSeen_; i < tool.size(); i++) {
        std::string line = normaliseToolLine(tool[i]) + "\n";
        (line.rfind("racoon reload ", 0) == 0 ? reloads : toolText) += line;
    }
    toolSeen_ = tool.size();
    std::vector<std::string> log = lines(d_.log());
    std::string logText;
    for (size_t i = logSeen_; i < log.size(); i++)
        logText += log[i] + "\n";
    logSeen_ = log.size();
    add("tools", toolText);
    if (!reloads.empty())
        add("key daemon reloads", reloads);
    add("log", logText);
}

void Transcript::natTable() {
    add("iptables -t nat -S", run("iptables -t nat -S").output);
}

void Transcript::filterTable() {
    add("iptables -S", run("iptables -S").output);
}

void Transcript::files() {
    std::vector<std::string> names;
    if (DIR *dir = opendir("/var/ipsec")) {
        while (struct dirent *e = readdir(dir)) {
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    char line[512];
    snprintf(line, sizeof(line), "/var/ipsec %04o\n", test_files::mode("/var/ipsec") & 07777);
    std::string listing = line;
    for (const std::string &n : names) {
        snprintf(line, sizeof(line), "%s %04o\n", n.c_str(), test_files::mode("/var/ipsec/" + n));
        listing += line;
    }
    add("ls /var/ipsec", listing);
    for (const char *f : {"setkey.conf", "racoon.conf", "psk.txt"}) {
        bool ok = false;
        std::string body = test_files::read(std::string("/var/ipsec/") + f, &ok);
        if (ok)
            add(f, body);
    }
}

void zorctl(Transcript &t, Daemon &d, const std::string &args, int reloads) {
    t.step("zorctl " + args);
    size_t before = countOf(test_files::read(TOOL_LOG), "racoon reload ");
    RunResult r = run("zorctl " + args);
    if (r.status != 0)
        t.add("zorctl exit " + std::to_string(r.status), r.output);
    if (!d.sync())
        t.add("the daemon did not get through its messages", "");
    size_t want = before + static_cast<size_t>(reloads);
    waitFor([&] { return countOf(test_files::read(TOOL_LOG), "racoon reload ") >= want; });
    t.news();
}

} // namespace sys
