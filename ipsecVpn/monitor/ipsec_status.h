/*
 * The kernel SA table dump and the reconciliation of tunnel status with it.
 * Each idle tick dumps the kernel's ESP SAs into l_ipsec_status_arr, then
 * writes every enabled tunnel's status and live SPIs into the data model.
 */
#ifndef IPSEC_STATUS_H
#define IPSEC_STATUS_H

#include <vector>

#include "framework/zor.h"

/* One ESP SA of the latest dump. */
struct IPSEC_STATUS {
    char src_ip[16];    /* dotted quad */
    char dst_ip[16];    /* dotted quad */
    int status;         /* 1 mature or dying, 0 larval or dead */
    char spi[16];       /* lower-case hex digits, no "0x", no leading zeros */
    unsigned int reqid; /* from the SA2 extension */
    int dying;          /* 1: soft lifetime reached; up, but a mature SA is preferred */
};

/* The SAs of the latest dump, in the kernel's dump order. The table has no
 * fixed size: the vector keeps its capacity between dumps, so a warm tick
 * allocates nothing. */
struct IPSEC_STATUS_ARR {
    std::vector<IPSEC_STATUS> status_arr;
    /* The dump ran to its last reply. When false the table may miss SAs that
     * are in the kernel, so reconciliation deletes nothing and clears no SPI. */
    bool complete = false;
};

extern IPSEC_STATUS_ARR l_ipsec_status_arr;

/* One dump, then ipsec_set_status. */
void ipsec_refresh_status(void);
/* Writes every enabled tunnel's status and SPIs from the latest dump, and
 * removes the lone live SA of a negotiated tunnel through setkey. */
void ipsec_set_status(void);

/* The kernel tables were flushed (WAN down): every enabled tunnel gets status
 * 0 and a negotiated tunnel's SPI fields "0"; manual SPIs stay. */
void ipsec_setAllDown(void);
/* The same for the tunnel at `iid` when it is disabled: the change that
 * disabled it has removed its SAs and policies. */
void ipsec_setDownIfDisabled(const InstanceIdStack *iid);

#endif
