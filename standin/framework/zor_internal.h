/*
 * Shared inside the stand-in framework library only: where the framework keeps
 * its files, the test hooks read from the environment, the call trace, and the
 * state that ties the global lock to the cached data model.
 */
#ifndef ZOR_INTERNAL_H
#define ZOR_INTERNAL_H

#include <string>

#include "zor.h"

namespace zor_internal {

/* $ZOR_HOME, or /var/run/zor. */
std::string home();
/* Creates `path` and its missing parents (mode 0755); false on failure. */
bool makeDirs(const std::string &path);

/* Appends one line to the file named by ZOR_TRACE, when set. */
void trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* "1.2" for a path of depth 2, "-" for an empty one. */
std::string pathText(const InstanceIdStack *stack);

/* Test hooks; each call counts towards the hook's N. */
bool failThisLock(const char *func);
bool failThisSet();
bool envFlag(const char *name);
void resetCounters();

/* True while this process holds the global lock. */
bool lockHeld();
/* Forgets the data model parsed under the current hold. */
void modelDrop();

} // namespace zor_internal

#include <cstddef>
#include <vector>

#include "zor_standin.h"

namespace zor_internal {

using zor_standin::FieldKind;
using zor_standin::Json;

struct FieldDef {
    const char *name;
    FieldKind kind;
    size_t offset;
};

struct ObjectDef {
    ZorObjectId oid;
    const char *name;
    size_t size;
    const FieldDef *fields;
    size_t count;
};

/* Null for an object id the stand-in does not know. */
const ObjectDef *objectDef(ZorObjectId oid);

/* One object in walk order: its instance path and its JSON node. */
struct Instance {
    InstanceIdStack path;
    Json *node;
};
std::vector<Instance> instances(Json &root, ZorObjectId oid);

} // namespace zor_internal

#endif
