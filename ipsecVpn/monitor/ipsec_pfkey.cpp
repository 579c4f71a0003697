/*
 * PF_KEY v2 dump of the kernel's ESP SAs: one request, then one kernel
 * message per read until our dump's last reply. Shared by the status monitor
 * and the deletion of a tunnel's SAs by request id.
 */
#include "monitor/ipsec_pfkey.h"

#include <arpa/inet.h>
#include <linux/pfkeyv2.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

/* A dump that stalls (a lost final reply) must not hang the daemon. */
constexpr time_t kReadTimeoutSec = 3;
constexpr size_t kBufSize = 4096;

/* The PF_KEY socket, closed on every path. */
class PfkeySocket {
  public:
    PfkeySocket() : fd_(socket(PF_KEY, SOCK_RAW, PF_KEY_V2)) {}
    PfkeySocket(const PfkeySocket &) = delete;
    PfkeySocket &operator=(const PfkeySocket &) = delete;
    ~PfkeySocket() {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

/* The receive buffer stays at its default: the kernel pauses a dump while
 * the buffer is full and, with a very small one, never resumes it. */
bool setReadTimeout(int fd) {
    timeval tv{};
    tv.tv_sec = kReadTimeoutSec;
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
}

bool sendDumpRequest(int fd, UINT32 pid) {
    sadb_msg req{};
    req.sadb_msg_version = PF_KEY_V2;
    req.sadb_msg_type = SADB_DUMP;
    req.sadb_msg_satype = SADB_SATYPE_ESP;
    req.sadb_msg_len = sizeof(req) / 8;
    req.sadb_msg_pid = pid;
    UINT8 bytes[sizeof(req)];
    std::memcpy(bytes, &req, sizeof(req));
    return write(fd, bytes, sizeof(bytes)) == static_cast<ssize_t>(sizeof(bytes));
}

/* Dotted-quad text (at most 16 bytes with the NUL) of an address as the
 * message holds it, in network order. inet_ntop formats through sprintf,
 * which was nine tenths of the walk's time. */
void formatIpv4(const in_addr &addr, char *out) {
    UINT8 octets[4];
    std::memcpy(octets, &addr, sizeof(octets));
    char *p = out;
    for (int i = 0; i < 4; i++) {
        const unsigned v = octets[i];
        if (v >= 100)
            *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10)
            *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
        *p++ = (i < 3) ? '.' : '\0';
    }
}

void readAddress(const UINT8 *ext, size_t extLen, char *out, bool *has) {
    sockaddr_in sin;
    if (extLen < sizeof(sadb_address) + sizeof(sin))
        return;
    std::memcpy(&sin, ext + sizeof(sadb_address), sizeof(sin));
    formatIpv4(sin.sin_addr, out);
    *has = true;
}

/* Walks the extensions in `buf[0, len)`. False when they do not fill the
 * message exactly: an extension whose length is zero or runs past the bytes
 * received ends the walk there. */
bool walkExtensions(const UINT8 *buf, size_t len, PfkeySaMsg *sa) {
    size_t off = sizeof(sadb_msg);
    while (off < len && len - off >= sizeof(sadb_ext)) {
        sadb_ext ext;
        std::memcpy(&ext, buf + off, sizeof(ext));
        const size_t extLen = static_cast<size_t>(ext.sadb_ext_len) * 8u;
        if (extLen == 0 || extLen > len - off)
            return false;
        const UINT8 *p = buf + off;
        if (ext.sadb_ext_type == SADB_EXT_SA && extLen >= sizeof(sadb_sa)) {
            sadb_sa s;
            std::memcpy(&s, p, sizeof(s));
            sa->spi = ntohl(s.sadb_sa_spi);
            sa->state = s.sadb_sa_state;
            sa->hasSa = true;
        } else if (ext.sadb_ext_type == SADB_EXT_ADDRESS_SRC) {
            readAddress(p, extLen, sa->src, &sa->hasSrc);
        } else if (ext.sadb_ext_type == SADB_EXT_ADDRESS_DST) {
            readAddress(p, extLen, sa->dst, &sa->hasDst);
        } else if (ext.sadb_ext_type == SADB_X_EXT_SA2 && extLen >= sizeof(sadb_x_sa2)) {
            sadb_x_sa2 s2;
            std::memcpy(&s2, p, sizeof(s2));
            sa->reqid = s2.sadb_x_sa2_reqid;
            sa->hasSa2 = true;
        }
        off += extLen;
    }
    return off == len;
}

} // namespace

PfkeyMsgKind pfkey_parseDumpReply(const UINT8 *buf, size_t len, UINT32 ourPid, PfkeySaMsg *sa) {
    sa->hasSa = sa->hasSrc = sa->hasDst = sa->hasSa2 = false;
    sadb_msg hdr;
    if (!buf || len < sizeof(hdr))
        return PFKEY_MSG_ERROR;
    std::memcpy(&hdr, buf, sizeof(hdr));
    /* Broadcasts of other PF_KEY users and of `ip xfrm` reach every socket,
     * even in the middle of our dump. */
    if (hdr.sadb_msg_type != SADB_DUMP || hdr.sadb_msg_pid != ourPid)
        return PFKEY_MSG_FOREIGN;
    if (hdr.sadb_msg_errno == ENOENT)
        return PFKEY_MSG_EMPTY;
    if (hdr.sadb_msg_errno != 0)
        return PFKEY_MSG_ERROR;
    /* A reply whose extensions do not add up cannot be trusted, and a dump
     * with a hole in it must not make a healthy tunnel look half-dead. */
    if (!walkExtensions(buf, len, sa))
        return PFKEY_MSG_ERROR;
    return hdr.sadb_msg_seq == 0 ? PFKEY_MSG_LAST_SA : PFKEY_MSG_SA;
}

PfkeyDumpEnd pfkey_dumpEsp(std::vector<PfkeySaMsg> &out) {
    PfkeySocket sock;
    const UINT32 pid = static_cast<UINT32>(getpid());
    if (sock.fd() < 0 || !setReadTimeout(sock.fd()) || !sendDumpRequest(sock.fd(), pid))
        return PFKEY_DUMP_FAILED;
    UINT8 buf[kBufSize];
    PfkeyDumpEnd end = PFKEY_DUMP_FAILED;
    for (;;) {
        const ssize_t n = read(sock.fd(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; /* a read error, or the time-out elapsed */
        PfkeySaMsg sa{};
        const PfkeyMsgKind kind = pfkey_parseDumpReply(buf, static_cast<size_t>(n), pid, &sa);
        if (kind == PFKEY_MSG_FOREIGN)
            continue;
        if (kind == PFKEY_MSG_SA || kind == PFKEY_MSG_LAST_SA)
            out.push_back(sa);
        if (kind == PFKEY_MSG_SA)
            continue;
        if (kind != PFKEY_MSG_ERROR)
            end = PFKEY_DUMP_COMPLETE;
        break;
    }
    /* The replies carried the SAs' keys. */
    explicit_bzero(buf, sizeof(buf));
    return end;
}
