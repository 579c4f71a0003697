/*
 * A stand-in for the daemon's shell seam: records every command in order and,
 * when asked, also runs it through the real shell (inside the test sandbox).
 * Link the library ipsec_shell_recorder instead of ipsec_shell.
 */
#ifndef SHELL_RECORDER_H
#define SHELL_RECORDER_H

#include <string>
#include <vector>

namespace shell_recorder {
/* Commands run so far, oldest first. */
std::vector<std::string> &commands();
/* Forgets what was recorded. */
void clear();
/* When true, each command is also run through system(3). Default false. */
void setPassThrough(bool run);
/* Called with each command before it is recorded (for example to snapshot a
 * file); null to remove. */
void setObserver(void (*observer)(const std::string &cmd));
} // namespace shell_recorder

#endif
