/*
 * Remote gateways given as host names: each idle tick re-resolves them and
 * writes a changed address into the tunnel's realRemoteIP, marking it with
 * fqdnChanged. Names resolve with the framework lock released, so a slow
 * resolver holds up no other framework client.
 */
#include "monitor/ipsec_fqdn.h"

#include <cstdio>
#include <cstring>

#include "framework/ipsec_obj.h"
#include "render/ipsec_addr.h"

IPSEC_FQDN_ARR l_ipsec_fqdn_arr;

namespace {

bool isNameGateway(const IPSecCfgObject *obj) {
    return obj->enable && !ipsec_netChkDotIpAddr(obj->remoteGWAddress);
}

/* Fills the next entry, reusing a leftover entry's string buffers. An unset
 * text is taken as empty. */
void addEntry(const IPSecCfgObject *obj) {
    IPSEC_FQDN_ARR &arr = l_ipsec_fqdn_arr;
    if (static_cast<size_t>(arr.fqdn_count) == arr.fqdn_arr.size())
        arr.fqdn_arr.emplace_back();
    IPSEC_FQDN &e = arr.fqdn_arr[arr.fqdn_count++];
    e.fqdn.assign(ipsec_txt(obj->remoteGWAddress));
    e.connName.assign(ipsec_txt(obj->connName));
    zorUtl_strncpy(e.ip, ipsec_txt(obj->realRemoteIP), sizeof(e.ip));
    e.entryID = obj->entryID;
}

/* First walk, under the lock: one entry per enabled host-name tunnel. */
ZorRet collectNameGateways(const char *func) {
    return ipsec_walkTunnels(func, "ipsec_fqdn", [](const IPSecCfgObject &obj, InstanceIdStack &) {
        if (isNameGateway(&obj))
            addEntry(&obj);
        return true;
    });
}

/* Resolves every entry, without the lock. A name that does not resolve
 * stands for "0.0.0.0". */
void resolveEntries() {
    IPSEC_FQDN_ARR &arr = l_ipsec_fqdn_arr;
    for (SINT32 i = 0; i < arr.fqdn_count; i++) {
        IPSEC_FQDN &e = arr.fqdn_arr[i];
        char cur[16] = "";
        if (ipsec_parseFQDN(e.fqdn.c_str(), cur, e.ip) == -1)
            zorUtl_strncpy(cur, "0.0.0.0", sizeof(cur));
        if (strcmp(cur, e.ip) == 0)
            continue;
        printf("ipsec tunnel fqdn changed,%s----%s!\n", e.fqdn.c_str(), cur);
        fflush(stdout);
        zorUtl_strncpy(e.ip, cur, sizeof(e.ip));
        arr.isChanged = 1;
    }
}

/* The tunnel's entry: the first with its name, connection name and entry id.
 * A tunnel changed or removed while the lock was released matches none. */
const IPSEC_FQDN *findEntry(const IPSecCfgObject *obj) {
    const IPSEC_FQDN_ARR &arr = l_ipsec_fqdn_arr;
    for (SINT32 i = 0; i < arr.fqdn_count; i++) {
        const IPSEC_FQDN &e = arr.fqdn_arr[i];
        if (e.entryID == obj->entryID && e.fqdn == ipsec_txt(obj->remoteGWAddress) &&
            e.connName == ipsec_txt(obj->connName))
            return &e;
    }
    return nullptr;
}

/* Second walk, under the lock again: writes each changed address. */
void writeBack(const char *func) {
    ipsec_walkTunnels(func, "ipsec_fqdn", [](IPSecCfgObject &obj, InstanceIdStack &iid) {
        if (!isNameGateway(&obj))
            return true;
        const IPSEC_FQDN *e = findEntry(&obj);
        if (!e || zorUtl_strcmp(e->ip, obj.realRemoteIP) == 0)
            return true;
        ipsec_setText(&obj.realRemoteIP, e->ip);
        obj.fqdnChanged = 1;
        zorObj_set(&obj, &iid); /* a refused write is found again next tick */
        return true;
    });
}

} // namespace

void ipsec_checkFQDNChange(void) {
    l_ipsec_fqdn_arr.fqdn_count = 0;
    l_ipsec_fqdn_arr.isChanged = 0;
    if (collectNameGateways(__func__) != ZORRET_SUCCESS)
        return;
    resolveEntries();
    if (l_ipsec_fqdn_arr.isChanged != 1)
        return;
    writeBack(__func__);
}
