/* Writer of the key daemon's racoon.conf and psk.txt. */
#ifndef IPSEC_RACOON_H
#define IPSEC_RACOON_H

/* Rewrites both files from every enabled IKE tunnel: the number written, or -1. */
int ipsec_writeRacoon(void);

#endif
