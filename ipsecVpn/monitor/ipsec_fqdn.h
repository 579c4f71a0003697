/* Tracking of remote gateways given as host names. */
#ifndef IPSEC_FQDN_H
#define IPSEC_FQDN_H

#include <string>
#include <vector>

#include "framework/zor.h"

/* One enabled tunnel whose remote gateway is a host name. The names are kept
 * whole, however long, so that the write-back finds the tunnel again. */
struct IPSEC_FQDN {
    std::string fqdn;     /* remoteGWAddress */
    char ip[16];          /* realRemoteIP when collected, then the resolved address */
    std::string connName; /* connName */
    UINT32 entryID;
};

/* Host-name tunnels of the current call, in data-model walk order. Entries at
 * or beyond fqdn_count are leftovers kept for their buffers; the table has no
 * fixed size. */
struct IPSEC_FQDN_ARR {
    std::vector<IPSEC_FQDN> fqdn_arr;
    SINT32 fqdn_count = 0;
    SINT32 isChanged = 0; /* 1 when an address changed in the current call */
};

extern IPSEC_FQDN_ARR l_ipsec_fqdn_arr;

/* Resolves a host name into `ip` (16 bytes), preferring `currentIP` while the name
 * still resolves to it. 0 on success; -1 when it does not resolve to any IPv4
 * address, `ip` untouched. */
int ipsec_parseFQDN(const char *fqdnString, char *ip, const char *currentIP);

/* Re-resolves every enabled host-name gateway and writes changed addresses
 * (realRemoteIP, fqdnChanged) into the data model. The lock is not held while
 * names resolve. */
void ipsec_checkFQDNChange(void);

#endif
