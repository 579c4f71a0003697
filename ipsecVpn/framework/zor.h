/*
 * The management framework as the IPsec daemon sees it: entity and object
 * ids, results, messaging, data model, global lock, objects, memory, strings,
 * logging and runtime utilities, and the records the daemon reads and writes.
 *
 * This is the only header the daemon includes from the framework. Any library
 * that implements these C functions can be linked in its place.
 */
#ifndef ZOR_H
#define ZOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t UINT32;
typedef int32_t SINT32;
typedef uint16_t UINT16;
typedef uint8_t UINT8;
typedef uint8_t UBOOL8;

/* ---- entities ------------------------------------------------------- */
typedef UINT32 ZorEntityId;
enum {
    EID_KIV = 20,   /* system management daemon, relays messages */
    EID_WEV = 21,   /* answers WAN connection status queries */
    EID_IPSEC = 502 /* this daemon */
};

/* ---- results -------------------------------------------------------- */
typedef enum {
    ZORRET_SUCCESS = 0,
    ZORRET_INVALID_ARGUMENTS = 9001,
    ZORRET_INTERNAL_ERROR = 9002,
    ZORRET_RESOURCE_EXCEEDED = 9004,
    ZORRET_TIMED_OUT = 9005,
    ZORRET_NO_MORE_INSTANCES = 9006,
    ZORRET_OBJECT_NOT_FOUND = 9007,
    ZORRET_LOCK_REQUIRED = 9008,
    ZORRET_MSG_NOT_DELIVERED = 9009
} ZorRet;

/* ---- logging -------------------------------------------------------- */
enum { ZOR_LOG_ERR = 3, ZOR_LOG_DEBUG = 7 };

void zorLog_init(ZorEntityId eid);
void log_log(int level, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* ---- messages ------------------------------------------------------- */
typedef UINT32 ZorMsgType;
#define ZOR_MSG_GET_WAN_CONN_STATUS ((ZorMsgType)0x10000881u) /* 268437633 */
#define ZOR_MSG_IPSEC_CFG_CHANGED ((ZorMsgType)0x10002800u)   /* 268445696 */
#define ZOR_MSG_IPSEC_DFL_GW_CHANGED ((ZorMsgType)0x10002801u) /* 268445697 */

/* flags: bits from the most significant down */
#define ZOR_MSG_FLAG_EVENT 0x8000u
#define ZOR_MSG_FLAG_REQUEST 0x4000u
#define ZOR_MSG_FLAG_RESPONSE 0x2000u
#define ZOR_MSG_FLAG_REQUEUE 0x1000u
#define ZOR_MSG_FLAG_BOUNCE_IF_NOT_RUNNING 0x0800u

/* 28 bytes on every host; the body follows at once. Host byte order. */
typedef struct {
    ZorMsgType type;       /* 0 */
    ZorEntityId src;       /* 4 */
    ZorEntityId dst;       /* 8 */
    UINT16 flags;          /* 12 */
    UINT16 sequenceNumber; /* 14 */
    UINT32 next;           /* 16: queue link of the framework, 4 bytes on the router */
    UINT32 wordData;       /* 20 */
    UINT32 dataLength;     /* 24: body length in bytes */
} ZorMsgHeader;

#define ZOR_MSG_HEADER_SIZE 28u

typedef struct {
    UINT8 currentDepth;
    UINT32 instance[6];
} InstanceIdStack;

#define EMPTY_INSTANCE_ID_STACK {0, {0, 0, 0, 0, 0, 0}}

/* Body of ZOR_MSG_IPSEC_CFG_CHANGED, 160 bytes. Describes the tunnel as it
 * was before the change; `stack` names its object in the data model. */
typedef struct {
    UINT32 local_ip_mode;        /* 0 */
    UINT32 remote_ip_mode;       /* 4 */
    UINT32 entryID;              /* 8 */
    UINT32 op;                   /* 12: 1 add, 2 delete, >=3 change, 4 restart */
    UINT8 enable;                /* 16 */
    char local_ip[16];           /* 17 */
    char local_mask[16];         /* 33 */
    char remote_ip[16];          /* 49 */
    char remote_mask[16];        /* 65 */
    char real_remote_gw_ip[16];  /* 81 */
    char spi[16];                /* 97 */
    char second_spi[16];         /* 113 */
    UINT8 reserved[3];           /* 129 */
    InstanceIdStack stack;       /* 132 */
} IpsecCfgChangedMsgBody;

/* Body of ZOR_MSG_IPSEC_DFL_GW_CHANGED, 36 bytes. */
typedef struct {
    char ifName[32]; /* 0 */
    SINT32 isUP;     /* 32: 1 up, anything else down */
} IPSecWanChangedMsgBody;

enum { IPSEC_CFG_OP_ADD = 1, IPSEC_CFG_OP_DELETE = 2, IPSEC_CFG_OP_CHANGE = 3, IPSEC_CFG_OP_RESTART = 4 };

ZorRet zorMsg_init(ZorEntityId eid, void **msgHandle);
ZorRet zorMsg_getEventHandle(void *msgHandle, int *fd);
/* On success *msg is header and body in one block, released with zorMem_free. */
ZorRet zorMsg_receiveWithTimeout(void *msgHandle, ZorMsgHeader **msg, UINT32 timeoutMs);
/* Sends a request and returns the reply's result (wordData of the reply). */
ZorRet zorMsg_sendAndGetReplyWithTimeout(void *msgHandle, const ZorMsgHeader *msg, UINT32 timeoutMs);
void zorMsg_cleanup(void **msgHandle);

/* ---- data model ----------------------------------------------------- */
ZorRet zorMdm_init(ZorEntityId eid, void *msgHandle, SINT32 *shmId);

/* ---- global lock (time-outs in milliseconds) ------------------------- */
ZorRet zorLck_acquireLockWithTimeoutTraced(const char *func, UINT32 timeoutMs);
void zorLck_releaseLockTraced(const char *func);

/* ---- objects -------------------------------------------------------- */
typedef UINT16 ZorObjectId;
enum {
    ZOR_OID_WAN_DEV = 92,
    ZOR_OID_WAN_IP_CONN = 132,
    ZOR_OID_WAN_PPP_CONN = 139,
    ZOR_OID_IPSEC_CFG = 237
};

/* Text fields are framework-owned blocks (zorMem_strdup) and may be null. */
typedef struct {
    ZorObjectId _oid;
    UINT32 entryID;
    UBOOL8 enable;
    char *connName;
    char *tunMode;
    UBOOL8 status;
    UBOOL8 DPD;
    UBOOL8 fqdnChanged;
    char *ipVer;
    char *localGwIf;
    char *remoteGWAddress;
    char *realRemoteIP;
    char *localRangeLo;
    char *localRangeHi;
    UINT32 localIPMode;
    char *localIPAddress;
    char *localMask;
    char *remoteRangeLo;
    char *remoteRangeHi;
    UINT32 remoteIPMode;
    char *remoteIPAddress;
    char *remoteMask;
    UINT32 keyExMethod;
    UINT32 authMethod;
    char *PSK;
    char *certificateName;
    UBOOL8 perfectFSEn;
    char *manualEncryptionAlgo;
    char *manualEncryptionKey;
    char *manualAuthAlgo;
    char *manualAthKey;
    char *SPI;
    char *secondSPI;
    char *ph1Mode;
    char *ph1MyIdType;
    char *ph1MyId;
    char *ph1PeerIdType;
    char *ph1PeerId;
    char *ph1EncryptionAlo;
    char *ph1IntegrityAlgo;
    char *ph1DHGroup;
    UINT32 ph1KeyTime;
    char *ph2Mode;
    char *ph2EncryptionAlo;
    char *ph2IntegrityAlgo;
    char *ph2DHGroup;
    UINT32 ph2KeyTime;
} IPSecCfgObject;

typedef struct {
    ZorObjectId _oid;
    char *name;
} WanDevObject;

typedef struct {
    ZorObjectId _oid;
    UBOOL8 enable;
    char *connectionStatus;
    char *connectionType;
    char *X_VORTALIX_COM_IfName;
    char *externalIPAddress;
} WanIpConnObject;

typedef struct {
    ZorObjectId _oid;
    UBOOL8 enable;
    char *connectionStatus;
    char *X_VORTALIX_COM_IfName;
    char *externalIPAddress;
} WanPppConnObject;

/* A zeroed stack starts a walk; non-zero at the end. Needs the global lock. */
ZorRet zorObj_getNext(ZorObjectId oid, InstanceIdStack *iidStack, void **obj);
ZorRet zorObj_getNextInSubTree(ZorObjectId oid, const InstanceIdStack *parent, InstanceIdStack *iidStack,
                               void **obj);
ZorRet zorObj_get(ZorObjectId oid, const InstanceIdStack *iidStack, UINT32 getFlags, void **obj);
ZorRet zorObj_set(const void *obj, const InstanceIdStack *iidStack);
/* Releases a copy and its texts, clears the pointer. */
void zorObj_free(void **obj);

/* ---- memory --------------------------------------------------------- */
#define ZOR_MEM_ZEROIZE 1u
void *zorMem_alloc(UINT32 size, UINT32 flags);
void zorMem_free(void *buf);
char *zorMem_strdup(const char *str);

/* ---- strings -------------------------------------------------------- */
/* 0 when equal; a null text equals only a null text. */
SINT32 zorUtl_strcmp(const char *s1, const char *s2);
/* At most n-1 characters, always terminated (n > 0). */
char *zorUtl_strncpy(char *dest, const char *src, SINT32 n);

/* ---- runtime utilities ---------------------------------------------- */
/* Fills a 16-byte buffer with the default-gateway interface, empty when none. */
void rut_getDefaultGatewayInterfaceName(char *ifName);
/* Firewall rules admitting IKE, NAT-T and ESP on a WAN interface. */
ZorRet rutIpt_initIpSecPolicy(const char *ifName);
ZorRet rutIpt_removeIpSecPolicy(const char *ifName);

#ifdef __cplusplus
}

static_assert(sizeof(ZorMsgHeader) == 28, "message header is 28 bytes");
static_assert(offsetof(ZorMsgHeader, next) == 16 && offsetof(ZorMsgHeader, dataLength) == 24, "header layout");
static_assert(sizeof(InstanceIdStack) == 28, "instance stack is 28 bytes");
static_assert(sizeof(IpsecCfgChangedMsgBody) == 160, "config body is 160 bytes");
static_assert(offsetof(IpsecCfgChangedMsgBody, enable) == 16 && offsetof(IpsecCfgChangedMsgBody, local_ip) == 17 &&
                  offsetof(IpsecCfgChangedMsgBody, local_mask) == 33 &&
                  offsetof(IpsecCfgChangedMsgBody, remote_ip) == 49 &&
                  offsetof(IpsecCfgChangedMsgBody, remote_mask) == 65 &&
                  offsetof(IpsecCfgChangedMsgBody, real_remote_gw_ip) == 81 &&
                  offsetof(IpsecCfgChangedMsgBody, spi) == 97 && offsetof(IpsecCfgChangedMsgBody, second_spi) == 113 &&
                  offsetof(IpsecCfgChangedMsgBody, stack) == 132,
              "config body layout");
static_assert(sizeof(IPSecWanChangedMsgBody) == 36 && offsetof(IPSecWanChangedMsgBody, isUP) == 32,
              "WAN body layout");
#endif

#endif /* ZOR_H */
