/* setkey.conf and the NAT exemption commands as the writer produces them from
 * the data model, the change message and the (simulated) kernel: golden
 * files, the commands' place among the file's lines, every path's edge cases
 * and hostile input. */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_output.h"
#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "msg_frame.h"
#include "pfkeysim.h"
#include "render/ipsec_file.h"
#include "render/ipsec_paths.h"
#include "render/ipsec_setkey.h"
#include "shell_recorder.h"
#include "test_files.h"

using nlohmann::json;

namespace {

const char *const kConf = IPSEC_SETKEY_CONF;
const char *const kEncKey = "00112233445566778899aabbccddeeff";
const char *const kAuthKey = "0102030405060708090a0b0c0d0e0f1011121314";

/* ---- the worked example's tunnels ---------------------------------------- */

json tunnelA() {
    return {{"entryID", 1},
            {"enable", 1},
            {"connName", "A"},
            {"keyExMethod", 1},
            {"realRemoteIP", "203.0.113.9"},
            {"remoteGWAddress", "203.0.113.9"},
            {"localIPMode", 0},
            {"localIPAddress", "10.1.0.0"},
            {"localMask", "255.255.255.0"},
            {"remoteIPMode", 0},
            {"remoteIPAddress", "10.2.0.0"},
            {"remoteMask", "255.255.0.0"},
            {"SPI", "1000"},
            {"secondSPI", "1001"},
            {"manualEncryptionAlgo", "aes-cbc"},
            {"manualEncryptionKey", kEncKey},
            {"manualAuthAlgo", "hmac-sha1"},
            {"manualAthKey", kAuthKey}};
}

json tunnelB() {
    return {{"entryID", 2},
            {"enable", 1},
            {"connName", "B"},
            {"keyExMethod", 0},
            {"realRemoteIP", "192.0.2.50"},
            {"remoteGWAddress", "192.0.2.50"},
            {"localIPMode", 0},
            {"localIPAddress", "10.1.0.0"},
            {"localMask", "255.255.255.0"},
            {"remoteIPMode", 1},
            {"remoteIPAddress", "192.0.2.77"},
            {"remoteMask", "255.255.255.0"},
            {"SPI", "0"},
            {"secondSPI", "0"}};
}

json tunnelC() {
    json c = tunnelA();
    c["entryID"] = 3;
    c["enable"] = 0;
    c["connName"] = "C";
    return c;
}

/* Tunnels numbered 1, 2, ... in the data model, in this order. */
void writeModel(std::vector<json> tunnels) {
    for (size_t i = 0; i < tunnels.size(); i++)
        tunnels[i]["_iid"] = i + 1;
    mdm_fixture::writeJson(json{{"IPSecCfgObject", tunnels}});
}

void setText(char (&field)[16], const char *text) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text, strnlen(text, sizeof(field)));
}

/* A configuration-changed body describing tunnel A as it was. */
IpsecCfgChangedMsgBody bodyA(UINT32 op) {
    IpsecCfgChangedMsgBody b = msg_frame::cfgBody(1, op, 1);
    setText(b.local_ip, "10.1.0.0");
    b.stack = mdm_fixture::tunnelPath(1);
    return b;
}

/* The kernel holding tunnel A's two manual SAs. */
void kernelHoldsA() {
    pfkeysim::Sa out, in;
    out.src = "198.51.100.2";
    out.dst = "203.0.113.9";
    out.spi = 0x1000;
    out.reqid = 3;
    in.src = "203.0.113.9";
    in.dst = "198.51.100.2";
    in.spi = 0x1001;
    in.reqid = 4;
    pfkeysim::setTable({in, out});
}

/* ---- what a run did -------------------------------------------------------- */

struct Snapshot {
    std::string cmd;
    std::string file; /* setkey.conf when the command ran */
};
std::vector<Snapshot> g_snapshots;

/* The file is written under its temporary name until it is whole. */
void snapshot(const std::string &cmd) {
    bool writing = false;
    std::string file = test_files::read(ipsec_tempPath(kConf), &writing);
    g_snapshots.push_back({cmd, writing ? file : test_files::read(kConf)});
}

/* The file with each command ("$ ...") at the place where it ran; "!" marks a
 * command that saw a file that is not a prefix of the final one. */
std::string transcript() {
    const std::string final = test_files::read(kConf);
    std::string out;
    size_t at = 0;
    for (const Snapshot &s : g_snapshots) {
        if (s.file.size() < at || final.compare(0, s.file.size(), s.file) != 0) {
            out += "! " + s.cmd + "\n";
            continue;
        }
        out += final.substr(at, s.file.size() - at);
        at = s.file.size();
        out += "$ " + s.cmd + "\n";
    }
    return out + final.substr(at);
}

std::vector<std::string> commands() {
    return shell_recorder::commands();
}

class SetkeyWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
        pfkeysim::reset();
        shell_recorder::clear();
        g_snapshots.clear();
        shell_recorder::setObserver(snapshot);
        mkdir("/var/ipsec", 0755);
        unlink(kConf);
        setWan("198.51.100.2", "ppp0", "ppp0");
    }
    void TearDown() override {
        shell_recorder::setObserver(nullptr);
        shell_recorder::setPassThrough(false);
        /* Not re-entrant: this fails while the code under test still holds the lock. */
        EXPECT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("test", 0)) << "lock left held";
        zorLck_releaseLockTraced("test");
        EXPECT_EQ(0, pfkeysim::openSockets());
    }
    static void setWan(const char *ip, const char *ifName, const char *oldIfName) {
        snprintf(l_wan_ip, sizeof(l_wan_ip), "%s", ip);
        snprintf(default_ifName, sizeof(default_ifName), "%s", ifName);
        snprintf(old_default_ifName, sizeof(old_default_ifName), "%s", oldIfName);
    }
    static std::string conf() { return test_files::read(kConf); }
};

const std::string kAddA = std::string("add 198.51.100.2 203.0.113.9 esp 0x1000 -m tunnel -u 3 -E aes-cbc 0x") +
                          kEncKey + " -A hmac-sha1 0x" + kAuthKey + ";\n" +
                          "add 203.0.113.9 198.51.100.2 esp 0x1001 -m tunnel -u 4 -E aes-cbc 0x" + kEncKey +
                          " -A hmac-sha1 0x" + kAuthKey + ";\n";
const std::string kPoliciesA =
    "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
    "spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/203.0.113.9-198.51.100.2/unique:4;\n";
const std::string kRemoveA = "spddelete 10.1.0.0/24 10.2.0.0/16 any -P out;\n"
                             "spddelete 10.2.0.0/16 10.1.0.0/24 any -P in;\n";
const std::string kNatInsA = "iptables -t nat -I POSTROUTING 1 -s 10.1.0.0/24 -o ppp0 -d 10.2.0.0/16 -j ACCEPT";
const std::string kNatDelA = "iptables -t nat -D POSTROUTING -s 10.1.0.0/24 -o ppp0 -d 10.2.0.0/16 -j ACCEPT";

/* ---- the worked example, byte for byte ------------------------------------ */

TEST_F(SetkeyWriter, ExampleFullRewrite) {
    writeModel({tunnelA(), tunnelB(), tunnelC()});
    EXPECT_EQ(2, ipsec_writeAllSetkey());
    EXPECT_GOLDEN("setkey/example_full.conf", conf());
    EXPECT_GOLDEN("setkey/example_full.transcript", transcript());
    EXPECT_EQ(0600, test_files::mode(kConf));
}

TEST_F(SetkeyWriter, ExampleChangeOfTunnelA) {
    writeModel({tunnelA(), tunnelB(), tunnelC()});
    IpsecCfgChangedMsgBody body = bodyA(IPSEC_CFG_OP_CHANGE);
    json a = tunnelA();
    a["remoteIPAddress"] = "10.3.0.0";
    a["remoteMask"] = "255.255.255.0";
    writeModel({a, tunnelB(), tunnelC()});
    kernelHoldsA();
    EXPECT_EQ(0, ipsec_writeSetkey(&body));
    EXPECT_GOLDEN("setkey/example_change.conf", conf());
    EXPECT_GOLDEN("setkey/example_change.transcript", transcript());
    EXPECT_EQ(2, pfkeysim::dumpRequests());
    /* The lock is held for the one read of the object, then for the walk
     * that looks at the other tunnels' subnet pairs. */
    EXPECT_EQ(2u, mdm_fixture::traceCount("lock ipsec_writeSetkey"));
    EXPECT_EQ(1u, mdm_fixture::traceCount("get 237 "));
}

TEST_F(SetkeyWriter, ExampleDeleteOfTunnelA) {
    writeModel({tunnelB(), tunnelC()});
    kernelHoldsA();
    IpsecCfgChangedMsgBody body = bodyA(IPSEC_CFG_OP_DELETE);
    EXPECT_EQ(0, ipsec_writeSetkey(&body));
    EXPECT_GOLDEN("setkey/example_delete.conf", conf());
    EXPECT_GOLDEN("setkey/example_delete.transcript", transcript());
    /* One walk: does another tunnel have the pair the removal took? */
    EXPECT_EQ(1u, mdm_fixture::traceCount("lock "));
}

/* ---- full rewrite ------------------------------------------------------------ */

TEST_F(SetkeyWriter, FullRewriteEdgeCases) {
    json ike = tunnelA();
    ike["keyExMethod"] = 0;
    json other = tunnelA();
    other["keyExMethod"] = 2;
    json empties = tunnelA();
    empties["SPI"] = "";
    json hosts = tunnelA();
    hosts["localIPMode"] = 1;
    hosts["localMask"] = "garbage";
    hosts["remoteIPMode"] = 7;
    hosts["remoteMask"] = nullptr;
    json unset = tunnelA();
    unset["realRemoteIP"] = nullptr;
    json noGw = tunnelA();
    noGw["realRemoteIP"] = "0.0.0.0";
    json top = tunnelB();
    top["entryID"] = 8190; /* request ids 16381 and 16382 */
    json past = tunnelB();
    past["entryID"] = 8191; /* inbound 16384: the kernel would pick its own */
    json far = tunnelB();
    far["entryID"] = 9000;
    json samePair = tunnelA(); /* another gateway, A's subnet pair */
    samePair["entryID"] = 5;
    samePair["keyExMethod"] = 0;
    samePair["realRemoteIP"] = "192.0.2.99";

    const std::string flush = "flush;\nspdflush;\n";
    struct Row {
        const char *name;
        std::vector<json> tunnels;
        int count;
        std::string file;
        std::vector<std::string> cmds;
    } rows[] = {
        {"no tunnels", {}, 0, flush, {}},
        {"disabled, no remote address, unset remote address", {tunnelC(), noGw, unset}, 0, flush, {}},
        {"negotiated keys: policies only", {ike}, 1, flush + kPoliciesA, {kNatDelA, kNatInsA}},
        {"keyExMethod 2: policies only", {other}, 1, flush + kPoliciesA, {kNatDelA, kNatInsA}},
        {"empty SPI: skipped, setkey takes no \"0x\" alone", {empties}, 0, flush, {}},
        {"request ids past the kernel's 16383: skipped", {past, far}, 0, flush, {}},
        {"two tunnels, one subnet pair: the first is written",
         {tunnelA(), samePair},
         1,
         flush + kAddA + kPoliciesA,
         {kNatDelA, kNatInsA}},
        {"one subnet pair: the first written, not the first skipped",
         {empties, samePair},
         1,
         flush + "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/198.51.100.2-192.0.2.99/unique:11;\n"
                 "spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/192.0.2.99-198.51.100.2/unique:12;\n",
         {kNatDelA, kNatInsA}},
        {"single addresses: /32 whatever the mask",
         {hosts},
         1,
         flush + kAddA +
             "spdadd 10.1.0.0/32 10.2.0.0/32 any -P out ipsec esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
             "spdadd 10.2.0.0/32 10.1.0.0/32 any -P in ipsec esp/tunnel/203.0.113.9-198.51.100.2/unique:4;\n",
         {"iptables -t nat -D POSTROUTING -s 10.1.0.0/32 -o ppp0 -d 10.2.0.0/32 -j ACCEPT",
          "iptables -t nat -I POSTROUTING 1 -s 10.1.0.0/32 -o ppp0 -d 10.2.0.0/32 -j ACCEPT"}},
        {"largest entryID the kernel's request ids allow",
         {top},
         1,
         flush + "spdadd 10.1.0.0/24 192.0.2.77/32 any -P out ipsec esp/tunnel/198.51.100.2-192.0.2.50/"
                 "unique:16381;\n"
                 "spdadd 192.0.2.77/32 10.1.0.0/24 any -P in ipsec esp/tunnel/192.0.2.50-198.51.100.2/"
                 "unique:16382;\n",
         {"iptables -t nat -D POSTROUTING -s 10.1.0.0/24 -o ppp0 -d 192.0.2.77/32 -j ACCEPT",
          "iptables -t nat -I POSTROUTING 1 -s 10.1.0.0/24 -o ppp0 -d 192.0.2.77/32 -j ACCEPT"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        shell_recorder::clear();
        writeModel(r.tunnels);
        EXPECT_EQ(r.count, ipsec_writeAllSetkey());
        EXPECT_EQ(r.file, conf());
        EXPECT_EQ(r.cmds, commands());
    }
}

TEST_F(SetkeyWriter, FullRewriteMovesNatRulesBetweenInterfaces) {
    struct Row {
        const char *name;
        const char *ifName;
        const char *oldIfName;
        std::vector<std::string> cmds;
    } rows[] = {
        {"first WAN up: no old interface", "ppp0", "", {kNatDelA, kNatInsA}},
        {"new interface",
         "ppp0",
         "eth1",
         {"iptables -t nat -D POSTROUTING -s 10.1.0.0/24 -o eth1 -d 10.2.0.0/16 -j ACCEPT", kNatDelA, kNatInsA}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        shell_recorder::clear();
        setWan("198.51.100.2", r.ifName, r.oldIfName);
        writeModel({tunnelA()});
        EXPECT_EQ(1, ipsec_writeAllSetkey());
        EXPECT_EQ(r.cmds, commands());
    }
}

TEST_F(SetkeyWriter, FullRewriteFailures) {
    writeModel({tunnelA()});
    test_files::write(kConf, "previous\n");
    setenv("ZOR_FAIL_LOCK", "ipsec_writeAllSetkey", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ipsec_writeAllSetkey());
    std::string log = testing::internal::GetCapturedStderr();
    unsetenv("ZOR_FAIL_LOCK");
    EXPECT_NE(std::string::npos, log.find("ERROR ipsec_writeAllSetkey:"));
    EXPECT_NE(std::string::npos, log.find("ipsec_setkey failed to get lock, ret:9005"));
    EXPECT_EQ("previous\n", conf()) << "a file is replaced whole or not at all";
    EXPECT_EQ(-1, test_files::mode(ipsec_tempPath(kConf)));
    EXPECT_TRUE(commands().empty());

    /* No /var/ipsec: nothing else happens. */
    unlink(kConf);
    rmdir("/var/ipsec");
    const size_t locks = mdm_fixture::traceCount("lock ");
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ipsec_writeAllSetkey());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "ipsec cannot create /var/ipsec/setkey.conf: No such file or directory"));
    EXPECT_EQ(locks, mdm_fixture::traceCount("lock "));
    EXPECT_TRUE(commands().empty());
}

/* ---- per change ---------------------------------------------------------------- */

TEST_F(SetkeyWriter, ChangePaths) {
    json a = tunnelA();
    json aOff = tunnelA();
    aOff["enable"] = 0;
    json aNoGw = tunnelA();
    aNoGw["realRemoteIP"] = "0.0.0.0";
    auto body = [](UINT32 op, UINT8 enable, const char *gw) {
        IpsecCfgChangedMsgBody b = bodyA(op);
        b.enable = enable;
        setText(b.real_remote_gw_ip, gw);
        return b;
    };
    const std::string dels = "delete 198.51.100.2 203.0.113.9 esp 0x1000;\n"
                             "delete 203.0.113.9 198.51.100.2 esp 0x1001;\n";
    struct Row {
        const char *name;
        json now;
        IpsecCfgChangedMsgBody msg;
        std::string file;
        std::vector<std::string> cmds;
        int dumps;
    } rows[] = {
        {"op 0: nothing", a, body(0, 1, "203.0.113.9"), "", {}, 0},
        {"op 1: added", a, body(1, 0, "0.0.0.0"), kAddA + kPoliciesA, {kNatDelA, kNatInsA}, 0},
        {"op 1: added while disabled is not installed", aOff, body(1, 0, "0.0.0.0"), "", {}, 0},
        {"op 1: added without remote address", aNoGw, body(1, 0, "0.0.0.0"), "", {}, 0},
        {"op 2: old tunnel disabled", a, body(2, 0, "203.0.113.9"), "", {}, 0},
        {"op 2: old tunnel without remote address", a, body(2, 1, "0.0.0.0"), "", {}, 0},
        {"op 3: enabled to disabled", aOff, body(3, 1, "203.0.113.9"), dels + kRemoveA, {kNatDelA}, 2},
        {"op 3: disabled to enabled", a, body(3, 0, "203.0.113.9"), kAddA + kPoliciesA, {kNatDelA, kNatInsA}, 0},
        {"op 4: as op 3",
         a,
         body(4, 1, "203.0.113.9"),
         dels + kRemoveA + kAddA + kPoliciesA,
         {kNatDelA, kNatDelA, kNatInsA},
         2},
        {"op 0xffffffff: as op 3",
         a,
         body(0xffffffffu, 1, "203.0.113.9"),
         dels + kRemoveA + kAddA + kPoliciesA,
         {kNatDelA, kNatDelA, kNatInsA},
         2},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::reset();
        kernelHoldsA();
        shell_recorder::clear();
        writeModel({r.now});
        IpsecCfgChangedMsgBody msg = r.msg;
        msg.stack = mdm_fixture::tunnelPath(1);
        EXPECT_EQ(0, ipsec_writeSetkey(&msg));
        EXPECT_EQ(r.file, conf());
        EXPECT_EQ(r.cmds, commands());
        EXPECT_EQ(r.dumps, pfkeysim::dumpRequests());
    }
}

TEST_F(SetkeyWriter, DeleteWithNoSaInTheKernel) {
    IpsecCfgChangedMsgBody b = bodyA(IPSEC_CFG_OP_DELETE);
    EXPECT_EQ(0, ipsec_writeSetkey(&b));
    EXPECT_EQ(kRemoveA, conf());
    EXPECT_EQ(std::vector<std::string>{kNatDelA}, commands());
}

// A subnet pair's policies belong to the first tunnel (in data-model order)
// that has it, as in the full rewrite: a change never leaves the kernel with
// the pair of a tunnel that lost it, and the one skipped gets the line.
TEST_F(SetkeyWriter, ChangeKeepsEachSubnetPairWithItsFirstTunnel) {
    json d = tunnelA(); /* A's subnet pair, negotiated, another gateway */
    d["entryID"] = 5;
    d["connName"] = "D";
    d["keyExMethod"] = 0;
    d["realRemoteIP"] = "192.0.2.99";
    json a3 = tunnelA();
    a3["remoteIPAddress"] = "10.3.0.0";
    a3["remoteMask"] = "255.255.255.0";
    json e = d; /* the pair A takes in a3 */
    e["entryID"] = 6;
    e["connName"] = "E";
    e["remoteIPAddress"] = "10.3.0.0";
    e["remoteMask"] = "255.255.255.0";
    auto bodyD = [](UINT32 op, UINT8 enable) {
        IpsecCfgChangedMsgBody b = msg_frame::cfgBody(5, op, enable);
        setText(b.local_ip, "10.1.0.0");
        setText(b.real_remote_gw_ip, "192.0.2.99");
        return b;
    };
    const std::string dels = "delete 198.51.100.2 203.0.113.9 esp 0x1000;\n"
                             "delete 203.0.113.9 198.51.100.2 esp 0x1001;\n";
    const std::string policiesD =
        "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/198.51.100.2-192.0.2.99/unique:11;\n"
        "spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/192.0.2.99-198.51.100.2/unique:12;\n";
    const std::string policiesA3 =
        "spdadd 10.1.0.0/24 10.3.0.0/24 any -P out ipsec esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
        "spdadd 10.3.0.0/24 10.1.0.0/24 any -P in ipsec esp/tunnel/203.0.113.9-198.51.100.2/unique:4;\n";
    const std::string natDelA3 = "iptables -t nat -D POSTROUTING -s 10.1.0.0/24 -o ppp0 -d 10.3.0.0/24 -j ACCEPT";
    const std::string natInsA3 = "iptables -t nat -I POSTROUTING 1 -s 10.1.0.0/24 -o ppp0 -d 10.3.0.0/24 -j ACCEPT";
    struct Row {
        const char *name;
        std::vector<json> model;
        IpsecCfgChangedMsgBody msg;
        UINT32 entryID; /* the changed tunnel's, for its place in the data model */
        std::string file;
        std::vector<std::string> cmds;
        const char *logged; /* null: no line */
    } rows[] = {
        {"second tunnel added with the first one's pair: skipped, the first untouched",
         {tunnelA(), d},
         bodyD(IPSEC_CFG_OP_ADD, 0),
         5,
         "",
         {},
         "tunnel 5 (D) skipped: localIPAddress and remoteIPAddress are those of tunnel 1\n"},
        {"the skipped second changed: the removal's pair goes back to the first",
         {tunnelA(), d},
         bodyD(IPSEC_CFG_OP_CHANGE, 1),
         5,
         kRemoveA + dels + kAddA + kPoliciesA,
         {kNatDelA, kNatDelA, kNatInsA},
         "tunnel 5 (D) skipped: localIPAddress and remoteIPAddress are those of tunnel 1\n"},
        {"the first deleted: the second gets the pair",
         {d},
         bodyA(IPSEC_CFG_OP_DELETE),
         1,
         dels + kRemoveA + policiesD,
         {kNatDelA, kNatDelA, kNatInsA},
         nullptr},
        {"an earlier tunnel changed to a later one's pair takes it",
         {a3, e},
         bodyA(IPSEC_CFG_OP_CHANGE),
         1,
         dels + kRemoveA + "spddelete 10.1.0.0/24 10.3.0.0/24 any -P out;\n" +
             "spddelete 10.3.0.0/24 10.1.0.0/24 any -P in;\n" + kAddA + policiesA3,
         {kNatDelA, natDelA3, natInsA3},
         "tunnel 6 (E) skipped: localIPAddress and remoteIPAddress are those of tunnel 1\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::reset();
        kernelHoldsA();
        shell_recorder::clear();
        writeModel(r.model);
        IpsecCfgChangedMsgBody msg = r.msg;
        msg.stack = mdm_fixture::tunnelPath(r.entryID);
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, ipsec_writeSetkey(&msg));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.file, conf());
        EXPECT_EQ(r.cmds, commands());
        if (r.logged)
            EXPECT_NE(std::string::npos, log.find(r.logged)) << log;
        else
            EXPECT_EQ("", log);
    }
}

TEST_F(SetkeyWriter, ChangeFailures) {
    writeModel({tunnelA()});
    kernelHoldsA();
    struct Row {
        const char *name;
        UINT32 op;
        const char *failLock;
        bool badPath;
        std::string log;
    } rows[] = {
        {"op 1: lock refused", 1, "ipsec_writeSetkey", false, "ipsec_setkey failed to get lock, ret:9005"},
        {"op 3: lock refused", 3, "ipsec_writeSetkey", false, "ipsec_setkey failed to get lock, ret:9005"},
        {"op 1: no such object", 1, nullptr, true, "ipsec internal error --- ipsec write setkey:get cfg!, ret:9007"},
        {"op 3: no such object", 3, nullptr, true, "ipsec internal error --- ipsec write setkey:get cfg!\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pfkeysim::reset();
        kernelHoldsA();
        shell_recorder::clear();
        IpsecCfgChangedMsgBody b = bodyA(r.op);
        if (r.badPath)
            b.stack.instance[0] = 99;
        if (r.failLock)
            setenv("ZOR_FAIL_LOCK", r.failLock, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(-1, ipsec_writeSetkey(&b));
        std::string log = testing::internal::GetCapturedStderr();
        unsetenv("ZOR_FAIL_LOCK");
        EXPECT_NE(std::string::npos, log.find("ERROR ipsec_writeSetkey:")) << log;
        EXPECT_NE(std::string::npos, (log + "\n").find(r.log)) << log;
        EXPECT_EQ("", conf());
        EXPECT_TRUE(commands().empty());
        EXPECT_EQ(0, pfkeysim::dumpRequests()) << "old tunnel removed although the change failed";
    }

    rmdir("/var/ipsec"); /* fails: the file is there */
    unlink(kConf);
    rmdir("/var/ipsec");
    testing::internal::CaptureStderr();
    IpsecCfgChangedMsgBody b = bodyA(3);
    EXPECT_EQ(-1, ipsec_writeSetkey(&b));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("ipsec internal error --- ipsec write setkey:ceate .conf!"));
}

/* ---- hostile input ---------------------------------------------------------------- */

// A text that would end a setkey statement skips its tunnel (with a line
// naming the field); the other tunnels are still written.
TEST_F(SetkeyWriter, HostileObjectFieldSkipsItsTunnel) {
    const char *fields[] = {"realRemoteIP", "localIPAddress",       "remoteIPAddress",     "SPI",
                            "secondSPI",    "manualEncryptionAlgo", "manualEncryptionKey", "manualAuthAlgo",
                            "manualAthKey"};
    const char *values[] = {"10.9.9.9;flush", "10.9.9.9\nflush;", "x\x01y", "10#", "1 2"};
    for (const char *field : fields) {
        for (const char *value : values) {
            SCOPED_TRACE(std::string(field) + " = " + value);
            shell_recorder::clear();
            json bad = tunnelA();
            bad["entryID"] = 7;
            bad[field] = value;
            writeModel({bad, tunnelB()});
            testing::internal::CaptureStderr();
            EXPECT_EQ(1, ipsec_writeAllSetkey());
            std::string log = testing::internal::GetCapturedStderr();
            EXPECT_NE(std::string::npos, log.find(std::string("tunnel 7 (A) skipped: ") + field + " ")) << log;
            std::string file = conf();
            EXPECT_EQ(std::string::npos, file.find("unique:15")) << file;
            EXPECT_NE(std::string::npos, file.find("unique:5;")) << file;
            EXPECT_EQ(2u, commands().size());
        }
    }
}

// Each field is what its place in a statement needs; anything else skips the
// tunnel with a line naming the field, and the other tunnel is written.
TEST_F(SetkeyWriter, FieldsAreCheckedByWhatTheyMustBe) {
    const std::string digits64(64, 'a');
    struct Row {
        const char *name;
        const char *field;
        json value;
        const char *logged;         /* null: written */
        json also = json::object(); /* other fields replaced */
    } rows[] = {
        {"'#' in the local network", "localIPAddress", "192.168.1.0#", "localIPAddress is not a dotted quad"},
        {"host name as gateway", "realRemoteIP", "peer.example", "realRemoteIP is not a dotted quad"},
        {"octet over 255", "remoteIPAddress", "10.2.0.256", "remoteIPAddress is not a dotted quad"},
        {"last octet missing", "remoteIPAddress", "10.2.0.", "remoteIPAddress is not a dotted quad"},
        {"leading zero, read as octal elsewhere", "localIPAddress", "010.1.0.0", "localIPAddress is not a dotted quad"},
        {"unset local network", "localIPAddress", nullptr, "localIPAddress is not a dotted quad"},
        {"'0x' before the SPI", "SPI", "0x1000", "SPI is not at most 8 hexadecimal digits"},
        {"nine-digit SPI", "secondSPI", "123456789", "secondSPI is not at most 8 hexadecimal digits"},
        {"eight-digit SPI", "SPI", "ffffffff", nullptr},
        {"empty SPI: setkey takes no \"0x\" alone", "SPI", "", "SPI is not set"},
        {"unset SPI", "secondSPI", nullptr, "secondSPI is not set"},
        {"SPI below 100", "SPI", "ff", "SPI is below 100"},
        {"SPI 0, no SA", "secondSPI", "0", "secondSPI is below 100"},
        {"lowest SPI", "SPI", "100", nullptr},
        {"upper-case hex key", "manualEncryptionKey", "00112233445566778899AABBCCDDEEFF", nullptr},
        {"3des as a cipher: setkey's is 3des-cbc", "manualEncryptionAlgo", "3des",
         "manualEncryptionAlgo is not a cipher setkey takes"},
        {"aes128 as a cipher", "manualEncryptionAlgo", "aes128", "manualEncryptionAlgo is not a cipher setkey takes"},
        {"AES-CBC in capitals", "manualEncryptionAlgo", "AES-CBC", "manualEncryptionAlgo is not a cipher setkey takes"},
        {"null cipher: the LAN in the clear", "manualEncryptionAlgo", "null",
         "manualEncryptionAlgo is not a cipher setkey takes"},
        {"4-digit key", "manualEncryptionKey", "1234", "manualEncryptionKey is not a key length its algorithm takes"},
        {"empty key", "manualEncryptionKey", "", "manualEncryptionKey is not a key length its algorithm takes"},
        {"aes-cbc key of 20 bytes", "manualEncryptionKey", "00112233445566778899aabbccddeeff00112233",
         "manualEncryptionKey is not a key length its algorithm takes"},
        {"aes-cbc key of 31 digits", "manualEncryptionKey", "00112233445566778899aabbccddeef",
         "manualEncryptionKey is not a key length its algorithm takes"},
        {"aes-cbc 256-bit key", "manualEncryptionKey", digits64, nullptr},
        {"3des-cbc with its 24 bytes",
         "manualEncryptionAlgo",
         "3des-cbc",
         nullptr,
         {{"manualEncryptionKey", std::string(48, 'b')}}},
        {"3des-cbc with an aes key", "manualEncryptionAlgo", "3des-cbc",
         "manualEncryptionKey is not a key length its algorithm takes"},
        {"hmac-sha256 with a sha1 key", "manualAuthAlgo", "hmac-sha256",
         "manualAthKey is not a key length its algorithm takes"},
        {"hmac-sha256 with its 32 bytes", "manualAuthAlgo", "hmac-sha256", nullptr, {{"manualAthKey", digits64}}},
        {"hmac_sha1, racoon's spelling", "manualAuthAlgo", "hmac_sha1",
         "manualAuthAlgo is not an authentication algorithm setkey takes"},
        {"empty authentication key", "manualAthKey", "", "manualAthKey is not a key length its algorithm takes"},
        {"key with a 'g'", "manualAthKey", "0123g", "manualAthKey is not hexadecimal digits"},
        {"empty algorithm", "manualAuthAlgo", "", "manualAuthAlgo is not a plain word"},
        {"algorithm with a blank", "manualEncryptionAlgo", "aes cbc", "manualEncryptionAlgo is not a plain word"},
        {"algorithm with '#'", "manualEncryptionAlgo", "aes#", "manualEncryptionAlgo is not a plain word"},
        {"algorithm with digits, '-' and '_'", "manualEncryptionAlgo", "rijndael-cbc_256",
         "manualEncryptionAlgo is not a cipher setkey takes"},
        {"rijndael-cbc, setkey's other name of aes-cbc", "manualEncryptionAlgo", "rijndael-cbc", nullptr},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        shell_recorder::clear();
        json t = tunnelA();
        t[r.field] = r.value;
        for (auto &f : r.also.items())
            t[f.key()] = f.value();
        writeModel({t, tunnelB()});
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.logged ? 1 : 2, ipsec_writeAllSetkey());
        std::string log = testing::internal::GetCapturedStderr();
        const std::string file = conf();
        EXPECT_EQ(r.logged == nullptr, file.find("unique:3;") != std::string::npos) << file;
        EXPECT_NE(std::string::npos, file.find("unique:5;")) << "the other tunnel is written: " << file;
        EXPECT_EQ(std::string::npos, file.find('#')) << file;
        if (r.logged)
            EXPECT_NE(std::string::npos, log.find(std::string("tunnel 1 (A) skipped: ") + r.logged)) << log;
        else
            EXPECT_EQ("", log);
    }
}

// Nothing that is not a dotted quad or an interface name reaches the shell;
// the file lines are still written when they are safe.
TEST_F(SetkeyWriter, NatCommandsTakeOnlyAddressesAndInterfaceNames) {
    struct Row {
        const char *name;
        const char *field;
        const char *value;
        const char *ifName;
        const char *logged;
    } rows[] = {
        {"hostile interface", nullptr, nullptr, "ppp0|id", "default_ifName"},
        {"empty interface", nullptr, nullptr, "", "default_ifName"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        shell_recorder::clear();
        setWan("198.51.100.2", r.ifName, "");
        json t = tunnelA();
        if (r.field)
            t[r.field] = r.value;
        writeModel({t});
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, ipsec_writeAllSetkey());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(commands().empty());
        EXPECT_NE(std::string::npos, log.find(std::string("tunnel 1: ") + r.logged + " is not")) << log;
        EXPECT_NE(std::string::npos, conf().find("spdadd ")) << "file lines still written";
    }
}

TEST_F(SetkeyWriter, HostileOrOversizedMessageFields) {
    writeModel({tunnelA()});
    kernelHoldsA();
    struct Row {
        const char *name;
        void (*spoil)(IpsecCfgChangedMsgBody &);
        const char *logged;
    } rows[] = {
        {"';' in local_ip", [](IpsecCfgChangedMsgBody &b) { setText(b.local_ip, "1.1.1.1;flush;"); }, "local_ip"},
        {"newline in remote_ip", [](IpsecCfgChangedMsgBody &b) { setText(b.remote_ip, "1.1.1.1\nflush;"); },
         "remote_ip"},
        {"';' in real_remote_gw_ip",
         [](IpsecCfgChangedMsgBody &b) { setText(b.real_remote_gw_ip, "1.1.1.1;spdflush"); }, "real_remote_gw_ip"},
        {"request ids would wrap", [](IpsecCfgChangedMsgBody &b) { b.entryID = 0x7fffffffu; },
         "tunnel 2147483647 (A) skipped: entryID is above 8190"},
        {"request ids past the kernel's", [](IpsecCfgChangedMsgBody &b) { b.entryID = 9000; },
         "tunnel 9000 (A) skipped: entryID is above 8190"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        shell_recorder::clear();
        IpsecCfgChangedMsgBody b = bodyA(IPSEC_CFG_OP_CHANGE);
        r.spoil(b);
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, ipsec_writeSetkey(&b));
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, log.find(r.logged)) << log;
        EXPECT_EQ(kAddA + kPoliciesA, conf()) << "removal skipped, new tunnel still added";
        EXPECT_EQ((std::vector<std::string>{kNatDelA, kNatInsA}), commands());
    }
}

// 16-byte texts without a terminator are read to their 16th byte, no further:
// such a text is no dotted quad, so the removal is skipped.
TEST_F(SetkeyWriter, UnterminatedMessageTextsStayInTheirField) {
    IpsecCfgChangedMsgBody b = bodyA(IPSEC_CFG_OP_DELETE);
    std::memset(b.local_ip, '1', sizeof(b.local_ip));
    std::memset(b.remote_ip, '2', sizeof(b.remote_ip));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, ipsec_writeSetkey(&b));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ("", conf());
    EXPECT_TRUE(commands().empty());
    EXPECT_NE(std::string::npos, log.find("tunnel 1 (?) skipped: local_ip is not a dotted quad")) << log;
}

TEST_F(SetkeyWriter, HugeEntryIdIsSkipped) {
    json huge = tunnelA();
    huge["entryID"] = 9000;
    writeModel({huge, tunnelB()});
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, ipsec_writeAllSetkey());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("ERROR ipsec_writeAllSetkey:")) << log;
    EXPECT_NE(std::string::npos, log.find("tunnel 9000 (A) skipped: entryID is above 8190: its request ids would "
                                          "pass the kernel's 16383\n"))
        << log;
    EXPECT_EQ(std::string::npos, conf().find("esp 0x1000")) << conf();
    EXPECT_EQ(2u, commands().size());
}

// setkey.conf holds manual keys: never readable by others, not even an old
// file left with a wider mode.
TEST_F(SetkeyWriter, FileIsPrivate) {
    writeModel({tunnelA()});
    test_files::write(kConf, "old");
    chmod(kConf, 0644);
    umask(0);
    EXPECT_EQ(1, ipsec_writeAllSetkey());
    umask(022);
    EXPECT_EQ(0600, test_files::mode(kConf));
    IpsecCfgChangedMsgBody b = bodyA(IPSEC_CFG_OP_ADD);
    unlink(kConf);
    EXPECT_EQ(0, ipsec_writeSetkey(&b));
    EXPECT_EQ(0600, test_files::mode(kConf));
}

/* ---- the real nat table in the sandbox's own network namespace -------------------- */

std::string natRules() {
    return test_cmd::output("iptables -t nat -S POSTROUTING");
}

// The commands really run: rules land at the head of POSTROUTING, ahead of
// address translation, a repeated rewrite leaves one copy, a change moves the
// rule, and WAN down leaves nothing of the tunnels behind.
TEST_F(SetkeyWriter, NatRulesInTheKernel) {
    ASSERT_EQ(0, system("iptables -t nat -A POSTROUTING -o ppp0 -j MASQUERADE"));
    shell_recorder::setPassThrough(true);
    const std::string ruleA = "-A POSTROUTING -s 10.1.0.0/24 -d 10.2.0.0/16 -o ppp0 -j ACCEPT\n";
    const std::string ruleB = "-A POSTROUTING -s 10.1.0.0/24 -d 192.0.2.77/32 -o ppp0 -j ACCEPT\n";
    const std::string masq = "-A POSTROUTING -o ppp0 -j MASQUERADE\n";
    writeModel({tunnelA(), tunnelB()});
    EXPECT_EQ(2, ipsec_writeAllSetkey());
    EXPECT_EQ(2, ipsec_writeAllSetkey());
    EXPECT_EQ("-P POSTROUTING ACCEPT\n" + ruleB + ruleA + masq, natRules());

    IpsecCfgChangedMsgBody b = bodyA(IPSEC_CFG_OP_CHANGE);
    json a = tunnelA();
    a["remoteIPAddress"] = "10.3.0.0";
    a["remoteMask"] = "255.255.255.0";
    writeModel({a, tunnelB()});
    EXPECT_EQ(0, ipsec_writeSetkey(&b));
    const std::string ruleA3 = "-A POSTROUTING -s 10.1.0.0/24 -d 10.3.0.0/24 -o ppp0 -j ACCEPT\n";
    EXPECT_EQ("-P POSTROUTING ACCEPT\n" + ruleA3 + ruleB + masq, natRules());

    /* Messages that insert again what is there: at most one rule per tunnel. */
    struct Repeat {
        const char *name;
        UINT32 op;
        UINT8 enable;
    } repeats[] = {
        {"the same add message twice", IPSEC_CFG_OP_ADD, 0},
        {"the same add message, a third time", IPSEC_CFG_OP_ADD, 0},
        {"a change whose old body says the tunnel was off", IPSEC_CFG_OP_CHANGE, 0},
        {"a restart whose old body says the tunnel was off", IPSEC_CFG_OP_RESTART, 0},
    };
    for (const Repeat &r : repeats) {
        SCOPED_TRACE(r.name);
        IpsecCfgChangedMsgBody again = bodyA(r.op);
        again.enable = r.enable;
        EXPECT_EQ(0, ipsec_writeSetkey(&again));
        EXPECT_EQ("-P POSTROUTING ACCEPT\n" + ruleA3 + ruleB + masq, natRules());
    }
    IpsecCfgChangedMsgBody del = bodyA(IPSEC_CFG_OP_DELETE);
    setText(del.remote_ip, "10.3.0.0");
    setText(del.remote_mask, "255.255.255.0");
    writeModel({tunnelB()});
    EXPECT_EQ(0, ipsec_writeSetkey(&del));
    EXPECT_EQ("-P POSTROUTING ACCEPT\n" + ruleB + masq, natRules()) << "the deleted tunnel left a rule";

    ipsec_deleteAllNat("ppp0");
    shell_recorder::setPassThrough(false);
    EXPECT_EQ("-P POSTROUTING ACCEPT\n" + masq, natRules());
}

/* ---- WAN down ---------------------------------------------------------------------- */

TEST_F(SetkeyWriter, DeleteAllNatRemovesWhatAFullRewriteInserted) {
    json noGw = tunnelA();
    noGw["entryID"] = 5;
    noGw["realRemoteIP"] = "0.0.0.0";
    writeModel({tunnelA(), tunnelB(), tunnelC(), noGw});
    ipsec_deleteAllNat("ppp1");
    EXPECT_EQ(
        (std::vector<std::string>{"iptables -t nat -D POSTROUTING -s 10.1.0.0/24 -o ppp1 -d 10.2.0.0/16 -j ACCEPT",
                                  "iptables -t nat -D POSTROUTING -s 10.1.0.0/24 -o ppp1 -d 192.0.2.77/32 -j ACCEPT"}),
        commands());
    EXPECT_EQ(1u, mdm_fixture::traceCount("lock ipsec_deleteAllNat"));
    EXPECT_EQ("", conf()) << "the file is not touched";

    shell_recorder::clear();
    testing::internal::CaptureStderr();
    ipsec_deleteAllNat("ppp1;reboot");
    ipsec_deleteAllNat("averylonginterfacename");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(commands().empty());
    EXPECT_NE(std::string::npos, log.find("ifName is not an interface name")) << log;

    setenv("ZOR_FAIL_LOCK", "ipsec_deleteAllNat", 1);
    testing::internal::CaptureStderr();
    ipsec_deleteAllNat("ppp1");
    log = testing::internal::GetCapturedStderr();
    unsetenv("ZOR_FAIL_LOCK");
    EXPECT_TRUE(commands().empty());
    EXPECT_NE(std::string::npos, log.find("ERROR ipsec_deleteAllNat:")) << log;
}

} // namespace
