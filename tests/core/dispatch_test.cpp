/* Message dispatch with the real renderers and process control, the stand-in
 * data model and the shell recorder: for each message, the commands run in
 * order, the daemon's log lines and its WAN state afterwards. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "command_output.h"
#include "core/ipsec_dispatch.h"
#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "msg_frame.h"
#include "shell_recorder.h"
#include "system_model.h"
#include "test_files.h"

namespace {

void writeModel(const char *conn) {
    mdm_fixture::writeJson(sysmodel::twoTunnels(conn));
}

const char *const EMPTY_ADDRESS_WAN0 = R"({"enable": 1, "connectionStatus": "Connected",
  "connectionType": "IP_Routed", "X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": ""})";

using msg_frame::frame;
using msg_frame::wanMsg;

/* Tunnel 1 ("manual") as it was before the change, its SPIs left out. */
std::vector<unsigned char> cfgMsg(UINT32 op) {
    IpsecCfgChangedMsgBody body = msg_frame::cfgBody(1, op, 1);
    memset(body.spi, 0, sizeof(body.spi));
    memset(body.second_spi, 0, sizeof(body.second_spi));
    return frame(ZOR_MSG_IPSEC_CFG_CHANGED, &body, sizeof(body));
}

std::string normaliseLog(const std::string &log) {
    static const std::regex stamped("(^|\n)[0-9-]+ [0-9:.]+ (\\[[0-9]+\\] [A-Z]+ [^ :]+):[0-9]+ ");
    return std::regex_replace(log, stamped, "$1$2 ");
}

std::string filterInput() {
    return test_cmd::output("iptables -S INPUT 2>&1");
}

/* Each tunnel as the data model holds it: "entryID enable status SPI secondSPI". */
std::string tunnels() {
    std::string out;
    const nlohmann::json model = mdm_fixture::readJson();
    for (const nlohmann::json &t : model["IPSecCfgObject"])
        out += std::to_string(t["entryID"].get<int>()) + " " + std::to_string(t["enable"].get<int>()) + " " +
               std::to_string(t["status"].get<int>()) + " " + t["SPI"].get<std::string>() + " " +
               t["secondSPI"].get<std::string>() + "\n";
    return out;
}

/* The tunnels as a monitoring tick leaves them with both SAs of each up; the
 * IKE tunnel with the SPIs it negotiated. */
void markUp() {
    nlohmann::json m = mdm_fixture::readJson();
    for (nlohmann::json &t : m["IPSecCfgObject"]) {
        t["status"] = 1;
        if (t["keyExMethod"] == 0) {
            t["SPI"] = "c0ffee1";
            t["secondSPI"] = "c0ffee2";
        }
    }
    mdm_fixture::writeJson(m);
}

/* Tunnel `entryID` switched off in the data model, as before its change message. */
void disable(UINT32 entryID) {
    nlohmann::json m = mdm_fixture::readJson();
    for (nlohmann::json &t : m["IPSecCfgObject"])
        if (t["entryID"] == entryID)
            t["enable"] = 0;
    mdm_fixture::writeJson(m);
}

std::vector<unsigned char> cfgMsgFor(UINT32 entryID, UINT32 op) {
    IpsecCfgChangedMsgBody body = msg_frame::cfgBody(entryID, op, 1);
    return frame(ZOR_MSG_IPSEC_CFG_CHANGED, &body, sizeof(body));
}

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        writeModel(sysmodel::CONNECTED_WAN0);
        mkdir("/var/ipsec", 0755);
        shell_recorder::clear();
    }

    void TearDown() override { shell_recorder::clearResults(); }

    /* Hands `msg` to dispatch and describes what happened. */
    std::string handle(const std::vector<unsigned char> &msg) {
        return describe([&msg] { ipsec_handleMessageFromKiv(reinterpret_cast<const ZorMsgHeader *>(msg.data())); });
    }

    /* Runs one step of the daemon and describes what happened. */
    std::string describe(const std::function<void()> &step) {
        shell_recorder::clear();
        testing::internal::CaptureStderr();
        step();
        std::string out = "-- commands\n";
        for (const std::string &c : shell_recorder::commands())
            out += c + "\n";
        out += "-- log\n" + normaliseLog(testing::internal::GetCapturedStderr());
        out += "-- iptables -S INPUT (admission rules)\n" + filterInput();
        out += "-- state\ncurrent_wan_state=" + std::to_string(current_wan_state) + " l_wan_ip=" + l_wan_ip +
               " default_ifName=" + default_ifName + " old_default_ifName=" + old_default_ifName + "\n";
        out += "-- tunnels (entryID enable status SPI secondSPI)\n" + tunnels();
        return out;
    }
};

TEST_F(Dispatch, WanUpDownCycle) {
    std::string t = "== wan up wan0 (first)\n" + handle(wanMsg("wan0", 1));
    t += "== wan up wan0 (again)\n" + handle(wanMsg("wan0", 1));
    markUp();
    t += "== wan down wan1 (not the WAN), both tunnels up\n" + handle(wanMsg("wan1", 0));
    t += "== wan down wan0\n" + handle(wanMsg("wan0", 0));
    t += "== wan down with empty name while down\n" + handle(wanMsg("", 0));
    EXPECT_GOLDEN("core/dispatch_wan_cycle.txt", t);
}

TEST_F(Dispatch, WanUpRefused) {
    std::string t = "== wan up wan1 (not the default-gateway interface)\n" + handle(wanMsg("wan1", 1));
    writeModel(sysmodel::DISCONNECTED_WAN0);
    markUp();
    t += "== wan up wan0, no connected connection, both tunnels up before\n" + handle(wanMsg("wan0", 1));
    writeModel(EMPTY_ADDRESS_WAN0);
    t += "== wan up wan0, connection without address\n" + handle(wanMsg("wan0", 1));
    EXPECT_GOLDEN("core/dispatch_wan_refused.txt", t);
}

/* The first line of setkey.conf: "flush;" after a full rewrite. */
std::string setkeyHead() {
    const std::string conf = test_files::read("/var/ipsec/setkey.conf");
    return "-- setkey.conf, first line\n" + conf.substr(0, conf.find('\n') + 1);
}

const char *const SETKEY_LOAD = "setkey -f /var/ipsec/setkey.conf";

/* A failed setkey run leaves a full rewrite due: the next change or tick
 * rewrites and loads every tunnel. Where IKE tunnels are written and no key
 * daemon runs (the recorder runs none), a change or tick starts one, once. */
TEST_F(Dispatch, FailuresAreFollowedByAFullRewrite) {
    std::string t = "== wan up wan0\n" + handle(wanMsg("wan0", 1));
    shell_recorder::setResult(SETKEY_LOAD, 1,
                              "setkey: /var/ipsec/setkey.conf,5: syntax error at `0x00112233445566778899'\n");
    t += "== op 3, setkey stops at a parse error\n" + handle(cfgMsg(IPSEC_CFG_OP_CHANGE));
    shell_recorder::setResult(SETKEY_LOAD, -1);
    t += "== op 3 again: every tunnel\n" + handle(cfgMsg(IPSEC_CFG_OP_CHANGE));
    t += setkeyHead();
    t += "== op 3 once more: its own tunnel\n" + handle(cfgMsg(IPSEC_CFG_OP_CHANGE));
    t += setkeyHead();
    shell_recorder::setResult(SETKEY_LOAD, 1, "setkey: /var/ipsec/setkey.conf,2: unsupported algorithm at `aes128'\n");
    t += "== op 4, setkey fails\n" + handle(cfgMsg(IPSEC_CFG_OP_RESTART));
    shell_recorder::setResult(SETKEY_LOAD, -1);
    t += "== monitoring tick: every tunnel\n" + describe(ipsec_keepTunnels);
    t += setkeyHead();
    t += "== monitoring tick: no key daemon runs\n" + describe(ipsec_keepTunnels);
    shell_recorder::setResult("racoon -f", 1, "racoon: line 9: unknown hash sha1\n");
    t += "== monitoring tick: the key daemon refuses its file\n" + describe(ipsec_keepTunnels);
    shell_recorder::setResult("racoon -f", -1);
    t += "== wan down wan0\n" + handle(wanMsg("wan0", 0));
    t += "== monitoring tick while down\n" + describe(ipsec_keepTunnels);
    EXPECT_GOLDEN("core/dispatch_failure_recovery.txt", t);
}

TEST_F(Dispatch, RenderFailureOnWanUpKeepsTheTablesAndStaysUp) {
    rmdir("/var/ipsec");
    EXPECT_GOLDEN("core/dispatch_wan_render_failure.txt", handle(wanMsg("wan0", 1)));
}

TEST_F(Dispatch, ConfigurationChanges) {
    std::string t = "== op 3 before any WAN up\n" + handle(cfgMsg(IPSEC_CFG_OP_CHANGE));
    t += "== wan up wan0\n" + handle(wanMsg("wan0", 1));
    for (UINT32 op : {IPSEC_CFG_OP_ADD, IPSEC_CFG_OP_DELETE, IPSEC_CFG_OP_CHANGE, IPSEC_CFG_OP_RESTART})
        t += "== op " + std::to_string(op) + "\n" + handle(cfgMsg(op));
    markUp();
    disable(1);
    t += "== op 3, the manual tunnel disabled\n" + handle(cfgMsgFor(1, IPSEC_CFG_OP_CHANGE));
    disable(2);
    t += "== op 4, the IKE tunnel disabled\n" + handle(cfgMsgFor(2, IPSEC_CFG_OP_RESTART));
    EXPECT_GOLDEN("core/dispatch_config.txt", t);
}

struct IgnoredCase {
    const char *name;
    std::vector<unsigned char> msg;
};

void PrintTo(const IgnoredCase &c, std::ostream *os) {
    *os << c.name;
}

class DispatchIgnores : public Dispatch, public ::testing::WithParamInterface<IgnoredCase> {};

/* Nothing runs and the WAN state stays as it was; short bodies leave one error line. */
TEST_P(DispatchIgnores, RunsNothing) {
    EXPECT_GOLDEN(std::string("core/dispatch_ignored_") + GetParam().name + ".txt", handle(GetParam().msg));
}

std::vector<unsigned char> truncated(std::vector<unsigned char> msg, size_t body) {
    msg.resize(ZOR_MSG_HEADER_SIZE + body);
    UINT32 len = static_cast<UINT32>(body);
    memcpy(msg.data() + offsetof(ZorMsgHeader, dataLength), &len, sizeof(len));
    return msg;
}

INSTANTIATE_TEST_SUITE_P(Messages, DispatchIgnores,
                         ::testing::Values(IgnoredCase{"other_type", frame(ZOR_MSG_GET_WAN_CONN_STATUS, "wan0", 5)},
                                           IgnoredCase{"short_wan_body", truncated(wanMsg("wan0", 1), 35)},
                                           IgnoredCase{"header_only_wan", truncated(wanMsg("wan0", 1), 0)},
                                           IgnoredCase{"short_config_body", truncated(cfgMsg(IPSEC_CFG_OP_ADD), 159)}),
                         [](const ::testing::TestParamInfo<IgnoredCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(Dispatch, UnterminatedInterfaceNameMatchesNothing) {
    std::vector<unsigned char> msg = wanMsg("", 1);
    memset(msg.data() + ZOR_MSG_HEADER_SIZE, 'w', sizeof(IPSecWanChangedMsgBody::ifName));
    EXPECT_GOLDEN("core/dispatch_unterminated_ifname.txt", handle(msg));
}

TEST_F(Dispatch, LongerBodyIsReadUpToItsRecord) {
    std::vector<unsigned char> msg = wanMsg("wan0", 1);
    msg.resize(msg.size() + 64, 0xff);
    UINT32 len = sizeof(IPSecWanChangedMsgBody) + 64;
    memcpy(msg.data() + offsetof(ZorMsgHeader, dataLength), &len, sizeof(len));
    std::string t = handle(msg);
    EXPECT_NE(std::string::npos, t.find("current_wan_state=1 l_wan_ip=198.51.100.2 default_ifName=wan0"));
}

} // namespace
