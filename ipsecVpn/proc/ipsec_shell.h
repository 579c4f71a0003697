/*
 * The daemon's one way to run a shell command. Commands run through the
 * system shell unless another runner is set: tests set one that records them
 * and can script what each tool answers.
 */
#ifndef IPSEC_SHELL_H
#define IPSEC_SHELL_H

#include <stddef.h>

/* A runner: runs `cmd` through the shell and waits for it; the result is the
 * wait status as system() gives it (-1 when it could not be run). When `out`
 * is not null, what the command wrote on its standard output and error is
 * kept there, NUL-terminated: its last `outSize` - 1 bytes when longer. */
typedef int (*IpsecShellRunner)(const char *cmd, char *out, size_t outSize);

/* Runs `cmd` through the current runner; its output is not kept. */
int ipsec_runCommand(const char *cmd);

/* Runs `cmd` through the current runner, keeping its output in `out`. */
int ipsec_runCommandOutput(const char *cmd, char *out, size_t outSize);

/* Makes `run` the runner of every later command; null restores the system
 * shell. */
void ipsec_setShellRunner(IpsecShellRunner run);

/* The system shell's runner (what runs when no other is set). */
int ipsec_systemRunner(const char *cmd, char *out, size_t outSize);

#endif
