/* Tunnel status from the kernel's SA table: the simulated PF_KEY kernel holds
 * the SAs, the stand-in data model the tunnels; checked are the fields written
 * back, the delete file handed to setkey, the commands run and the log lines. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/pfkeyv2.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_status.h"
#include "pfkeysim.h"
#include "render/ipsec_paths.h"
#include "shell_recorder.h"
#include "test_files.h"

using nlohmann::json;

namespace {

const char *const kWan = "198.51.100.2";
const char *const kPeerA = "203.0.113.9";
const char *const kPeerB = "203.0.113.20";
const char *const kSetkey = "setkey -f /var/ipsec/tmp_delete.conf";
const char *const kUnset = nullptr; /* an SPI field that is absent from the object */

struct Tunnel {
    UINT32 id;
    int enable;
    const char *remote; /* realRemoteIP */
    int keyEx;          /* 0 IKE, 1 manual */
    int status;
    const char *spi;
    const char *secondSpi;
};

json tunnelJson(const Tunnel &t) {
    json j = {{"entryID", t.id},
              {"enable", t.enable},
              {"connName", "tunnel" + std::to_string(t.id)},
              {"keyExMethod", t.keyEx},
              {"status", t.status},
              {"realRemoteIP", t.remote},
              {"remoteGWAddress", t.remote}};
    if (t.spi)
        j["SPI"] = t.spi;
    if (t.secondSpi)
        j["secondSPI"] = t.secondSpi;
    return j;
}

void writeModel(const std::vector<Tunnel> &tunnels) {
    json list = json::array();
    for (const Tunnel &t : tunnels)
        list.push_back(tunnelJson(t));
    mdm_fixture::writeJson(json{{"IPSecCfgObject", list}});
}

/* The tunnel's outbound SA (WAN to peer, request id 2*id+1) and inbound SA. */
pfkeysim::Sa outSa(UINT32 id, const char *peer, uint32_t spi, uint8_t state = SADB_SASTATE_MATURE) {
    return pfkeysim::sa(kWan, peer, spi, 2 * id + 1, state);
}
pfkeysim::Sa inSa(UINT32 id, const char *peer, uint32_t spi, uint8_t state = SADB_SASTATE_MATURE) {
    return pfkeysim::sa(peer, kWan, spi, 2 * id + 2, state);
}

/* Removes one extension from a kernel message, as a reply without it. */
void dropExtension(std::vector<uint8_t> *msg, uint16_t type) {
    size_t off = sizeof(sadb_msg);
    while (off + sizeof(sadb_ext) <= msg->size()) {
        sadb_ext ext;
        memcpy(&ext, msg->data() + off, sizeof(ext));
        const size_t len = ext.sadb_ext_len * 8u;
        if (ext.sadb_ext_type == type) {
            msg->erase(msg->begin() + static_cast<long>(off), msg->begin() + static_cast<long>(off + len));
            break;
        }
        off += len;
    }
    const uint16_t words = static_cast<uint16_t>(msg->size() / 8);
    memcpy(msg->data() + offsetof(sadb_msg, sadb_msg_len), &words, sizeof(words));
}

/* A real kernel's dump (tests/fixtures/pfkey, little-endian x86-64), one
 * message per read, as the dumping process read it. */
std::vector<std::vector<uint8_t>> capture(const char *name) {
    return pfkeysim::loadHex(std::string(IPSEC_FIXTURE_DIR) + "/" + name + ".hex");
}
constexpr uint32_t kDyingPid = 557;  /* dump_dying's dumper */
constexpr uint32_t kLarvalPid = 429; /* dump_larval's dumper */

/* A message with its sequence number set: 0 makes it the last of its dump. */
std::vector<uint8_t> withSeq(std::vector<uint8_t> msg, uint32_t seq) {
    memcpy(msg.data() + offsetof(sadb_msg, sadb_msg_seq), &seq, sizeof(seq));
    return msg;
}

/* What a tunnel shows in the data model: "status SPI secondSPI". */
std::string shown(UINT32 id) {
    json t = mdm_fixture::tunnel(id);
    auto text = [&](const char *f) { return t[f].is_string() ? t[f].get<std::string>() : std::string("unset"); };
    int status = t["status"].is_number() ? t["status"].get<int>() : 0;
    return std::to_string(status) + " " + text("SPI") + " " + text("secondSPI");
}

/* tmp_delete.conf as setkey found it, and whether the lock was still held. */
std::string g_deleteFile;
bool g_lockHeldAtSetkey = false;
void snapshotAtCommand(const std::string &cmd) {
    if (cmd != kSetkey)
        return;
    g_deleteFile = test_files::read(IPSEC_TMP_DELETE_CONF);
    g_lockHeldAtSetkey =
        mdm_fixture::traceCount("lock ipsec_set_status") > mdm_fixture::traceCount("unlock ipsec_set_status");
}

class Status : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
        pfkeysim::reset();
        shell_recorder::clear();
        shell_recorder::setObserver(snapshotAtCommand);
        g_deleteFile.clear();
        g_lockHeldAtSetkey = false;
        mkdir("/var/ipsec", 0755);
        snprintf(l_wan_ip, sizeof(l_wan_ip), "%s", kWan);
    }
    void TearDown() override {
        shell_recorder::setObserver(nullptr);
        EXPECT_EQ(0, pfkeysim::openSockets()) << "PF_KEY socket left open";
    }
    /* One monitoring tick; returns what it logged. */
    std::string tick() {
        testing::internal::CaptureStderr();
        ipsec_refresh_status();
        return testing::internal::GetCapturedStderr();
    }
    bool deleteFileExists() { return test_files::mode(IPSEC_TMP_DELETE_CONF) != -1; }
};

struct Expect {
    UINT32 id;
    const char *shown; /* "status SPI secondSPI" */
};

struct Row {
    const char *name;
    std::vector<Tunnel> tunnels;
    std::vector<pfkeysim::Sa> kernel; /* in dump order */
    std::vector<Expect> expect;
    const char *deleteGolden;                      /* tmp_delete.conf handed to setkey; null: no file, no setkey */
    size_t sets;                                   /* zorObj_set calls */
    std::vector<std::vector<uint8_t>> replay = {}; /* raw dump messages, in place of `kernel` */
    uint32_t replayPid = 0;                        /* their dumper's pid */
};

// Each row is one tick on a complete dump.
TEST_F(Status, ReconcilesTunnelsWithTheKernelTable) {
    const Row rows[] = {
        {"empty table: IKE tunnels lose their SPIs, manual tunnels keep theirs",
         {{1, 1, kPeerA, 0, 1, "a1", "b1"}, {2, 1, kPeerB, 1, 1, "1000", "1001"}},
         {},
         {{1, "0 0 0"}, {2, "0 1000 1001"}},
         nullptr,
         2},
        {"both SAs mature: up, SPIs in network order formatted as hex",
         {{1, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(1, kPeerA, 500), inSa(1, kPeerA, 4096)},
         {{1, "1 1f4 1000"}},
         nullptr,
         1},
        {"SPI with the top bit set",
         {{1, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(1, kPeerA, 0xc0ffee01), inSa(1, kPeerA, 0x80000000)},
         {{1, "1 c0ffee01 80000000"}},
         nullptr,
         1},
        {"one of two SAs larval: down, both SPIs shown",
         {{1, 1, kPeerA, 0, 1, "0", "0"}},
         {outSa(1, kPeerA, 0x1f4), inSa(1, kPeerA, 0x1000, SADB_SASTATE_LARVAL)},
         {{1, "0 1f4 1000"}},
         nullptr,
         1},
        {"only the outbound SA of an IKE tunnel: deleted",
         {{1, 1, kPeerA, 0, 1, "1f4", "0"}},
         {outSa(1, kPeerA, 0x1f4)},
         {{1, "0 0 0"}},
         "monitor/delete_outbound.conf",
         1},
        {"only the inbound SA, both SPI fields set: older outbound SPI first, then the live inbound one",
         {{1, 1, kPeerA, 0, 1, "aaaa", "bbbb"}},
         {inSa(1, kPeerA, 0x2000)},
         {{1, "0 0 0"}},
         "monitor/delete_both.conf",
         1},
        {"a lone larval SA is a negotiation in progress: kept",
         {{1, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(1, kPeerA, 0x3000, SADB_SASTATE_LARVAL)},
         {{1, "0 3000 0"}},
         nullptr,
         1},
        {"a lone larval SA after the peer died: the gone partner's SPI cleared, nothing deleted",
         {{1, 1, kPeerA, 0, 1, "0", "1dacb63"}},
         {outSa(1, kPeerA, 0, SADB_SASTATE_LARVAL)},
         {{1, "0 0 0"}},
         nullptr,
         1},
        {"a lone inbound larval SA: the outbound field cleared, nothing deleted",
         {{1, 1, kPeerA, 0, 1, "2f4", "1000"}},
         {inSa(1, kPeerA, 0x2000, SADB_SASTATE_LARVAL)},
         {{1, "0 0 2000"}},
         nullptr,
         1},
        {"a lone dead SA is not deleted either",
         {{1, 1, kPeerA, 0, 1, "3000", "0"}},
         {outSa(1, kPeerA, 0x3000, SADB_SASTATE_DEAD)},
         {{1, "0 3000 0"}},
         nullptr,
         1},
        {"manual tunnel with one SA missing: down, found SPI refreshed, no deletion",
         {{1, 1, kPeerA, 1, 1, "1000", "1001"}},
         {outSa(1, kPeerA, 0x1234)},
         {{1, "0 1234 1001"}},
         nullptr,
         1},
        {"realRemoteIP 0.0.0.0 matches nothing",
         {{1, 1, "0.0.0.0", 0, 1, "a1", "b1"}},
         {outSa(1, kPeerA, 0xa1), inSa(1, kPeerA, 0xb1)},
         {{1, "0 0 0"}},
         nullptr,
         1},
        {"addresses match but the request ids are another tunnel's",
         {{1, 1, kPeerA, 0, 0, "0", "0"}, {2, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(2, kPeerA, 0x500), inSa(2, kPeerA, 0x501)},
         {{1, "0 0 0"}, {2, "1 500 501"}},
         nullptr,
         1},
        {"request id right but the peer address is another",
         {{1, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(1, kPeerB, 0x500), inSa(1, kPeerB, 0x501)},
         {{1, "0 0 0"}},
         nullptr,
         0},
        {"disabled tunnel untouched, even with a lone SA",
         {{1, 0, kPeerA, 0, 1, "1f4", "1000"}},
         {outSa(1, kPeerA, 0x1f4)},
         {{1, "1 1f4 1000"}},
         nullptr,
         0},
        {"nothing changed: no write",
         {{1, 1, kPeerA, 0, 1, "1f4", "1000"}, {2, 1, kPeerB, 1, 0, "1000", "1001"}},
         {outSa(1, kPeerA, 0x1f4), inSa(1, kPeerA, 0x1000)},
         {{1, "1 1f4 1000"}, {2, "0 1000 1001"}},
         nullptr,
         0},
        {"re-keying: of two SAs in one direction the later wins",
         {{1, 1, kPeerA, 0, 1, "0", "0"}},
         {outSa(1, kPeerA, 0x1000), inSa(1, kPeerA, 0x1001), outSa(1, kPeerA, 0x2000), inSa(1, kPeerA, 0x2001)},
         {{1, "1 2000 2001"}},
         nullptr,
         1},
        {"re-keying: the later SA equals the stored text, still written",
         {{1, 1, kPeerA, 0, 1, "2000", "2001"}},
         {outSa(1, kPeerA, 0x1000), outSa(1, kPeerA, 0x2000), inSa(1, kPeerA, 0x2001)},
         {{1, "1 2000 2001"}},
         nullptr,
         1},
        {"unset SPI fields: no delete line for them",
         {{1, 1, kPeerA, 0, 1, kUnset, kUnset}},
         {inSa(1, kPeerA, 0x2000)},
         {{1, "0 unset 0"}},
         "monitor/delete_inbound.conf",
         1},
        {"request ids with the top bit set",
         {{1073741824u, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(1073741824u, kPeerA, 0x1f4), inSa(1073741824u, kPeerA, 0x1000)},
         {{1073741824u, "1 1f4 1000"}},
         nullptr,
         1},
        {"both SAs dying (the peer re-keys late): they carry the traffic, up",
         {{1, 1, kPeerA, 0, 0, "0", "0"}},
         {outSa(1, kPeerA, 0x1f4, SADB_SASTATE_DYING), inSa(1, kPeerA, 0x1000, SADB_SASTATE_DYING)},
         {{1, "1 1f4 1000"}},
         nullptr,
         1},
        {"re-key under way: outbound dying, its successor not there yet; up, nothing deleted",
         {{1, 1, kPeerA, 0, 1, "1f4", "1000"}},
         {outSa(1, kPeerA, 0x1f4, SADB_SASTATE_DYING), inSa(1, kPeerA, 0x1000)},
         {{1, "1 1f4 1000"}},
         nullptr,
         0},
        {"re-keyed, the old SAs dying and listed last: the mature SPIs shown",
         {{1, 1, kPeerA, 0, 1, "1f4", "1000"}},
         {outSa(1, kPeerA, 0x2f4), inSa(1, kPeerA, 0x2000), outSa(1, kPeerA, 0x1f4, SADB_SASTATE_DYING),
          inSa(1, kPeerA, 0x1000, SADB_SASTATE_DYING)},
         {{1, "1 2f4 2000"}},
         nullptr,
         1},
        {"re-keyed, the old SAs dying and listed first: the mature SPIs shown",
         {{1, 1, kPeerA, 0, 1, "1f4", "1000"}},
         {outSa(1, kPeerA, 0x1f4, SADB_SASTATE_DYING), inSa(1, kPeerA, 0x1000, SADB_SASTATE_DYING),
          outSa(1, kPeerA, 0x2f4), inSa(1, kPeerA, 0x2000)},
         {{1, "1 2f4 2000"}},
         nullptr,
         1},
        {"re-key negotiating: a larval successor beside the dying SA, still up on the dying one",
         {{1, 1, kPeerA, 0, 1, "1f4", "1000"}},
         {inSa(1, kPeerA, 0x2000, SADB_SASTATE_LARVAL), outSa(1, kPeerA, 0x1f4, SADB_SASTATE_DYING),
          inSa(1, kPeerA, 0x1000, SADB_SASTATE_DYING)},
         {{1, "1 1f4 1000"}},
         nullptr,
         0},
        {"a lone dying SA is a lone live SA: deleted",
         {{1, 1, kPeerA, 0, 1, "1f4", "0"}},
         {outSa(1, kPeerA, 0x1f4, SADB_SASTATE_DYING)},
         {{1, "0 0 0"}},
         "monitor/delete_outbound.conf",
         1},
        {"captured dying SA (dump_dying) with a mature partner: up, the dying SPI shown",
         {{3, 1, kPeerA, 0, 0, "0", "0"}},
         {},
         {{3, "1 1e1 1e2"}},
         nullptr,
         1,
         {pfkeysim::saMessage(inSa(3, kPeerA, 0x1e2), SADB_DUMP, 1, kDyingPid), capture("dump_dying")[0]},
         kDyingPid},
        {"captured dying SA behind its mature successor: the successor's SPI shown",
         {{3, 1, kPeerA, 0, 1, "1e1", "1e2"}},
         {},
         {{3, "1 2e1 1e2"}},
         nullptr,
         1,
         {pfkeysim::saMessage(outSa(3, kPeerA, 0x2e1), SADB_DUMP, 1, kDyingPid),
          pfkeysim::saMessage(inSa(3, kPeerA, 0x1e2), SADB_DUMP, 2, kDyingPid), capture("dump_dying")[0]},
         kDyingPid},
        {"captured larval SA beside a mature one (dump_larval): down, both SPIs shown",
         {{2, 1, kPeerA, 0, 1, "0", "0"}},
         {},
         {{2, "0 1f4 2000"}},
         nullptr,
         1,
         capture("dump_larval"),
         kLarvalPid},
        {"captured larval SA alone, its partner gone: the partner's SPI cleared, nothing deleted",
         {{2, 1, kPeerA, 0, 1, "1f4", "1e0"}},
         {},
         {{2, "0 0 2000"}},
         nullptr,
         1,
         {withSeq(capture("dump_larval")[0], 0)},
         kLarvalPid},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        SetUp();
        unlink(IPSEC_TMP_DELETE_CONF);
        writeModel(r.tunnels);
        if (r.replay.empty())
            pfkeysim::setTable(r.kernel);
        else if (htonl(1) == 1)
            continue; /* the captures are little-endian */
        else
            pfkeysim::replayNext(r.replay, r.replayPid);
        std::string log = tick();
        for (const Expect &e : r.expect)
            EXPECT_EQ(e.shown, shown(e.id)) << "tunnel " << e.id;
        EXPECT_EQ(r.sets, mdm_fixture::traceCount("set 237 "));
        EXPECT_EQ("", log);
        if (r.deleteGolden) {
            EXPECT_EQ(std::vector<std::string>{kSetkey}, shell_recorder::commands());
            EXPECT_GOLDEN(r.deleteGolden, g_deleteFile);
            EXPECT_TRUE(g_lockHeldAtSetkey) << "setkey ran without the lock";
            EXPECT_EQ(g_deleteFile, test_files::read(IPSEC_TMP_DELETE_CONF)) << "file left in place";
            EXPECT_EQ(0600, test_files::mode(IPSEC_TMP_DELETE_CONF)) << "the file names live SAs: private";
        } else {
            EXPECT_TRUE(shell_recorder::commands().empty());
            EXPECT_FALSE(deleteFileExists());
        }
        EXPECT_EQ(1, pfkeysim::dumpRequests());
        EXPECT_EQ(mdm_fixture::traceCount("lock ipsec_set_status"), mdm_fixture::traceCount("unlock ipsec_set_status"));
    }
}

// The recorded SPI of the missing SA was edited by hand into something that
// is no SPI: no line of it reaches setkey, and the field is still cleared.
TEST_F(Status, HandEditedSpiGetsNoDeleteLine) {
    writeModel({{1, 1, kPeerA, 0, 1, "1;flush", "0"}});
    pfkeysim::setTable({inSa(1, kPeerA, 0x2000)});
    std::string log = tick();
    EXPECT_NE(std::string::npos, log.find("SPI text is not hexadecimal")) << log;
    EXPECT_EQ(std::vector<std::string>{kSetkey}, shell_recorder::commands());
    EXPECT_GOLDEN("monitor/delete_inbound.conf", g_deleteFile);
    EXPECT_EQ("0 0 0", shown(1));
}

// Thirty tunnels are sixty SAs, well past the twenty that used to fit: every
// tunnel is seen with both SAs and none is taken for half-dead.
TEST_F(Status, ThirtyTunnelsWithSixtySasAreAllUp) {
    std::vector<Tunnel> tunnels;
    std::vector<pfkeysim::Sa> kernel;
    std::vector<std::string> addrs;
    for (UINT32 id = 1; id <= 30; id++)
        addrs.push_back("203.0.113." + std::to_string(100 + id));
    for (UINT32 id = 1; id <= 30; id++) {
        tunnels.push_back({id, 1, addrs[id - 1].c_str(), 0, 0, "0", "0"});
        kernel.push_back(outSa(id, addrs[id - 1].c_str(), 0x10000 + id));
    }
    /* All outbound SAs first, so every inbound SA lies beyond the twentieth. */
    for (UINT32 id = 1; id <= 30; id++)
        kernel.push_back(inSa(id, addrs[id - 1].c_str(), 0x20000 + id));
    writeModel(tunnels);
    pfkeysim::setTable(kernel);
    EXPECT_EQ("", tick());
    for (UINT32 id = 1; id <= 30; id++) {
        char want[64];
        snprintf(want, sizeof(want), "1 %x %x", 0x10000 + id, 0x20000 + id);
        EXPECT_EQ(want, shown(id)) << "tunnel " << id;
    }
    EXPECT_EQ(30u, mdm_fixture::traceCount("set 237 "));
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_EQ(60u, l_ipsec_status_arr.status_arr.size());
}

// Every tunnel re-keyed at once: of each direction's two SAs the later in
// dump order wins, however many SAs share the table.
TEST_F(Status, ManyTunnelsReKeyedAtOnceShowTheirNewSas) {
    std::vector<Tunnel> tunnels;
    std::vector<pfkeysim::Sa> kernel;
    std::vector<std::string> addrs;
    for (UINT32 id = 1; id <= 40; id++)
        addrs.push_back("203.0.113." + std::to_string(100 + id));
    for (UINT32 id = 1; id <= 40; id++)
        tunnels.push_back({id, 1, addrs[id - 1].c_str(), 0, 1, "0", "0"});
    for (uint32_t gen = 0; gen < 2; gen++) {
        for (UINT32 id = 1; id <= 40; id++) {
            kernel.push_back(outSa(id, addrs[id - 1].c_str(), 0x10000 * (gen + 1) + id));
            kernel.push_back(inSa(id, addrs[id - 1].c_str(), 0x10000 * (gen + 3) + id));
        }
    }
    writeModel(tunnels);
    pfkeysim::setTable(kernel);
    EXPECT_EQ("", tick());
    for (UINT32 id = 1; id <= 40; id++) {
        char want[64];
        snprintf(want, sizeof(want), "1 %x %x", 0x20000 + id, 0x40000 + id);
        EXPECT_EQ(want, shown(id)) << "tunnel " << id;
    }
    EXPECT_TRUE(shell_recorder::commands().empty());
}

// A tunnel follows its SAs from tick to tick: up, re-keyed, gone.
TEST_F(Status, FollowsTheKernelAcrossTicks) {
    writeModel({{1, 1, kPeerA, 0, 0, "0", "0"}});
    struct Step {
        const char *name;
        std::vector<pfkeysim::Sa> kernel;
        const char *shown;
    } steps[] = {
        {"negotiating", {outSa(1, kPeerA, 0x100, SADB_SASTATE_LARVAL)}, "0 100 0"},
        {"up", {outSa(1, kPeerA, 0x100), inSa(1, kPeerA, 0x101)}, "1 100 101"},
        {"re-keyed", {outSa(1, kPeerA, 0x200), inSa(1, kPeerA, 0x201)}, "1 200 201"},
        {"gone", {}, "0 0 0"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        pfkeysim::setTable(s.kernel);
        EXPECT_EQ("", tick());
        EXPECT_EQ(s.shown, shown(1));
    }
    EXPECT_TRUE(shell_recorder::commands().empty());
}

// Other PF_KEY users' broadcasts arrive in the middle of our dump. One with
// sequence 0 must not end the dump (tunnel 1 would look half-dead and lose its
// live SA), and an SA it carries must not show up as tunnel 2's.
TEST_F(Status, ForeignBroadcastInTheMiddleOfTheDumpIsIgnored) {
    writeModel({{1, 1, kPeerA, 0, 1, "1f4", "1000"}, {2, 1, kPeerB, 0, 0, "0", "0"}});
    pfkeysim::setTable({outSa(1, kPeerA, 0x1f4), inSa(1, kPeerA, 0x1000)});
    pfkeysim::injectBroadcast(1, pfkeysim::BCAST_ADD, 4242, 0, outSa(2, kPeerB, 0x777));
    pfkeysim::injectBroadcast(1, pfkeysim::BCAST_DELETE, 4242, 0, inSa(2, kPeerB, 0x778));
    EXPECT_EQ("", tick());
    EXPECT_EQ("1 1f4 1000", shown(1));
    EXPECT_EQ("0 0 0", shown(2));
    EXPECT_EQ(0u, mdm_fixture::traceCount("set 237 "));
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_FALSE(deleteFileExists());
}

// A dump that does not finish may miss SAs that are in the kernel: an SA not
// read is unknown, not absent. A tunnel with both SAs read gets its status
// and SPIs from them; every other keeps its status and SPIs; nothing is
// deleted.
TEST_F(Status, UnfinishedDumpDeletesNothing) {
    struct Fault {
        const char *name;
        void (*apply)();
        const char *tunnel1;
        unsigned sets; /* objects written back */
    } faults[] = {
        {"read error after half the dump", [] { pfkeysim::failReadAt(3); }, "1 1f4 1000", 0},
        {"read error after tunnel 1's two SAs", [] { pfkeysim::failReadAt(4); }, "1 1f5 1000", 1},
        {"dump never finishes (read time-out)", [] { pfkeysim::neverFinishAfter(2); }, "1 1f4 1000", 0},
        {"read error at the first read", [] { pfkeysim::failReadAt(1); }, "1 1f4 1000", 0},
        {"no PF_KEY in the kernel", [] { pfkeysim::setNoPfkey(true); }, "1 1f4 1000", 0},
    };
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.name);
        SetUp();
        /* Tunnel 1: both SAs live, the outbound SA re-keyed since the last
         * tick. Tunnel 2: up at the last tick. Tunnel 3: a lone SA left. */
        writeModel({{1, 1, kPeerA, 0, 1, "1f4", "1000"},
                    {2, 1, kPeerB, 0, 1, "2f4", "2000"},
                    {3, 1, "203.0.113.30", 0, 0, "3f4", "0"}});
        pfkeysim::setTable({outSa(1, kPeerA, 0x1f5), outSa(2, kPeerB, 0x2f4), inSa(1, kPeerA, 0x1000),
                            inSa(2, kPeerB, 0x2000), outSa(3, "203.0.113.30", 0x3f4)});
        f.apply();
        std::string log = tick();
        EXPECT_EQ(f.tunnel1, shown(1));
        EXPECT_EQ("1 2f4 2000", shown(2));
        EXPECT_EQ("0 3f4 0", shown(3));
        EXPECT_TRUE(shell_recorder::commands().empty());
        EXPECT_FALSE(deleteFileExists());
        EXPECT_NE(std::string::npos, log.find("ERROR ipsec_refresh_status:")) << log;
        EXPECT_NE(std::string::npos, log.find("ipsec_refresh_status_read_error!")) << log;
        EXPECT_EQ(f.sets, mdm_fixture::traceCount("set 237 "));
    }
}

// A dump reply that lacks its destination address is no SA of ours, even
// though the request id of the reply before it would make it one.
TEST_F(Status, ReplyWithoutDestinationIsNotRecorded) {
    writeModel({{1, 1, kPeerA, 0, 1, "1f4", "1000"}});
    constexpr uint32_t kCapturedPid = 4242;
    std::vector<uint8_t> last = pfkeysim::saMessage(inSa(1, kPeerA, 0x9999), SADB_DUMP, 0, kCapturedPid);
    dropExtension(&last, SADB_EXT_ADDRESS_DST);
    pfkeysim::replayNext({pfkeysim::saMessage(outSa(1, kPeerA, 0x1f4), SADB_DUMP, 1, kCapturedPid),
                          pfkeysim::saMessage(inSa(1, kPeerA, 0x1000), SADB_DUMP, 2, kCapturedPid), last},
                         kCapturedPid);
    EXPECT_EQ("", tick());
    EXPECT_EQ("1 1f4 1000", shown(1));
    EXPECT_EQ(0u, mdm_fixture::traceCount("set 237 "));
}

TEST_F(Status, RefusedLockChangesNothing) {
    writeModel({{1, 1, kPeerA, 0, 1, "1f4", "0"}});
    const std::string before = test_files::read(mdm_fixture::mdmPath());
    pfkeysim::setTable({outSa(1, kPeerA, 0x1f4)});
    setenv("ZOR_FAIL_LOCK", "ipsec_set_status", 1);
    std::string log = tick();
    EXPECT_NE(std::string::npos, log.find("ipsec_set_status failed to get lock, ret:9005")) << log;
    EXPECT_EQ(before, test_files::read(mdm_fixture::mdmPath()));
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_FALSE(deleteFileExists());
    EXPECT_EQ(0u, mdm_fixture::traceCount("unlock ipsec_set_status"));
}

// A refused write ends the pass: tunnels before it keep their new values,
// later ones are not visited until the next tick.
TEST_F(Status, RefusedWriteEndsThePass) {
    writeModel(
        {{1, 1, kPeerA, 0, 0, "0", "0"}, {2, 1, kPeerB, 0, 0, "0", "0"}, {3, 1, "203.0.113.30", 0, 1, "5", "6"}});
    pfkeysim::setTable({outSa(1, kPeerA, 0x11), inSa(1, kPeerA, 0x12), outSa(2, kPeerB, 0x21), inSa(2, kPeerB, 0x22)});
    setenv("ZOR_FAIL_SET", "2", 1);
    std::string log = tick();
    EXPECT_NE(std::string::npos, log.find("ipsec_status failed to set obj, ret=9002")) << log;
    EXPECT_EQ("1 11 12", shown(1));
    EXPECT_EQ("0 0 0", shown(2));
    EXPECT_EQ("1 5 6", shown(3));
    EXPECT_EQ(2u, mdm_fixture::traceCount("set 237 "));
    std::vector<std::string> trace = mdm_fixture::trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ("unlock ipsec_set_status", trace.back());
}

// The delete file cannot be written: this tunnel keeps what it had, no setkey
// runs, later tunnels wait for the next tick.
TEST_F(Status, UnwritableDeleteFileEndsThePass) {
    ASSERT_EQ(0, mkdir(IPSEC_TMP_DELETE_CONF, 0755));
    writeModel({{1, 1, kPeerA, 0, 1, "1f4", "0"}, {2, 1, kPeerB, 0, 0, "0", "0"}});
    pfkeysim::setTable({outSa(1, kPeerA, 0x1f5), outSa(2, kPeerB, 0x21), inSa(2, kPeerB, 0x22)});
    std::string log = tick();
    EXPECT_NE(std::string::npos, log.find("ERROR ipsec_set_status:")) << log;
    EXPECT_NE(std::string::npos, log.find("Ipsec internal Error:/tmp_delete_file!")) << log;
    EXPECT_EQ("1 1f4 0", shown(1));
    EXPECT_EQ("0 0 0", shown(2));
    EXPECT_EQ(0u, mdm_fixture::traceCount("set 237 "));
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_EQ("unlock ipsec_set_status", mdm_fixture::trace().back());
}

} // namespace
