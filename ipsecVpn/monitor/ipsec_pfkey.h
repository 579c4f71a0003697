/*
 * PF_KEY v2 dump of the kernel's ESP SAs, shared by the status monitor and
 * the deletion of a tunnel's SAs by request id.
 */
#ifndef IPSEC_PFKEY_H
#define IPSEC_PFKEY_H

#include <cstddef>
#include <vector>

#include "framework/zor.h"

/* What the daemon reads of one SA message. Texts are dotted quads. */
struct PfkeySaMsg {
    bool hasSa;
    bool hasSrc;
    bool hasDst;
    bool hasSa2;
    UINT32 spi;  /* host order */
    UINT8 state; /* SADB_SASTATE_* */
    UINT32 reqid;
    char src[16];
    char dst[16];
};

enum PfkeyDumpEnd {
    PFKEY_DUMP_COMPLETE, /* the last reply (seq 0) was read, or the table was empty */
    PFKEY_DUMP_FAILED    /* no socket, a read error or time-out, or a kernel error reply */
};

/* Kinds of one message read from the socket during our dump. */
enum PfkeyMsgKind {
    PFKEY_MSG_FOREIGN, /* not a reply to our dump (broadcast, other pid): skip */
    PFKEY_MSG_SA,      /* a dump reply carrying an SA; more follow */
    PFKEY_MSG_LAST_SA, /* a dump reply carrying an SA, the last (seq 0) */
    PFKEY_MSG_EMPTY,   /* the empty table's reply (ENOENT) */
    PFKEY_MSG_ERROR    /* an error reply, or a message too short or malformed to read */
};

/* Classifies one message of `len` bytes and walks its extensions into `sa`
 * (presence flags cleared first). Every bound is checked; no alignment assumed. */
PfkeyMsgKind pfkey_parseDumpReply(const UINT8 *buf, size_t len, UINT32 ourPid, PfkeySaMsg *sa);

/* Asks the kernel for a dump of its ESP SAs and appends each SA message of our
 * own dump, in dump order, to `out`. Foreign messages are skipped. A read
 * that fails or gets no answer within a few seconds ends the dump as
 * PFKEY_DUMP_FAILED; `out` then holds the SAs read before. */
PfkeyDumpEnd pfkey_dumpEsp(std::vector<PfkeySaMsg> &out);

#endif
