/*
 * Deletion of a tunnel's live SAs: a fresh dump of the kernel's ESP SAs, and
 * one setkey "delete" line per SA that carries the tunnel's request id.
 */
#include "monitor/ipsec_delete.h"

#include <vector>

#include "monitor/ipsec_pfkey.h"
#include "render/ipsec_addr.h"

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
        fprintf(setkeyconf, "delete %s %s esp 0x%x;\n", localIp, remoteIp, static_cast<unsigned int>(sa.spi));
    }
}
