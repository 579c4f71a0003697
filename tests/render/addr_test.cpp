/* Address helpers: prefix lengths, the dotted-quad test; the text checks. */
#include <gtest/gtest.h>

#include <cstring>

#include "render/ipsec_addr.h"
#include "render/ipsec_text.h"

namespace {

struct PrefixCase {
    const char *mask;
    int prefix;
};

TEST(CalPrefixLen, MasksAndNonAddresses) {
    const PrefixCase cases[] = {
        {"255.255.255.255", 32}, {"255.255.255.0", 24}, {"255.255.255.128", 25}, {"255.255.0.0", 16}, {"128.0.0.0", 1},
        {"0.0.0.0", 0},          {"255.0.255.0", 24},   {"255.255.255.254", 31}, {"not a mask", 32},  {"", 32},
        {"256.0.0.0", 32},       {"0.0.0.1", 32},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.prefix, ipsec_calPrefixLen(c.mask)) << c.mask;
    EXPECT_EQ(32, ipsec_calPrefixLen(nullptr));
}

struct DotCase {
    const char *text;
    int result;
};

TEST(NetChkDotIpAddr, RulesOfTheDottedQuad) {
    const DotCase cases[] = {
        {"1.2.3.4", 1},   {"255.255.255.255", 1}, {"1.2.3", 0},           {"192.168.1.256", 0},
        {"1..2.3.4", 0},  {"1.2.3.4.5", 0},       {"vpn.example.com", 0}, {"1.2.3 .4", 0},
        {"10.20.30.", 1}, {".10.20.30", 1},       {"001.002.003.004", 1}, {"", 0},
        {"1.2.3.4\n", 0}, {"1.2.3.4;ls", 0},      {"1234567.1.1.1", 0},   {"0000000000.0.0.0", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.result, ipsec_netChkDotIpAddr(c.text)) << '"' << c.text << '"';
    EXPECT_EQ(0, ipsec_netChkDotIpAddr(nullptr));
}

TEST(NetChkDotIpAddr, UnterminatedBufferIsNotReadPastSixteenBytes) {
    char buf[32];
    memset(buf, '1', sizeof(buf));
    buf[31] = '\0';
    EXPECT_EQ(0, ipsec_netChkDotIpAddr(buf));
}

TEST(TextChecks, InterfaceNames) {
    EXPECT_TRUE(ipsec_isIfName("ppp0"));
    EXPECT_TRUE(ipsec_isIfName("eth0.100"));
    EXPECT_TRUE(ipsec_isIfName("wan-0_a"));
    EXPECT_TRUE(ipsec_isIfName("abcdefghijklmno"));
    EXPECT_FALSE(ipsec_isIfName("abcdefghijklmnop"));
    EXPECT_FALSE(ipsec_isIfName(""));
    EXPECT_FALSE(ipsec_isIfName(nullptr));
    EXPECT_FALSE(ipsec_isIfName(".."));
    EXPECT_FALSE(ipsec_isIfName("ppp0;reboot"));
    EXPECT_FALSE(ipsec_isIfName("ppp0 -j DROP"));
    EXPECT_FALSE(ipsec_isIfName("$(id)"));
}

TEST(TextChecks, ConfigurationTexts) {
    EXPECT_TRUE(ipsec_isSafeText("aes-cbc", IPSEC_RACOON_FORBIDDEN));
    EXPECT_TRUE(ipsec_isSafeText("", IPSEC_RACOON_FORBIDDEN));
    EXPECT_TRUE(ipsec_isSafeText(nullptr, IPSEC_RACOON_FORBIDDEN));
    EXPECT_TRUE(ipsec_isSafeText("main mode", IPSEC_RACOON_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("aes;flush", IPSEC_RACOON_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("a\nflush", IPSEC_RACOON_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("a\tb", IPSEC_RACOON_FORBIDDEN));
    EXPECT_TRUE(ipsec_isSafeText("secret \"quoted\"", ";"));
    EXPECT_FALSE(ipsec_isSafeText("main; }", IPSEC_RACOON_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("x\"", IPSEC_RACOON_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("{", IPSEC_RACOON_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("\x7f", nullptr));
    EXPECT_FALSE(ipsec_isSafeText("10.1.0.0#", IPSEC_RACOON_FORBIDDEN));
    EXPECT_TRUE(ipsec_isSafeText("gw.example.net", IPSEC_PSK_ID_FORBIDDEN));
    EXPECT_FALSE(ipsec_isSafeText("gw.example.net key", IPSEC_PSK_ID_FORBIDDEN));
}

} // namespace
