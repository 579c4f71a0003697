/*
 * Stand-in framework: the data model, one JSON file $ZOR_HOME/mdm.json. Parsed
 * once per hold of the global lock, checked field by field (unknown fields and
 * wrong types are refused, never dropped), and written whole and atomically.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "zor_internal.h"

using zor_internal::FieldDef;
using zor_internal::Instance;
using zor_internal::ObjectDef;
using zor_standin::FieldKind;
using zor_standin::Json;

namespace {

#define TXT(T, f)                                                                                                      \
    { #f, FieldKind::Text, offsetof(T, f) }
#define U32(T, f)                                                                                                      \
    { #f, FieldKind::U32, offsetof(T, f) }
#define FLAG(T, f)                                                                                                     \
    { #f, FieldKind::Flag, offsetof(T, f) }

const FieldDef kIpsecFields[] = {
    U32(IPSecCfgObject, entryID),
    FLAG(IPSecCfgObject, enable),
    TXT(IPSecCfgObject, connName),
    TXT(IPSecCfgObject, tunMode),
    FLAG(IPSecCfgObject, status),
    FLAG(IPSecCfgObject, DPD),
    FLAG(IPSecCfgObject, fqdnChanged),
    TXT(IPSecCfgObject, ipVer),
    TXT(IPSecCfgObject, localGwIf),
    TXT(IPSecCfgObject, remoteGWAddress),
    TXT(IPSecCfgObject, realRemoteIP),
    TXT(IPSecCfgObject, localRangeLo),
    TXT(IPSecCfgObject, localRangeHi),
    U32(IPSecCfgObject, localIPMode),
    TXT(IPSecCfgObject, localIPAddress),
    TXT(IPSecCfgObject, localMask),
    TXT(IPSecCfgObject, remoteRangeLo),
    TXT(IPSecCfgObject, remoteRangeHi),
    U32(IPSecCfgObject, remoteIPMode),
    TXT(IPSecCfgObject, remoteIPAddress),
    TXT(IPSecCfgObject, remoteMask),
    U32(IPSecCfgObject, keyExMethod),
    U32(IPSecCfgObject, authMethod),
    TXT(IPSecCfgObject, PSK),
    TXT(IPSecCfgObject, certificateName),
    FLAG(IPSecCfgObject, perfectFSEn),
    TXT(IPSecCfgObject, manualEncryptionAlgo),
    TXT(IPSecCfgObject, manualEncryptionKey),
    TXT(IPSecCfgObject, manualAuthAlgo),
    TXT(IPSecCfgObject, manualAthKey),
    TXT(IPSecCfgObject, SPI),
    TXT(IPSecCfgObject, secondSPI),
    TXT(IPSecCfgObject, ph1Mode),
    TXT(IPSecCfgObject, ph1MyIdType),
    TXT(IPSecCfgObject, ph1MyId),
    TXT(IPSecCfgObject, ph1PeerIdType),
    TXT(IPSecCfgObject, ph1PeerId),
    TXT(IPSecCfgObject, ph1EncryptionAlo),
    TXT(IPSecCfgObject, ph1IntegrityAlgo),
    TXT(IPSecCfgObject, ph1DHGroup),
    U32(IPSecCfgObject, ph1KeyTime),
    TXT(IPSecCfgObject, ph2Mode),
    TXT(IPSecCfgObject, ph2EncryptionAlo),
    TXT(IPSecCfgObject, ph2IntegrityAlgo),
    TXT(IPSecCfgObject, ph2DHGroup),
    U32(IPSecCfgObject, ph2KeyTime),
};

const FieldDef kWanDevFields[] = {TXT(WanDevObject, name)};

const FieldDef kWanIpFields[] = {
    FLAG(WanIpConnObject, enable),           TXT(WanIpConnObject, connectionStatus),
    TXT(WanIpConnObject, connectionType),    TXT(WanIpConnObject, X_VORTALIX_COM_IfName),
    TXT(WanIpConnObject, externalIPAddress),
};

const FieldDef kWanPppFields[] = {
    FLAG(WanPppConnObject, enable),
    TXT(WanPppConnObject, connectionStatus),
    TXT(WanPppConnObject, X_VORTALIX_COM_IfName),
    TXT(WanPppConnObject, externalIPAddress),
};

#undef TXT
#undef U32
#undef FLAG

#define DEF(oid, T, fields)                                                                                            \
    { oid, #T, sizeof(T), fields, sizeof(fields) / sizeof(fields[0]) }
const ObjectDef kObjects[] = {
    DEF(ZOR_OID_IPSEC_CFG, IPSecCfgObject, kIpsecFields),
    DEF(ZOR_OID_WAN_DEV, WanDevObject, kWanDevFields),
    DEF(ZOR_OID_WAN_IP_CONN, WanIpConnObject, kWanIpFields),
    DEF(ZOR_OID_WAN_PPP_CONN, WanPppConnObject, kWanPppFields),
};
#undef DEF

const char *const kIpKey = "WanIpConnObject";
const char *const kPppKey = "WanPppConnObject";

/* The model of the current lock hold. */
bool g_loaded = false;
ZorRet g_loadRet = ZORRET_SUCCESS;
Json g_root;

/* The file g_root was read from or written to. A later lock hold that finds
 * the same file (a writer always renames a new one into place, and an edit
 * in place changes its times) reuses g_root instead of parsing it again. */
struct FileId {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtim{};
    timespec ctim{};
};
FileId g_rootFile;

FileId fileIdOf(const std::string &path) {
    FileId id;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return id;
    id.valid = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtim = st.st_mtim;
    id.ctim = st.st_ctim;
    return id;
}

bool sameFile(const FileId &a, const FileId &b) {
    return a.valid && b.valid && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtim.tv_sec == b.mtim.tv_sec && a.mtim.tv_nsec == b.mtim.tv_nsec && a.ctim.tv_sec == b.ctim.tv_sec &&
           a.ctim.tv_nsec == b.ctim.tv_nsec;
}

const FieldDef *findField(const ObjectDef &def, const std::string &name) {
    for (size_t i = 0; i < def.count; i++)
        if (name == def.fields[i].name)
            return &def.fields[i];
    return nullptr;
}

bool readUnsigned(const Json &v, uint64_t *out) {
    if (v.is_number_unsigned()) {
        *out = v.get<uint64_t>();
        return true;
    }
    if (v.is_number_integer() && v.get<int64_t>() >= 0) {
        *out = static_cast<uint64_t>(v.get<int64_t>());
        return true;
    }
    return false;
}

bool checkKind(FieldKind kind, const Json &v, std::string *why) {
    uint64_t n = 0;
    switch (kind) {
    case FieldKind::Text:
        if (v.is_string() || v.is_null())
            return true;
        *why = "expected a text or null";
        return false;
    case FieldKind::U32:
        if (readUnsigned(v, &n) && n <= 0xFFFFFFFFu)
            return true;
        *why = "expected a whole number from 0 to 4294967295";
        return false;
    case FieldKind::Flag:
        if (readUnsigned(v, &n) && n <= 1)
            return true;
        *why = "expected 0 or 1";
        return false;
    case FieldKind::None:
        break;
    }
    *why = "unknown field";
    return false;
}

bool checkObject(Json &obj, const ObjectDef &def, const std::string &where, std::string *why);

/* Checks the list `key` of `parent` (absent is empty), assigning missing ids:
 * one more than the largest in the list, in file order. */
bool checkList(Json &parent, const char *key, const ObjectDef &def, const std::string &where, std::string *why) {
    auto it = parent.find(key);
    if (it == parent.end())
        return true;
    const std::string listName = where.empty() ? key : where + "." + key;
    if (!it->is_array()) {
        *why = listName + ": expected a list of objects";
        return false;
    }
    uint64_t largest = 0;
    std::set<uint64_t> seen;
    for (size_t i = 0; i < it->size(); i++) {
        Json &obj = (*it)[i];
        const std::string name = listName + "[" + std::to_string(i) + "]";
        if (!obj.is_object()) {
            *why = name + ": expected an object";
            return false;
        }
        auto iid = obj.find("_iid");
        if (iid == obj.end())
            continue;
        uint64_t n = 0;
        if (!readUnsigned(*iid, &n) || n == 0 || n > 0xFFFFFFFFu) {
            *why = name + " field \"_iid\": expected a whole number from 1 to 4294967295";
            return false;
        }
        if (!seen.insert(n).second) {
            *why = name + " field \"_iid\": " + std::to_string(n) + " is used twice";
            return false;
        }
        largest = std::max(largest, n);
    }
    for (size_t i = 0; i < it->size(); i++) {
        Json &obj = (*it)[i];
        if (!obj.contains("_iid")) {
            if (largest >= 0xFFFFFFFFu) {
                *why = listName + ": no instance id left";
                return false;
            }
            /* The id goes first, as in the files the framework writes. */
            Json withId = Json::object();
            withId["_iid"] = ++largest;
            for (auto f = obj.begin(); f != obj.end(); ++f)
                withId[f.key()] = f.value();
            obj = std::move(withId);
        }
        if (!checkObject(obj, def, listName + "[" + std::to_string(i) + "]", why))
            return false;
    }
    return true;
}

bool checkObject(Json &obj, const ObjectDef &def, const std::string &where, std::string *why) {
    for (auto f = obj.begin(); f != obj.end(); ++f) {
        const std::string &key = f.key();
        if (key == "_iid")
            continue;
        if (def.oid == ZOR_OID_WAN_DEV && (key == kIpKey || key == kPppKey))
            continue;
        const FieldDef *field = findField(def, key);
        std::string what;
        if (!checkKind(field ? field->kind : FieldKind::None, f.value(), &what)) {
            *why = where + " field \"" + key + "\": " + what;
            return false;
        }
    }
    if (def.oid == ZOR_OID_WAN_DEV) {
        return checkList(obj, kIpKey, *zor_internal::objectDef(ZOR_OID_WAN_IP_CONN), where, why) &&
               checkList(obj, kPppKey, *zor_internal::objectDef(ZOR_OID_WAN_PPP_CONN), where, why);
    }
    return true;
}

bool readFile(const std::string &path, std::string *text, bool *missing) {
    *missing = false;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        *missing = (errno == ENOENT);
        return *missing;
    }
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

/* Temporary file in the same folder, synced, then renamed over the old one:
 * a reader sees the old model or the new one, never a torn file. */
bool writeAtomically(const std::string &path, const std::string &text) {
    std::string dir = zor_internal::home();
    if (!zor_internal::makeDirs(dir))
        return false;
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok && rename(name.data(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        unlink(name.data());
        return false;
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

ZorRet loadModel() {
    std::string text;
    bool missing = false;
    const std::string path = zor_standin::mdmPath();
    const FileId before = fileIdOf(path);
    if (g_rootFile.valid && sameFile(before, g_rootFile))
        return ZORRET_SUCCESS;
    g_rootFile = FileId();
    if (!readFile(path, &text, &missing)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "cannot read %s: %s", path.c_str(), strerror(errno));
        return ZORRET_INTERNAL_ERROR;
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        g_root = Json::object();
        return ZORRET_SUCCESS;
    }
    Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: not a JSON object", path.c_str());
        return ZORRET_INTERNAL_ERROR;
    }
    std::string why;
    if (!zor_standin::modelCheck(root, &why)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: %s", path.c_str(), why.c_str());
        return ZORRET_INVALID_ARGUMENTS;
    }
    g_root = std::move(root);
    /* Kept for the next hold only when the file did not change while read. */
    const FileId after = fileIdOf(path);
    if (sameFile(before, after))
        g_rootFile = after;
    return ZORRET_SUCCESS;
}

} // namespace

namespace zor_internal {

const ObjectDef *objectDef(ZorObjectId oid) {
    for (const ObjectDef &def : kObjects)
        if (def.oid == oid)
            return &def;
    return nullptr;
}

std::vector<Instance> instances(Json &root, ZorObjectId oid) {
    std::vector<Instance> out;
    auto add = [&out](Json &node, std::initializer_list<uint32_t> ids) {
        Instance inst{EMPTY_INSTANCE_ID_STACK, &node};
        for (uint32_t id : ids)
            inst.path.instance[inst.path.currentDepth++] = id;
        out.push_back(inst);
    };
    const char *top = (oid == ZOR_OID_IPSEC_CFG) ? "IPSecCfgObject" : "WanDevObject";
    auto list = root.find(top);
    if (list == root.end() || !list->is_array())
        return out;
    const char *sub = (oid == ZOR_OID_WAN_IP_CONN) ? kIpKey : (oid == ZOR_OID_WAN_PPP_CONN) ? kPppKey : nullptr;
    for (Json &obj : *list) {
        uint32_t id = obj.value("_iid", 0u);
        if (oid == ZOR_OID_IPSEC_CFG || oid == ZOR_OID_WAN_DEV) {
            add(obj, {id});
            continue;
        }
        auto conns = obj.find(sub);
        if (conns == obj.end() || !conns->is_array())
            continue;
        for (Json &conn : *conns)
            add(conn, {id, conn.value("_iid", 0u)});
    }
    return out;
}

void modelDrop() {
    g_loaded = false;
}

} // namespace zor_internal

namespace zor_standin {

std::string home() {
    return zor_internal::home();
}
std::string mdmPath() {
    return zor_internal::home() + "/mdm.json";
}
void resetCounters() {
    zor_internal::resetCounters();
}

FieldKind fieldKind(ZorObjectId oid, const std::string &field) {
    const ObjectDef *def = zor_internal::objectDef(oid);
    const FieldDef *f = def ? findField(*def, field) : nullptr;
    return f ? f->kind : FieldKind::None;
}

bool checkValue(ZorObjectId oid, const std::string &field, const Json &value, std::string *why) {
    return checkKind(fieldKind(oid, field), value, why);
}

bool modelCheck(Json &root, std::string *why) {
    if (!root.is_object()) {
        *why = "the data model is not a JSON object";
        return false;
    }
    for (auto f = root.begin(); f != root.end(); ++f) {
        if (f.key() != "IPSecCfgObject" && f.key() != "WanDevObject") {
            *why = "field \"" + f.key() + "\": unknown object";
            return false;
        }
    }
    return checkList(root, "IPSecCfgObject", *zor_internal::objectDef(ZOR_OID_IPSEC_CFG), "", why) &&
           checkList(root, "WanDevObject", *zor_internal::objectDef(ZOR_OID_WAN_DEV), "", why);
}

ZorRet modelGet(Json **root) {
    if (!zor_internal::lockHeld())
        return ZORRET_LOCK_REQUIRED;
    if (!g_loaded) {
        g_loadRet = loadModel();
        g_loaded = true;
    }
    if (g_loadRet != ZORRET_SUCCESS)
        return g_loadRet;
    *root = &g_root;
    return ZORRET_SUCCESS;
}

ZorRet modelStore(const Json &root) {
    if (!zor_internal::lockHeld())
        return ZORRET_LOCK_REQUIRED;
    Json copy = root;
    std::string why;
    if (!modelCheck(copy, &why)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "refused: %s", why.c_str());
        return ZORRET_INVALID_ARGUMENTS;
    }
    std::string text;
    try {
        text = copy.dump(2) + "\n";
    } catch (const std::exception &e) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "refused: a text is not valid UTF-8 (%s)", e.what());
        return ZORRET_INVALID_ARGUMENTS;
    }
    const std::string path = mdmPath();
    if (!writeAtomically(path, text)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "cannot write %s: %s", path.c_str(), strerror(errno));
        return ZORRET_INTERNAL_ERROR;
    }
    g_root = std::move(copy);
    g_rootFile = fileIdOf(path);
    g_loaded = true;
    g_loadRet = ZORRET_SUCCESS;
    return ZORRET_SUCCESS;
}

} // namespace zor_standin

ZorRet zorMdm_init(ZorEntityId eid, void *msgHandle, SINT32 *shmId) {
    (void)msgHandle;
    (void)shmId;
    if (zor_internal::envFlag("ZOR_FAIL_MDM_INIT")) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "data model attach refused for entity %u (test hook)",
                static_cast<unsigned>(eid));
        return ZORRET_INTERNAL_ERROR;
    }
    if (!zor_internal::makeDirs(zor_internal::home())) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "cannot create %s: %s", zor_internal::home().c_str(), strerror(errno));
        return ZORRET_INTERNAL_ERROR;
    }
    return ZORRET_SUCCESS;
}
