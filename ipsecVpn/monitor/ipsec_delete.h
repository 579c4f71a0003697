/* Deletion of a tunnel's live SAs, found in the kernel by request id. */
#ifndef IPSEC_DELETE_H
#define IPSEC_DELETE_H

#include <cstdio>

/* Appends "delete LOCAL REMOTE esp 0xSPI;" to `setkeyconf` for each ESP SA in
 * the kernel whose request id is `reqid`. */
void ipsec_delete_Sa_reqid(unsigned int reqid, FILE *setkeyconf, const char *localIp, const char *remoteIp);

#endif
