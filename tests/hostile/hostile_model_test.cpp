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
         "tunnel 1 (manual) skipped: realRemoteIP is not a dotted quad",
         false,
         false,
         false},
        {"gateway with a newline starting a line",
         1,
         {{"realRemoteIP", "203.0.113.9\nflush"}},
         "\nflush",
         "tunnel 1 (manual) skipped: realRemoteIP is not a dotted quad",
         false,
         false,
         false},
        {"local network with ';'",
         1,
         {{"localIPAddress", "192.168.1.0;spdflush"}},
         ";spdflush",
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"local network with $( )",
         1,
         {{"localIPAddress", "192.168.1.0 $(reboot)"}},
         "$(reboot)",
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"local network with backquotes",
         1,
         {{"localIPAddress", "`id`"}},
         "`id`",
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"local network with a pipe",
         1,
         {{"localIPAddress", "1.2.3.4|sh"}},
         "|sh",
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"remote network with &&",
         1,
         {{"remoteIPAddress", "10.2.0.0 && reboot"}},
         "&& reboot",
         "tunnel 1 (manual) skipped: remoteIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"remote network with a redirection",
         1,
         {{"remoteIPAddress", "10.2.0.0>/etc/passwd"}},
         ">/etc/passwd",
         "tunnel 1 (manual) skipped: remoteIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"remote network with quotes",
         1,
         {{"remoteIPAddress", "'10.2.0.0'\""}},
         "'10.2.0.0'\"",
         "tunnel 1 (manual) skipped: remoteIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"remote network with a carriage return",
         1,
         {{"remoteIPAddress", "10.2.0.0\r"}},
         "\r",
         "tunnel 1 (manual) skipped: remoteIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"local network with '#' hiding the rest of the statement",
         1,
         {{"localIPAddress", "192.168.1.0#"}},
         "192.168.1.0#",
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"gateway with '#' and a blank",
         1,
         {{"realRemoteIP", "203.0.113.9 #"}},
         "203.0.113.9 #",
         "tunnel 1 (manual) skipped: realRemoteIP is not a dotted quad",
         false,
         false,
         false},
        {"encryption key with '#'",
         1,
         {{"manualEncryptionKey", "0011#2233"}},
         "0011#2233",
         "tunnel 1 (manual) skipped: manualEncryptionKey is not hexadecimal digits",
         false,
         false,
         false},
        {"IKE gateway with '#'",
         2,
         {{"realRemoteIP", "192.0.2.50#"}},
         "192.0.2.50#",
         "tunnel 2 (ike) skipped: realRemoteIP is not a dotted quad",
         false,
         false,
         false,
         "192.0.2.50#/unique:5;"},
        {"outbound SPI with ';'",
         1,
         {{"SPI", "1000;flush"}},
         ";flush",
         "tunnel 1 (manual) skipped: SPI is not at most 8 hexadecimal digits",
         false,
         false,
         false},
        {"inbound SPI with a newline",
         1,
         {{"secondSPI", "1001\nspdflush;"}},
         "\nspdflush",
         "tunnel 1 (manual) skipped: secondSPI is not at most 8 hexadecimal digits",
         false,
         false,
         false},
        {"encryption algorithm with ';'",
         1,
         {{"manualEncryptionAlgo", "aes-cbc;spdflush"}},
         ";spdflush",
         "tunnel 1 (manual) skipped: manualEncryptionAlgo is not a plain word",
         false,
         false,
         false},
        {"encryption key with a tab",
         1,
         {{"manualEncryptionKey", "0011\t2233"}},
         "\t",
         "tunnel 1 (manual) skipped: manualEncryptionKey is not hexadecimal digits",
         false,
         false,
         false},
        {"authentication algorithm with DEL",
         1,
         {{"manualAuthAlgo", "hmac-sha1\x7f"}},
         "\x7f",
         "tunnel 1 (manual) skipped: manualAuthAlgo is not a plain word",
         false,
         false,
         false},
        {"authentication key with ';'",
         1,
         {{"manualAthKey", "0123;"}},
         "0123;",
         "tunnel 1 (manual) skipped: manualAthKey is not hexadecimal digits",
         false,
         false,
         false},
        {"over-long local network",
         1,
         {{"localIPAddress", longDigits}},
         longDigits,
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
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
         "tunnel 1 (manual) skipped: localIPAddress is not a dotted quad",
         false,
         false,
         false},
        {"SPI unset: skipped, setkey takes no \"0x\" alone",
         1,
         {{"SPI", nullptr}},
         "",
         "tunnel 1 (manual) skipped: SPI is not set",
         false,
         false,
         false},
        {"SPI empty", 1, {{"SPI", ""}}, "", "tunnel 1 (manual) skipped: SPI is not set", false, false, false},
        {"manual cipher 3des: setkey's word is 3des-cbc",
         1,
         {{"manualEncryptionAlgo", "3des"}},
         "",
         "tunnel 1 (manual) skipped: manualEncryptionAlgo is not a cipher setkey takes",
         false,
         false,
         false},
        {"manual cipher aes128",
         1,
         {{"manualEncryptionAlgo", "aes128"}},
         "",
         "tunnel 1 (manual) skipped: manualEncryptionAlgo is not a cipher setkey takes",
         false,
         false,
         false},
        {"4-digit manual key",
         1,
         {{"manualEncryptionKey", "1234"}},
         "",
         "tunnel 1 (manual) skipped: manualEncryptionKey is not a key length its algorithm takes",
         false,
         false,
         false},
        {"hmac-sha256 with the sha1 key",
         1,
         {{"manualAuthAlgo", "hmac-sha256"}},
         "",
         "tunnel 1 (manual) skipped: manualAthKey is not a key length its algorithm takes",
         false,
         false,
         false},
        {"entryID 9000: request ids past the kernel's 16383",
         1,
         {{"entryID", 9000}},
         "",
         "tunnel 9000 (manual) skipped: entryID is above 8190: its request ids would pass the kernel's 16383",
         false,
         false,
         false,
         "unique:18001;"},
        {"IKE tunnel with the manual one's subnet pair: the first keeps it",
         2,
         {{"remoteIPMode", 0}, {"remoteIPAddress", "10.2.0.0"}, {"remoteMask", "255.255.0.0"}},
         "",
         "tunnel 2 (ike) skipped: localIPAddress and remoteIPAddress are those of tunnel 1",
         false,
         false,
         false},
        {"phase 2 hash sha1: racoon's word is hmac_sha1",
         2,
         {{"ph2IntegrityAlgo", "sha1"}},
         "",
         "tunnel 2 (ike) skipped: ph2IntegrityAlgo is not a phase-2 authentication algorithm the key daemon takes",
         true,
         true,
         false},
        {"DH group modp9999",
         2,
         {{"ph1DHGroup", "modp9999"}},
         "",
         "tunnel 2 (ike) skipped: ph1DHGroup is not a Diffie-Hellman group the key daemon takes",
         true,
         true,
         false},
        {"exchange mode foo",
         2,
         {{"ph1Mode", "foo"}},
         "",
         "tunnel 2 (ike) skipped: ph1Mode is not an exchange mode the key daemon takes",
         true,
         true,
         false},
        {"phase 1 cipher AES in capitals",
         2,
         {{"ph1EncryptionAlo", "AES"}},
         "",
         "tunnel 2 (ike) skipped: ph1EncryptionAlo is not a phase-1 cipher the key daemon takes",
         true,
         true,
         false},
        {"peer identifier '*': the key of every peer",
         2,
         {{"ph1PeerIdType", "fqdn"}, {"ph1PeerId", "*"}},
         "",
         "tunnel 2 (ike) skipped: ph1PeerId is not a host name",
         true,
         true,
         false},
        {"key past racoon's line, its tail another gateway's key",
         2,
         {{"PSK", std::string(1010, 'k') + "198.51.100.3 evilkey"}},
         "",
         "tunnel 2 (ike) skipped: PSK is too long for the key daemon's 1,023-byte line",
         true,
         true,
         false},
        {"main mode with an fqdn peer: written, and the user told",
         2,
         {{"ph1PeerIdType", "fqdn"}, {"ph1PeerId", "peer.example"}},
         "",
         "tunnel 2 (ike) cannot negotiate: main mode with an fqdn ph1PeerId",
         true,
         true,
         true},
        {"entryID whose request ids would wrap",
         1,
         {{"entryID", 0x7fffffffu}},
         "",
         "tunnel 2147483647 (manual) skipped: entryID is above 8190",
         false,
         false,
         false,
         "unique:4294967295;"},
        {"largest entryID whose request ids the kernel takes",
         1,
         {{"entryID", 8190}},
         "",
         nullptr,
         true,
         true,
         false,
         "unique:16381;"},
        {"smallest entryID whose request ids pass the kernel's",
         1,
         {{"entryID", 8191}},
         "",
         "tunnel 8191 (manual) skipped: entryID is above 8190",
         false,
         false,
         false,
         "unique:16383;"},
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
         "tunnel 2 (ike) skipped: realRemoteIP is not a dotted quad",
         false,
         false,
         false,
         "esp/tunnel/198.51.100.2-192.0.2.50 x/unique:5;"},
        {"IKE local network with a brace",
         2,
         {{"localIPAddress", "192.168.1.0{"}},
         "192.168.1.0{",
         "tunnel 2 (ike) skipped: localIPAddress is not a dotted quad",
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
        {"over-long phase 2 group: no group racoon has",
         2,
         {{"ph2DHGroup", longGroup}},
         "",
         "tunnel 2 (ike) skipped: ph2DHGroup is not a Diffie-Hellman group the key daemon takes",
         true,
         true,
         false},
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
