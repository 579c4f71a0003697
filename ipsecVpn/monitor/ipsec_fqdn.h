/* Tracking of remote gateways given as host names. */
#ifndef IPSEC_FQDN_H
#define IPSEC_FQDN_H

/* Re-resolves every enabled host-name gateway and writes changed addresses. */
void ipsec_checkFQDNChange(void);

#endif
