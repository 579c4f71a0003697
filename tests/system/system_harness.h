/*
 * Runs the real daemon inside the test's sandbox with the stand-in framework
 * and tools, drives it as the framework's other applications do (zorctl, raw
 * datagrams on its socket) and records what it did in a transcript that is
 * compared with a golden file.
 */
#ifndef SYSTEM_HARNESS_H
#define SYSTEM_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/zor.h"

namespace sys {

/* The tool log the setkey and racoon stand-ins append to. */
std::string toolLogPath();

struct RunResult {
    int status; /* exit status, or -1 when it did not exit normally */
    std::string output;
};
/* Runs a shell command in the sandbox; standard output and error together. */
RunResult run(const std::string &cmd);

/* Polls `done` every few milliseconds for at most `seconds`. */
bool waitFor(const std::function<bool()> &done, int seconds = 20);

/* Sends one datagram to the daemon's socket. */
bool sendRaw(const std::vector<unsigned char> &datagram);

/* The daemon process. */
class Daemon {
  public:
    Daemon();
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    /* Starts ipsecVpn with `args`; with `waitReady`, returns once its socket is bound. */
    bool start(const std::vector<std::string> &args = {}, bool waitReady = true);
    /* Starts it as start() does with the simulated PF_KEY kernel preloaded
     * into it alone, its SA table read from `saTable` (emptied first). */
    bool startOnSimulatedKernel(const std::string &saTable);
    /* Waits for the process to end by itself: its exit status, or -1. */
    int waitExit(int seconds = 20);
    /* Ends it with SIGKILL, as nothing else ends it. */
    void stop();
    bool running() const { return pid_ > 0; }

    /* Waits until every message sent before has been handled: sends a body-less
     * configuration message, which the daemon refuses with one log line. */
    bool sync();

    std::string out() const; /* standard output */
    /* Log lines with time and source line removed: "[502] LEVEL function message". */
    std::string log() const;

  private:
    pid_t pid_ = -1;
    int syncs_ = 0;
};

/* What a scenario did, step by step: new tool-log and daemon-log lines, and
 * the tables and files on request. */
class Transcript {
  public:
    explicit Transcript(const Daemon &d) : d_(d) {}
    void step(const std::string &what);
    /* New lines of the tool log and of the daemon's log since the last call. */
    void news();
    void natTable();
    void filterTable();
    /* Names and modes of the files under /var/ipsec, then setkey.conf and racoon.conf. */
    void files();
    void add(const std::string &title, const std::string &body);
    const std::string &text() const { return text_; }

  private:
    const Daemon &d_;
    std::string text_;
    size_t toolSeen_ = 0;
    size_t logSeen_ = 0;
};

/* Runs zorctl with `args`, waits until the daemon handled what it sent (and,
 * as the key daemon handles SIGHUP on its own time, for `reloads` more reload
 * lines of the key daemon), and records the step and its effects. */
void zorctl(Transcript &t, Daemon &d, const std::string &args, int reloads = 0);

} // namespace sys

#endif
