/*
 * What the stand-in framework offers beyond the framework header, for its own
 * tools (zorctl) and the tests: the data model as JSON, field checks, plain
 * sends and replies. The daemon never includes this header.
 */
#ifndef ZOR_STANDIN_H
#define ZOR_STANDIN_H

#include <string>

#include <nlohmann/json.hpp>

#include "zor.h"

namespace zor_standin {

using Json = nlohmann::ordered_json;

/* $ZOR_HOME (default /var/run/zor) and the data-model file in it. */
std::string home();
std::string mdmPath();

enum class FieldKind { None, Text, U32, Flag };
/* Kind of a field of an object (by its JSON name); None when unknown. */
FieldKind fieldKind(ZorObjectId oid, const std::string &field);
/* Checks one value against its field; `why` says what is wrong. */
bool checkValue(ZorObjectId oid, const std::string &field, const Json &value, std::string *why);

/* The data model parsed under the current hold of the global lock. Fails with
 * ZORRET_LOCK_REQUIRED without the lock, or when the file is refused. */
ZorRet modelGet(Json **root);
/* Checks `root`, assigns missing "_iid"s and writes the whole file atomically;
 * the cached model becomes `root`. Needs the lock. */
ZorRet modelStore(const Json &root);
/* Checks a whole model and assigns missing "_iid"s. False on the first
 * refused field or value, described in `why` (which names it). */
bool modelCheck(Json &root, std::string *why);

/* Per-process counters of the ZOR_FAIL_LOCK and ZOR_FAIL_SET hooks. */
void resetCounters();

/* A socket of the caller's own under $ZOR_HOME/msg (not an entity's), for
 * tools that send without being an entity; released with zorMsg_cleanup. */
ZorRet msgOpenPrivate(void **msgHandle);
/* Sends one message (header and dataLength body bytes) without waiting for a
 * reply. ZORRET_MSG_NOT_DELIVERED when nobody listens at the destination. */
ZorRet msgSend(void *msgHandle, const ZorMsgHeader *msg);
/* Answers a request received on `msgHandle`: a header-only message with the
 * response flag and `result` in wordData, sent to the request's source. */
ZorRet msgReply(void *msgHandle, const ZorMsgHeader *request, UINT32 result);

} // namespace zor_standin

#endif
