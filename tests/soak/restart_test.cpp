/* The daemon killed with SIGKILL while the WAN is up (its key daemon still
 * running, /var/ipsec, the kernel tables and the data model left as they
 * were) and started again: it finds the WAN up and brings the tunnels up by
 * itself, then serves the next WAN up and the next tunnel change as a fresh
 * daemon would. */
#include <gtest/gtest.h>

#include <string>

#include "mdm_fixture.h"
#include "system_harness.h"
#include "system_model.h"
#include "test_files.h"

namespace {

int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

/* Runs the daemon (the WAN is up at its start), sends it a WAN up, kills it,
 * starts it again, sends a WAN up again and changes tunnel 1's remote
 * network. Returns the nat table. */
std::string killAndRestart(sys::Daemon &d, sys::Transcript &t) {
    mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::CONNECTED_WAN0));
    EXPECT_TRUE(d.start({"-m", "1"}));
    sys::zorctl(t, d, "wan up wan0", 1);
    const std::string setkeyBefore = test_files::read("/var/ipsec/setkey.conf");
    EXPECT_NE("", setkeyBefore);

    t.step("SIGKILL the daemon; start it again");
    const int reloads = countOf(test_files::read(sys::toolLogPath()), "racoon reload ");
    d.stop();
    EXPECT_TRUE(d.start({"-m", "2"}));
    EXPECT_TRUE(d.sync());
    /* It found the WAN up: the key daemon left running rereads its files. */
    EXPECT_TRUE(
        sys::waitFor([&] { return countOf(test_files::read(sys::toolLogPath()), "racoon reload ") >= reloads + 1; }));
    t.news();
    sys::zorctl(t, d, "wan up wan0", 1);
    EXPECT_EQ(setkeyBefore, test_files::read("/var/ipsec/setkey.conf")) << "the same model renders the same file";
    t.files();
    t.filterTable();
    sys::zorctl(t, d, "tunnel set 1 remoteIPAddress=10.3.0.0 remoteMask=255.255.255.0", 1);
    t.files();
    return sys::run("iptables -t nat -S POSTROUTING").output;
}

TEST(RestartAfterKill, ServesTheNextWanUpAndChange) {
    sys::Daemon d;
    sys::Transcript t{d};
    const std::string nat = killAndRestart(d, t);
    EXPECT_TRUE(d.running());
    EXPECT_GOLDEN("soak/restart_after_kill_wan_up.txt", t.text());
    EXPECT_LE(1, countOf(nat, "-s 192.168.1.0/24 -d 192.0.2.77/32")) << nat;
    EXPECT_LE(1, countOf(nat, "-s 192.168.1.0/24 -d 10.3.0.0/24")) << nat;
    EXPECT_EQ(std::string::npos, d.log().find("ERROR")) << d.log();
}

// The restarted daemon does not know what its predecessor left: its first WAN
// up takes every NAT exemption rule back before inserting it, so no rule is
// doubled and a later change of a tunnel leaves no stale one.
TEST(RestartAfterKill, LeavesNoDuplicateOrStaleNatRule) {
    sys::Daemon d;
    sys::Transcript t{d};
    const std::string nat = killAndRestart(d, t);
    EXPECT_EQ(1, countOf(nat, "-s 192.168.1.0/24 -d 192.0.2.77/32")) << nat;
    EXPECT_EQ(1, countOf(nat, "-s 192.168.1.0/24 -d 10.3.0.0/24")) << nat;
    EXPECT_EQ(0, countOf(nat, "-d 10.2.0.0/16")) << "the old rule of the changed tunnel\n" << nat;
}

} // namespace
