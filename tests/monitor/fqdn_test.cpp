/* Host-name gateways: names resolve through the sandbox's private /etc/hosts;
 * checked are the address one name resolves to, the notices on standard
 * output, realRemoteIP and fqdnChanged in the data model, and the lock held
 * only around the two walks. */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mdm_fixture.h"
#include "monitor/ipsec_fqdn.h"
#include "test_files.h"

using nlohmann::json;

namespace {

const char *const kLock = "lock ipsec_checkFQDNChange";
const char *const kUnset = nullptr;

struct Gw {
    UINT32 id;
    int enable;
    std::string gw;   /* remoteGWAddress */
    const char *real; /* realRemoteIP */
    const char *conn; /* connName */
};

void writeModel(const std::vector<Gw> &tunnels) {
    json list = json::array();
    for (const Gw &t : tunnels) {
        json j = {{"entryID", t.id}, {"enable", t.enable}, {"remoteGWAddress", t.gw}, {"keyExMethod", 0}};
        if (t.real)
            j["realRemoteIP"] = t.real;
        if (t.conn)
            j["connName"] = t.conn;
        list.push_back(j);
    }
    mdm_fixture::writeJson(json{{"IPSecCfgObject", list}});
}

void writeHosts(const std::string &lines) {
    test_files::write("/etc/hosts", "127.0.0.1 localhost\n" + lines);
}

/* What the tunnel shows: "realRemoteIP fqdnChanged". */
std::string shown(UINT32 id) {
    json t = mdm_fixture::tunnel(id);
    std::string real = t["realRemoteIP"].is_string() ? t["realRemoteIP"].get<std::string>() : "unset";
    int changed = t["fqdnChanged"].is_number() ? t["fqdnChanged"].get<int>() : 0;
    return real + " " + std::to_string(changed);
}

std::string notice(const std::string &name, const std::string &addr) {
    return "ipsec tunnel fqdn changed," + name + "----" + addr + "!\n";
}

class Fqdn : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
    }
    /* One call; returns what it printed on standard output, and its log in `log`. */
    std::string check(std::string *log = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ipsec_checkFQDNChange();
        std::string err = testing::internal::GetCapturedStderr();
        if (log)
            *log = err;
        return testing::internal::GetCapturedStdout();
    }
};

struct Expect {
    UINT32 id;
    std::string shown; /* "realRemoteIP fqdnChanged" */
};

struct Row {
    std::string name;
    std::string hosts;
    std::vector<Gw> tunnels;
    std::string out; /* standard output */
    std::vector<Expect> expect;
    size_t sets;
};

const std::string kLongName = "a-gateway-name-well-beyond-forty-seven-characters.vpn.example";
const std::string kLongConn = "a connection name that is also longer than forty-seven characters";

std::vector<Row> singleTickRows() {
    std::vector<Row> rows = {
        {"still resolves to the current address",
         "203.0.113.9 vpn.example\n",
         {{1, 1, "vpn.example", "203.0.113.9", "a"}},
         "",
         {{1, "203.0.113.9 0"}},
         0},
        {"resolves to another address",
         "203.0.113.10 vpn.example\n",
         {{1, 1, "vpn.example", "203.0.113.9", "a"}},
         notice("vpn.example", "203.0.113.10"),
         {{1, "203.0.113.10 1"}},
         1},
        {"does not resolve: 0.0.0.0",
         "",
         {{1, 1, "vpn.example", "203.0.113.9", "a"}},
         notice("vpn.example", "0.0.0.0"),
         {{1, "0.0.0.0 1"}},
         1},
        {"disabled tunnel neither resolved nor written",
         "203.0.113.10 vpn.example\n",
         {{1, 0, "vpn.example", "203.0.113.9", "a"}},
         "",
         {{1, "203.0.113.9 0"}},
         0},
        {"dotted gateway is no host name",
         "203.0.113.10 vpn.example\n",
         {{1, 1, "203.0.113.9", "203.0.113.99", "a"}},
         "",
         {{1, "203.0.113.99 0"}},
         0},
        {"two tunnels with one name: each resolved and written",
         "203.0.113.10 vpn.example\n",
         {{1, 1, "vpn.example", "203.0.113.9", "a"}, {2, 1, "vpn.example", "203.0.113.9", "b"}},
         notice("vpn.example", "203.0.113.10") + notice("vpn.example", "203.0.113.10"),
         {{1, "203.0.113.10 1"}, {2, "203.0.113.10 1"}},
         2},
        {"only the tunnel that changed is written",
         "203.0.113.10 vpn.example\n203.0.113.20 other.example\n",
         {{1, 1, "other.example", "203.0.113.20", "a"}, {2, 1, "vpn.example", "203.0.113.9", "b"}},
         notice("vpn.example", "203.0.113.10"),
         {{1, "203.0.113.20 0"}, {2, "203.0.113.10 1"}},
         1},
        {"names longer than 47 characters are resolved and found again",
         "203.0.113.10 " + kLongName + "\n",
         {{1, 1, kLongName, "203.0.113.9", kLongConn.c_str()}},
         notice(kLongName, "203.0.113.10"),
         {{1, "203.0.113.10 1"}},
         1},
        {"unset connection name and address",
         "203.0.113.10 vpn.example\n",
         {{1, 1, "vpn.example", kUnset, kUnset}},
         notice("vpn.example", "203.0.113.10"),
         {{1, "203.0.113.10 1"}},
         1},
    };
    Row many{"more than twenty host-name tunnels", "", {}, "", {}, 25};
    for (UINT32 id = 1; id <= 25; id++) {
        const std::string name = "peer" + std::to_string(id) + ".example";
        const std::string addr = "203.0.113." + std::to_string(100 + id);
        many.hosts += addr + " " + name + "\n";
        many.tunnels.push_back({id, 1, name, "0.0.0.0", "t"});
        many.out += notice(name, addr);
        many.expect.push_back({id, addr + " 1"});
    }
    rows.push_back(many);
    return rows;
}

TEST_F(Fqdn, FollowsHostNames) {
    for (const Row &r : singleTickRows()) {
        SCOPED_TRACE(r.name);
        SetUp();
        writeHosts(r.hosts);
        writeModel(r.tunnels);
        std::string log;
        EXPECT_EQ(r.out, check(&log));
        EXPECT_EQ("", log);
        for (const Expect &e : r.expect)
            EXPECT_EQ(e.shown, shown(e.id)) << "tunnel " << e.id;
        EXPECT_EQ(r.sets, mdm_fixture::traceCount("set 237 "));
        /* The lock is taken again only to write changes back. */
        EXPECT_EQ(r.out.empty() ? 1u : 2u, mdm_fixture::traceCount(kLock));
        EXPECT_EQ(mdm_fixture::traceCount(kLock), mdm_fixture::traceCount("unlock ipsec_checkFQDNChange"));
    }
}

// A name that stops resolving moves its tunnel to 0.0.0.0 once; when it
// resolves again the tunnel follows.
TEST_F(Fqdn, UnresolvableThenBack) {
    writeModel({{1, 1, "vpn.example", "203.0.113.9", "a"}});
    struct Step {
        const char *name;
        const char *hosts;
        std::string out;
        const char *shown;
        size_t sets; /* so far */
    } steps[] = {
        {"name gone", "", notice("vpn.example", "0.0.0.0"), "0.0.0.0 1", 1},
        {"still gone: nothing more", "", "", "0.0.0.0 1", 1},
        {"back with a new address", "203.0.113.11 vpn.example\n", notice("vpn.example", "203.0.113.11"),
         "203.0.113.11 1", 2},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        writeHosts(s.hosts);
        EXPECT_EQ(s.out, check());
        EXPECT_EQ(s.shown, shown(1));
        EXPECT_EQ(s.sets, mdm_fixture::traceCount("set 237 "));
    }
}

// The walks hold the lock; the resolver runs without it.
TEST_F(Fqdn, LockIsReleasedWhileResolving) {
    writeHosts("203.0.113.10 vpn.example\n");
    writeModel({{1, 1, "vpn.example", "203.0.113.9", "a"}});
    check();
    std::vector<std::string> holds;
    for (const std::string &line : mdm_fixture::trace())
        if (line.rfind("lock ", 0) == 0 || line.rfind("unlock ", 0) == 0 || line.rfind("set ", 0) == 0)
            holds.push_back(line);
    const std::vector<std::string> want = {"lock ipsec_checkFQDNChange", "unlock ipsec_checkFQDNChange",
                                           "lock ipsec_checkFQDNChange", "set 237 1", "unlock ipsec_checkFQDNChange"};
    EXPECT_EQ(want, holds);
}

TEST_F(Fqdn, RefusedLockAtTheStartDoesNothing) {
    writeHosts("203.0.113.10 vpn.example\n");
    writeModel({{1, 1, "vpn.example", "203.0.113.9", "a"}});
    setenv("ZOR_FAIL_LOCK", "ipsec_checkFQDNChange:1", 1);
    std::string log;
    EXPECT_EQ("", check(&log));
    EXPECT_NE(std::string::npos, log.find("ipsec_fqdn failed to get lock, ret:9005")) << log;
    EXPECT_EQ("203.0.113.9 0", shown(1));
    EXPECT_EQ(0u, mdm_fixture::traceCount("getNext "));
}

// The address is lost with the refused write-back, and found again next time.
TEST_F(Fqdn, RefusedLockAtWriteBackIsRepairedByTheNextCall) {
    writeHosts("203.0.113.10 vpn.example\n");
    writeModel({{1, 1, "vpn.example", "203.0.113.9", "a"}});
    setenv("ZOR_FAIL_LOCK", "ipsec_checkFQDNChange:2", 1);
    std::string log;
    EXPECT_EQ(notice("vpn.example", "203.0.113.10"), check(&log));
    EXPECT_NE(std::string::npos, log.find("ERROR ipsec_checkFQDNChange:")) << log;
    EXPECT_NE(std::string::npos, log.find("ipsec_fqdn failed to get lock, ret:9005")) << log;
    EXPECT_EQ("203.0.113.9 0", shown(1));
    EXPECT_EQ(0u, mdm_fixture::traceCount("set 237 "));

    EXPECT_EQ(notice("vpn.example", "203.0.113.10"), check());
    EXPECT_EQ("203.0.113.10 1", shown(1));
}

class ParseFQDN : public ::testing::Test {
  protected:
    void SetUp() override {
        test_files::write("/etc/hosts", "127.0.0.1 localhost\n"
                                        "203.0.113.1 three.example\n"
                                        "203.0.113.2 three.example\n"
                                        "203.0.113.3 three.example\n"
                                        "198.51.100.9 one.example\n"
                                        "2001:db8::1 six.example\n");
    }
};

TEST_F(ParseFQDN, KeepsTheCurrentAddressWhileTheNameStillHasIt) {
    char ip[16] = "untouched";
    EXPECT_EQ(0, ipsec_parseFQDN("three.example", ip, "203.0.113.2"));
    EXPECT_STREQ("203.0.113.2", ip);
}

TEST_F(ParseFQDN, MovesToTheLastAddressOtherwise) {
    char ip[16] = "untouched";
    EXPECT_EQ(0, ipsec_parseFQDN("three.example", ip, "192.0.2.1"));
    EXPECT_STREQ("203.0.113.3", ip);
    EXPECT_EQ(0, ipsec_parseFQDN("one.example", ip, "0.0.0.0"));
    EXPECT_STREQ("198.51.100.9", ip);
}

TEST_F(ParseFQDN, UnresolvedOrNoIpv4AnswerLeavesTheBufferAlone) {
    char ip[16] = "untouched";
    EXPECT_EQ(-1, ipsec_parseFQDN("nosuch.example", ip, "203.0.113.2"));
    EXPECT_STREQ("untouched", ip);
    EXPECT_EQ(-1, ipsec_parseFQDN("six.example", ip, "203.0.113.2"));
    EXPECT_STREQ("untouched", ip);
}

} // namespace
