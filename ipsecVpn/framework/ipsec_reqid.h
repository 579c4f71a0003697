/*
 * The tunnel's request ids, which tie its policies to its SAs in the kernel.
 */
#ifndef IPSEC_REQID_H
#define IPSEC_REQID_H

#include "framework/zor.h"

/* The tunnel's request ids: outbound 2*entryID+1, inbound 2*entryID+2.
 * False when they would not fit in 32 bits. */
inline bool ipsec_reqids(UINT32 entryID, UINT32 *outReqid, UINT32 *inReqid) {
    if (entryID > (0xFFFFFFFFu - 2u) / 2u)
        return false;
    *outReqid = 2u * entryID + 1u;
    *inReqid = 2u * entryID + 2u;
    return true;
}

#endif
