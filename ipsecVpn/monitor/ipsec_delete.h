/* Deletion of live SAs: the setkey delete line, and a tunnel's SAs found in
 * the kernel by request id. */
#ifndef IPSEC_DELETE_H
#define IPSEC_DELETE_H

#include <cstdio>

/* The one place where a delete line is formatted: appends "delete SRC DST esp
 * 0xSPI;" to `f`. The SPI is its hexadecimal digits without "0x"; it may be a
 * value recorded at an earlier pass or edited by hand, so only 1 to 8 hex
 * digits reach the file and no text can add a statement of its own. False,
 * with nothing written, when the SPI is not such digits. */
bool ipsec_writeDeleteLine(FILE *f, const char *src, const char *dst, const char *spi);

/* Appends "delete LOCAL REMOTE esp 0xSPI;" to `setkeyconf` for each ESP SA in
 * the kernel whose request id is `reqid`. */
void ipsec_delete_Sa_reqid(unsigned int reqid, FILE *setkeyconf, const char *localIp, const char *remoteIp);

#endif
