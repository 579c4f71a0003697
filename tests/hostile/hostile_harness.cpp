/* The hostile-input tests' scene and the checks every row makes. */
#include "hostile_harness.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>

#include "core/ipsec_dispatch.h"
#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "pfkeysim.h"
#include "shell_recorder.h"
#include "test_files.h"
#include "tunnel_fixture.h"
#include "wan_state.h"

using nlohmann::json;

namespace hostile {

json baseTunnels() {
    json manual = tunnel_fixture::manual();
    json ike = tunnel_fixture::ike({{"entryID", 2}});
    json ikeB = ike;
    ikeB["entryID"] = 3;
    ikeB["connName"] = "ike-b";
    ikeB["realRemoteIP"] = ikeB["remoteGWAddress"] = "192.0.2.60";
    ikeB["localIPAddress"] = "192.168.3.0";
    ikeB["remoteIPMode"] = 0;
    ikeB["remoteIPAddress"] = "10.3.0.0";
    ikeB["remoteMask"] = "255.255.0.0";
    ikeB["PSK"] = "other-secret";
    json manualB = manual;
    manualB["entryID"] = 4;
    manualB["connName"] = "manual-b";
    manualB["realRemoteIP"] = manualB["remoteGWAddress"] = "203.0.113.40";
    manualB["localIPAddress"] = "192.168.4.0";
    manualB["remoteIPAddress"] = "10.4.0.0";
    manualB["SPI"] = "2000";
    manualB["secondSPI"] = "2001";
    return json::array({manual, ike, ikeB, manualB});
}

void writeModel(const json &tunnels) {
    json conn = {{"enable", 1},
                 {"connectionStatus", "Connected"},
                 {"connectionType", "IP_Routed"},
                 {"X_VORTALIX_COM_IfName", "wan0"},
                 {"externalIPAddress", "198.51.100.2"}};
    mdm_fixture::writeJson(json{{"IPSecCfgObject", tunnels},
                                {"WanDevObject", json::array({{{"name", "wan"}, {"WanIpConnObject", {conn}}}})}});
}

Outcome observeImpl(void (*step)(void *), void *arg) {
    shell_recorder::clear();
    unlink("/var/ipsec/setkey.conf");
    unlink("/var/ipsec/racoon.conf");
    unlink("/var/ipsec/psk.txt");
    testing::internal::CaptureStderr();
    step(arg);
    Outcome o;
    o.log = testing::internal::GetCapturedStderr();
    o.commands = shell_recorder::commands();
    o.setkeyConf = test_files::read("/var/ipsec/setkey.conf");
    o.racoonConf = test_files::read("/var/ipsec/racoon.conf");
    o.pskTxt = test_files::read("/var/ipsec/psk.txt");
    return o;
}

IpsecCfgChangedMsgBody cfgBody(UINT32 op) {
    /* Tunnel 1 is the first object of the model: instance path {1}. */
    return msg_frame::cfgBody(1, op, 1);
}

void handle(const std::vector<unsigned char> &msg) {
    /* The framework hands over header and body in one block of exactly this size. */
    std::vector<unsigned char> block(msg);
    ipsec_handleMessageFromKiv(reinterpret_cast<const ZorMsgHeader *>(block.data()));
}

namespace {

bool hasControl(const std::string &s) {
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\n') || c == 0x7f)
            return true;
    return false;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

} // namespace

std::string injectionFailures(const Outcome &o, const std::string &hostile) {
    std::string fails;
    static const char *const kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./_:- ";
    const bool hostileIsWord = strspn(hostile.c_str(), kPlain) == hostile.size();
    for (const std::string &c : o.commands) {
        if (strspn(c.c_str(), kPlain) != c.size())
            fails += "command with a character outside plain words: " + c + "\n";
        if (!hostile.empty() && !hostileIsWord && c.find(hostile) != std::string::npos)
            fails += "command holds the hostile text: " + c + "\n";
    }
    /* '#' would hide the rest of the line from setkey, ';' start another statement. */
    static const std::regex statement("(flush|spdflush|add|spdadd|delete|spddelete)( [^;#]*)?;");
    for (const std::string &l : lines(o.setkeyConf))
        if (!std::regex_match(l, statement))
            fails += "setkey.conf line is not one statement: " + l + "\n";
    const auto opens = std::count(o.racoonConf.begin(), o.racoonConf.end(), '{');
    const auto closes = std::count(o.racoonConf.begin(), o.racoonConf.end(), '}');
    if (opens != closes)
        fails += "racoon.conf braces do not balance\n";
    if (hasControl(o.setkeyConf) || hasControl(o.racoonConf) || hasControl(o.pskTxt))
        fails += "a control character reached a file\n";
    return fails;
}

bool hasCommandContaining(const Outcome &o, const std::string &text) {
    for (const std::string &c : o.commands)
        if (c.find(text) != std::string::npos)
            return true;
    return false;
}

void fillVarIpsec(int freePages) {
    ASSERT_EQ(0, mount("ipsec-full", "/var/ipsec", "tmpfs", 0, "size=256k,mode=0700")) << strerror(errno);
    const int fd = open("/var/ipsec/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    static const char page[4096] = {};
    off_t size = 0;
    for (ssize_t n; (n = write(fd, page, sizeof(page))) > 0;)
        size += n;
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(0, ftruncate(fd, size > freePages * 4096 ? size - freePages * 4096 : 0));
    close(fd);
}

void emptyVarIpsec() {
    EXPECT_EQ(0, umount("/var/ipsec")) << strerror(errno);
}

std::string bystanderFailures(const Outcome &o) {
    std::string fails;
    const char *const inSetkey[] = {
        "esp/tunnel/198.51.100.2-192.0.2.60/unique:7;", "esp/tunnel/192.0.2.60-198.51.100.2/unique:8;",
        "add 198.51.100.2 203.0.113.40 esp 0x2000 ", "esp/tunnel/198.51.100.2-203.0.113.40/unique:9;"};
    for (const char *s : inSetkey)
        if (o.setkeyConf.find(s) == std::string::npos)
            fails += std::string("setkey.conf lacks a bystander's ") + s + "\n";
    if (o.racoonConf.find("remote 192.0.2.60 {") == std::string::npos ||
        o.racoonConf.find("sainfo address 192.168.3.0/24 any address 10.3.0.0/16 any {") == std::string::npos)
        fails += "racoon.conf lacks the bystander IKE tunnel\n";
    if (o.pskTxt.find("192.0.2.60 other-secret\n") == std::string::npos)
        fails += "psk.txt lacks the bystander's key\n";
    for (const char *nat : {"-s 192.168.3.0/24 -o wan0 -d 10.3.0.0/16", "-s 192.168.4.0/24 -o wan0 -d 10.4.0.0/16"})
        if (!hasCommandContaining(o, std::string("iptables -t nat -I POSTROUTING 1 ") + nat))
            fails += std::string("no NAT exemption for a bystander: ") + nat + "\n";
    return fails;
}

void Scene::SetUp() {
    mdm_fixture::reset();
    pfkeysim::reset();
    shell_recorder::clear();
    mkdir("/var/ipsec", 0700);
    wan_state::down();
}

void Scene::TearDown() {
    EXPECT_EQ(0, pfkeysim::openSockets()) << "PF_KEY socket left open";
}

} // namespace hostile
