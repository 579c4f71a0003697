/*
 * Key daemon and kernel table control: setkey runs, and the key daemon's
 * start, reload, restart and keep-alive.
 */
#ifndef IPSEC_PROC_H
#define IPSEC_PROC_H

/* Loads setkey.conf into the kernel: 0, or -1 when setkey failed. */
int ipsec_startIpsecFunc(void);
/* Flushes the kernel's SA and policy tables and kills every key daemon: 0, or
 * -1 when a flush failed. */
int ipsec_stopIpsecFunc(void);
/* Loads the setkey file at `path` ("setkey -f PATH") and looks at its exit
 * status: 0, or -1 with a level-3 line as `func` at `line` (the caller's, by
 * default) naming the command and what it said (keys left out). */
int ipsec_loadSetkeyFile(const char *path, const char *func, int line = __builtin_LINE());
/* Starts the key daemon on racoon.conf: 0, or -1 with such a line when the
 * start command failed (the key daemon refused its files before going to the
 * background). */
int ipsec_startRacoon(const char *func, int line = __builtin_LINE());
/* Kills every key daemon, waits for them to be gone (one not yet dead would
 * still hold the IKE ports) and starts one afresh: the start's result. */
int ipsec_restartRacoon(const char *func, int line = __builtin_LINE());
/* Makes the key daemon read its files again: SIGHUP to every one running, or
 * a start where none runs. 0, or the start's -1. */
int ipsec_reloadRacoon(const char *func, int line = __builtin_LINE());
/* Sends `sig` to the running key daemons (0: only look). Where none runs while
 * `ikeTunnels` IKE tunnels are written (it refused its file, crashed or was
 * killed), one is started instead of signalling nobody, with the level-3 line
 * "ipsec key daemon not running, starting it". 0, or the start's -1. */
int ipsec_keepRacoon(int sig, int ikeTunnels, const char *func, int line = __builtin_LINE());
/* Sends `sig` to every running key daemon (0: only look). 1 when one runs, else 0. */
int kill_racoon(int sig);
/* Waits up to about a second for key daemons killed with SIGKILL to be gone. */
void ipsec_waitRacoonGone(void);

#endif
