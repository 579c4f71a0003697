/* Writer of the key daemon's /var/ipsec/racoon.conf and /var/ipsec/psk.txt. */
#ifndef IPSEC_RACOON_H
#define IPSEC_RACOON_H

#define IPSEC_RACOON_CONF "/var/ipsec/racoon.conf"
#define IPSEC_PSK_TXT "/var/ipsec/psk.txt"

/* Rewrites both files from every enabled IKE tunnel: the number written, or -1. */
int ipsec_writeRacoon(void);

#endif
