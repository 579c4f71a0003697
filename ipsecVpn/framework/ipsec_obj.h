/*
 * Daemon-side helpers over the framework: the global lock and object copies
 * held for exactly one scope, and the tunnel's request ids.
 */
#ifndef IPSEC_OBJ_H
#define IPSEC_OBJ_H

#include "framework/zor.h"

/* Global lock time-out used by every data-model access of the daemon. */
constexpr UINT32 IPSEC_LOCK_TIMEOUT = 100000;

/* Holds the global lock from a successful acquire until the end of scope. */
class ZorLock {
  public:
    explicit ZorLock(const char *func) : func_(func) {}
    ZorLock(const ZorLock &) = delete;
    ZorLock &operator=(const ZorLock &) = delete;
    ~ZorLock() { release(); }
    /* Takes the lock; on failure logs the level-3 line "<who> failed to get
     * lock, ret:N" and returns the framework's result. */
    ZorRet acquire(const char *who) {
        const ZorRet ret = zorLck_acquireLockWithTimeoutTraced(func_, IPSEC_LOCK_TIMEOUT);
        held_ = (ret == ZORRET_SUCCESS);
        if (!held_)
            log_log(ZOR_LOG_ERR, func_, __LINE__, "%s failed to get lock, ret:%d", who, ret);
        return ret;
    }
    void release() {
        if (held_) {
            zorLck_releaseLockTraced(func_);
            held_ = false;
        }
    }
    bool held() const { return held_; }

  private:
    const char *func_;
    bool held_ = false;
};

/* An object copy from the framework, released with zorObj_free. */
template <typename T> class ZorObj {
  public:
    ZorObj() = default;
    ZorObj(const ZorObj &) = delete;
    ZorObj &operator=(const ZorObj &) = delete;
    ~ZorObj() { reset(); }
    void reset() {
        if (obj_)
            zorObj_free(reinterpret_cast<void **>(&obj_));
        obj_ = nullptr;
    }
    /* For the out parameter of zorObj_get*: releases any copy held first. */
    void **out() {
        reset();
        return reinterpret_cast<void **>(&obj_);
    }
    T *get() const { return obj_; }
    T *operator->() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    T *obj_ = nullptr;
};

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
 * failure as `who`'s), calls visit(obj, iid) for every tunnel until it
 * returns false, then gives the last copy back and releases the lock. The
 * lock's result. */
template <typename Visit> ZorRet ipsec_walkTunnels(const char *func, const char *who, Visit &&visit) {
    ZorLock lock(func);
    const ZorRet ret = lock.acquire(who);
    if (ret == ZORRET_SUCCESS)
        ipsec_eachTunnel(visit);
    return ret;
}

/* A text field of an object copy; an unset (null) field reads as "". */
inline const char *ipsec_txt(const char *s) {
    return s ? s : "";
}

/* Replaces a text field of an object copy by a framework copy of `value`. */
inline void ipsec_setText(char **field, const char *value) {
    if (*field)
        zorMem_free(*field);
    *field = zorMem_strdup(value);
}

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
