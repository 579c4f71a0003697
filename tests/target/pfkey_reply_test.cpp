/* PF_KEY replies as the kernel of this host lays them out: lengths, types,
 * sequence numbers, pids and request ids in host byte order, the SPI and the
 * addresses in network order, extensions on 8-byte boundaries. The daemon's
 * reader must get the same SA out of them on a little-endian build machine
 * and on the big-endian router, wherever the message sits in its buffer. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/ipsec.h>
#include <linux/pfkeyv2.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "monitor/ipsec_pfkey.h"

namespace {

constexpr uint32_t OUR_PID = 0x00001234u;

/* Appends fields to a kernel message the way the kernel writes them. */
class KernelMsg {
  public:
    void u8(uint8_t v) { bytes_.push_back(v); }
    void u16(uint16_t v) { append(&v, sizeof(v)); }
    void u32(uint32_t v) { append(&v, sizeof(v)); }
    void u64(uint64_t v) { append(&v, sizeof(v)); }
    void net32(uint32_t v) { u32(htonl(v)); }
    void zeros(size_t n) { bytes_.insert(bytes_.end(), n, 0); }
    void ext(uint16_t words, uint16_t type) {
        u16(words);
        u16(type);
    }
    void address(uint16_t type, const char *dotted) {
        ext(3, type);
        u8(IPSEC_PROTO_ANY);
        u8(32);
        u16(0);
        u16(AF_INET); /* sockaddr_in: family in host order, port and address in network order */
        u16(htons(0));
        in_addr a{};
        inet_pton(AF_INET, dotted, &a);
        append(&a, sizeof(a));
        zeros(8);
    }
    /* The finished message, its sadb_msg_len (64-bit words) filled in. */
    std::vector<uint8_t> done() {
        const uint16_t words = static_cast<uint16_t>(bytes_.size() / 8);
        memcpy(&bytes_[4], &words, sizeof(words));
        return bytes_;
    }

  private:
    void append(const void *p, size_t n) {
        const uint8_t *b = static_cast<const uint8_t *>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    std::vector<uint8_t> bytes_;
};

struct ReplyCase {
    const char *name;
    uint32_t seq;
    uint32_t pid;
    uint8_t errnum;
    bool withSa;
    uint32_t spi; /* as the number an operator reads, e.g. 0x1f4 */
    uint8_t state;
    uint32_t reqid;
    PfkeyMsgKind kind;
};

/* One reply of a SADB_DUMP of ESP SAs, with the extensions Linux sends. */
std::vector<uint8_t> dumpReply(const ReplyCase &c) {
    KernelMsg m;
    m.u8(PF_KEY_V2);
    m.u8(SADB_DUMP);
    m.u8(c.errnum);
    m.u8(SADB_SATYPE_ESP);
    m.u16(0); /* length, filled in at the end */
    m.u16(0);
    m.u32(c.seq);
    m.u32(c.pid);
    if (!c.withSa)
        return m.done();

    m.ext(2, SADB_EXT_SA);
    m.net32(c.spi);
    m.u8(0);
    m.u8(c.state);
    m.u8(SADB_AALG_SHA1HMAC);
    m.u8(SADB_X_EALG_AESCBC);
    m.u32(0);

    m.ext(4, SADB_EXT_LIFETIME_CURRENT);
    m.u32(0);
    m.u64(0x0000000100000002ull);
    m.u64(1796628627);
    m.u64(0);

    m.address(SADB_EXT_ADDRESS_SRC, "198.51.100.2");
    m.address(SADB_EXT_ADDRESS_DST, "203.0.113.9");

    m.ext(4, SADB_EXT_KEY_AUTH); /* 160-bit key, padded to 8 bytes */
    m.u16(160);
    m.u16(0);
    for (uint8_t k = 0xa0; k < 0xb4; k++)
        m.u8(k);
    m.zeros(4);

    m.ext(2, SADB_X_EXT_SA2);
    m.u8(IPSEC_MODE_TUNNEL);
    m.u8(0);
    m.u16(0);
    m.u32(0);
    m.u32(c.reqid);
    return m.done();
}

TEST(PfkeyReplyOnTarget, ByteOrderOfEveryFieldAtEveryAlignment) {
    const ReplyCase cases[] = {
        {"mid-dump, SPI 500", 1, OUR_PID, 0, true, 0x1f4u, SADB_SASTATE_MATURE, 11, PFKEY_MSG_SA},
        {"last reply, SPI and reqid with the top bit set", 0, OUR_PID, 0, true, 0xc0ffee01u, SADB_SASTATE_MATURE,
         0x80000002u, PFKEY_MSG_LAST_SA},
        {"larval, every byte of SPI and reqid distinct", 7, OUR_PID, 0, true, 0x12345678u, SADB_SASTATE_LARVAL,
         0x01020304u, PFKEY_MSG_SA},
        {"dying, sequence number above 16 bits", 0x00010000u, OUR_PID, 0, true, 0x1000u, SADB_SASTATE_DYING, 4,
         PFKEY_MSG_SA},
        {"another process's pid (ours with its bytes swapped)", 0, 0x34120000u, 0, true, 0x1f4u, SADB_SASTATE_MATURE,
         11, PFKEY_MSG_FOREIGN},
        {"empty table", 0, OUR_PID, ENOENT, false, 0, 0, 0, PFKEY_MSG_EMPTY},
    };
    for (const auto &c : cases) {
        const std::vector<uint8_t> msg = dumpReply(c);
        for (size_t shift = 0; shift < 8; shift++) {
            SCOPED_TRACE(testing::Message() << c.name << ", message at buffer offset " << shift);
            std::vector<uint8_t> buf(shift + msg.size(), 0xee);
            memcpy(buf.data() + shift, msg.data(), msg.size());

            PfkeySaMsg sa;
            memset(&sa, 0xcc, sizeof(sa));
            const PfkeyMsgKind kind = pfkey_parseDumpReply(buf.data() + shift, msg.size(), OUR_PID, &sa);
            EXPECT_EQ(c.kind, kind);
            if (c.kind != PFKEY_MSG_SA && c.kind != PFKEY_MSG_LAST_SA)
                continue;
            ASSERT_TRUE(sa.hasSa && sa.hasSrc && sa.hasDst && sa.hasSa2);
            EXPECT_EQ(c.spi, sa.spi);
            EXPECT_EQ(c.state, sa.state);
            EXPECT_EQ(c.reqid, sa.reqid);
            EXPECT_STREQ("198.51.100.2", sa.src);
            EXPECT_STREQ("203.0.113.9", sa.dst);
        }
    }
}

} // namespace
