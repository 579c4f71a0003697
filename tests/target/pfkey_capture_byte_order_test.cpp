/* Real kernel captures (tests/fixtures/pfkey, read on a little-endian host)
 * laid out again the way this host's kernel writes the same messages: every
 * host-order field in this host's order, the SPI and the addresses left in
 * network order. On the big-endian router this is what the daemon's reader
 * sees; on a little-endian host the capture is unchanged. Each message must
 * give the SA its decoded .txt line names. */
#include <gtest/gtest.h>

#include <linux/pfkeyv2.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/ipsec_pfkey.h"
#include "test_files.h"

namespace {

/* Re-stores the little-endian field of `size` bytes at `at` in host order. */
void toHostOrder(std::vector<uint8_t> &m, size_t at, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; i++)
        v |= static_cast<uint64_t>(m[at + i]) << (8 * i);
    if (size == 2) {
        const uint16_t h = static_cast<uint16_t>(v);
        memcpy(&m[at], &h, 2);
    } else if (size == 4) {
        const uint32_t h = static_cast<uint32_t>(v);
        memcpy(&m[at], &h, 4);
    } else {
        memcpy(&m[at], &v, 8);
    }
}

struct HostField {
    size_t offset;
    size_t size;
};

/* The host-order fields behind each extension's 4-byte header, by type. */
std::vector<HostField> hostFields(uint16_t type) {
    switch (type) {
    case SADB_EXT_SA:
        return {{12, 4}}; /* flags; the SPI is network order */
    case SADB_EXT_LIFETIME_CURRENT:
    case SADB_EXT_LIFETIME_HARD:
    case SADB_EXT_LIFETIME_SOFT:
        return {{4, 4}, {8, 8}, {16, 8}, {24, 8}};
    case SADB_EXT_ADDRESS_SRC:
    case SADB_EXT_ADDRESS_DST:
    case SADB_EXT_ADDRESS_PROXY:
        return {{6, 2}, {8, 2}}; /* reserved, sin_family; port and address are network order */
    case SADB_EXT_KEY_AUTH:
    case SADB_EXT_KEY_ENCRYPT:
        return {{4, 2}, {6, 2}};
    case SADB_X_EXT_SA2:
        return {{6, 2}, {8, 4}, {12, 4}};
    default:
        ADD_FAILURE() << "no layout for extension type " << type;
        return {};
    }
}

/* One captured message as this host's kernel would write it. */
std::vector<uint8_t> forThisHost(std::vector<uint8_t> m) {
    if (m.size() < sizeof(sadb_msg))
        return m;
    for (HostField f : {HostField{4, 2}, HostField{6, 2}, HostField{8, 4}, HostField{12, 4}})
        toHostOrder(m, f.offset, f.size);
    size_t at = sizeof(sadb_msg);
    while (at + 4 <= m.size()) {
        const size_t bytes = (m[at] | m[at + 1] << 8) * 8u;
        const uint16_t type = static_cast<uint16_t>(m[at + 2] | m[at + 3] << 8);
        if (bytes == 0 || at + bytes > m.size()) {
            ADD_FAILURE() << "bad extension length in a capture";
            break;
        }
        toHostOrder(m, at, 2);
        toHostOrder(m, at + 2, 2);
        for (HostField f : hostFields(type))
            toHostOrder(m, at + f.offset, f.size);
        at += bytes;
    }
    return m;
}

std::string fixture(const std::string &name) {
    bool ok = false;
    std::string text = test_files::read(std::string(IPSEC_FIXTURE_DIR) + "/" + name, &ok);
    EXPECT_TRUE(ok) << name;
    return text;
}

std::vector<std::vector<uint8_t>> hexMessages(const std::string &name) {
    std::vector<std::vector<uint8_t>> out;
    std::istringstream in(fixture(name + ".hex"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<uint8_t> m;
        for (size_t i = 0; i + 1 < line.size(); i += 2)
            m.push_back(static_cast<uint8_t>(strtoul(line.substr(i, 2).c_str(), nullptr, 16)));
        out.push_back(m);
    }
    return out;
}

using Decoded = std::map<std::string, std::string>;

/* The decoded lines (key=value per field) and the dumping process's pid. */
std::vector<Decoded> decodedLines(const std::string &name, uint32_t *dumperPid) {
    std::vector<Decoded> out;
    std::istringstream in(fixture(name + ".txt"));
    for (std::string line; std::getline(in, line);) {
        const size_t pidAt = line.find("request seq 0, pid ");
        if (line[0] == '#' && pidAt != std::string::npos)
            *dumperPid = static_cast<uint32_t>(strtoul(line.c_str() + pidAt + 19, nullptr, 10));
        if (line.empty() || line[0] == '#')
            continue;
        Decoded d;
        std::istringstream words(line);
        for (std::string w; words >> w;) {
            const size_t eq = w.find('=');
            d[w.substr(0, eq)] = w.substr(eq + 1);
        }
        out.push_back(d);
    }
    return out;
}

uint32_t num(const Decoded &d, const char *key, int base = 10) {
    return static_cast<uint32_t>(strtoul(d.at(key).c_str(), nullptr, base));
}

/* What the reader must make of one message of a dump by `dumperPid`. */
PfkeyMsgKind expectedKind(const Decoded &d, uint32_t dumperPid) {
    if (num(d, "type") != SADB_DUMP || num(d, "pid") != dumperPid)
        return PFKEY_MSG_FOREIGN;
    if (num(d, "errno") == ENOENT)
        return PFKEY_MSG_EMPTY;
    return num(d, "seq") == 0 ? PFKEY_MSG_LAST_SA : PFKEY_MSG_SA;
}

TEST(PfkeyCaptureOnTarget, EveryDumpMessageGivesItsDecodedSa) {
    const char *const captures[] = {"dump_two_tunnel", "dump_big_spi", "dump_larval",
                                    "dump_dying",      "dump_empty",   "dump_with_broadcast"};
    for (const char *name : captures) {
        uint32_t dumperPid = 0;
        const std::vector<Decoded> lines = decodedLines(name, &dumperPid);
        const std::vector<std::vector<uint8_t>> msgs = hexMessages(name);
        ASSERT_EQ(lines.size(), msgs.size()) << name;
        ASSERT_NE(0u, dumperPid) << name;
        for (size_t i = 0; i < msgs.size(); i++) {
            const std::vector<uint8_t> msg = forThisHost(msgs[i]);
            const Decoded &d = lines[i];
            for (size_t shift : {0, 1, 4}) {
                SCOPED_TRACE(testing::Message() << name << " msg " << d.at("msg") << " at buffer offset " << shift);
                std::vector<uint8_t> buf(shift + msg.size(), 0xee);
                memcpy(buf.data() + shift, msg.data(), msg.size());
                PfkeySaMsg sa;
                memset(&sa, 0xcc, sizeof(sa));
                const PfkeyMsgKind kind = pfkey_parseDumpReply(buf.data() + shift, msg.size(), dumperPid, &sa);
                const PfkeyMsgKind want = expectedKind(d, dumperPid);
                EXPECT_EQ(want, kind);
                if (want != PFKEY_MSG_SA && want != PFKEY_MSG_LAST_SA)
                    continue;
                ASSERT_TRUE(sa.hasSa && sa.hasSrc && sa.hasDst && sa.hasSa2);
                EXPECT_EQ(num(d, "spi", 16), sa.spi);
                EXPECT_EQ(num(d, "state"), sa.state);
                EXPECT_EQ(num(d, "reqid"), sa.reqid);
                EXPECT_EQ(d.at("src"), sa.src);
                EXPECT_EQ(d.at("dst"), sa.dst);
            }
        }
    }
}

} // namespace
