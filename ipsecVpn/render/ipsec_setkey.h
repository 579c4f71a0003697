/* Writer of /var/ipsec/setkey.conf and of the tunnels' NAT exemption rules. */
#ifndef IPSEC_SETKEY_H
#define IPSEC_SETKEY_H

#include "framework/zor.h"

#define IPSEC_SETKEY_CONF "/var/ipsec/setkey.conf"

/* Full rewrite from every enabled tunnel: the number of tunnels written, or -1. */
int ipsec_writeAllSetkey(void);
/* One tunnel's change, from the configuration-changed message body: 0, or -1. */
int ipsec_writeSetkey(const IpsecCfgChangedMsgBody *msg);
/* The WAN on `ifName` went down: runs the NAT delete command of every tunnel
 * that a full rewrite installs (enabled, with a remote address), under the
 * global lock. */
void ipsec_deleteAllNat(const char *ifName);

#endif
