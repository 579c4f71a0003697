/* Log lines, the default-gateway interface and the IPsec admission rules as an operator sees them. */
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "framework/zor.h"
#include "mdm_fixture.h"
#include "test_files.h"

namespace {

std::string run(const std::string &cmd) {
    std::string out = mdm_fixture::home() + "/cmd.out";
    int rc = system((cmd + " >" + out + " 2>&1").c_str());
    (void)rc;
    return test_files::read(out);
}

TEST(LogTest, OneLinePerCallWithTimeEntityLevelAndPlace) {
    mdm_fixture::reset();
    zorLog_init(502);
    struct Row {
        const char *name;
        int level;
        const char *text;
        const char *expected;
    } rows[] = {
        {"error with trailing newline", 3, "ipsec internal error--handle receive msg!\n",
         "[502] ERROR fn:42 ipsec internal error--handle receive msg!\n"},
        {"debug without newline", 7, "wev says wan is up", "[502] DEBUG fn:42 wev says wan is up\n"},
        {"two trailing newlines", 3, "x\n\n", "[502] ERROR fn:42 x\n"},
        {"long text kept whole", 7, nullptr, nullptr},
    };
    const std::string longText(3000, 'q');
    for (const Row &row : rows) {
        testing::internal::CaptureStderr();
        log_log(row.level, "fn", 42, "%s", row.text ? row.text : longText.c_str());
        std::string line = testing::internal::GetCapturedStderr();
        std::string expected = row.expected ? row.expected : "[502] DEBUG fn:42 " + longText + "\n";
        ASSERT_GT(line.size(), 24u) << row.name;
        EXPECT_TRUE(std::regex_match(line.substr(0, 24), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )")))
            << row.name << ": " << line;
        EXPECT_EQ(expected, line.substr(24)) << row.name;
    }
    testing::internal::CaptureStderr();
    log_log(3, "fn", 7, "ret:%d name:%s", 9005, "ipsec_getWanIP");
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("ERROR fn:7 ret:9005 name:ipsec_getWanIP\n"));
}

class RutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
    }
};

TEST_F(RutTest, DefaultGatewayInterfaceFollowsTheRoutingTable) {
    char ifName[16];
    memset(ifName, 'x', sizeof(ifName));
    rut_getDefaultGatewayInterfaceName(ifName);
    EXPECT_STREQ("wan0", ifName);

    run("ip link add wan1 type veth peer name wan1-peer && ip link set wan1 up && ip link set wan1-peer up");
    run("ip route add default via 192.0.2.1 dev wan1 onlink metric 5");
    rut_getDefaultGatewayInterfaceName(ifName);
    EXPECT_STREQ("wan0", ifName) << "the route with the lower metric wins";
    run("ip route del default dev wan0");
    rut_getDefaultGatewayInterfaceName(ifName);
    EXPECT_STREQ("wan1", ifName);
    run("ip route add 0.0.0.0/1 via 198.51.100.1 dev wan0 && ip route del default dev wan1");
    rut_getDefaultGatewayInterfaceName(ifName);
    EXPECT_STREQ("", ifName) << "a route that covers only half the space is no default route";
}

const char kRulesWan0[] = "-A INPUT -i wan0 -p esp -j ACCEPT\n"
                          "-A INPUT -i wan0 -p udp -m udp --dport 4500 -j ACCEPT\n"
                          "-A INPUT -i wan0 -p udp -m udp --dport 500 -j ACCEPT\n";

TEST_F(RutTest, AdmissionRulesAreInstalledOnceAndRemoved) {
    EXPECT_EQ(ZORRET_SUCCESS, rutIpt_initIpSecPolicy("wan0"));
    EXPECT_EQ(std::string("-P INPUT ACCEPT\n") + kRulesWan0, run("iptables -S INPUT"));
    EXPECT_EQ(ZORRET_SUCCESS, rutIpt_initIpSecPolicy("wan0"));
    EXPECT_EQ(std::string("-P INPUT ACCEPT\n") + kRulesWan0, run("iptables -S INPUT")) << "no rule twice";

    EXPECT_EQ(ZORRET_SUCCESS, rutIpt_initIpSecPolicy("ppp0"));
    run("iptables -A INPUT -i wan0 -p esp -j ACCEPT"); /* a copy added by hand */
    EXPECT_EQ(ZORRET_SUCCESS, rutIpt_removeIpSecPolicy("wan0"));
    std::string left = run("iptables -S INPUT");
    EXPECT_EQ(std::string::npos, left.find("wan0")) << left;
    EXPECT_NE(std::string::npos, left.find("-i ppp0 -p udp -m udp --dport 500 -j ACCEPT")) << left;
    EXPECT_EQ(ZORRET_SUCCESS, rutIpt_removeIpSecPolicy("ppp0"));
    EXPECT_EQ("-P INPUT ACCEPT\n", run("iptables -S INPUT"));
    EXPECT_EQ(ZORRET_SUCCESS, rutIpt_removeIpSecPolicy("")) << "no interface, nothing to remove";
}

TEST_F(RutTest, InterfaceNamesThatAreNotPlainAreRefused) {
    const std::string marker = mdm_fixture::home() + "/ran";
    const std::string hostile[] = {
        "wan0; touch " + marker, "$(touch " + marker + ")", "wan 0", "-j DROP", "..", "abcdefghijklmnop", "wan0\n",
    };
    for (const std::string &name : hostile) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(ZORRET_INVALID_ARGUMENTS, rutIpt_initIpSecPolicy(name.c_str())) << name;
        EXPECT_EQ(ZORRET_INVALID_ARGUMENTS, rutIpt_removeIpSecPolicy(name.c_str())) << name;
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, log.find("refused interface name")) << name;
    }
    EXPECT_EQ(ZORRET_INVALID_ARGUMENTS, rutIpt_initIpSecPolicy(""));
    EXPECT_EQ("-P INPUT ACCEPT\n", run("iptables -S INPUT"));
    EXPECT_NE(0, access(marker.c_str(), F_OK));
}

} // namespace
