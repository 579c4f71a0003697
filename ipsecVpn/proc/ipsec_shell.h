/*
 * The daemon's one way to run a shell command. Commands run through system(3)
 * unless another runner is set: tests set one that records them.
 */
#ifndef IPSEC_SHELL_H
#define IPSEC_SHELL_H

/* Runs `cmd` through the current runner and waits for it; the result is the
 * wait status as system() gives it. */
int ipsec_runCommand(const char *cmd);

/* Makes `run` the runner of every later ipsec_runCommand; null restores
 * system(3). */
void ipsec_setShellRunner(int (*run)(const char *cmd));

#endif
