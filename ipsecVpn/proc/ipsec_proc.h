/* Key daemon and kernel table control: setkey runs and racoon signals. */
#ifndef IPSEC_PROC_H
#define IPSEC_PROC_H

#define IPSEC_RACOON_START "racoon -f /var/ipsec/racoon.conf"

/* Loads /var/ipsec/setkey.conf into the kernel: 0, or -1 when setkey failed. */
int ipsec_startIpsecFunc(void);
/* Flushes the kernel's SA and policy tables and kills every key daemon: 0, or
 * -1 when a flush failed. */
int ipsec_stopIpsecFunc(void);
/* Runs a setkey command and looks at its exit status: 0, or -1 with a level-3
 * line from `func` naming the command and what it said (keys left out). */
int ipsec_runSetkey(const char *cmd, const char *func);
/* Starts the key daemon: 0, or -1 with such a line when the start command
 * failed (the key daemon refused its files before going to the background). */
int ipsec_startRacoon(const char *func);
/* Sends `sig` to every running key daemon (0: only look). 1 when one runs, else 0. */
int kill_racoon(int sig);
/* Waits up to about a second for key daemons killed with SIGKILL to be gone. */
void ipsec_waitRacoonGone(void);

#endif
