/*
 * Remote gateways given as host names: their resolution, and each idle
 * tick's pass that re-resolves them and writes a changed address into the
 * tunnel's realRemoteIP, marking it with fqdnChanged. Names resolve with the
 * framework lock released, so a slow resolver holds up no other framework
 * client.
 */
#include "monitor/ipsec_fqdn.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "framework/ipsec_walk.h"
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

/* First walk, under the lock: one entry per enabled host-name tunnel. A
 * refused lock is logged as `func` at `line`. */
ZorRet collectNameGateways(const char *func, int line) {
    return ipsec_walkTunnels(
        func, "ipsec_fqdn",
        [](const IPSecCfgObject &obj, InstanceIdStack &) {
            if (isNameGateway(&obj))
                addEntry(&obj);
            return true;
        },
        line);
}

/* Resolves every entry, without the lock. A name that does not resolve
 * stands for IPSEC_NO_ADDRESS. */
void resolveEntries() {
    IPSEC_FQDN_ARR &arr = l_ipsec_fqdn_arr;
    for (SINT32 i = 0; i < arr.fqdn_count; i++) {
        IPSEC_FQDN &e = arr.fqdn_arr[i];
        char cur[16] = "";
        if (ipsec_parseFQDN(e.fqdn.c_str(), cur, e.ip) == -1)
            zorUtl_strncpy(cur, IPSEC_NO_ADDRESS, sizeof(cur));
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
void writeBack(const char *func, int line) {
    ipsec_walkTunnels(
        func, "ipsec_fqdn",
        [](IPSecCfgObject &obj, InstanceIdStack &iid) {
            if (!isNameGateway(&obj))
                return true;
            const IPSEC_FQDN *e = findEntry(&obj);
            if (!e || zorUtl_strcmp(e->ip, obj.realRemoteIP) == 0)
                return true;
            ipsec_setText(&obj.realRemoteIP, e->ip);
            obj.fqdnChanged = 1;
            zorObj_set(&obj, &iid); /* a refused write is found again next tick */
            return true;
        },
        line);
}

} // namespace

int ipsec_parseFQDN(const char *fqdnString, char *ip, const char *currentIP) {
    if (!fqdnString || !ip)
        return -1;
    struct hostent *he = gethostbyname(fqdnString);
    /* An answer without an IPv4 address is a failed resolution: empty text
     * must never become a tunnel end. */
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list || !he->h_addr_list[0])
        return -1;
    char text[16] = "";
    for (char **addr = he->h_addr_list; *addr; addr++) {
        if (!inet_ntop(AF_INET, *addr, text, sizeof(text)))
            continue;
        if (zorUtl_strcmp(text, currentIP) == 0) {
            zorUtl_strncpy(ip, text, 16);
            return 0;
        }
    }
    if (text[0] == '\0')
        return -1;
    zorUtl_strncpy(ip, text, 16);
    return 0;
}

void ipsec_checkFQDNChange(void) {
    l_ipsec_fqdn_arr.fqdn_count = 0;
    l_ipsec_fqdn_arr.isChanged = 0;
    if (collectNameGateways(__func__, __LINE__) != ZORRET_SUCCESS)
        return;
    resolveEntries();
    if (l_ipsec_fqdn_arr.isChanged != 1)
        return;
    writeBack(__func__, __LINE__);
}
