/* The WAN address lookup against the stand-in data model: which connection is
 * chosen, in which order, and what the caller gets when none fits. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "core/ipsec_state.h"
#include "core/ipsec_wan.h"
#include "mdm_fixture.h"
#include "test_files.h"
#include "zor_standin.h"

namespace {

/* One IP connection object in the model's JSON. */
std::string ip(const std::string &ifName, const std::string &addr, int enable = 1,
               const std::string &status = "Connected", const std::string &type = "IP_Routed") {
    return "{\"enable\":" + std::to_string(enable) + ",\"connectionStatus\":\"" + status + "\",\"connectionType\":\"" +
           type + "\",\"X_VORTALIX_COM_IfName\":\"" + ifName +
           "\",\"externalIPAddress\":" + (addr == "null" ? addr : "\"" + addr + "\"") + "}";
}

std::string ppp(const std::string &ifName, const std::string &addr, int enable = 1,
                const std::string &status = "Connected") {
    return "{\"enable\":" + std::to_string(enable) + ",\"connectionStatus\":\"" + status +
           "\",\"X_VORTALIX_COM_IfName\":\"" + ifName + "\",\"externalIPAddress\":\"" + addr + "\"}";
}

std::string device(const std::string &ips, const std::string &ppps) {
    return "{\"name\":\"dev\",\"WanIpConnObject\":[" + ips + "],\"WanPppConnObject\":[" + ppps + "]}";
}

std::string model(const std::string &devices) {
    return "{\"IPSecCfgObject\":[],\"WanDevObject\":[" + devices + "]}";
}

struct LookupCase {
    const char *name;
    std::string model;
    const char *ifName;
    ZorRet want;
    const char *wantIP;
};

void PrintTo(const LookupCase &c, std::ostream *os) {
    *os << c.name;
}

class WanLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(WanLookup, ChoosesFirstConnectedConnectionOnTheInterface) {
    const LookupCase &c = GetParam();
    mdm_fixture::writeJson(c.model);
    char wanIP[16] = "unchanged";
    EXPECT_EQ(c.want, ipsec_getWanIP(wanIP, sizeof(wanIP), c.ifName, 16));
    EXPECT_STREQ(c.wantIP, wanIP);
}

const std::string A = "198.51.100.2", B = "203.0.113.7", C = "192.0.2.44";

INSTANTIATE_TEST_SUITE_P(
    Walk, WanLookup,
    ::testing::Values(
        LookupCase{"RoutedIpConnection", model(device(ip("wan0", A), "")), "wan0", ZORRET_SUCCESS, A.c_str()},
        LookupCase{"PppConnectionHasNoTypeTest", model(device("", ppp("ppp0", B))), "ppp0", ZORRET_SUCCESS, B.c_str()},
        LookupCase{"BridgedNeverChosen", model(device(ip("wan0", A, 1, "Connected", "IP_Bridged"), "")), "wan0",
                   ZORRET_INTERNAL_ERROR, "unchanged"},
        LookupCase{"DisabledNeverChosen", model(device(ip("wan0", A, 0) + "," + ip("wan0", B), "")), "wan0",
                   ZORRET_SUCCESS, B.c_str()},
        LookupCase{"DisabledPppNeverChosen", model(device("", ppp("ppp0", A, 0))), "ppp0", ZORRET_INTERNAL_ERROR,
                   "unchanged"},
        LookupCase{"NotConnectedNeverChosen",
                   model(device(ip("wan0", A, 1, "Connecting") + "," + ip("wan0", C, 1, "Disconnected"),
                                ppp("wan0", B, 1, "Unconfigured"))),
                   "wan0", ZORRET_INTERNAL_ERROR, "unchanged"},
        LookupCase{"OtherInterfaceNeverChosen", model(device(ip("wan1", A), ppp("ppp1", B))), "wan0",
                   ZORRET_INTERNAL_ERROR, "unchanged"},
        LookupCase{"FirstOfTwoMatchesWins", model(device(ip("wan0", A) + "," + ip("wan0", B), "")), "wan0",
                   ZORRET_SUCCESS, A.c_str()},
        LookupCase{"IpBeforePppWithinDevice", model(device(ip("wan0", A), ppp("wan0", B))), "wan0", ZORRET_SUCCESS,
                   A.c_str()},
        LookupCase{"DeviceOrderBeforeKind", model(device("", ppp("wan0", B)) + "," + device(ip("wan0", A), "")), "wan0",
                   ZORRET_SUCCESS, B.c_str()},
        LookupCase{"LaterDeviceFound", model(device(ip("wan1", C), "") + "," + device(ip("wan0", A), "")), "wan0",
                   ZORRET_SUCCESS, A.c_str()},
        LookupCase{"FifteenCharactersFit", model(device(ip("wan0", "203.000.113.255"), "")), "wan0", ZORRET_SUCCESS,
                   "203.000.113.255"},
        LookupCase{"SixteenCharactersPassedOver",
                   model(device(ip("wan0", "203.000.113.2555") + "," + ip("wan0", C), "")), "wan0", ZORRET_SUCCESS,
                   C.c_str()},
        LookupCase{"EmptyAddressIsSuccess", model(device(ip("wan0", ""), "")), "wan0", ZORRET_SUCCESS, ""},
        LookupCase{"UnsetAddressReadsEmpty", model(device(ip("wan0", "null"), "")), "wan0", ZORRET_SUCCESS, ""},
        LookupCase{"NoDevice", model(""), "wan0", ZORRET_INTERNAL_ERROR, "unchanged"},
        LookupCase{"NoModelFile", "", "wan0", ZORRET_INTERNAL_ERROR, "unchanged"}),
    [](const ::testing::TestParamInfo<LookupCase> &info) { return std::string(info.param.name); });

std::string trace() {
    return test_files::read(mdm_fixture::home() + "/trace");
}

TEST(WanLookupEdges, NullBufferWalksEverythingAndFails) {
    mdm_fixture::writeJson(model(device(ip("wan0", A), "")));
    setenv("ZOR_TRACE", (mdm_fixture::home() + "/trace").c_str(), 1);
    EXPECT_EQ(ZORRET_INTERNAL_ERROR, ipsec_getWanIP(nullptr, 16, "wan0", 16));
    unsetenv("ZOR_TRACE");
    std::string t = trace();
    EXPECT_NE(std::string::npos, t.find("lock ipsec_getWanIP\n"));
    EXPECT_NE(std::string::npos, t.find("unlock ipsec_getWanIP\n"));
}

TEST(WanLookupEdges, LockReleasedOnceOnEveryExit) {
    mdm_fixture::writeJson(model(device(ip("wan0", A), "")));
    setenv("ZOR_TRACE", (mdm_fixture::home() + "/trace").c_str(), 1);
    char wanIP[16];
    EXPECT_EQ(ZORRET_SUCCESS, ipsec_getWanIP(wanIP, sizeof(wanIP), "wan0", 16));
    EXPECT_EQ(ZORRET_INTERNAL_ERROR, ipsec_getWanIP(wanIP, sizeof(wanIP), "wan9", 16));
    unsetenv("ZOR_TRACE");
    size_t locks = 0, unlocks = 0;
    std::istringstream lines(trace());
    for (std::string line; std::getline(lines, line);) {
        locks += (line == "lock ipsec_getWanIP");
        unlocks += (line == "unlock ipsec_getWanIP");
    }
    EXPECT_EQ(2u, locks);
    EXPECT_EQ(2u, unlocks);
}

TEST(WanLookupEdges, RefusedLockReturnsItsCodeWithoutWalking) {
    mdm_fixture::writeJson(model(device(ip("wan0", A), "")));
    setenv("ZOR_TRACE", (mdm_fixture::home() + "/trace").c_str(), 1);
    setenv("ZOR_FAIL_LOCK", "ipsec_getWanIP", 1);
    char wanIP[16] = "unchanged";
    testing::internal::CaptureStderr();
    ZorRet ret = ipsec_getWanIP(wanIP, sizeof(wanIP), "wan0", 16);
    std::string log = testing::internal::GetCapturedStderr();
    unsetenv("ZOR_FAIL_LOCK");
    unsetenv("ZOR_TRACE");
    EXPECT_EQ(ZORRET_TIMED_OUT, ret);
    EXPECT_STREQ("unchanged", wanIP);
    EXPECT_NE(std::string::npos, log.find("ipsec_get_wan_ip failed to get lock, ret:9005"));
    EXPECT_EQ(std::string::npos, trace().find("getNext"));
}

/* The WAN status daemon, played by a child process: it answers one request
 * with `result` and hands the request's bytes back through a pipe. */
class WanState : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string cmd = "mkdir -p " + mdm_fixture::home() + "/msg";
        ASSERT_EQ(0, system(cmd.c_str()));
        ASSERT_EQ(ZORRET_SUCCESS, zorMsg_init(EID_IPSEC, &msgHandle));
    }
    void TearDown() override { zorMsg_cleanup(&msgHandle); }

    /* Asks for `ifName` with a status daemon answering `result`; returns the answer. */
    int ask(const char *ifName, UINT32 result) {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        int ready[2];
        EXPECT_EQ(0, pipe(ready));
        pid_t pid = fork();
        if (pid == 0) {
            void *wev = nullptr;
            if (zorMsg_init(EID_WEV, &wev) != ZORRET_SUCCESS)
                _exit(1);
            char go = 1;
            if (write(ready[1], &go, 1) != 1)
                _exit(1);
            ZorMsgHeader *req = nullptr;
            if (zorMsg_receiveWithTimeout(wev, &req, 10000) != ZORRET_SUCCESS)
                _exit(1);
            ZorMsgHeader hdr;
            memcpy(&hdr, req, sizeof(hdr));
            ssize_t n = write(fds[1], req, ZOR_MSG_HEADER_SIZE + hdr.dataLength);
            zor_standin::msgReply(wev, req, result);
            zorMem_free(req);
            zorMsg_cleanup(&wev);
            _exit(n > 0 ? 0 : 1);
        }
        close(fds[1]);
        close(ready[1]);
        char go = 0;
        EXPECT_EQ(1, read(ready[0], &go, 1));
        close(ready[0]);
        int answer = ipsec_getWanState(ifName);
        unsigned char buf[256];
        ssize_t n = read(fds[0], buf, sizeof(buf));
        close(fds[0]);
        request.assign(buf, buf + (n > 0 ? n : 0));
        int st = 0;
        waitpid(pid, &st, 0);
        return answer;
    }
    std::vector<unsigned char> request;
};

TEST_F(WanState, RequestLayoutAndAnswers) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, ask("wan0", 1));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("wev says wan is up"));
    ASSERT_EQ(ZOR_MSG_HEADER_SIZE + 5, request.size());
    ZorMsgHeader hdr;
    memcpy(&hdr, request.data(), sizeof(hdr));
    EXPECT_EQ(ZOR_MSG_GET_WAN_CONN_STATUS, hdr.type);
    EXPECT_EQ(static_cast<UINT32>(EID_IPSEC), hdr.src);
    EXPECT_EQ(static_cast<UINT32>(EID_WEV), hdr.dst);
    EXPECT_EQ(ZOR_MSG_FLAG_REQUEST, hdr.flags);
    EXPECT_EQ(0u, hdr.wordData);
    EXPECT_EQ(5u, hdr.dataLength);
    EXPECT_EQ(0, memcmp(request.data() + ZOR_MSG_HEADER_SIZE, "wan0", 5));

    for (UINT32 notUp : {0u, 2u}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, ask("wan0", notUp)) << notUp;
        EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("wev says wan is not up"));
    }
}

TEST_F(WanState, NoNameSendsNoBody) {
    EXPECT_EQ(1, ask(nullptr, 1));
    ASSERT_EQ(ZOR_MSG_HEADER_SIZE, request.size());
    ZorMsgHeader hdr;
    memcpy(&hdr, request.data(), sizeof(hdr));
    EXPECT_EQ(0u, hdr.dataLength);
}

TEST_F(WanState, NoStatusDaemonMeansNotUp) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, ipsec_getWanState("wan0"));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("wev says wan is not up"));
}

} // namespace
