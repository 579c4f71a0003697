/* Hostile data-model texts in every tunnel field that reaches setkey.conf,
 * racoon.conf, psk.txt or a command, rendered by a WAN up as the daemon
 * renders them; and hostile host-name gateways re-resolved by the tick. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/ipsec_state.h"
#include "hostile_harness.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_fqdn.h"
#include "test_files.h"
#include "wan_state.h"

using nlohmann::json;

namespace {

const char *const kNatT1 = "-s 192.168.1.0/24 -o wan0 -d 10.2.0.0/16";
const char *const kNatT2 = "-s 192.168.1.0/24 -o wan0 -d 192.0.2.77/32";
const char *const kRacoonT2 = "sainfo address 192.168.1.0/24 any address 192.0.2.77/32 any {";

struct ModelRow {
    const char *name;
    UINT32 id;                        /* the tunnel patched: 1 manual, 2 IKE */
    json patch;                       /* fields replaced (null: unset) */
    std::string hostile;              /* the text that must reach no command */
    const char *log;                  /* expected in the log; null: no refusal logged */
    bool inSetkey;                    /* the tunnel's policies are in setkey.conf */
    bool nat;                         /* its NAT exemption rule is inserted */
    bool inRacoon;                    /* (IKE) its sainfo block is in racoon.conf */
    const char *setkeyMark = nullptr; /* marks its policies; default by id */
};

class HostileModel : public hostile::Scene {};

TEST_F(HostileModel, TunnelTextsNeverInjectAndNeverCostOtherTunnels) {
    const std::string longDigits(300, '1');
    const std::string longGroup(5000, 'm');
    const ModelRow rows[] = {
        {"gateway with ';' starting a statement",
         1,
         {{"realRemoteIP", "203.0.113.9;flush"}},
         "203.0.113.9;flush",
         "ipsec tunnel 1: realRemoteIP is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"gateway with a newline starting a line",
         1,
         {{"realRemoteIP", "203.0.113.9\nflush"}},
         "\nflush",
         "ipsec tunnel 1: realRemoteIP is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"local network with ';'",
         1,
         {{"localIPAddress", "192.168.1.0;spdflush"}},
         ";spdflush",
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"local network with $( )",
         1,
         {{"localIPAddress", "192.168.1.0 $(reboot)"}},
         "$(reboot)",
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"local network with backquotes",
         1,
         {{"localIPAddress", "`id`"}},
         "`id`",
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"local network with a pipe",
         1,
         {{"localIPAddress", "1.2.3.4|sh"}},
         "|sh",
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"remote network with &&",
         1,
         {{"remoteIPAddress", "10.2.0.0 && reboot"}},
         "&& reboot",
         "ipsec tunnel 1: remoteIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"remote network with a redirection",
         1,
         {{"remoteIPAddress", "10.2.0.0>/etc/passwd"}},
         ">/etc/passwd",
         "ipsec tunnel 1: remoteIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"remote network with quotes",
         1,
         {{"remoteIPAddress", "'10.2.0.0'\""}},
         "'10.2.0.0'\"",
         "ipsec tunnel 1: remoteIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"remote network with a carriage return",
         1,
         {{"remoteIPAddress", "10.2.0.0\r"}},
         "\r",
         "ipsec tunnel 1: remoteIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"local network with '#' hiding the rest of the statement",
         1,
         {{"localIPAddress", "192.168.1.0#"}},
         "192.168.1.0#",
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"gateway with '#' and a blank",
         1,
         {{"realRemoteIP", "203.0.113.9 #"}},
         "203.0.113.9 #",
         "ipsec tunnel 1: realRemoteIP is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"encryption key with '#'",
         1,
         {{"manualEncryptionKey", "0011#2233"}},
         "0011#2233",
         "ipsec tunnel 1: manualEncryptionKey is not hexadecimal digits, tunnel skipped",
         false,
         false,
         false},
        {"IKE gateway with '#'",
         2,
         {{"realRemoteIP", "192.0.2.50#"}},
         "192.0.2.50#",
         "ipsec tunnel 2: realRemoteIP is not a dotted quad, tunnel skipped",
         false,
         false,
         false,
         "192.0.2.50#/unique:5;"},
        {"outbound SPI with ';'",
         1,
         {{"SPI", "1000;flush"}},
         ";flush",
         "ipsec tunnel 1: SPI is not at most 8 hexadecimal digits, tunnel skipped",
         false,
         false,
         false},
        {"inbound SPI with a newline",
         1,
         {{"secondSPI", "1001\nspdflush;"}},
         "\nspdflush",
         "ipsec tunnel 1: secondSPI is not at most 8 hexadecimal digits, tunnel skipped",
         false,
         false,
         false},
        {"encryption algorithm with ';'",
         1,
         {{"manualEncryptionAlgo", "aes-cbc;spdflush"}},
         ";spdflush",
         "ipsec tunnel 1: manualEncryptionAlgo is not a plain word, tunnel skipped",
         false,
         false,
         false},
        {"encryption key with a tab",
         1,
         {{"manualEncryptionKey", "0011\t2233"}},
         "\t",
         "ipsec tunnel 1: manualEncryptionKey is not hexadecimal digits, tunnel skipped",
         false,
         false,
         false},
        {"authentication algorithm with DEL",
         1,
         {{"manualAuthAlgo", "hmac-sha1\x7f"}},
         "\x7f",
         "ipsec tunnel 1: manualAuthAlgo is not a plain word, tunnel skipped",
         false,
         false,
         false},
        {"authentication key with ';'",
         1,
         {{"manualAthKey", "0123;"}},
         "0123;",
         "ipsec tunnel 1: manualAthKey is not hexadecimal digits, tunnel skipped",
         false,
         false,
         false},
        {"over-long local network",
         1,
         {{"localIPAddress", longDigits}},
         longDigits,
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"gateway unset: not installed, nothing refused",
         1,
         {{"realRemoteIP", nullptr}},
         "",
         nullptr,
         false,
         false,
         false},
        {"local network unset: skipped",
         1,
         {{"localIPAddress", nullptr}},
         "",
         "ipsec tunnel 1: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"SPI unset: written empty", 1, {{"SPI", nullptr}}, "", nullptr, true, true, false},
        {"entryID whose request ids would wrap",
         1,
         {{"entryID", 0x7fffffffu}},
         "",
         "ipsec tunnel 2147483647: entryID too large for its request ids, tunnel skipped",
         false,
         false,
         false,
         "unique:4294967295;"},
        {"largest entryID whose request ids fit",
         1,
         {{"entryID", 0x7ffffffeu}},
         "",
         nullptr,
         true,
         true,
         false,
         "unique:4294967293;"},
        {"key with a newline that would add a key line",
         2,
         {{"PSK", "secret\n6.6.6.6 mykey"}},
         "\n6.6.6.6",
         "tunnel 2 (ike) skipped: PSK holds a character not allowed there",
         true,
         true,
         false},
        {"key with ';', quotes and braces is only a key",
         2,
         {{"PSK", "se;cr\"et {x}"}},
         "se;cr\"et {x}",
         nullptr,
         true,
         true,
         true},
        {"exchange mode closing the block",
         2,
         {{"ph1Mode", "main; } remote 6.6.6.6 {"}},
         "} remote 6.6.6.6 {",
         "tunnel 2 (ike) skipped: ph1Mode holds a character not allowed there",
         true,
         true,
         false},
        {"phase 1 cipher with a comment",
         2,
         {{"ph1EncryptionAlo", "aes #"}},
         "aes #",
         "tunnel 2 (ike) skipped: ph1EncryptionAlo holds a character not allowed there",
         true,
         true,
         false},
        {"phase 1 group in quotes",
         2,
         {{"ph1DHGroup", "\"modp1024\""}},
         "\"modp1024\"",
         "tunnel 2 (ike) skipped: ph1DHGroup holds a character not allowed there",
         true,
         true,
         false},
        {"phase 2 cipher with a brace",
         2,
         {{"ph2EncryptionAlo", "aes}"}},
         "aes}",
         "tunnel 2 (ike) skipped: ph2EncryptionAlo holds a character not allowed there",
         true,
         true,
         false},
        {"phase 2 hash with a newline",
         2,
         {{"ph2IntegrityAlgo", "hmac_sha1\n}"}},
         "hmac_sha1\n",
         "tunnel 2 (ike) skipped: ph2IntegrityAlgo holds a character not allowed there",
         true,
         true,
         false},
        {"own identifier closing its quotes",
         2,
         {{"ph1MyIdType", "fqdn"}, {"ph1MyId", "me\"; x"}},
         "me\"; x",
         "tunnel 2 (ike) skipped: ph1MyId holds a character not allowed there",
         true,
         true,
         false},
        {"peer identifier with a blank shifting the key",
         2,
         {{"ph1PeerIdType", "fqdn"}, {"ph1PeerId", "peer x"}},
         "peer x",
         "tunnel 2 (ike) skipped: ph1PeerId holds a character not allowed there",
         true,
         true,
         false},
        {"IKE gateway with a blank",
         2,
         {{"realRemoteIP", "192.0.2.50 x"}},
         "192.0.2.50 x",
         "ipsec tunnel 2: realRemoteIP is not a dotted quad, tunnel skipped",
         false,
         false,
         false,
         "esp/tunnel/198.51.100.2-192.0.2.50 x/unique:5;"},
        {"IKE local network with a brace",
         2,
         {{"localIPAddress", "192.168.1.0{"}},
         "192.168.1.0{",
         "ipsec tunnel 2: localIPAddress is not a dotted quad, tunnel skipped",
         false,
         false,
         false},
        {"tunnel name with a newline and a command",
         2,
         {{"connName", "ike\n; rm -rf /"}, {"PSK", "k\n"}},
         "rm -rf",
         "tunnel 2 (?) skipped: PSK holds a character not allowed there",
         true,
         true,
         false},
        {"over-long phase 2 group", 2, {{"ph2DHGroup", longGroup}}, "", nullptr, true, true, true},
        {"exchange mode unset: no statement without its argument",
         2,
         {{"ph1Mode", nullptr}},
         "",
         "tunnel 2 (ike) skipped: ph1Mode is not set",
         true,
         true,
         false},
        {"authentication other than a pre-shared key: no remote block without a proposal",
         2,
         {{"authMethod", 1}},
         "",
         "tunnel 2 (ike) skipped: authMethod is not a pre-shared key",
         true,
         true,
         false},
    };
    for (const ModelRow &row : rows) {
        SCOPED_TRACE(row.name);
        json tunnels = hostile::baseTunnels();
        for (auto &f : row.patch.items())
            tunnels[row.id - 1][f.key()] = f.value();
        hostile::writeModel(tunnels);
        wan_state::down();
        hostile::Outcome o = hostile::observe([] { hostile::handle(hostile::wanMsg("wan0", 1)); });

        EXPECT_EQ("", hostile::injectionFailures(o, row.hostile));
        EXPECT_EQ("", hostile::bystanderFailures(o));
        EXPECT_EQ(1, current_wan_state) << "the WAN up was not served";
        EXPECT_TRUE(hostile::hasCommandContaining(o, "setkey -f /var/ipsec/setkey.conf"));
        if (row.log) {
            EXPECT_NE(std::string::npos, o.log.find(row.log)) << o.log;
        } else {
            EXPECT_EQ(std::string::npos, o.log.find("ERROR")) << o.log;
        }
        const std::string mark = row.setkeyMark ? row.setkeyMark : (row.id == 1 ? "unique:3;" : "unique:5;");
        EXPECT_EQ(row.inSetkey, o.setkeyConf.find(mark) != std::string::npos) << o.setkeyConf;
        EXPECT_EQ(row.nat, hostile::hasCommandContaining(o, row.id == 1 ? kNatT1 : kNatT2));
        if (row.id == 2) {
            EXPECT_EQ(row.inRacoon, o.racoonConf.find(kRacoonT2) != std::string::npos) << o.racoonConf;
        }
        EXPECT_EQ(0600, test_files::mode("/var/ipsec/setkey.conf"));
        EXPECT_EQ(0600, test_files::mode("/var/ipsec/psk.txt"));
    }
}

/* The WAN connection's own texts: its address becomes every tunnel's local
 * end, its interface name picks the connection. */
struct WanRow {
    const char *name;
    json patch; /* fields of the WAN IP connection replaced (null: unset) */
    std::string hostile;
    const char *log;
    bool up; /* the WAN up is served (else the failure path flushes the tables) */
};

TEST_F(HostileModel, WanConnectionTextsNeverReachAFileOrCommand) {
    const WanRow rows[] = {
        {"address with ';'",
         {{"externalIPAddress", "1.2.3.4;flush"}},
         "1.2.3.4;flush",
         "ipsec get wanIP not a dotted quad -- handle receive msg wan up!",
         false},
        {"address with a newline",
         {{"externalIPAddress", "1.2.3.4\nflush;"}},
         "\nflush",
         "ipsec get wanIP not a dotted quad -- handle receive msg wan up!",
         false},
        {"address that flushes and hides the rest of the line",
         {{"externalIPAddress", "1 ;flush;#"}},
         "1 ;flush;#",
         "ipsec get wanIP not a dotted quad -- handle receive msg wan up!",
         false},
        {"address that is a host name",
         {{"externalIPAddress", "wan.example"}},
         "",
         "ipsec get wanIP not a dotted quad -- handle receive msg wan up!",
         false},
        {"address longer than its field",
         {{"externalIPAddress", std::string(40, '9')}},
         std::string(15, '9'),
         "ipsec get wanIP error -- handle receive msg wan up!",
         false},
        {"address empty", {{"externalIPAddress", ""}}, "", "ipsec get wanIP NULL -- handle receive msg wan up!", false},
        {"address unset",
         {{"externalIPAddress", nullptr}},
         "",
         "ipsec get wanIP NULL -- handle receive msg wan up!",
         false},
        {"interface name with a command",
         {{"X_VORTALIX_COM_IfName", "wan0;reboot"}},
         "reboot",
         "ipsec get wanIP error -- handle receive msg wan up!",
         false},
    };
    for (const WanRow &row : rows) {
        SCOPED_TRACE(row.name);
        hostile::writeModel(hostile::baseTunnels());
        json model = mdm_fixture::readJson();
        for (auto &f : row.patch.items())
            model["WanDevObject"][0]["WanIpConnObject"][0][f.key()] = f.value();
        mdm_fixture::writeJson(model);
        wan_state::down();
        hostile::Outcome o = hostile::observe([] { hostile::handle(hostile::wanMsg("wan0", 1)); });

        EXPECT_EQ("", hostile::injectionFailures(o, row.hostile));
        EXPECT_NE(std::string::npos, o.log.find(row.log)) << o.log;
        EXPECT_EQ(row.up ? 1 : 0, current_wan_state);
        EXPECT_EQ(!row.up, hostile::hasCommandContaining(o, "setkey -DF"));
        EXPECT_FALSE(hostile::hasCommandContaining(o, "iptables -t nat -I")) << "no tunnel has a safe local end";
    }
}

/* Host-name gateways: 1 hostile, 3 a name the sandbox's /etc/hosts knows. */
struct FqdnRow {
    const char *name;
    std::string gateway;
};

TEST_F(HostileModel, HostileGatewayNamesResolveToNoAddressAndCostNoOtherTunnel) {
    FILE *hosts = fopen("/etc/hosts", "a");
    ASSERT_NE(nullptr, hosts);
    fputs("198.51.100.77 peer.example\n", hosts);
    fclose(hosts);
    const FqdnRow rows[] = {
        {"name with ';' and a command", "peer.example;reboot"},
        {"name with $( )", "$(reboot).example"},
        {"name with a newline", "peer.example\n198.51.100.66"},
        {"over-long name", std::string(1000, 'a') + ".example"},
        {"name that is only dots", ".."},
    };
    for (const FqdnRow &row : rows) {
        SCOPED_TRACE(row.name);
        json tunnels = hostile::baseTunnels();
        tunnels[0]["remoteGWAddress"] = row.gateway;
        tunnels[2]["remoteGWAddress"] = "peer.example";
        hostile::writeModel(tunnels);
        wan_state::up();
        hostile::Outcome o = hostile::observe([] { ipsec_checkFQDNChange(); });
        EXPECT_TRUE(o.commands.empty());
        /* A name that does not resolve stands for no address: the tunnel waits. */
        EXPECT_EQ("0.0.0.0", mdm_fixture::tunnelField(1, "realRemoteIP"));
        EXPECT_EQ(row.gateway, mdm_fixture::tunnelField(1, "remoteGWAddress"));
        EXPECT_EQ("198.51.100.77", mdm_fixture::tunnelField(3, "realRemoteIP")) << "the other tunnel was lost";
    }
}

} // namespace
