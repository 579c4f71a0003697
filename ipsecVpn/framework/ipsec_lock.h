/*
 * The framework's global lock, held by the daemon for exactly one scope.
 */
#ifndef IPSEC_LOCK_H
#define IPSEC_LOCK_H

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
     * lock, ret:N" as `func` at `line` (the caller's, by default) and returns
     * the framework's result. */
    ZorRet acquire(const char *who, int line = __builtin_LINE()) {
        const ZorRet ret = zorLck_acquireLockWithTimeoutTraced(func_, IPSEC_LOCK_TIMEOUT);
        held_ = (ret == ZORRET_SUCCESS);
        if (!held_)
            log_log(ZOR_LOG_ERR, func_, line, "%s failed to get lock, ret:%d", who, ret);
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

#endif
