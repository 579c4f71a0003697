/*
 * Deletion of live SAs: the setkey "delete" line, written here only, and a
 * tunnel's SAs by request id: a fresh dump of the kernel's ESP SAs and one
 * delete line per SA that carries the id.
 */
#include "monitor/ipsec_delete.h"

#include <vector>

#include "monitor/ipsec_pfkey.h"
#include "render/ipsec_addr.h"
#include "render/ipsec_text.h"

bool ipsec_writeDeleteLine(FILE *f, const char *src, const char *dst, const char *spi) {
    if (!spi || spi[0] == '\0' || !ipsec_isHex(spi, 8))
        return false;
    fprintf(f, "delete %s %s esp 0x%s;\n", src, dst, spi);
    return true;
}

void ipsec_delete_Sa_reqid(unsigned int reqid, FILE *setkeyconf, const char *localIp, const char *remoteIp) {
    /* The line is a setkey statement: its addresses are dotted quads or it is not written. */
    if (!setkeyconf || !ipsec_isDottedQuad(localIp) || !ipsec_isDottedQuad(remoteIp))
        return;
    std::vector<PfkeySaMsg> sas;
    /* On a failed dump the SAs read before the failure are still deleted. */
    pfkey_dumpEsp(sas);
    for (const PfkeySaMsg &sa : sas) {
        /* A message without its own SPI and request id names no SA. */
        if (!sa.hasSa || !sa.hasSa2 || sa.reqid != reqid)
            continue;
        char spi[16];
        snprintf(spi, sizeof(spi), "%x", static_cast<unsigned int>(sa.spi));
        ipsec_writeDeleteLine(setkeyconf, localIp, remoteIp, spi);
    }
}
