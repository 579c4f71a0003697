/* Writer of setkey.conf and of the tunnels' NAT exemption rules. */
#ifndef IPSEC_SETKEY_H
#define IPSEC_SETKEY_H

#include <string>

#include "framework/zor.h"

/* Full rewrite from every enabled tunnel: the number of tunnels written, or -1. */
int ipsec_writeAllSetkey(void);
/* One tunnel's change, from the configuration-changed message body: 0, or -1. */
int ipsec_writeSetkey(const IpsecCfgChangedMsgBody *msg);
/* The WAN on `ifName` went down: runs the NAT delete command of every tunnel
 * that a full rewrite installs (enabled, with a remote address), under the
 * global lock. */
void ipsec_deleteAllNat(const char *ifName);

/* Whether the full rewrite writes this tunnel's entries, its subnet pair
 * aside (enabled, a remote address, every field as setkey and the kernel
 * take it), with no line logged; its pair in `*pair` when it does. The key
 * daemon's writer skips the same tunnels, so that its blocks match the
 * kernel's policies. */
bool ipsec_setkeyTakesTunnel(const IPSecCfgObject &o, std::string *pair);
/* The tunnel's subnet pair as its policies select it ("local/n remote/m"):
 * two tunnels with one pair cannot both have policies. */
std::string ipsec_subnetPair(const IPSecCfgObject &o);
/* The tunnel's request ids (ipsec_reqids), false also when they pass the
 * largest a kernel policy may name, 0x3fff (entryID above 8190): above it
 * the kernel picks an id of its own, which no SA of the tunnel carries. */
bool ipsec_kernelReqids(UINT32 entryID, UINT32 *outReqid, UINT32 *inReqid);
/* Why a tunnel whose request ids pass the kernel's largest is skipped. */
constexpr const char *IPSEC_REQID_FAULT = "is above 8190: its request ids would pass the kernel's 16383";
/* The level-3 line of a tunnel a writer skips:
 * "tunnel N (NAME) skipped: FIELD WHY". */
void ipsec_logSkipped(const char *func, int line, UINT32 entryID, const char *name, const char *field, const char *why);

#endif
