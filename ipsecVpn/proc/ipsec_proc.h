/* Key daemon and kernel table control: setkey runs and racoon signals. */
#ifndef IPSEC_PROC_H
#define IPSEC_PROC_H

/* Loads /var/ipsec/setkey.conf into the kernel. */
void ipsec_startIpsecFunc(void);
/* Flushes the kernel's SA and policy tables and kills every key daemon. */
void ipsec_stopIpsecFunc(void);
/* Sends `sig` to every running key daemon (0: only look). 1 when one runs, else 0. */
int kill_racoon(int sig);
/* Waits up to about a second for key daemons killed with SIGKILL to be gone. */
void ipsec_waitRacoonGone(void);

#endif
