/* The real daemon's quiet period, monitoring end to end: a host-name gateway
 * that moved is followed before the kernel's SA table is read, so the tunnel
 * is found up at its new address in the same tick; a negotiated tunnel left
 * with one live SA has it deleted through setkey. Waits for the daemon's
 * 15-second time-out. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "command_output.h"
#include "mdm_fixture.h"
#include "system_harness.h"
#include "system_model.h"
#include "test_files.h"
#include "tunnel_fixture.h"

namespace {

constexpr const char *SA_TABLE = "/var/tmp/kernel-sa.txt";

/* Two IKE tunnels: 1 "named" behind vpn.example (last seen at 192.0.2.50),
 * 2 "halfdead" at 203.0.113.9, up at the last tick with both SPIs known. */
nlohmann::json model() {
    const nlohmann::json named = tunnel_fixture::ike({{"_iid", 1},
                                                      {"connName", "named"},
                                                      {"remoteGWAddress", "vpn.example"},
                                                      {"remoteIPMode", 0},
                                                      {"remoteIPAddress", "10.1.0.0"},
                                                      {"remoteMask", "255.255.0.0"},
                                                      {"PSK", "named-secret"},
                                                      {"DPD", nullptr},
                                                      {"perfectFSEn", nullptr}});
    const nlohmann::json halfdead = tunnel_fixture::ike({{"_iid", 2},
                                                         {"entryID", 2},
                                                         {"connName", "halfdead"},
                                                         {"remoteGWAddress", "203.0.113.9"},
                                                         {"realRemoteIP", "203.0.113.9"},
                                                         {"remoteIPMode", 0},
                                                         {"remoteIPAddress", "10.2.0.0"},
                                                         {"remoteMask", "255.255.0.0"},
                                                         {"PSK", "halfdead-secret"},
                                                         {"DPD", nullptr},
                                                         {"perfectFSEn", nullptr},
                                                         {"SPI", "2000"},
                                                         {"secondSPI", "2001"},
                                                         {"status", 1}});
    const nlohmann::json wan = {
        {"_iid", 1},
        {"name", "wan"},
        {"WanIpConnObject", nlohmann::json::array({nlohmann::json::parse(sysmodel::CONNECTED_WAN0)})}};
    return {{"IPSecCfgObject", nlohmann::json::array({named, halfdead})},
            {"WanDevObject", nlohmann::json::array({wan})}};
}

/* The daemon's standard output also carries the setkey stand-in's; keep the
 * daemon's own notices. */
std::string notices(const std::string &out) {
    return test_cmd::linesStartingWith(out, "ipsec tunnel ");
}

TEST(MonitorTick, HostNameFollowedThenStatusAndLoneSaDeleted) {
    mdm_fixture::writeJson(model());
    test_files::write("/etc/hosts", "127.0.0.1 localhost\n192.0.2.60 vpn.example\n");
    sys::Daemon d;
    ASSERT_TRUE(d.startOnSimulatedKernel(SA_TABLE));
    sys::Transcript t{d};

    sys::zorctl(t, d, "wan up wan0", 1); /* repeated: the WAN was up at the start */
    /* Tunnel 1's SAs with its new peer; of tunnel 2 only the outbound SA is
     * left, its inbound partner gone. */
    test_files::write(SA_TABLE, "198.51.100.2 192.0.2.60 0xc0ffee1 3\n"
                                "192.0.2.60 198.51.100.2 0xc0ffee2 4\n"
                                "198.51.100.2 203.0.113.9 0x2000 5\n");
    t.step("one quiet period");
    EXPECT_TRUE(sys::waitFor(
        [&] {
            std::string tools = test_files::read(sys::toolLogPath());
            std::string status = sys::run("zorctl status").output;
            return tools.find("tmp_delete.conf") != std::string::npos && status.find("c0ffee1") != std::string::npos;
        },
        40));
    t.news();
    t.add("host-name notices", notices(d.out()));
    t.add("tmp_delete.conf", test_files::read("/var/ipsec/tmp_delete.conf"));
    t.add("zorctl status", sys::run("zorctl status").output);
    EXPECT_GOLDEN("monitor/daemon_tick.txt", t.text());
}

} // namespace
