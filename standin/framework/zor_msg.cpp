/*
 * Stand-in framework: messaging. Each entity owns a Unix datagram socket at
 * $ZOR_HOME/msg/<entity id>; one datagram is one message, header and body,
 * in host byte order. Replies go to the socket of the request's source.
 */
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "zor_internal.h"

namespace {

/* Largest datagram taken in; anything longer is refused as oversized. */
constexpr size_t kMaxMessage = 65536;
/* How long a plain send waits while the receiver's queue is full. */
constexpr long long kSendWaitMs = 1000;

struct MsgHandle {
    int fd = -1;
    ZorEntityId eid = 0;
    std::string path;
    std::vector<unsigned char> buf;
};

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string entityPath(ZorEntityId eid) {
    return zor_internal::home() + "/msg/" + std::to_string(eid);
}

bool makeAddr(const std::string &path, struct sockaddr_un *addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr->sun_path))
        return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

/* True when a process answers on the socket at `path`. */
bool socketIsLive(const std::string &path) {
    struct sockaddr_un addr;
    if (!makeAddr(path, &addr))
        return false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool live = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return live;
}

ZorRet openAt(const std::string &path, ZorEntityId eid, void **msgHandle) {
    *msgHandle = nullptr;
    struct sockaddr_un addr;
    if (!zor_internal::makeDirs(zor_internal::home() + "/msg") || !makeAddr(path, &addr)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "cannot use socket path %s", path.c_str());
        return ZORRET_INTERNAL_ERROR;
    }
    if (socketIsLive(path)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: another process already answers there", path.c_str());
        return ZORRET_INTERNAL_ERROR;
    }
    unlink(path.c_str()); /* a stale socket of a process that is gone */
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "%s: %s", path.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return ZORRET_INTERNAL_ERROR;
    }
    auto *h = new MsgHandle;
    h->fd = fd;
    h->eid = eid;
    h->path = path;
    h->buf.resize(kMaxMessage + 1);
    *msgHandle = h;
    return ZORRET_SUCCESS;
}

/* Sends raw bytes to `path`, waiting at most kSendWaitMs while its queue is full. */
ZorRet sendTo(MsgHandle *h, const std::string &path, const void *data, size_t len) {
    struct sockaddr_un addr;
    if (!makeAddr(path, &addr))
        return ZORRET_INVALID_ARGUMENTS;
    const long long deadline = nowMs() + kSendWaitMs;
    for (;;) {
        ssize_t n = sendto(h->fd, data, len, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
        if (n == static_cast<ssize_t>(len))
            return ZORRET_SUCCESS;
        if (n < 0 && (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR))
            return ZORRET_MSG_NOT_DELIVERED;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && nowMs() < deadline) {
            struct timespec nap = {0, 2000000};
            nanosleep(&nap, nullptr);
            continue;
        }
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "send to %s: %s", path.c_str(), n < 0 ? strerror(errno) : "short");
        return ZORRET_INTERNAL_ERROR;
    }
}

ZorRet sendMessage(MsgHandle *h, const ZorMsgHeader *msg) {
    zor_internal::trace("send 0x%08x %u", msg->type, msg->dst);
    if (msg->dataLength > kMaxMessage - ZOR_MSG_HEADER_SIZE)
        return ZORRET_INVALID_ARGUMENTS;
    return sendTo(h, entityPath(msg->dst), msg, ZOR_MSG_HEADER_SIZE + msg->dataLength);
}

/* Waits up to `timeoutMs` for one datagram and checks its framing. On success
 * its length is in *len and its bytes in h->buf. */
ZorRet receiveRaw(MsgHandle *h, UINT32 timeoutMs, size_t *len) {
    struct pollfd pfd = {h->fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&pfd, 1, static_cast<int>(timeoutMs > 0x7fffffffu ? 0x7fffffffu : timeoutMs));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return ZORRET_TIMED_OUT;
    ssize_t n = recv(h->fd, h->buf.data(), h->buf.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN)
            return ZORRET_TIMED_OUT;
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "receive: %s", strerror(errno));
        return ZORRET_INTERNAL_ERROR;
    }
    size_t size = static_cast<size_t>(n);
    if (size > kMaxMessage) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "message of %zu bytes refused: longer than %zu", size, kMaxMessage);
        return ZORRET_RESOURCE_EXCEEDED;
    }
    if (size < ZOR_MSG_HEADER_SIZE) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "message of %zu bytes refused: shorter than its header", size);
        return ZORRET_INVALID_ARGUMENTS;
    }
    UINT32 dataLength = 0;
    memcpy(&dataLength, h->buf.data() + offsetof(ZorMsgHeader, dataLength), sizeof(dataLength));
    if (dataLength != size - ZOR_MSG_HEADER_SIZE) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "message refused: dataLength %u but %zu body bytes", dataLength,
                size - ZOR_MSG_HEADER_SIZE);
        return ZORRET_INVALID_ARGUMENTS;
    }
    *len = size;
    return ZORRET_SUCCESS;
}

} // namespace

ZorRet zorMsg_init(ZorEntityId eid, void **msgHandle) {
    if (!msgHandle)
        return ZORRET_INVALID_ARGUMENTS;
    *msgHandle = nullptr;
    if (zor_internal::envFlag("ZOR_FAIL_MSG_INIT")) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "messaging refused for entity %u (test hook)",
                static_cast<unsigned>(eid));
        return ZORRET_INTERNAL_ERROR;
    }
    return openAt(entityPath(eid), eid, msgHandle);
}

ZorRet zorMsg_getEventHandle(void *msgHandle, int *fd) {
    if (!msgHandle || !fd)
        return ZORRET_INVALID_ARGUMENTS;
    *fd = static_cast<MsgHandle *>(msgHandle)->fd;
    return ZORRET_SUCCESS;
}

ZorRet zorMsg_receiveWithTimeout(void *msgHandle, ZorMsgHeader **msg, UINT32 timeoutMs) {
    if (!msgHandle || !msg)
        return ZORRET_INVALID_ARGUMENTS;
    *msg = nullptr;
    auto *h = static_cast<MsgHandle *>(msgHandle);
    size_t len = 0;
    ZorRet ret = receiveRaw(h, timeoutMs, &len);
    if (ret != ZORRET_SUCCESS)
        return ret;
    void *block = zorMem_alloc(static_cast<UINT32>(len), 0);
    if (!block)
        return ZORRET_RESOURCE_EXCEEDED;
    memcpy(block, h->buf.data(), len);
    *msg = static_cast<ZorMsgHeader *>(block);
    return ZORRET_SUCCESS;
}

ZorRet zorMsg_sendAndGetReplyWithTimeout(void *msgHandle, const ZorMsgHeader *msg, UINT32 timeoutMs) {
    if (!msgHandle || !msg)
        return ZORRET_INVALID_ARGUMENTS;
    auto *h = static_cast<MsgHandle *>(msgHandle);
    ZorRet ret = sendMessage(h, msg);
    if (ret != ZORRET_SUCCESS)
        return ret;
    /* Other messages arriving meanwhile are put back on our own socket after
     * the wait, so the event loop still sees them. */
    std::vector<std::vector<unsigned char>> others;
    const long long deadline = nowMs() + timeoutMs;
    ret = ZORRET_TIMED_OUT;
    for (long long left = timeoutMs; left >= 0; left = deadline - nowMs()) {
        size_t len = 0;
        ZorRet got = receiveRaw(h, static_cast<UINT32>(left), &len);
        if (got == ZORRET_TIMED_OUT)
            break;
        if (got != ZORRET_SUCCESS)
            continue;
        ZorMsgHeader reply;
        memcpy(&reply, h->buf.data(), sizeof(reply));
        if ((reply.flags & ZOR_MSG_FLAG_RESPONSE) && reply.type == msg->type &&
            reply.sequenceNumber == msg->sequenceNumber) {
            /* Results are small numbers; anything else is no valid ZorRet. */
            ret = reply.wordData <= 0x3fffu ? static_cast<ZorRet>(reply.wordData) : ZORRET_INTERNAL_ERROR;
            break;
        }
        others.emplace_back(h->buf.begin(), h->buf.begin() + static_cast<long>(len));
    }
    for (const auto &m : others)
        sendTo(h, h->path, m.data(), m.size());
    return ret;
}

void zorMsg_cleanup(void **msgHandle) {
    if (!msgHandle || !*msgHandle)
        return;
    auto *h = static_cast<MsgHandle *>(*msgHandle);
    if (h->fd >= 0)
        close(h->fd);
    unlink(h->path.c_str());
    delete h;
    *msgHandle = nullptr;
}

namespace zor_standin {

ZorRet msgOpenPrivate(void **msgHandle) {
    if (!msgHandle)
        return ZORRET_INVALID_ARGUMENTS;
    return openAt(zor_internal::home() + "/msg/tool-" + std::to_string(getpid()), 0, msgHandle);
}

ZorRet msgSend(void *msgHandle, const ZorMsgHeader *msg) {
    if (!msgHandle || !msg)
        return ZORRET_INVALID_ARGUMENTS;
    return sendMessage(static_cast<MsgHandle *>(msgHandle), msg);
}

ZorRet msgReply(void *msgHandle, const ZorMsgHeader *request, UINT32 result) {
    if (!msgHandle || !request)
        return ZORRET_INVALID_ARGUMENTS;
    auto *h = static_cast<MsgHandle *>(msgHandle);
    ZorMsgHeader reply;
    memset(&reply, 0, sizeof(reply));
    reply.type = request->type;
    reply.src = h->eid;
    reply.dst = request->src;
    reply.flags = ZOR_MSG_FLAG_RESPONSE;
    reply.sequenceNumber = request->sequenceNumber;
    reply.wordData = result;
    return sendMessage(h, &reply);
}

} // namespace zor_standin
