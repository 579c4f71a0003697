/*
 * A runner for the daemon's shell seam: records every command in order and,
 * when asked, also runs it through the real shell (inside the test sandbox);
 * a test can script the exit status and output of a tool's commands.
 * The tests' main (test_main.cpp), the fuzzers and the benchmarks install it
 * before anything runs; a program that wants the real shell (the footprint
 * driver) does not.
 */
#ifndef SHELL_RECORDER_H
#define SHELL_RECORDER_H

#include <string>
#include <vector>

namespace shell_recorder {
/* Makes the recorder the daemon's runner of shell commands (ipsec_runCommand). */
void install();
/* Commands run so far, oldest first. */
std::vector<std::string> &commands();
/* Forgets what was recorded. */
void clear();
/* When true, each command is also run through system(3). Default false. */
void setPassThrough(bool run);
/* Every later command that begins with `prefix` answers with this exit
 * status and output instead of running (also when passing through); the
 * longest matching prefix answers, an exit status below 0 removes a script. */
void setResult(const std::string &prefix, int exitStatus, const std::string &output = "");
/* Removes every scripted result. */
void clearResults();
/* Called with each command before it is recorded (for example to snapshot a
 * file); null to remove. */
void setObserver(void (*observer)(const std::string &cmd));
} // namespace shell_recorder

#endif
