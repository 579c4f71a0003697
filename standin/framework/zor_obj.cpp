/*
 * Stand-in framework: object calls. Copies handed out are independent zorMem
 * blocks (texts separate blocks, null when unset); a set writes the whole data
 * model at once. Every call needs the global lock held by this process.
 */
#include <cstring>
#include <exception>

#include "zor_internal.h"

using zor_internal::FieldDef;
using zor_internal::Instance;
using zor_internal::ObjectDef;
using zor_standin::FieldKind;
using zor_standin::Json;

namespace {

bool samePath(const InstanceIdStack &a, const InstanceIdStack &b) {
    if (a.currentDepth != b.currentDepth || a.currentDepth > 6)
        return false;
    return memcmp(a.instance, b.instance, a.currentDepth * sizeof(a.instance[0])) == 0;
}

bool isUnder(const InstanceIdStack &path, const InstanceIdStack *parent) {
    if (!parent || parent->currentDepth == 0)
        return true;
    if (parent->currentDepth > path.currentDepth)
        return false;
    return memcmp(path.instance, parent->instance, parent->currentDepth * sizeof(path.instance[0])) == 0;
}

void *makeCopy(const ObjectDef &def, const Json &node) {
    auto *block = static_cast<unsigned char *>(zorMem_alloc(static_cast<UINT32>(def.size), ZOR_MEM_ZEROIZE));
    if (!block)
        return nullptr;
    memcpy(block, &def.oid, sizeof(def.oid));
    for (size_t i = 0; i < def.count; i++) {
        const FieldDef &f = def.fields[i];
        auto it = node.find(f.name);
        bool set = (it != node.end() && !it->is_null());
        if (f.kind == FieldKind::Text) {
            char *text = set ? zorMem_strdup(it->get_ref<const std::string &>().c_str()) : nullptr;
            memcpy(block + f.offset, &text, sizeof(text));
        } else if (f.kind == FieldKind::U32) {
            UINT32 v = set ? it->get<UINT32>() : 0;
            memcpy(block + f.offset, &v, sizeof(v));
        } else {
            UINT8 v = set ? it->get<UINT8>() : 0;
            memcpy(block + f.offset, &v, sizeof(v));
        }
    }
    return block;
}

/* The copy's fields into `node`; fields the node lacks are added after its others. */
void storeCopy(const ObjectDef &def, const unsigned char *block, Json &node) {
    for (size_t i = 0; i < def.count; i++) {
        const FieldDef &f = def.fields[i];
        if (f.kind == FieldKind::Text) {
            char *text = nullptr;
            memcpy(&text, block + f.offset, sizeof(text));
            node[f.name] = text ? Json(std::string(text)) : Json(nullptr);
        } else if (f.kind == FieldKind::U32) {
            UINT32 v = 0;
            memcpy(&v, block + f.offset, sizeof(v));
            node[f.name] = v;
        } else {
            UINT8 v = 0;
            memcpy(&v, block + f.offset, sizeof(v));
            node[f.name] = v;
        }
    }
}

UINT8 expectedDepth(ZorObjectId oid) {
    return (oid == ZOR_OID_WAN_IP_CONN || oid == ZOR_OID_WAN_PPP_CONN) ? 2 : 1;
}

/* The checks and the model that every read starts with: `def` and `root`
 * set on success, `*obj` cleared. */
ZorRet beginRead(ZorObjectId oid, const InstanceIdStack *stack, void **obj, const ObjectDef **def, Json **root) {
    if (!stack || !obj)
        return ZORRET_INVALID_ARGUMENTS;
    *obj = nullptr;
    *def = zor_internal::objectDef(oid);
    if (!*def)
        return ZORRET_INVALID_ARGUMENTS;
    return zor_standin::modelGet(root);
}

/* The instance after `stack` (or the first when `stack` is empty) among the
 * instances of `oid` under `parent`. */
ZorRet walk(ZorObjectId oid, const InstanceIdStack *parent, InstanceIdStack *stack, void **obj) {
    const ObjectDef *def = nullptr;
    Json *root = nullptr;
    ZorRet ret = beginRead(oid, stack, obj, &def, &root);
    if (ret != ZORRET_SUCCESS)
        return ret;
    bool started = (stack->currentDepth == 0);
    for (const Instance &inst : zor_internal::instances(*root, oid)) {
        if (!isUnder(inst.path, parent))
            continue;
        if (!started) {
            started = samePath(inst.path, *stack);
            continue;
        }
        *obj = makeCopy(*def, *inst.node);
        if (!*obj)
            return ZORRET_RESOURCE_EXCEEDED;
        *stack = inst.path;
        return ZORRET_SUCCESS;
    }
    return started ? ZORRET_NO_MORE_INSTANCES : ZORRET_OBJECT_NOT_FOUND;
}

ZorRet getAt(ZorObjectId oid, const InstanceIdStack *stack, void **obj) {
    const ObjectDef *def = nullptr;
    Json *root = nullptr;
    ZorRet ret = beginRead(oid, stack, obj, &def, &root);
    if (ret != ZORRET_SUCCESS)
        return ret;
    for (const Instance &inst : zor_internal::instances(*root, oid)) {
        if (samePath(inst.path, *stack)) {
            *obj = makeCopy(*def, *inst.node);
            return *obj ? ZORRET_SUCCESS : ZORRET_RESOURCE_EXCEEDED;
        }
    }
    return ZORRET_OBJECT_NOT_FOUND;
}

ZorRet setAt(const void *obj, const InstanceIdStack *stack) {
    if (zor_internal::failThisSet()) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "write refused (test hook)");
        return ZORRET_INTERNAL_ERROR;
    }
    if (!obj || !stack)
        return ZORRET_INVALID_ARGUMENTS;
    ZorObjectId oid = 0;
    memcpy(&oid, obj, sizeof(oid));
    const ObjectDef *def = zor_internal::objectDef(oid);
    if (!def)
        return ZORRET_INVALID_ARGUMENTS;
    Json *root = nullptr;
    ZorRet ret = zor_standin::modelGet(&root);
    if (ret != ZORRET_SUCCESS)
        return ret;
    if (stack->currentDepth != expectedDepth(oid))
        return ZORRET_OBJECT_NOT_FOUND;
    Json next = *root;
    for (const Instance &inst : zor_internal::instances(next, oid)) {
        if (samePath(inst.path, *stack)) {
            storeCopy(*def, static_cast<const unsigned char *>(obj), *inst.node);
            return zor_standin::modelStore(next);
        }
    }
    return ZORRET_OBJECT_NOT_FOUND;
}

} // namespace

ZorRet zorObj_getNext(ZorObjectId oid, InstanceIdStack *iidStack, void **obj) {
    zor_internal::trace("getNext %u %s", oid, zor_internal::pathText(iidStack).c_str());
    try {
        return walk(oid, nullptr, iidStack, obj);
    } catch (const std::exception &e) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "object %u: %s", oid, e.what());
        return ZORRET_INTERNAL_ERROR;
    }
}

ZorRet zorObj_getNextInSubTree(ZorObjectId oid, const InstanceIdStack *parent, InstanceIdStack *iidStack, void **obj) {
    zor_internal::trace("getNext %u %s", oid, zor_internal::pathText(iidStack).c_str());
    try {
        return walk(oid, parent, iidStack, obj);
    } catch (const std::exception &e) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "object %u: %s", oid, e.what());
        return ZORRET_INTERNAL_ERROR;
    }
}

ZorRet zorObj_get(ZorObjectId oid, const InstanceIdStack *iidStack, UINT32 getFlags, void **obj) {
    (void)getFlags;
    zor_internal::trace("get %u %s", oid, zor_internal::pathText(iidStack).c_str());
    try {
        return getAt(oid, iidStack, obj);
    } catch (const std::exception &e) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "object %u: %s", oid, e.what());
        return ZORRET_INTERNAL_ERROR;
    }
}

ZorRet zorObj_set(const void *obj, const InstanceIdStack *iidStack) {
    ZorObjectId oid = 0;
    if (obj)
        memcpy(&oid, obj, sizeof(oid));
    zor_internal::trace("set %u %s", oid, zor_internal::pathText(iidStack).c_str());
    try {
        return setAt(obj, iidStack);
    } catch (const std::exception &e) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "object %u: %s", oid, e.what());
        return ZORRET_INTERNAL_ERROR;
    }
}

void zorObj_free(void **obj) {
    if (!obj || !*obj)
        return;
    auto *block = static_cast<unsigned char *>(*obj);
    ZorObjectId oid = 0;
    memcpy(&oid, block, sizeof(oid));
    if (const ObjectDef *def = zor_internal::objectDef(oid)) {
        for (size_t i = 0; i < def->count; i++) {
            if (def->fields[i].kind != FieldKind::Text)
                continue;
            char *text = nullptr;
            memcpy(&text, block + def->fields[i].offset, sizeof(text));
            zorMem_free(text);
        }
    } else {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "unknown object id %u: texts not released", oid);
    }
    zorMem_free(block);
    *obj = nullptr;
}
