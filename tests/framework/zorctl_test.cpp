/*
 * zorctl as the daemon sees it: the data model it leaves and the messages it
 * sends, decoded byte by byte at the offsets the daemon reads (host order).
 */
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/zor.h"
#include "mdm_fixture.h"
#include "test_files.h"

namespace {

struct ZorctlRun {
    int status;
    std::string out, err;
};

ZorctlRun zorctl(const std::string &args) {
    const std::string dir = mdm_fixture::home();
    std::string cmd = std::string(IPSEC_BIN_DIR) + "/zorctl " + args + " >" + dir + "/out 2>" + dir + "/err";
    int rc = system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, test_files::read(dir + "/out"), test_files::read(dir + "/err")};
}

/* A configuration-changed message decoded on its own, from raw bytes. */
struct CfgMessage {
    UINT32 type = 0, src = 0, dst = 0, dataLength = 0;
    UINT32 localMode = 0, remoteMode = 0, entryID = 0, op = 0;
    unsigned enable = 0;
    std::string localIp, localMask, remoteIp, remoteMask, realGw, spi, secondSpi;
    unsigned depth = 0;
    UINT32 inst0 = 0, inst1 = 0;
};

UINT32 u32At(const unsigned char *p, size_t off) {
    UINT32 v;
    memcpy(&v, p + off, 4);
    return v;
}

std::string textAt(const unsigned char *p, size_t off) {
    const char *s = reinterpret_cast<const char *>(p + off);
    return std::string(s, strnlen(s, 16));
}

CfgMessage decodeCfg(const unsigned char *m) {
    CfgMessage c;
    c.type = u32At(m, 0);
    c.src = u32At(m, 4);
    c.dst = u32At(m, 8);
    c.dataLength = u32At(m, 24);
    const unsigned char *b = m + 28;
    c.localMode = u32At(b, 0);
    c.remoteMode = u32At(b, 4);
    c.entryID = u32At(b, 8);
    c.op = u32At(b, 12);
    c.enable = b[16];
    c.localIp = textAt(b, 17);
    c.localMask = textAt(b, 33);
    c.remoteIp = textAt(b, 49);
    c.remoteMask = textAt(b, 65);
    c.realGw = textAt(b, 81);
    c.spi = textAt(b, 97);
    c.secondSpi = textAt(b, 113);
    c.depth = b[132];
    c.inst0 = u32At(b, 136);
    c.inst1 = u32At(b, 140);
    return c;
}

class ZorctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
        ASSERT_EQ(ZORRET_SUCCESS, zorMsg_init(EID_IPSEC, &daemon));
    }
    void TearDown() override { zorMsg_cleanup(&daemon); }

    /* The next message to the daemon as raw bytes; empty when none came. */
    std::vector<unsigned char> nextMessage() {
        ZorMsgHeader *msg = nullptr;
        std::vector<unsigned char> bytes;
        if (zorMsg_receiveWithTimeout(daemon, &msg, 5000) == ZORRET_SUCCESS) {
            UINT32 len = u32At(reinterpret_cast<unsigned char *>(msg), 24);
            bytes.assign(reinterpret_cast<unsigned char *>(msg), reinterpret_cast<unsigned char *>(msg) + 28 + len);
        }
        zorMem_free(msg);
        return bytes;
    }
    bool noMessage() {
        ZorMsgHeader *msg = nullptr;
        bool none = zorMsg_receiveWithTimeout(daemon, &msg, 0) == ZORRET_TIMED_OUT;
        zorMem_free(msg);
        return none;
    }
    void *daemon = nullptr;
};

const char kTwoTunnels[] = R"({"IPSecCfgObject": [
  {"_iid": 3, "entryID": 5, "enable": 1, "connName": "a", "localIPMode": 0, "remoteIPMode": 1,
   "localIPAddress": "10.0.0.0", "localMask": "255.255.255.0", "remoteIPAddress": "10.9.9.9",
   "remoteMask": "255.255.255.255", "remoteGWAddress": "203.0.113.7", "realRemoteIP": "203.0.113.7",
   "SPI": "1f4", "secondSPI": "1000"},
  {"_iid": 8, "entryID": 9, "enable": 0, "connName": "b", "realRemoteIP": null}]})";

TEST_F(ZorctlTest, TunnelCommandsSendThePreviousStateOfTheTunnel) {
    mdm_fixture::writeJson(kTwoTunnels);
    struct Row {
        const char *name;
        const char *args;
        CfgMessage expected;
    } rows[] = {
        {"set",
         "tunnel set 5 remoteIPAddress=10.8.0.0 remoteIPMode=0 enable=0",
         {ZOR_MSG_IPSEC_CFG_CHANGED, EID_KIV, EID_IPSEC, 160, 0, 1, 5, 3, 1, "10.0.0.0", "255.255.255.0", "10.9.9.9",
          "255.255.255.255", "203.0.113.7", "1f4", "1000", 1, 3, 0}},
        {"set with restart sees the previous set's result",
         "tunnel set 5 connName=c --restart",
         {ZOR_MSG_IPSEC_CFG_CHANGED, EID_KIV, EID_IPSEC, 160, 0, 0, 5, 4, 0, "10.0.0.0", "255.255.255.0", "10.8.0.0",
          "255.255.255.255", "203.0.113.7", "1f4", "1000", 1, 3, 0}},
        {"del of a tunnel without gateway address",
         "tunnel del 9",
         {ZOR_MSG_IPSEC_CFG_CHANGED, EID_KIV, EID_IPSEC, 160, 0, 0, 9, 2, 0, "", "", "", "", "0.0.0.0", "", "", 1, 8,
          0}},
        {"add",
         "tunnel add connName=n remoteGWAddress=192.0.2.44 localIPAddress=10.1.0.0",
         {ZOR_MSG_IPSEC_CFG_CHANGED, EID_KIV, EID_IPSEC, 160, 0, 0, 6, 1, 0, "", "", "", "", "0.0.0.0", "", "", 1, 4,
          0}},
        {"add with an entryID",
         "tunnel add entryID=100 enable=1",
         {ZOR_MSG_IPSEC_CFG_CHANGED, EID_KIV, EID_IPSEC, 160, 0, 0, 100, 1, 0, "", "", "", "", "0.0.0.0", "", "", 1, 5,
          0}},
    };
    for (const Row &row : rows) {
        ZorctlRun r = zorctl(row.args);
        EXPECT_EQ(0, r.status) << row.name << ": " << r.err;
        std::vector<unsigned char> bytes = nextMessage();
        ASSERT_EQ(28u + 160u, bytes.size()) << row.name;
        CfgMessage got = decodeCfg(bytes.data());
        const CfgMessage &e = row.expected;
        EXPECT_EQ(e.type, got.type) << row.name;
        EXPECT_EQ(e.src, got.src) << row.name;
        EXPECT_EQ(e.dst, got.dst) << row.name;
        EXPECT_EQ(e.dataLength, got.dataLength) << row.name;
        EXPECT_EQ(e.localMode, got.localMode) << row.name;
        EXPECT_EQ(e.remoteMode, got.remoteMode) << row.name;
        EXPECT_EQ(e.entryID, got.entryID) << row.name;
        EXPECT_EQ(e.op, got.op) << row.name;
        EXPECT_EQ(e.enable, got.enable) << row.name;
        EXPECT_EQ(e.localIp, got.localIp) << row.name;
        EXPECT_EQ(e.localMask, got.localMask) << row.name;
        EXPECT_EQ(e.remoteIp, got.remoteIp) << row.name;
        EXPECT_EQ(e.remoteMask, got.remoteMask) << row.name;
        EXPECT_EQ(e.realGw, got.realGw) << row.name;
        EXPECT_EQ(e.spi, got.spi) << row.name;
        EXPECT_EQ(e.secondSpi, got.secondSpi) << row.name;
        EXPECT_EQ(e.depth, got.depth) << row.name;
        EXPECT_EQ(e.inst0, got.inst0) << row.name;
        EXPECT_EQ(e.inst1, got.inst1) << row.name;
    }
    EXPECT_TRUE(noMessage());

    /* The data model after all of it. */
    EXPECT_EQ("10.8.0.0", mdm_fixture::tunnelField(5, "remoteIPAddress"));
    EXPECT_EQ("c", mdm_fixture::tunnelField(5, "connName"));
    EXPECT_EQ(0, mdm_fixture::tunnelField(5, "enable"));
    EXPECT_TRUE(mdm_fixture::tunnel(9).is_null());
    EXPECT_EQ("192.0.2.44", mdm_fixture::tunnelField(6, "realRemoteIP"));
    EXPECT_EQ(4, mdm_fixture::tunnelField(6, "_iid")) << "one more than the largest left";
    EXPECT_EQ(1, mdm_fixture::tunnelField(100, "enable"));
}

TEST_F(ZorctlTest, AddFillsRealRemoteIpFromTheGateway) {
    FILE *hosts = fopen("/etc/hosts", "a");
    ASSERT_NE(nullptr, hosts);
    fputs("192.0.2.80 peer.example\n", hosts);
    fclose(hosts);
    struct Row {
        const char *gateway;
        const char *expected;
    } rows[] = {
        {"198.51.100.77", "198.51.100.77"},
        {"peer.example", "192.0.2.80"},
        {"nowhere.invalid", "0.0.0.0"},
        {"", "0.0.0.0"},
    };
    UINT32 id = 0;
    for (const Row &row : rows) {
        ZorctlRun r = zorctl(std::string("tunnel add remoteGWAddress='") + row.gateway + "'");
        EXPECT_EQ(0, r.status) << row.gateway << ": " << r.err;
        EXPECT_EQ(row.expected, mdm_fixture::tunnelField(++id, "realRemoteIP")) << row.gateway;
        nextMessage();
    }
    EXPECT_EQ(0, zorctl("tunnel set 1 remoteGWAddress=peer.example").status);
    EXPECT_EQ("192.0.2.80", mdm_fixture::tunnelField(1, "realRemoteIP"));
}

TEST_F(ZorctlTest, WanCommandsSendTheInterfaceAndItsState) {
    const std::string longest(31, 'w');
    struct Row {
        std::string args;
        std::string ifName;
        SINT32 isUp;
    } rows[] = {
        {"wan up wan0", "wan0", 1},
        {"wan down wan0", "wan0", 0},
        {"wan up ppp0", "ppp0", 1},
        {"wan down " + longest, longest, 0},
    };
    for (const Row &row : rows) {
        ZorctlRun r = zorctl(row.args);
        EXPECT_EQ(0, r.status) << row.args << ": " << r.err;
        std::vector<unsigned char> m = nextMessage();
        ASSERT_EQ(28u + 36u, m.size()) << row.args;
        EXPECT_EQ(ZOR_MSG_IPSEC_DFL_GW_CHANGED, u32At(m.data(), 0)) << row.args;
        EXPECT_EQ(EID_IPSEC, u32At(m.data(), 8)) << row.args;
        EXPECT_EQ(36u, u32At(m.data(), 24)) << row.args;
        const char *name = reinterpret_cast<const char *>(m.data() + 28);
        EXPECT_EQ(row.ifName, std::string(name, strnlen(name, 32))) << row.args;
        SINT32 isUp;
        memcpy(&isUp, m.data() + 28 + 32, 4);
        EXPECT_EQ(row.isUp, isUp) << row.args;
    }
}

TEST_F(ZorctlTest, WanSetCreatesAndEditsConnections) {
    struct Row {
        const char *args;
    } rows[] = {
        {"wan set wan0 enable=1 connectionStatus=Connected connectionType=IP_Routed externalIPAddress=198.51.100.2"},
        {"wan set ppp0 --ppp enable=1 connectionStatus=Connecting"},
        {"wan set wan0 connectionStatus=Disconnected"},
        {"wan set eth9 --device wan2 enable=0"},
    };
    for (const Row &row : rows) {
        ZorctlRun r = zorctl(row.args);
        EXPECT_EQ(0, r.status) << row.args << ": " << r.err;
    }
    nlohmann::json expected = nlohmann::json::parse(R"({"WanDevObject": [
      {"_iid": 1, "name": "wan1",
       "WanIpConnObject": [{"_iid": 1, "X_VORTALIX_COM_IfName": "wan0", "enable": 1,
                            "connectionStatus": "Disconnected", "connectionType": "IP_Routed",
                            "externalIPAddress": "198.51.100.2"}],
       "WanPppConnObject": [{"_iid": 1, "X_VORTALIX_COM_IfName": "ppp0", "enable": 1,
                             "connectionStatus": "Connecting"}]},
      {"_iid": 2, "name": "wan2",
       "WanIpConnObject": [{"_iid": 1, "X_VORTALIX_COM_IfName": "eth9", "enable": 0}]}]})");
    EXPECT_EQ(expected, mdm_fixture::readJson());
    EXPECT_TRUE(noMessage()) << "wan set sends nothing";
}

TEST_F(ZorctlTest, BadInputExitsTwoAndChangesNothing) {
    mdm_fixture::writeJson(kTwoTunnels);
    const std::string before = test_files::read(mdm_fixture::mdmPath());
    struct Row {
        const char *args;
        const char *named; /* what the message must name */
    } rows[] = {
        {"bogus", "bogus"},
        {"tunnel set 5 nosuch=1", "nosuch"},
        {"tunnel set 5 enable=yes", "enable"},
        {"tunnel set 5 enable=2", "enable"},
        {"tunnel set 5 localIPMode=-1", "localIPMode"},
        {"tunnel add ph1KeyTime=4294967296", "ph1KeyTime"},
        {"tunnel add _iid=4", "_iid"},
        {"tunnel add connName", "connName"},
        {"tunnel set 77 enable=1", "77"},
        {"tunnel set x enable=1", "ENTRYID"},
        {"tunnel set 5 entryID=9", "entryID"},
        {"tunnel add entryID=5", "entryID"},
        {"tunnel del", "ENTRYID"},
        {"tunnel del 77", "77"},
        {"wan set ppp0 --ppp connectionType=IP_Routed", "connectionType"},
        {"wan set wan0 enable=true", "enable"},
        {"wan up", "IFNAME"},
        {"wan up 0123456789012345678901234567890123", "0123456789"},
        {"lock --hold soon", "MS"},
        {"status --yaml", "--json"},
    };
    for (const Row &row : rows) {
        ZorctlRun r = zorctl(row.args);
        EXPECT_EQ(2, r.status) << row.args;
        EXPECT_NE(std::string::npos, r.err.find(row.named)) << row.args << ": " << r.err;
        EXPECT_EQ(before, test_files::read(mdm_fixture::mdmPath())) << row.args;
    }
    EXPECT_TRUE(noMessage());
}

TEST_F(ZorctlTest, WithoutADaemonTheEditStaysAndExitIsOne) {
    zorMsg_cleanup(&daemon);
    mdm_fixture::writeJson(kTwoTunnels);
    struct Row {
        const char *args;
    } rows[] = {{"tunnel set 5 connName=z"}, {"tunnel add connName=y"}, {"tunnel del 9"}, {"wan up wan0"}};
    for (const Row &row : rows) {
        ZorctlRun r = zorctl(row.args);
        EXPECT_EQ(1, r.status) << row.args;
        EXPECT_NE(std::string::npos, r.err.find("not delivered")) << row.args << ": " << r.err;
    }
    EXPECT_EQ("z", mdm_fixture::tunnelField(5, "connName"));
    EXPECT_EQ("y", mdm_fixture::tunnelField(10, "connName"));
    EXPECT_TRUE(mdm_fixture::tunnel(9).is_null());
}

TEST_F(ZorctlTest, ShowAndStatusReadTheModel) {
    mdm_fixture::writeJson(kTwoTunnels);
    ZorctlRun show = zorctl("show");
    EXPECT_EQ(0, show.status);
    EXPECT_EQ(mdm_fixture::readJson(), nlohmann::json::parse(show.out, nullptr, false));

    ZorctlRun status = zorctl("status");
    EXPECT_EQ(0, status.status);
    EXPECT_EQ("entryID  connName         enable status SPI        secondSPI  remoteGWAddress          realRemoteIP\n"
              "5        a                1      0      1f4        1000       203.0.113.7              203.0.113.7\n"
              "9        b                0      0      -          -          -                        -\n",
              status.out);

    ZorctlRun json = zorctl("status --json");
    EXPECT_EQ(0, json.status);
    nlohmann::json rows = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(rows.is_array()) << json.out;
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(5, rows[0]["entryID"]);
    EXPECT_EQ("1000", rows[0]["secondSPI"]);
    EXPECT_TRUE(rows[1]["realRemoteIP"].is_null());
    EXPECT_EQ(0, rows[1]["status"]);

    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"entryID": "5"}]})");
    ZorctlRun bad = zorctl("status");
    EXPECT_EQ(1, bad.status);
    EXPECT_NE(std::string::npos, bad.err.find("entryID")) << bad.err;
}

TEST_F(ZorctlTest, EveryCommandHasHelp) {
    for (const char *cmd :
         {"--help", "show --help", "status --help", "tunnel --help", "tunnel add --help", "tunnel set --help",
          "tunnel del --help", "wan --help", "wan set --help", "wan up --help", "lock --help"}) {
        ZorctlRun r = zorctl(cmd);
        EXPECT_EQ(0, r.status) << cmd;
        EXPECT_EQ(0u, r.out.find("usage: zorctl")) << cmd << ": " << r.out;
    }
    EXPECT_TRUE(noMessage());
}

TEST_F(ZorctlTest, LockHoldKeepsOthersOut) {
    const std::string out = mdm_fixture::home() + "/lock.out";
    ASSERT_EQ(0, system((std::string(IPSEC_BIN_DIR) + "/zorctl lock --hold 1500 >" + out + " &").c_str()));
    for (int i = 0; i < 2000 && test_files::read(out) != "locked\n"; i++)
        usleep(5000);
    ASSERT_EQ("locked\n", test_files::read(out));
    EXPECT_EQ(ZORRET_TIMED_OUT, zorLck_acquireLockWithTimeoutTraced("ZorctlTest", 20));
    EXPECT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("ZorctlTest", 20000));
    zorLck_releaseLockTraced("ZorctlTest");
}

} // namespace
