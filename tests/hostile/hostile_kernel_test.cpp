/* Hostile kernel replies to the status dump (malformed extensions, foreign
 * broadcasts, errors, time-outs, truncated and oversized replies) and /proc
 * entries that vanish while the key daemons are looked for. */
#include <gtest/gtest.h>

#include <linux/pfkeyv2.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/ipsec_state.h"
#include "hostile_harness.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_status.h"
#include "pfkeysim.h"
#include "proc/ipsec_proc.h"
#include "wan_state.h"

using nlohmann::json;

namespace {

const char *const kWan = "198.51.100.2";
const uint32_t kCapturedPid = 418;

using pfkeysim::sa;

/* Dump order: tunnel 2's outbound and inbound SA, then tunnel 3's, then
 * manual tunnel 4's (manual tunnels' SAs are never deleted). */
std::vector<pfkeysim::Sa> table() {
    return {sa(kWan, "192.0.2.50", 0x500, 5),    sa("192.0.2.50", kWan, 0x501, 6),
            sa(kWan, "192.0.2.60", 0x700, 7),    sa("192.0.2.60", kWan, 0x701, 8),
            sa(kWan, "203.0.113.40", 0x2000, 9), sa("203.0.113.40", kWan, 0x2001, 10)};
}

/* The table's dump replies as the kernel lays them out, with the captured pid. */
std::vector<std::vector<uint8_t>> replies() {
    std::vector<std::vector<uint8_t>> out;
    const std::vector<pfkeysim::Sa> sas = table();
    for (size_t i = 0; i < sas.size(); i++)
        out.push_back(pfkeysim::saMessage(sas[i], SADB_DUMP, i + 1 == sas.size() ? 0 : i + 1, kCapturedPid));
    return out;
}

void replay(std::vector<std::vector<uint8_t>> msgs) {
    pfkeysim::replayNext(msgs, kCapturedPid);
}

std::string shown(UINT32 id) {
    json t = mdm_fixture::tunnel(id);
    auto text = [&](const char *f) { return t[f].is_string() ? t[f].get<std::string>() : std::string("unset"); };
    return std::to_string(t["status"].is_number() ? t["status"].get<int>() : 0) + " " + text("SPI") + " " +
           text("secondSPI");
}

struct KernelRow {
    const char *name;
    std::function<void()> fault; /* applied to the simulated kernel before the tick */
    const char *log;             /* expected in the log; null: nothing at error level */
    const char *tunnel2;         /* "status SPI secondSPI" afterwards */
    const char *tunnel3;
    int freePages = -1; /* >= 0: /var/ipsec has only that many pages free */
};

const char *const kReadError = "ipsec_refresh_status_read_error!";
const char *const kUp2 = "1 500 501";
const char *const kUp3 = "1 700 701";
/* A tunnel not seen whole in a failed dump is unknown: status and SPIs kept. */
const char *const kKept2 = "1 500 501";
const char *const kKept3 = "1 700 701";

/* One monitoring tick against the table with the row's fault. */
void tickAgainst(const KernelRow &row) {
    {
        SCOPED_TRACE(row.name);
        json tunnels = hostile::baseTunnels();
        tunnels[1]["status"] = 1;
        tunnels[1]["SPI"] = "500";
        tunnels[1]["secondSPI"] = "501";
        tunnels[2]["status"] = 1;
        tunnels[2]["SPI"] = "700";
        tunnels[2]["secondSPI"] = "701";
        hostile::writeModel(tunnels);
        wan_state::up();
        pfkeysim::reset();
        pfkeysim::setTable(table());
        row.fault();
        if (row.freePages >= 0)
            hostile::fillVarIpsec(row.freePages);
        hostile::Outcome o = hostile::observe([] { ipsec_refresh_status(); });
        if (row.freePages >= 0)
            hostile::emptyVarIpsec();

        if (row.log) {
            EXPECT_NE(std::string::npos, o.log.find(row.log)) << o.log;
        } else {
            EXPECT_EQ(std::string::npos, o.log.find("ERROR")) << o.log;
        }
        EXPECT_TRUE(o.commands.empty()) << "a healthy SA was deleted: " << o.commands.front();
        EXPECT_EQ(row.tunnel2, shown(2));
        EXPECT_EQ(row.tunnel3, shown(3));
        EXPECT_EQ("0 1000 1001", shown(1)) << "the manual tunnel without SAs keeps its SPIs";
        EXPECT_EQ(0, pfkeysim::openSockets());
    }
}

class HostileKernel : public hostile::Scene {};

TEST_F(HostileKernel, ABadReplyNeverDeletesAHealthySaNorCostsAnotherTunnel) {
    const KernelRow rows[] = {
        {"no fault", [] {}, nullptr, kUp2, kUp3},
        {"foreign SA add with seq 0 in the middle of the dump",
         [] { pfkeysim::injectBroadcast(1, pfkeysim::BCAST_ADD, 0, 0, sa(kWan, "198.51.100.99", 0x999, 5)); }, nullptr,
         kUp2, kUp3},
        {"foreign SA delete before the first reply",
         [] { pfkeysim::injectBroadcast(0, pfkeysim::BCAST_DELETE, 0, 0, sa(kWan, "192.0.2.60", 0x700, 7)); }, nullptr,
         kUp2, kUp3},
        {"foreign policy add from another PF_KEY user",
         [] { pfkeysim::injectBroadcast(2, pfkeysim::BCAST_SPDADD, 4242, 17); }, nullptr, kUp2, kUp3},
        {"another process's dump reply with seq 0 in the middle",
         [] {
             auto msgs = replies();
             msgs.insert(msgs.begin() + 1, pfkeysim::saMessage(sa(kWan, "192.0.2.50", 0x666, 5), SADB_DUMP, 0, 999));
             replay(msgs);
         },
         nullptr, kUp2, kUp3},
        {"read error after the first reply", [] { pfkeysim::failReadAt(2, EIO); }, kReadError, kKept2, kKept3},
        {"read error at the first read", [] { pfkeysim::failReadAt(1, EIO); }, kReadError, kKept2, kKept3},
        {"read error after tunnel 2's re-keyed SAs: tunnel 2 brought up to date",
         [] {
             std::vector<pfkeysim::Sa> sas = table();
             sas[0].spi = 0x510;
             sas[1].spi = 0x511;
             pfkeysim::setTable(sas);
             pfkeysim::failReadAt(3, EIO);
         },
         kReadError, "1 510 511", kKept3},
        {"dump that never finishes: the read times out", [] { pfkeysim::neverFinishAfter(2); }, kReadError, kUp2,
         kKept3},
        {"error reply (EINVAL)",
         [] { replay({pfkeysim::headerMessage(SADB_DUMP, SADB_SATYPE_ESP, EINVAL, 0, kCapturedPid)}); }, kReadError,
         kKept2, kKept3},
        {"busy reply (EBUSY)",
         [] { replay({pfkeysim::headerMessage(SADB_DUMP, SADB_SATYPE_ESP, EBUSY, 0, kCapturedPid)}); }, kReadError,
         kKept2, kKept3},
        {"no PF_KEY in the kernel", [] { pfkeysim::setNoPfkey(true); }, kReadError, kKept2, kKept3},
        {"a zero-byte reply ends the dump as failed",
         [] {
             auto msgs = replies();
             msgs.insert(msgs.begin(), std::vector<uint8_t>());
             replay(msgs);
         },
         kReadError, kKept2, kKept3},
        {"a reply shorter than its header",
         [] {
             auto msgs = replies();
             msgs.insert(msgs.begin() + 2, std::vector<uint8_t>{2, SADB_DUMP, 0});
             replay(msgs);
         },
         kReadError, kUp2, kKept3},
        {"zero-length extension in a manual tunnel's reply",
         [] { pfkeysim::corruptExtension(5, SADB_EXT_LIFETIME_HARD, 0); }, kReadError, kUp2, kUp3},
        {"extension longer than its reply in a manual tunnel's reply",
         [] { pfkeysim::corruptExtension(6, SADB_X_EXT_SA2, 400); }, kReadError, kUp2, kUp3},
        {"tunnel 2's lone SA with /var/ipsec full: nothing deleted, the pass ends there",
         [] {
             auto sas = table();
             sas.erase(sas.begin() + 1);
             pfkeysim::setTable(sas);
         },
         "ipsec cannot write /var/ipsec/tmp_delete.conf: No space left on device", kUp2, kUp3, 0},
        {"a WAN address that is no dotted quad never reaches a delete line",
         [] {
             auto sas = table();
             sas.erase(sas.begin() + 1);
             pfkeysim::setTable(sas);
             snprintf(l_wan_ip, sizeof(l_wan_ip), "1 ;flush;#");
         },
         "ipsec tunnel 2: l_wan_ip is not a dotted quad, no delete line", "0 500 501", kUp3},
        {"reply of 6000 bytes, cut by the read buffer",
         [] {
             auto msgs = replies();
             std::vector<uint8_t> big = msgs[1];
             big.resize(6000, 0xff);
             const uint16_t words = 6000 / 8;
             memcpy(big.data() + offsetof(sadb_msg, sadb_msg_len), &words, sizeof(words));
             msgs[1] = big;
             replay(msgs);
         },
         kReadError, kKept2, kKept3},
    };
    for (const KernelRow &row : rows)
        tickAgainst(row);
}

// A reply of our dump whose extension lengths do not add up fails the dump:
// had the walk just stopped there, the reply would lose its addresses or
// request id and the partner SA of a healthy IKE tunnel would look lone and
// be deleted.
TEST_F(HostileKernel, ASpoiledReplyOfOurDumpDeletesNothing) {
    const KernelRow rows[] = {
        {"zero-length extension in another tunnel's reply",
         [] { pfkeysim::corruptExtension(3, SADB_EXT_LIFETIME_HARD, 0); }, kReadError, kUp2, kKept3},
        {"extension longer than its reply in another tunnel's reply",
         [] { pfkeysim::corruptExtension(4, SADB_X_EXT_SA2, 400); }, kReadError, kUp2, kKept3},
    };
    for (const KernelRow &row : rows)
        tickAgainst(row);
}

/* Short-lived processes come and go while the key daemons are looked for:
 * their /proc entries vanish between the directory read and the reads of
 * their files. */
TEST_F(HostileKernel, ProcEntriesVanishingMidScan) {
    const pid_t churn = fork();
    ASSERT_GE(churn, 0);
    if (churn == 0) {
        for (;;) {
            pid_t p = fork();
            if (p == 0)
                _exit(0);
            if (p > 0)
                waitpid(p, nullptr, 0);
        }
    }
    const pid_t racoon = fork();
    ASSERT_GE(racoon, 0);
    if (racoon == 0) {
        execlp("sleep", "racoon", "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    /* Until the child has become "racoon" (exec takes its time under load). */
    for (int i = 0; i < 500 && kill_racoon(0) == 0; i++)
        usleep(10 * 1000);
    int found = 0;
    for (int i = 0; i < 300; i++)
        found += kill_racoon(0);
    kill(churn, SIGKILL);
    waitpid(churn, nullptr, 0);
    EXPECT_EQ(300, found) << "the key daemon was missed while other entries vanished";
    EXPECT_EQ(0, waitpid(racoon, nullptr, WNOHANG)) << "looking must not signal";
    kill(racoon, SIGKILL);
    waitpid(racoon, nullptr, 0);
}

} // namespace
