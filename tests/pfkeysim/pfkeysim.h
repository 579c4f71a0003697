/*
 * A simulated Linux PF_KEY v2 kernel for tests.
 *
 * Linked into a test binary (static library `pfkeysim`) or preloaded into the
 * daemon (LD_PRELOAD=<build>/bin/libpfkeysim.so), it takes over socket(),
 * setsockopt(), read(), recv(), recvfrom(), write(), send(), sendto() and
 * close() for PF_KEY descriptors only; every other descriptor goes straight to
 * the C library. The code under test sees a real descriptor (one end of a
 * socketpair), so close() and select() on it behave.
 *
 * It answers SADB_DUMP as Linux 6.1 does: one message per SA, in table order,
 * type SADB_DUMP, the requester's pid, seq 1, 2, ... N-1 and 0 on the last;
 * extensions SA, lifetimes (hard, soft, current), source, destination, proxy,
 * auth and encryption keys, SA2 (larval SAs without keys and proxy). An empty
 * table gets one header-only reply with errno ENOENT and the request's own
 * seq. A second dump while one is running gets an EBUSY reply. Dump replies
 * are paced by the receive buffer as Linux paces them (see docs/pfkeysim.md).
 *
 * The SA table comes from the in-process API below or, when the environment
 * variable PFKEYSIM_TABLE names a file, from that file, read afresh at every
 * dump request (format in docs/pfkeysim.md). When PFKEYSIM_LOG names a file,
 * one line is appended per request received.
 *
 * Everything here is for one process; calls are serialised by a mutex.
 */
#ifndef PFKEYSIM_H
#define PFKEYSIM_H

#include <cstdint>
#include <string>
#include <vector>

namespace pfkeysim {

/* One SA of the simulated kernel. Numbers in host order. */
struct Sa {
    std::string src = "198.51.100.2"; /* dotted quads */
    std::string dst = "203.0.113.9";
    uint32_t spi = 0x1000;
    uint32_t reqid = 0;
    uint8_t state = 1; /* SADB_SASTATE_*: 0 larval, 1 mature, 2 dying, 3 dead */
    uint8_t aalg = 3;  /* SADB_AALG_SHA1HMAC; 0 with state larval */
    uint8_t ealg = 12; /* SADB_X_EALG_AESCBC */
    uint64_t softAddtime = 0;
    uint64_t hardAddtime = 0;    /* larval SAs: 30, the kernel's acquire time-out */
    uint64_t currentAddtime = 0; /* creation time; 0: a fixed stand-in */
};

/* An SA from `src` to `dst` in `state`, as the kernel holds it: a larval SA
 * has no algorithms yet and the acquire time-out as its hard lifetime; the
 * other fields keep the defaults above. */
inline Sa sa(const char *src, const char *dst, uint32_t spi, uint32_t reqid, uint8_t state = 1) {
    Sa s;
    s.src = src;
    s.dst = dst;
    s.spi = spi;
    s.reqid = reqid;
    s.state = state;
    if (state == 0) {
        s.aalg = 0;
        s.ealg = 0;
        s.hardAddtime = 30;
    }
    return s;
}
/* The same between the default ends, 198.51.100.2 to 203.0.113.9. */
inline Sa sa(uint32_t spi, uint32_t reqid, uint8_t state = 1) {
    const Sa ends;
    return sa(ends.src.c_str(), ends.dst.c_str(), spi, reqid, state);
}

/* One request written to a simulated PF_KEY socket. */
struct Request {
    uint8_t type;
    uint8_t satype;
    uint32_t seq;
    uint32_t pid;
    uint16_t lenWords; /* sadb_msg_len as sent */
    size_t bytes;      /* bytes written */
};

/* Message types usable as foreign broadcasts. */
enum BroadcastType : uint8_t { BCAST_ADD = 3, BCAST_DELETE = 4, BCAST_SPDADD = 14 };

/* ---- control ----------------------------------------------------------- */
/* Empty table, no faults, no recorded requests, default settings. Sockets
 * still open stay open. */
void reset();
/* The SAs the next dumps return, in dump order (Linux: newest first). */
void setTable(const std::vector<Sa> &sas);
/* socket(PF_KEY, ...) fails with EAFNOSUPPORT, as on a kernel without af_key. */
void setNoPfkey(bool absent);

/* ---- faults: applied to every dump until reset ---------------------------- */
/* The k-th read after the request (1-based) fails with `err`. */
void failReadAt(int k, int err = 5 /* EIO */);
/* A broadcast from another PF_KEY user, queued after the k-th dump message
 * (k = 0: before the first). An SA add/delete carries `sa`. */
void injectBroadcast(int afterK, BroadcastType type, uint32_t pid, uint32_t seq, const Sa &sa = Sa());
/* The extension of type `extType` in the k-th dump message gets
 * sadb_ext_len = `lenWords` (0, or more than the message holds). */
void corruptExtension(int k, uint16_t extType, uint16_t lenWords);
/* Only the first k dump messages are sent; the dump never finishes. A read
 * then blocks, or fails at once with EAGAIN when SO_RCVTIMEO is set (as if
 * the time-out had elapsed), or with EAGAIN on a non-blocking descriptor. */
void neverFinishAfter(int k);
/* The next dump is answered with these raw messages instead of the table.
 * Messages whose sadb_msg_pid equals `capturedPid` get the requester's pid. */
void replayNext(const std::vector<std::vector<uint8_t>> &msgs, uint32_t capturedPid);

/* ---- observation -------------------------------------------------------- */
/* Requests received since reset, oldest first. */
std::vector<Request> requests();
/* SADB_DUMP requests received since reset. */
int dumpRequests();
/* PF_KEY descriptors currently open (a leak shows up here). */
int openSockets();
/* Last SO_RCVBUF value the code under test set, or -1 when never set. */
int rcvbufSet();

/* ---- messages as the kernel lays them out -------------------------------- */
/* A dump reply (or, with another `type`, an SA broadcast) for `sa`. */
std::vector<uint8_t> saMessage(const Sa &sa, uint8_t type, uint32_t seq, uint32_t pid);
/* A header-only message, e.g. the empty table's reply (errno ENOENT). */
std::vector<uint8_t> headerMessage(uint8_t type, uint8_t satype, uint8_t err, uint32_t seq, uint32_t pid);
/* A policy-add broadcast between two /24 networks. */
std::vector<uint8_t> spdaddMessage(uint32_t seq, uint32_t pid);
/* The messages of a capture file: one hex line per message, '#' lines skipped. */
std::vector<std::vector<uint8_t>> loadHex(const std::string &path);
/* Parses a table file (docs/pfkeysim.md) into SAs; false on a malformed line,
 * with `error` naming it. Fault lines are ignored here. */
bool parseTable(const std::string &text, std::vector<Sa> *sas, std::string *error);

} // namespace pfkeysim

#endif
