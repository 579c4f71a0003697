/* The PF_KEY dump reader and the deletion of SAs by request id, against the
 * simulated kernel and against real kernel captures. */
#include <arpa/inet.h>
#include <linux/pfkeyv2.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/ipsec_delete.h"
#include "monitor/ipsec_pfkey.h"
#include "pfkeysim.h"

namespace {

const char *const kLeft = "198.51.100.2";
const char *const kRight = "203.0.113.9";

using pfkeysim::sa;

/* What the reader made of one SA message, in one comparable text. */
std::string describe(const PfkeySaMsg &m) {
    char buf[128];
    const std::string reqid = m.hasSa2 ? std::to_string(m.reqid) : "-";
    snprintf(buf, sizeof(buf), "%s %x/%u %s>%s %s", m.hasSa ? "spi" : "nospi", m.spi, m.state, m.hasSrc ? m.src : "-",
             m.hasDst ? m.dst : "-", reqid.c_str());
    return buf;
}

std::vector<std::string> describeAll(const std::vector<PfkeySaMsg> &sas) {
    std::vector<std::string> out;
    for (const auto &m : sas)
        out.push_back(describe(m));
    return out;
}

std::string line(uint32_t spi, uint32_t state, uint32_t reqid, const char *src = kLeft, const char *dst = kRight) {
    char buf[128];
    snprintf(buf, sizeof(buf), "spi %x/%u %s>%s %u", spi, state, src, dst, reqid);
    return buf;
}

class PfkeyReader : public ::testing::Test {
  protected:
    void SetUp() override { pfkeysim::reset(); }
    void TearDown() override { EXPECT_EQ(0, pfkeysim::openSockets()) << "PF_KEY socket left open"; }
};

// The request is the kernel's 16-byte SADB_DUMP for ESP with our pid, and the
// receive buffer is left at its default.
TEST_F(PfkeyReader, SendsOneDumpRequestAndKeepsTheDefaultBuffer) {
    std::vector<PfkeySaMsg> out;
    EXPECT_EQ(PFKEY_DUMP_COMPLETE, pfkey_dumpEsp(out));
    auto reqs = pfkeysim::requests();
    ASSERT_EQ(1u, reqs.size());
    EXPECT_EQ(SADB_DUMP, reqs[0].type);
    EXPECT_EQ(SADB_SATYPE_ESP, reqs[0].satype);
    EXPECT_EQ(2u, reqs[0].lenWords);
    EXPECT_EQ(16u, reqs[0].bytes);
    EXPECT_EQ(0u, reqs[0].seq);
    EXPECT_EQ(static_cast<uint32_t>(getpid()), reqs[0].pid);
    EXPECT_EQ(-1, pfkeysim::rcvbufSet());
}

// Tables as the kernel dumps them, and what the reader hands over.
TEST_F(PfkeyReader, ReadsEverySaOfTheDump) {
    struct Row {
        const char *name;
        std::vector<pfkeysim::Sa> table;
        std::vector<std::string> expect;
    } rows[] = {
        {"empty table", {}, {}},
        {"several SAs with one request id",
         {sa(0x1001, 4), sa(0x1000, 4), sa(0x2000, 4)},
         {line(0x1001, 1, 4), line(0x1000, 1, 4), line(0x2000, 1, 4)}},
        {"larval, mature, dying, dead",
         {sa(kRight, kLeft, 0x10, 6, SADB_SASTATE_LARVAL), sa(0x11, 5), sa(0x12, 7, SADB_SASTATE_DYING),
          sa(0x13, 8, SADB_SASTATE_DEAD)},
         {line(0x10, 0, 6, kRight, kLeft), line(0x11, 1, 5), line(0x12, 2, 7), line(0x13, 3, 8)}},
        {"SPI 500 and 4096 in network order", {sa(500, 3), sa(4096, 4)}, {line(0x1f4, 1, 3), line(0x1000, 1, 4)}},
        {"SPI and request id with the top bit set", {sa(0xc0ffee01, 2147483650u)}, {line(0xc0ffee01, 1, 2147483650u)}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::setTable(r.table);
        std::vector<PfkeySaMsg> out;
        EXPECT_EQ(PFKEY_DUMP_COMPLETE, pfkey_dumpEsp(out));
        EXPECT_EQ(r.expect, describeAll(out));
    }
}

// More SAs than the kernel queues at once: the dump resumes as we read.
TEST_F(PfkeyReader, ReadsALargeTableAcrossPauses) {
    std::vector<pfkeysim::Sa> table;
    for (uint32_t i = 0; i < 400; i++)
        table.push_back(sa(0x3000 + i, 10 + i));
    pfkeysim::setTable(table);
    std::vector<PfkeySaMsg> out;
    EXPECT_EQ(PFKEY_DUMP_COMPLETE, pfkey_dumpEsp(out));
    ASSERT_EQ(400u, out.size());
    EXPECT_EQ(0x3000u + 399, out[399].spi);
    EXPECT_EQ(409u, out[399].reqid);
}

// Broadcasts of other PF_KEY users reach every socket, in the middle of our
// dump too; none of them ends the dump or adds an SA.
TEST_F(PfkeyReader, SkipsForeignBroadcastsInsideTheDump) {
    const uint32_t pid = static_cast<uint32_t>(getpid());
    struct Row {
        const char *name;
        pfkeysim::BroadcastType type;
        uint32_t pid;
        uint32_t seq;
    } rows[] = {
        {"SADB_ADD from another process, seq 0", pfkeysim::BCAST_ADD, pid + 1, 0},
        {"SADB_DELETE from ip xfrm, pid 0", pfkeysim::BCAST_DELETE, 0, 1796628627},
        {"SADB_X_SPDADD, seq 0", pfkeysim::BCAST_SPDADD, 0, 0},
        {"SADB_ADD with our pid", pfkeysim::BCAST_ADD, pid, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::reset();
        pfkeysim::setTable({sa(0x1001, 4), sa(0x1000, 3), sa(0x2000, 6)});
        pfkeysim::injectBroadcast(1, r.type, r.pid, r.seq, sa(0x3100, 3));
        std::vector<PfkeySaMsg> out;
        EXPECT_EQ(PFKEY_DUMP_COMPLETE, pfkey_dumpEsp(out));
        EXPECT_EQ((std::vector<std::string>{line(0x1001, 1, 4), line(0x1000, 1, 3), line(0x2000, 1, 6)}),
                  describeAll(out));
    }
}

// A dump that does not reach its last reply is reported as failed, with the
// SAs read before.
TEST_F(PfkeyReader, ReportsAnUnfinishedDump) {
    struct Row {
        const char *name;
        void (*fault)();
        size_t kept;
    } rows[] = {
        {"first read fails", [] { pfkeysim::failReadAt(1); }, 0},
        {"read fails after two messages", [] { pfkeysim::failReadAt(3); }, 2},
        {"dump never finishes (time-out)", [] { pfkeysim::neverFinishAfter(2); }, 2},
        {"no PF_KEY in the kernel", [] { pfkeysim::setNoPfkey(true); }, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::reset();
        pfkeysim::setTable({sa(1, 3), sa(2, 4), sa(3, 5), sa(4, 6)});
        r.fault();
        std::vector<PfkeySaMsg> out;
        EXPECT_EQ(PFKEY_DUMP_FAILED, pfkey_dumpEsp(out));
        EXPECT_EQ(r.kept, out.size());
    }
}

// A spoiled extension length ends the dump as failed: what was read before
// it stands, the spoiled reply and everything after it is not trusted.
TEST_F(PfkeyReader, ABadExtensionLengthFailsTheDump) {
    struct Row {
        const char *name;
        uint16_t ext;
        uint16_t len;
    } rows[] = {
        {"zero-length SA2", SADB_X_EXT_SA2, 0},
        {"SA2 longer than the message", SADB_X_EXT_SA2, 0xffff},
        {"zero-length SA", SADB_EXT_SA, 0},
        {"source address past the end", SADB_EXT_ADDRESS_SRC, 40},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::reset();
        pfkeysim::setTable({sa(1, 3), sa(2, 4), sa(3, 5)});
        pfkeysim::corruptExtension(2, r.ext, r.len);
        std::vector<PfkeySaMsg> out;
        EXPECT_EQ(PFKEY_DUMP_FAILED, pfkey_dumpEsp(out));
        ASSERT_EQ(1u, out.size());
        EXPECT_EQ(line(1, 1, 3), describe(out[0]));
    }
}

// Every prefix of a real message: the walk never reads past what was read,
// and a prefix that cuts an extension is refused as malformed.
TEST(PfkeyParse, TruncatedMessagesStayInBounds) {
    std::vector<uint8_t> full = pfkeysim::saMessage(sa(0x1f4, 5), SADB_DUMP, 0, 77);
    std::vector<size_t> boundaries;
    for (size_t off = sizeof(sadb_msg); off <= full.size();) {
        boundaries.push_back(off);
        if (off == full.size())
            break;
        sadb_ext ext;
        memcpy(&ext, full.data() + off, sizeof(ext));
        off += ext.sadb_ext_len * 8u;
    }
    ASSERT_EQ(full.size(), boundaries.back());
    for (size_t len = 0; len <= full.size(); len++) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
        PfkeySaMsg m{};
        PfkeyMsgKind kind = pfkey_parseDumpReply(cut.data(), cut.size(), 77, &m);
        bool whole = std::find(boundaries.begin(), boundaries.end(), len) != boundaries.end();
        EXPECT_EQ(whole ? PFKEY_MSG_LAST_SA : PFKEY_MSG_ERROR, kind) << len;
        EXPECT_EQ(len == full.size(), m.hasSa2) << len;
    }
}

/* ---- deletion by request id ---------------------------------------------- */

class DeleteByReqid : public PfkeyReader {
  protected:
    std::string run(unsigned reqid, const char *local = kLeft, const char *remote = kRight) {
        FILE *f = tmpfile();
        if (!f)
            return "no tmpfile";
        fputs("spdflush;\n", f);
        ipsec_delete_Sa_reqid(reqid, f, local, remote);
        std::string out;
        rewind(f);
        char buf[256];
        while (fgets(buf, sizeof(buf), f))
            out += buf;
        fclose(f);
        return out.substr(strlen("spdflush;\n"));
    }
};

TEST_F(DeleteByReqid, WritesOneLinePerMatchingSa) {
    struct Row {
        const char *name;
        std::vector<pfkeysim::Sa> table;
        unsigned reqid;
        std::string expect;
    } rows[] = {
        {"empty table", {}, 3, ""},
        {"no SA with the request id", {sa(0x1000, 4), sa(0x1001, 5)}, 3, ""},
        {"old and new SA while re-keying, in dump order",
         {sa(0x1001, 3), sa(0x1002, 4), sa(0x1000, 3)},
         3,
         "delete 198.51.100.2 203.0.113.9 esp 0x1001;\ndelete 198.51.100.2 203.0.113.9 esp 0x1000;\n"},
        {"larval and dying SAs too",
         {sa(0x2000, 6, SADB_SASTATE_LARVAL), sa(0x2001, 6, SADB_SASTATE_DYING)},
         6,
         "delete 198.51.100.2 203.0.113.9 esp 0x2000;\ndelete 198.51.100.2 203.0.113.9 esp 0x2001;\n"},
        {"SPI 500 and 4096",
         {sa(500, 3), sa(4096, 3)},
         3,
         "delete 198.51.100.2 203.0.113.9 esp 0x1f4;\ndelete 198.51.100.2 203.0.113.9 esp 0x1000;\n"},
        {"request id above 2^31",
         {sa(0xc0ffee01, 2147483650u)},
         2147483650u,
         "delete 198.51.100.2 203.0.113.9 esp 0xc0ffee01;\n"},
        {"the SA's own addresses are not used",
         {sa("192.0.2.1", "192.0.2.2", 0x77, 3)},
         3,
         "delete 198.51.100.2 203.0.113.9 esp 0x77;\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::setTable(r.table);
        EXPECT_EQ(r.expect, run(r.reqid));
    }
}

// Only SAs of our own dump, each with its own SPI and request id, get a line.
TEST_F(DeleteByReqid, IgnoresWhatIsNotOurDumpsSa) {
    pfkeysim::setTable({sa(0x1000, 3), sa(0x1001, 4), sa(0x1002, 3)});
    pfkeysim::injectBroadcast(1, pfkeysim::BCAST_ADD, 999, 0, sa(0x3100, 3));
    pfkeysim::injectBroadcast(2, pfkeysim::BCAST_DELETE, 0, 0, sa(0x3101, 3));
    pfkeysim::corruptExtension(3, SADB_X_EXT_SA2, 0);
    EXPECT_EQ("delete 198.51.100.2 203.0.113.9 esp 0x1000;\n", run(3));
}

TEST_F(DeleteByReqid, KeepsTheLinesReadBeforeAFailure) {
    pfkeysim::setTable({sa(0x1000, 3), sa(0x1001, 3), sa(0x1002, 3)});
    pfkeysim::failReadAt(2);
    EXPECT_EQ("delete 198.51.100.2 203.0.113.9 esp 0x1000;\n", run(3));
}

TEST_F(DeleteByReqid, RefusesAddressesThatWouldEndTheStatement) {
    pfkeysim::setTable({sa(0x1000, 3)});
    EXPECT_EQ("", run(3, "198.51.100.2;flush", kRight));
    EXPECT_EQ("", run(3, kLeft, "203.0.113.9\nflush"));
    EXPECT_EQ(0, pfkeysim::dumpRequests());
}

} // namespace
