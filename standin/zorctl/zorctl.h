/* zorctl's commands and the helpers they share. */
#ifndef ZORCTL_H
#define ZORCTL_H

#include <string>
#include <vector>

#include "zor_standin.h"

namespace zorctl {

using zor_standin::Json;
using Args = std::vector<std::string>;

/* Exit statuses. */
enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

/* The op of a configuration-changed message. */
constexpr UINT32 kOpAdd = IPSEC_CFG_OP_ADD, kOpDelete = IPSEC_CFG_OP_DELETE, kOpChange = IPSEC_CFG_OP_CHANGE,
                 kOpRestart = IPSEC_CFG_OP_RESTART;

/* Lock time-out of zorctl's edits, in milliseconds. */
constexpr UINT32 kLockTimeoutMs = 10000;

/* Prints to standard error with a "zorctl: " prefix. */
void complain(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* True when `args` asks for help. */
bool wantsHelp(const Args &args);

/* FIELD=VALUE words for object `oid` into a JSON object; false (after saying
 * which field and why) on an unknown field or a bad value. */
bool parseFields(ZorObjectId oid, const Args &words, Json *fields);
/* A whole number 0..4294967295 written in decimal digits only. */
bool parseU32(const std::string &text, UINT32 *out);

/* Holds the global lock for one scope. */
class Lock {
  public:
    Lock() = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    ~Lock() { release(); }
    /* False (after saying so) when the lock could not be taken. */
    bool take(UINT32 timeoutMs = kLockTimeoutMs);
    void release() {
        if (held_)
            zorLck_releaseLockTraced("zorctl");
        held_ = false;
    }

  private:
    bool held_ = false;
};

/* Sends a message from zorctl's own socket: EXIT_OK, or EXIT_FAILED after
 * saying that it was not delivered. */
int sendToDaemon(const ZorMsgHeader *header, const void *body);

int cmdShow(const Args &args);
int cmdStatus(const Args &args);
int cmdLock(const Args &args);
int cmdTunnel(const Args &args);
int cmdWan(const Args &args);

} // namespace zorctl

#endif
