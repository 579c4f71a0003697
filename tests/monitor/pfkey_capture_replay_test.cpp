/* The PF_KEY reader on messages a real Linux 6.1 kernel sent (x86-64
 * captures in tests/fixtures/pfkey, so little-endian hosts only). */
#include <arpa/inet.h>
#include <linux/pfkeyv2.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/ipsec_delete.h"
#include "monitor/ipsec_pfkey.h"
#include "pfkeysim.h"

namespace {

std::vector<std::vector<uint8_t>> capture(const std::string &name) {
    return pfkeysim::loadHex(std::string(IPSEC_FIXTURE_DIR) + "/" + name + ".hex");
}

struct Expect {
    PfkeyMsgKind kind;
    UINT32 spi;
    UINT8 state;
    UINT32 reqid;
    const char *src;
    const char *dst;
};

class PfkeyCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        if (htonl(1) == 1)
            GTEST_SKIP() << "the captures are little-endian";
        pfkeysim::reset();
    }
};

// Each capture, message by message, read with the pid of the process that
// made the dump.
TEST_F(PfkeyCapture, EveryMessageIsClassifiedAndRead) {
    const PfkeyMsgKind F = PFKEY_MSG_FOREIGN, S = PFKEY_MSG_SA, L = PFKEY_MSG_LAST_SA;
    const char *left = "198.51.100.2", *right = "203.0.113.9";
    struct Row {
        const char *file;
        UINT32 pid;
        std::vector<Expect> msgs;
    } rows[] = {
        {"dump_empty", 408, {{PFKEY_MSG_EMPTY, 0, 0, 0, "", ""}}},
        {"dump_two_tunnel", 418, {{S, 0x1001, 1, 4, right, left}, {L, 0x1000, 1, 3, left, right}}},
        {"dump_larval", 429, {{S, 0x2000, 0, 6, right, left}, {L, 0x1f4, 1, 5, left, right}}},
        {"dump_big_spi", 466, {{L, 0xc0ffee01, 1, 2147483650u, left, right}}},
        {"dump_dying", 557, {{L, 0x1e1, 2, 7, left, right}}},
        {"dump_with_broadcast",
         445,
         {{S, 0x3007, 1, 17, left, right},
          {S, 0x3006, 1, 16, left, right},
          {S, 0x3005, 1, 15, left, right},
          {S, 0x3004, 1, 14, left, right},
          {S, 0x3003, 1, 13, left, right},
          {F, 0, 0, 0, "", ""},
          {S, 0x3002, 1, 12, left, right},
          {S, 0x3001, 1, 11, left, right},
          {L, 0x3000, 1, 10, left, right}}},
        {"idle_socket_broadcasts", 577, std::vector<Expect>(5, {F, 0, 0, 0, "", ""})},
        {"registered_add_expire", 474, std::vector<Expect>(3, {F, 0, 0, 0, "", ""})},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        auto msgs = capture(r.file);
        ASSERT_EQ(r.msgs.size(), msgs.size());
        for (size_t i = 0; i < msgs.size(); i++) {
            SCOPED_TRACE("message " + std::to_string(i + 1));
            const Expect &e = r.msgs[i];
            PfkeySaMsg m{};
            ASSERT_EQ(e.kind, pfkey_parseDumpReply(msgs[i].data(), msgs[i].size(), r.pid, &m));
            if (e.kind != S && e.kind != L)
                continue;
            EXPECT_TRUE(m.hasSa && m.hasSrc && m.hasDst && m.hasSa2);
            EXPECT_EQ(e.spi, m.spi);
            EXPECT_EQ(e.state, m.state);
            EXPECT_EQ(e.reqid, m.reqid);
            EXPECT_STREQ(e.src, m.src);
            EXPECT_STREQ(e.dst, m.dst);
        }
    }
}

// A captured dump with a broadcast inside, replayed as the kernel's answer:
// all eight SAs, none from the broadcast.
TEST_F(PfkeyCapture, ReplayedDumpWithBroadcastYieldsEverySa) {
    pfkeysim::replayNext(capture("dump_with_broadcast"), 445);
    std::vector<PfkeySaMsg> out;
    EXPECT_EQ(PFKEY_DUMP_COMPLETE, pfkey_dumpEsp(out));
    ASSERT_EQ(8u, out.size());
    for (size_t i = 0; i < out.size(); i++)
        EXPECT_EQ(0x3007u - i, out[i].spi);
}

TEST_F(PfkeyCapture, ReplayedCapturesGiveTheirDeleteLines) {
    struct Row {
        const char *file;
        UINT32 pid;
        unsigned reqid;
        std::string expect;
    } rows[] = {
        {"dump_two_tunnel", 418, 4, "delete 203.0.113.9 198.51.100.2 esp 0x1001;\n"},
        {"dump_larval", 429, 6, "delete 203.0.113.9 198.51.100.2 esp 0x2000;\n"},
        {"dump_big_spi", 466, 2147483650u, "delete 203.0.113.9 198.51.100.2 esp 0xc0ffee01;\n"},
        {"dump_dying", 557, 7, "delete 203.0.113.9 198.51.100.2 esp 0x1e1;\n"},
        {"dump_empty", 408, 0, ""},
        {"dump_with_broadcast", 445, 20, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        pfkeysim::replayNext(capture(r.file), r.pid);
        char *text = nullptr;
        size_t size = 0;
        FILE *f = open_memstream(&text, &size);
        ASSERT_NE(nullptr, f);
        ipsec_delete_Sa_reqid(r.reqid, f, "203.0.113.9", "198.51.100.2");
        fclose(f);
        EXPECT_EQ(r.expect, std::string(text, size));
        free(text);
    }
}

} // namespace
