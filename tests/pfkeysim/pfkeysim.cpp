/*
 * The simulated PF_KEY kernel: per-socket receive queues fed by SADB_DUMP
 * requests, paced like Linux, and the libc entry points it takes over for
 * PF_KEY descriptors. Everything else is forwarded to the next definition
 * (the C library) found with dlsym(RTLD_NEXT).
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/pfkeyv2.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "pfkeysim.h"
#include "pfkeysim_internal.h"

namespace {

using ReadFn = ssize_t (*)(int, void *, size_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using RecvFn = ssize_t (*)(int, void *, size_t, int);
using SendFn = ssize_t (*)(int, const void *, size_t, int);
using RecvfromFn = ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *);
using SendtoFn = ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t);
using CloseFn = int (*)(int);
using SocketFn = int (*)(int, int, int);
using SetsockoptFn = int (*)(int, int, int, const void *, socklen_t);

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

ReadFn realRead() {
    static ReadFn fn = next<ReadFn>("read");
    return fn;
}
WriteFn realWrite() {
    static WriteFn fn = next<WriteFn>("write");
    return fn;
}
RecvFn realRecv() {
    static RecvFn fn = next<RecvFn>("recv");
    return fn;
}
SendFn realSend() {
    static SendFn fn = next<SendFn>("send");
    return fn;
}
RecvfromFn realRecvfrom() {
    static RecvfromFn fn = next<RecvfromFn>("recvfrom");
    return fn;
}
SendtoFn realSendto() {
    static SendtoFn fn = next<SendtoFn>("sendto");
    return fn;
}
CloseFn realClose() {
    static CloseFn fn = next<CloseFn>("close");
    return fn;
}
SocketFn realSocket() {
    static SocketFn fn = next<SocketFn>("socket");
    return fn;
}
SetsockoptFn realSetsockopt() {
    static SetsockoptFn fn = next<SetsockoptFn>("setsockopt");
    return fn;
}

/* Linux defaults: net.core.rmem_default/rmem_max and SOCK_MIN_RCVBUF. */
constexpr int kDefaultRcvbuf = 212992;
constexpr int kMinRcvbuf = 2304;
/* What one queued message costs against the receive buffer (skb truesize). */
constexpr long kTruesize = 1280;

struct Sock {
    int peer = -1;
    bool rcvtimeo = false;
    int rcvbuf = kDefaultRcvbuf;
    std::deque<std::vector<uint8_t>> queue;   /* readable now */
    std::deque<std::vector<uint8_t>> pending; /* the dump's rest, held back by pacing */
    bool dumping = false;                     /* a dump has not sent its last message */
    bool token = false;                       /* a byte waits on the descriptor for select() */
    long queued = 0;                          /* truesize of the queue */
    int readsSinceRequest = 0;
    int failReadAt = 0; /* of the current dump */
    int failErr = 0;
};

struct State {
    std::mutex mu;
    std::map<int, Sock> socks;
    std::vector<pfkeysim::Sa> table;
    pfkeysim::Faults faults;
    bool replay = false;
    std::vector<std::vector<uint8_t>> replayMsgs;
    uint32_t replayPid = 0;
    std::vector<pfkeysim::Request> requests;
    int rcvbufSet = -1;
};

/* Never destroyed: descriptors may be closed during exit. */
State &state() {
    static State *s = new State;
    return *s;
}

/* Fast path for every descriptor that is not ours. */
std::atomic<int> g_open{0};

bool isOurs(int fd) {
    return g_open.load(std::memory_order_relaxed) > 0 && state().socks.count(fd);
}

std::string readWholeFile(const char *path, bool *ok) {
    std::string out;
    FILE *f = std::fopen(path, "r");
    *ok = f != nullptr;
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

/* The table and faults in force for this dump: the file named by
 * PFKEYSIM_TABLE when set (missing file: empty table), else the API's. */
void currentTable(State &st, std::vector<pfkeysim::Sa> *sas, pfkeysim::Faults *faults) {
    const char *path = std::getenv("PFKEYSIM_TABLE");
    if (!path || !*path) {
        *sas = st.table;
        *faults = st.faults;
        return;
    }
    bool ok = false;
    std::string text = readWholeFile(path, &ok);
    std::string error;
    if (ok && !pfkeysim::parseTableFile(text, sas, faults, &error)) {
        std::fprintf(stderr, "pfkeysim: %s: %s\n", path, error.c_str());
        sas->clear();
    }
}

void logLine(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char *fmt, ...) {
    const char *path = std::getenv("PFKEYSIM_LOG");
    if (!path || !*path)
        return;
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    realWrite()(fd, line, std::min(static_cast<size_t>(n), sizeof(line) - 1));
    realClose()(fd);
}

void setPid(std::vector<uint8_t> &msg, uint32_t pid) {
    if (msg.size() >= sizeof(sadb_msg))
        std::memcpy(msg.data() + offsetof(sadb_msg, sadb_msg_pid), &pid, sizeof(pid));
}

uint32_t getPid(const std::vector<uint8_t> &msg) {
    uint32_t pid = 0;
    if (msg.size() >= sizeof(sadb_msg))
        std::memcpy(&pid, msg.data() + offsetof(sadb_msg, sadb_msg_pid), sizeof(pid));
    return pid;
}

/* Sets sadb_ext_len of the first extension of `type` in `msg`. */
void corrupt(std::vector<uint8_t> &msg, uint16_t type, uint16_t lenWords) {
    size_t off = sizeof(sadb_msg);
    while (off + sizeof(sadb_ext) <= msg.size()) {
        sadb_ext ext;
        std::memcpy(&ext, msg.data() + off, sizeof(ext));
        if (ext.sadb_ext_type == type) {
            std::memcpy(msg.data() + off + offsetof(sadb_ext, sadb_ext_len), &lenWords, sizeof(lenWords));
            return;
        }
        if (ext.sadb_ext_len == 0)
            return;
        off += ext.sadb_ext_len * 8u;
    }
}

void enqueue(Sock &s, std::vector<uint8_t> msg) {
    s.queued += kTruesize;
    s.queue.push_back(std::move(msg));
    if (!s.token) {
        const char byte = 0;
        realSend()(s.peer, &byte, 1, MSG_DONTWAIT);
        s.token = true;
    }
}

/* Linux queues dump messages while the queued bytes stay within 2/3 of the
 * receive buffer. */
void pump(Sock &s) {
    while (!s.pending.empty() && 3 * s.queued <= 2L * s.rcvbuf) {
        enqueue(s, std::move(s.pending.front()));
        s.pending.pop_front();
    }
}

std::vector<uint8_t> broadcastMessage(const pfkeysim::Broadcast &b) {
    if (b.type == pfkeysim::BCAST_SPDADD)
        return pfkeysim::spdaddMessage(b.seq, b.pid);
    return pfkeysim::saMessage(b.sa, b.type, b.seq, b.pid);
}

/* The reply messages of a dump of `sas` for request `req`, with the faults. */
std::deque<std::vector<uint8_t>> dumpReplies(const std::vector<pfkeysim::Sa> &sas, const pfkeysim::Faults &faults,
                                             const sadb_msg &req, bool *finishes) {
    std::deque<std::vector<uint8_t>> out;
    *finishes = true;
    for (const auto &b : faults.bcasts)
        if (b.afterK == 0)
            out.push_back(broadcastMessage(b));
    for (size_t i = 0; i < sas.size(); i++) {
        const int k = static_cast<int>(i) + 1;
        if (faults.stopAfter >= 0 && k > faults.stopAfter) {
            *finishes = false;
            break;
        }
        const uint32_t seq = (i + 1 == sas.size()) ? 0 : static_cast<uint32_t>(k);
        std::vector<uint8_t> msg = pfkeysim::saMessage(sas[i], SADB_DUMP, seq, req.sadb_msg_pid);
        for (const auto &c : faults.corrupts)
            if (c.k == k)
                corrupt(msg, c.extType, c.lenWords);
        out.push_back(std::move(msg));
        for (const auto &b : faults.bcasts)
            if (b.afterK == k)
                out.push_back(broadcastMessage(b));
    }
    if (faults.stopAfter == 0)
        *finishes = false;
    return out;
}

void startDump(State &st, Sock &s, const sadb_msg &req) {
    std::vector<pfkeysim::Sa> sas;
    pfkeysim::Faults faults;
    currentTable(st, &sas, &faults);
    s.readsSinceRequest = 0;
    s.failReadAt = faults.failReadAt;
    s.failErr = faults.failErr;
    bool finishes = true;
    size_t replies = 0;
    if (st.replay) {
        for (auto msg : st.replayMsgs) {
            if (getPid(msg) == st.replayPid)
                setPid(msg, req.sadb_msg_pid);
            s.pending.push_back(std::move(msg));
        }
        st.replay = false;
        replies = s.pending.size();
    } else if (sas.empty() || (req.sadb_msg_satype != SADB_SATYPE_ESP && req.sadb_msg_satype != 0)) {
        enqueue(s, pfkeysim::headerMessage(SADB_DUMP, req.sadb_msg_satype, ENOENT, req.sadb_msg_seq, req.sadb_msg_pid));
    } else {
        s.pending = dumpReplies(sas, faults, req, &finishes);
        replies = sas.size();
    }
    s.dumping = !finishes;
    pump(s);
    logLine("SADB_DUMP satype=%u seq=%u pid=%u sas=%zu\n", req.sadb_msg_satype, req.sadb_msg_seq, req.sadb_msg_pid,
            replies);
}

/* A message written to a PF_KEY socket: checked as Linux checks it. */
ssize_t request(int fd, const void *buf, size_t len) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    auto it = st.socks.find(fd);
    if (it == st.socks.end()) {
        errno = EBADF;
        return -1;
    }
    Sock &s = it->second;
    sadb_msg req;
    if (len < sizeof(req)) {
        errno = EMSGSIZE;
        return -1;
    }
    std::memcpy(&req, buf, sizeof(req));
    if (req.sadb_msg_version != PF_KEY_V2 || req.sadb_msg_reserved != 0 || req.sadb_msg_type == 0 ||
        req.sadb_msg_type > SADB_MAX) {
        errno = EINVAL;
        return -1;
    }
    if (req.sadb_msg_len * 8u != len) {
        errno = EMSGSIZE;
        return -1;
    }
    st.requests.push_back(
        {req.sadb_msg_type, req.sadb_msg_satype, req.sadb_msg_seq, req.sadb_msg_pid, req.sadb_msg_len, len});
    if (req.sadb_msg_type != SADB_DUMP) {
        logLine("request type=%u satype=%u seq=%u pid=%u\n", req.sadb_msg_type, req.sadb_msg_satype, req.sadb_msg_seq,
                req.sadb_msg_pid);
        enqueue(s, pfkeysim::headerMessage(req.sadb_msg_type, req.sadb_msg_satype, EOPNOTSUPP, req.sadb_msg_seq,
                                           req.sadb_msg_pid));
        return static_cast<ssize_t>(len);
    }
    if (s.dumping || !s.pending.empty()) {
        logLine("SADB_DUMP busy seq=%u pid=%u\n", req.sadb_msg_seq, req.sadb_msg_pid);
        enqueue(s, pfkeysim::headerMessage(SADB_DUMP, req.sadb_msg_satype, EBUSY, req.sadb_msg_seq, req.sadb_msg_pid));
        return static_cast<ssize_t>(len);
    }
    startDump(st, s, req);
    return static_cast<ssize_t>(len);
}

/* One message per read; a short buffer truncates it, as for any datagram. */
ssize_t receive(int fd, void *buf, size_t len, int flags) {
    State &st = state();
    std::unique_lock<std::mutex> lock(st.mu);
    auto it = st.socks.find(fd);
    if (it == st.socks.end()) {
        errno = EBADF;
        return -1;
    }
    Sock &s = it->second;
    s.readsSinceRequest++;
    if (s.failReadAt > 0 && s.readsSinceRequest == s.failReadAt) {
        errno = s.failErr;
        return -1;
    }
    if (s.queue.empty()) {
        const bool nonblocking = (flags & MSG_DONTWAIT) || (fcntl(fd, F_GETFL) & O_NONBLOCK);
        if (s.rcvtimeo || nonblocking) {
            errno = EAGAIN;
            return -1;
        }
        /* Nothing will ever arrive: block as the kernel would. */
        lock.unlock();
        return realRecv()(fd, buf, len, flags);
    }
    /* Linux resumes a paused dump from recvmsg, counting the message being read. */
    if (3 * s.queued <= s.rcvbuf)
        pump(s);
    std::vector<uint8_t> &msg = s.queue.front();
    const size_t n = std::min(len, msg.size());
    if (n > 0) /* an empty message has no data pointer to copy from */
        std::memcpy(buf, msg.data(), n);
    if (flags & MSG_PEEK)
        return static_cast<ssize_t>(n);
    if (!msg.empty())
        std::memset(msg.data(), 0, msg.size()); /* it held keys */
    s.queue.pop_front();
    s.queued -= kTruesize;
    if (s.queue.empty()) {
        char byte;
        realRecv()(fd, &byte, 1, MSG_DONTWAIT);
        s.token = false;
    }
    return static_cast<ssize_t>(n);
}

int openPfkey(int type, int protocol) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    const char *path = std::getenv("PFKEYSIM_TABLE");
    bool absent = st.faults.noPfkey;
    if (path && *path) {
        std::vector<pfkeysim::Sa> sas;
        pfkeysim::Faults faults;
        currentTable(st, &sas, &faults);
        absent = faults.noPfkey;
    }
    if (absent) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if ((type & 0xf) != SOCK_RAW || protocol != PF_KEY_V2) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    int sv[2];
    const int extra = type & (SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socketpair(AF_UNIX, SOCK_DGRAM | extra, 0, sv) != 0)
        return -1;
    Sock s;
    s.peer = sv[1];
    st.socks[sv[0]] = std::move(s);
    g_open.fetch_add(1);
    logLine("socket fd=%d\n", sv[0]);
    return sv[0];
}

int closePfkey(int fd) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    auto it = st.socks.find(fd);
    if (it != st.socks.end()) {
        realClose()(it->second.peer);
        st.socks.erase(it);
        g_open.fetch_sub(1);
    }
    return realClose()(fd);
}

bool lockedIsOurs(int fd) {
    if (g_open.load(std::memory_order_relaxed) == 0)
        return false;
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    return isOurs(fd);
}

} // namespace

/* ---- the C library entry points taken over ----------------------------- */
extern "C" {

/* Referenced by the static library's link options so that this object, and
 * with it every entry point below, is always linked in. */
int pfkeysim_interposers = 1;

int socket(int domain, int type, int protocol) __THROW {
    if (domain == PF_KEY)
        return openPfkey(type, protocol);
    return realSocket()(domain, type, protocol);
}

int setsockopt(int fd, int level, int name, const void *val, socklen_t len) __THROW {
    if (!lockedIsOurs(fd) || level != SOL_SOCKET)
        return realSetsockopt()(fd, level, name, val, len);
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    Sock &s = st.socks[fd];
    if (name == SO_RCVTIMEO && len >= sizeof(timeval)) {
        timeval tv;
        std::memcpy(&tv, val, sizeof(tv));
        s.rcvtimeo = tv.tv_sec != 0 || tv.tv_usec != 0;
    } else if (name == SO_RCVBUF && len >= sizeof(int)) {
        int v;
        std::memcpy(&v, val, sizeof(v));
        st.rcvbufSet = v;
        s.rcvbuf = std::max(std::min(std::max(v, 0), kDefaultRcvbuf) * 2, kMinRcvbuf);
    }
    return realSetsockopt()(fd, level, name, val, len);
}

ssize_t read(int fd, void *buf, size_t len) {
    if (lockedIsOurs(fd))
        return receive(fd, buf, len, 0);
    return realRead()(fd, buf, len);
}

ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen) {
    if (len > buflen)
        abort();
    return read(fd, buf, len);
}

ssize_t recv(int fd, void *buf, size_t len, int flags) {
    if (lockedIsOurs(fd))
        return receive(fd, buf, len, flags);
    return realRecv()(fd, buf, len, flags);
}

ssize_t __recv_chk(int fd, void *buf, size_t len, size_t buflen, int flags) {
    if (len > buflen)
        abort();
    return recv(fd, buf, len, flags);
}

ssize_t recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *addr, socklen_t *alen) {
    if (lockedIsOurs(fd)) {
        if (alen)
            *alen = 0;
        return receive(fd, buf, len, flags);
    }
    return realRecvfrom()(fd, buf, len, flags, addr, alen);
}

ssize_t write(int fd, const void *buf, size_t len) {
    if (lockedIsOurs(fd))
        return request(fd, buf, len);
    return realWrite()(fd, buf, len);
}

ssize_t send(int fd, const void *buf, size_t len, int flags) {
    if (lockedIsOurs(fd))
        return request(fd, buf, len);
    return realSend()(fd, buf, len, flags);
}

ssize_t sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *addr, socklen_t alen) {
    if (lockedIsOurs(fd))
        return request(fd, buf, len);
    return realSendto()(fd, buf, len, flags, addr, alen);
}

int close(int fd) {
    if (lockedIsOurs(fd))
        return closePfkey(fd);
    return realClose()(fd);
}

} // extern "C"

/* ---- control API ------------------------------------------------------------ */
namespace pfkeysim {

void reset() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.table.clear();
    st.faults = Faults();
    st.replay = false;
    st.replayMsgs.clear();
    st.requests.clear();
    st.rcvbufSet = -1;
}

void setTable(const std::vector<Sa> &sas) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.table = sas;
}

void setNoPfkey(bool absent) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.faults.noPfkey = absent;
}

void failReadAt(int k, int err) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.faults.failReadAt = k;
    st.faults.failErr = err;
}

void injectBroadcast(int afterK, BroadcastType type, uint32_t pid, uint32_t seq, const Sa &sa) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.faults.bcasts.push_back({afterK, type, pid, seq, sa});
}

void corruptExtension(int k, uint16_t extType, uint16_t lenWords) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.faults.corrupts.push_back({k, extType, lenWords});
}

void neverFinishAfter(int k) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.faults.stopAfter = k;
}

void replayNext(const std::vector<std::vector<uint8_t>> &msgs, uint32_t capturedPid) {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    st.replay = true;
    st.replayMsgs = msgs;
    st.replayPid = capturedPid;
}

std::vector<Request> requests() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    return st.requests;
}

int dumpRequests() {
    int n = 0;
    for (const Request &r : requests())
        n += r.type == SADB_DUMP;
    return n;
}

int openSockets() {
    return g_open.load();
}

int rcvbufSet() {
    State &st = state();
    std::lock_guard<std::mutex> lock(st.mu);
    return st.rcvbufSet;
}

} // namespace pfkeysim
