/*
 * The walks over the tunnel objects of the data model: one copy at a time,
 * released before the next is read.
 */
#ifndef IPSEC_WALK_H
#define IPSEC_WALK_H

#include "framework/ipsec_lock.h"
#include "framework/ipsec_objcopy.h"
#include "framework/zor.h"

/* Calls visit(obj, iid) for every tunnel object in data-model order, the
 * caller holding the lock, until visit returns false. Each copy is released
 * before the next is read. */
template <typename Visit> void ipsec_eachTunnel(Visit &&visit) {
    InstanceIdStack iid = EMPTY_INSTANCE_ID_STACK;
    ZorObj<IPSecCfgObject> obj;
    while (zorObj_getNext(ZOR_OID_IPSEC_CFG, &iid, obj.out()) == ZORRET_SUCCESS && obj)
        if (!visit(*obj.get(), iid))
            return;
}

/* The locked walk over the tunnels: takes the lock for `func` (logging a
 * failure as `who`'s, at `line`: the caller's by default), calls visit(obj,
 * iid) for every tunnel until it returns false, then gives the last copy
 * back and releases the lock. The lock's result. */
template <typename Visit>
ZorRet ipsec_walkTunnels(const char *func, const char *who, Visit &&visit, int line = __builtin_LINE()) {
    ZorLock lock(func);
    const ZorRet ret = lock.acquire(who, line);
    if (ret == ZORRET_SUCCESS)
        ipsec_eachTunnel(visit);
    return ret;
}

#endif
