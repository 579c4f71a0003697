/*
 * The daemon's one way to run a shell command. The daemon links the real
 * one (system); tests may link a recorder in its place.
 */
#ifndef IPSEC_SHELL_H
#define IPSEC_SHELL_H

/* Runs `cmd` through the system shell and waits for it; the result is the
 * wait status as system() gives it. */
int ipsec_runCommand(const char *cmd);

#endif
