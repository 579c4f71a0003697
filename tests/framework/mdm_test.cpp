/* The stand-in data model as its users see it: walk order, copies, refusals, the file. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/ipsec_objcopy.h"
#include "mdm_fixture.h"
#include "test_files.h"

namespace {

class MdmTest : public ::testing::Test {
  protected:
    void SetUp() override { mdm_fixture::reset(); }
    void TearDown() override { zorLck_releaseLockTraced("MdmTest"); }
    ZorRet lock() { return zorLck_acquireLockWithTimeoutTraced("MdmTest", 1000); }
};

const char *const kWanModel = R"({
  "WanDevObject": [
    {"_iid": 4, "name": "wan1",
     "WanIpConnObject": [{"_iid": 2, "enable": 1, "X_VORTALIX_COM_IfName": "eth1"},
                         {"_iid": 1, "enable": 0, "X_VORTALIX_COM_IfName": "eth2"}],
     "WanPppConnObject": [{"_iid": 7, "enable": 1, "X_VORTALIX_COM_IfName": "ppp0"}]},
    {"_iid": 2, "name": "wan2",
     "WanIpConnObject": [{"_iid": 3, "enable": 1, "X_VORTALIX_COM_IfName": "eth3"}]}
  ]})";

std::string pathOf(const InstanceIdStack &s) {
    std::string out;
    for (unsigned i = 0; i < s.currentDepth; i++)
        out += (i ? "." : "") + std::to_string(s.instance[i]);
    return out;
}

TEST_F(MdmTest, TunnelWalkFollowsFileOrderAndAssignsMissingIds) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [
        {"entryID": 9, "connName": "first"},
        {"_iid": 5, "entryID": 3, "connName": "second"},
        {"entryID": 1, "connName": "third"}]})");
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
    std::vector<std::string> seen;
    ZorObj<IPSecCfgObject> t;
    while (zorObj_getNext(ZOR_OID_IPSEC_CFG, &it, t.out()) == ZORRET_SUCCESS)
        seen.push_back(std::string(t->connName) + "@" + pathOf(it) + "#" + std::to_string(t->entryID));
    EXPECT_EQ((std::vector<std::string>{"first@6#9", "second@5#3", "third@7#1"}), seen);
    EXPECT_FALSE(t);
}

TEST_F(MdmTest, ConnectionWalksPerDeviceAndAcrossDevices) {
    mdm_fixture::writeJson(std::string(kWanModel));
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    struct Row {
        const char *name;
        ZorObjectId oid;
        bool subtree;
        UINT32 device;
        std::vector<std::string> expected;
    } rows[] = {
        {"ip connections of the first device", ZOR_OID_WAN_IP_CONN, true, 4, {"eth1@4.2", "eth2@4.1"}},
        {"ppp connections of the first device", ZOR_OID_WAN_PPP_CONN, true, 4, {"ppp0@4.7"}},
        {"ip connections of the second device", ZOR_OID_WAN_IP_CONN, true, 2, {"eth3@2.3"}},
        {"ppp connections of the second device", ZOR_OID_WAN_PPP_CONN, true, 2, {}},
        {"ip connections of a missing device", ZOR_OID_WAN_IP_CONN, true, 9, {}},
        {"every ip connection", ZOR_OID_WAN_IP_CONN, false, 0, {"eth1@4.2", "eth2@4.1", "eth3@2.3"}},
    };
    for (const Row &row : rows) {
        InstanceIdStack parent = {1, {row.device, 0, 0, 0, 0, 0}};
        InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
        std::vector<std::string> seen;
        void *obj = nullptr;
        while ((row.subtree ? zorObj_getNextInSubTree(row.oid, &parent, &it, &obj)
                            : zorObj_getNext(row.oid, &it, &obj)) == ZORRET_SUCCESS) {
            const char *ifName = (row.oid == ZOR_OID_WAN_IP_CONN)
                                     ? static_cast<WanIpConnObject *>(obj)->X_VORTALIX_COM_IfName
                                     : static_cast<WanPppConnObject *>(obj)->X_VORTALIX_COM_IfName;
            seen.push_back(std::string(ifName) + "@" + pathOf(it));
            zorObj_free(&obj);
        }
        EXPECT_EQ(row.expected, seen) << row.name;
    }
    InstanceIdStack dev = EMPTY_INSTANCE_ID_STACK;
    std::vector<std::string> devices;
    ZorObj<WanDevObject> d;
    while (zorObj_getNext(ZOR_OID_WAN_DEV, &dev, d.out()) == ZORRET_SUCCESS)
        devices.push_back(std::string(d->name) + "@" + pathOf(dev));
    EXPECT_EQ((std::vector<std::string>{"wan1@4", "wan2@2"}), devices);
}

TEST_F(MdmTest, SetRoundTripKeepsUnsetTextsAndOtherObjects) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [
        {"_iid": 1, "entryID": 1, "connName": "a", "SPI": null, "PSK": "secret"},
        {"_iid": 2, "entryID": 2, "connName": "b"}]})");
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    InstanceIdStack path = {1, {1, 0, 0, 0, 0, 0}};
    ZorObj<IPSecCfgObject> t;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, t.out()));
    EXPECT_EQ(ZOR_OID_IPSEC_CFG, t->_oid);
    EXPECT_EQ(nullptr, t->SPI);
    EXPECT_EQ(nullptr, t->realRemoteIP);
    EXPECT_STREQ("secret", t->PSK);
    ipsec_setText(&t->SPI, "1f4");
    ipsec_setText(&t->PSK, nullptr);
    t->status = 1;
    t->ph2KeyTime = 4294967295u;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_set(t.get(), &path));
    zorLck_releaseLockTraced("MdmTest");

    EXPECT_EQ("1f4", mdm_fixture::tunnelField(1, "SPI"));
    EXPECT_TRUE(mdm_fixture::tunnelField(1, "PSK").is_null());
    EXPECT_EQ(1, mdm_fixture::tunnelField(1, "status"));
    EXPECT_EQ(4294967295u, mdm_fixture::tunnelField(1, "ph2KeyTime"));
    EXPECT_EQ("b", mdm_fixture::tunnelField(2, "connName"));
    EXPECT_FALSE(mdm_fixture::tunnel(2).contains("SPI")) << "the other tunnel is left as it was";

    ASSERT_EQ(ZORRET_SUCCESS, lock());
    ZorObj<IPSecCfgObject> again;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, again.out()));
    EXPECT_STREQ("1f4", again->SPI);
    EXPECT_EQ(nullptr, again->PSK);
    EXPECT_STREQ("a", again->connName);
    EXPECT_EQ(1, again->status);
}

TEST_F(MdmTest, CopiesAreIndependentOfEachOtherAndOfTheModel) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"_iid": 1, "entryID": 1, "connName": "a"}]})");
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    InstanceIdStack path = {1, {1, 0, 0, 0, 0, 0}};
    ZorObj<IPSecCfgObject> one, two;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, one.out()));
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, two.out()));
    EXPECT_NE(one->connName, two->connName);
    one->connName[0] = 'z';
    EXPECT_STREQ("a", two->connName);
    ZorObj<IPSecCfgObject> three;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, three.out()));
    EXPECT_STREQ("a", three->connName);
}

TEST_F(MdmTest, BadFilesAreRefusedNamingTheField) {
    struct Row {
        const char *name;
        const char *json;
        const char *field;
    } rows[] = {
        {"unknown tunnel field", R"({"IPSecCfgObject": [{"entryID": 1, "conName": "a"}]})", "conName"},
        {"text given as number", R"({"IPSecCfgObject": [{"entryID": 1, "connName": 5}]})", "connName"},
        {"number given as text", R"({"IPSecCfgObject": [{"entryID": "1"}]})", "entryID"},
        {"negative number", R"({"IPSecCfgObject": [{"ph1KeyTime": -1}]})", "ph1KeyTime"},
        {"number too large", R"({"IPSecCfgObject": [{"ph1KeyTime": 4294967296}]})", "ph1KeyTime"},
        {"fraction", R"({"IPSecCfgObject": [{"localIPMode": 1.5}]})", "localIPMode"},
        {"flag out of range", R"({"IPSecCfgObject": [{"enable": 2}]})", "enable"},
        {"flag as boolean", R"({"IPSecCfgObject": [{"DPD": true}]})", "DPD"},
        {"duplicate instance id", R"({"IPSecCfgObject": [{"_iid": 1}, {"_iid": 1}]})", "_iid"},
        {"zero instance id", R"({"IPSecCfgObject": [{"_iid": 0}]})", "_iid"},
        {"unknown connection field", R"({"WanDevObject": [{"WanIpConnObject": [{"ifName": "x"}]}]})", "ifName"},
        {"connection type on ppp", R"({"WanDevObject": [{"WanPppConnObject": [{"connectionType": "x"}]}]})",
         "connectionType"},
        {"unknown object", R"({"IPSecCfg": []})", "IPSecCfg"},
    };
    for (const Row &row : rows) {
        mdm_fixture::writeJson(std::string(row.json));
        ASSERT_EQ(ZORRET_SUCCESS, lock()) << row.name;
        InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
        void *obj = nullptr;
        testing::internal::CaptureStderr();
        ZorRet ret = zorObj_getNext(ZOR_OID_IPSEC_CFG, &it, &obj);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(ZORRET_SUCCESS, ret) << row.name;
        EXPECT_NE(ZORRET_NO_MORE_INSTANCES, ret) << row.name;
        EXPECT_EQ(nullptr, obj) << row.name;
        EXPECT_NE(std::string::npos, log.find(std::string("\"") + row.field + "\"")) << row.name << ": " << log;
        zorLck_releaseLockTraced("MdmTest");
    }
}

TEST_F(MdmTest, MissingOrEmptyFileIsAnEmptyModel) {
    for (const char *content : {static_cast<const char *>(nullptr), "", "{}\n"}) {
        if (content)
            mdm_fixture::writeJson(std::string(content));
        ASSERT_EQ(ZORRET_SUCCESS, lock());
        InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
        ZorObj<IPSecCfgObject> t;
        EXPECT_EQ(ZORRET_NO_MORE_INSTANCES, zorObj_getNext(ZOR_OID_IPSEC_CFG, &it, t.out()));
        EXPECT_EQ(ZORRET_NO_MORE_INSTANCES, zorObj_getNext(ZOR_OID_WAN_DEV, &it, t.out()));
        zorLck_releaseLockTraced("MdmTest");
    }
}

TEST_F(MdmTest, ObjectCallsWithoutTheLockFail) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"_iid": 1, "entryID": 1}]})");
    InstanceIdStack path = {1, {1, 0, 0, 0, 0, 0}};
    InstanceIdStack it = EMPTY_INSTANCE_ID_STACK;
    void *obj = nullptr;
    EXPECT_EQ(ZORRET_LOCK_REQUIRED, zorObj_getNext(ZOR_OID_IPSEC_CFG, &it, &obj));
    EXPECT_EQ(ZORRET_LOCK_REQUIRED, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, &obj));
    EXPECT_EQ(nullptr, obj);
    IPSecCfgObject t = {};
    t._oid = ZOR_OID_IPSEC_CFG;
    t.entryID = 7;
    EXPECT_EQ(ZORRET_LOCK_REQUIRED, zorObj_set(&t, &path));
    EXPECT_EQ(1, mdm_fixture::tunnelField(1, "entryID"));
}

TEST_F(MdmTest, ModelIsReadOncePerHold) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"_iid": 1, "entryID": 1, "connName": "old"}]})");
    InstanceIdStack path = {1, {1, 0, 0, 0, 0, 0}};
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    ZorObj<IPSecCfgObject> t;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, t.out()));
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"_iid": 1, "entryID": 1, "connName": "new"}]})");
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, t.out()));
    EXPECT_STREQ("old", t->connName);
    zorLck_releaseLockTraced("MdmTest");
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, t.out()));
    EXPECT_STREQ("new", t->connName);
}

TEST_F(MdmTest, LookupsOfMissingObjectsFail) {
    mdm_fixture::writeJson(std::string(kWanModel));
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    struct Row {
        const char *name;
        ZorObjectId oid;
        InstanceIdStack path;
    } rows[] = {
        {"no such tunnel", ZOR_OID_IPSEC_CFG, {1, {1, 0, 0, 0, 0, 0}}},
        {"connection under the wrong device", ZOR_OID_WAN_IP_CONN, {2, {2, 2, 0, 0, 0, 0}}},
        {"device path for a connection", ZOR_OID_WAN_IP_CONN, {1, {4, 0, 0, 0, 0, 0}}},
        {"ppp id asked as ip", ZOR_OID_WAN_IP_CONN, {2, {4, 7, 0, 0, 0, 0}}},
    };
    for (const Row &row : rows) {
        void *obj = nullptr;
        EXPECT_EQ(ZORRET_OBJECT_NOT_FOUND, zorObj_get(row.oid, &row.path, 0, &obj)) << row.name;
        EXPECT_EQ(nullptr, obj) << row.name;
    }
}

TEST_F(MdmTest, SetHookFailsOnlyTheNamedWriteAndTraceCountsCalls) {
    mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"_iid": 1, "entryID": 1, "status": 0}]})");
    setenv("ZOR_FAIL_SET", "2", 1);
    ASSERT_EQ(ZORRET_SUCCESS, lock());
    InstanceIdStack path = {1, {1, 0, 0, 0, 0, 0}};
    ZorObj<IPSecCfgObject> t;
    ASSERT_EQ(ZORRET_SUCCESS, zorObj_get(ZOR_OID_IPSEC_CFG, &path, 0, t.out()));
    std::vector<ZorRet> results;
    for (UBOOL8 status : {1, 0, 1}) {
        t->status = status;
        testing::internal::CaptureStderr();
        results.push_back(zorObj_set(t.get(), &path));
        testing::internal::GetCapturedStderr();
    }
    zorLck_releaseLockTraced("MdmTest");
    EXPECT_EQ((std::vector<ZorRet>{ZORRET_SUCCESS, ZORRET_INTERNAL_ERROR, ZORRET_SUCCESS}), results);
    EXPECT_EQ(1, mdm_fixture::tunnelField(1, "status"));
    EXPECT_EQ(3u, mdm_fixture::traceCount("set 237 1"));
    EXPECT_EQ(1u, mdm_fixture::traceCount("get 237 1"));
    EXPECT_EQ(1u, mdm_fixture::traceCount("lock MdmTest"));
}

} // namespace
