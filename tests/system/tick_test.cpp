/* One quiet period while the WAN is up: the daemon dumps the kernel's SA
 * table (the simulated PF_KEY kernel, preloaded) and writes each tunnel's
 * status and live SPIs into the data model, and starts the key daemon again
 * where it was killed. The only system test that waits for the daemon's
 * 15-second time-out. */
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "command_output.h"
#include "mdm_fixture.h"
#include "system_harness.h"
#include "system_model.h"
#include "test_files.h"

namespace {

constexpr const char *SA_TABLE = "/var/tmp/kernel-sa.txt";
constexpr const char *PFKEY_LOG = "/var/tmp/pfkey.log";

/* The daemon's own notices on standard output (which also carries the
 * setkey stand-in's). */
std::string notices(const std::string &out) {
    return test_cmd::linesStartingWith(out, "ipsec ");
}

/* Started (restarted, say) while the WAN is up: no WAN message comes, yet the
 * daemon brings the tunnels up and monitors them; a WAN down then takes every
 * tunnel down, a negotiated one with its SPIs. */
TEST(QuietPeriod, TunnelStatusFromTheKernel) {
    mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::CONNECTED_WAN0));
    setenv("PFKEYSIM_LOG", PFKEY_LOG, 1);
    sys::Daemon d;
    ASSERT_TRUE(d.startOnSimulatedKernel(SA_TABLE));
    sys::Transcript t{d};

    t.step("start with the WAN up");
    EXPECT_TRUE(d.sync());
    t.news();
    t.add("notices", notices(d.out()));
    t.add("PF_KEY requests before the first tick", test_files::read(PFKEY_LOG));
    /* The manual tunnel's two SAs as setkey loaded them, and the two the key
     * daemon negotiated for the IKE tunnel (request ids 2*entryID+1, +2). */
    test_files::write(SA_TABLE, "198.51.100.2 203.0.113.9 0x1000 3\n"
                                "203.0.113.9 198.51.100.2 0x1001 4\n"
                                "198.51.100.2 192.0.2.50 0xc0ffee1 5\n"
                                "192.0.2.50 198.51.100.2 0xc0ffee2 6\n");
    /* The key daemon dies (a crash, a kill): the tick starts it again. */
    const std::string tools = test_files::read(sys::toolLogPath());
    const size_t started = tools.find("racoon start pid=");
    int racoon = 0;
    ASSERT_NE(std::string::npos, started) << tools;
    ASSERT_EQ(1, sscanf(tools.c_str() + started, "racoon start pid=%d", &racoon));
    ASSERT_EQ(0, kill(racoon, SIGKILL));
    const std::string before = sys::run("zorctl status").output;
    t.step("the key daemon killed, one quiet period");
    EXPECT_TRUE(sys::waitFor([&] { return sys::run("zorctl status").output != before; }, 40));
    t.news();
    t.add("zorctl status", sys::run("zorctl status").output);
    EXPECT_NE("", test_files::read(PFKEY_LOG));
    sys::zorctl(t, d, "wan down wan0");
    t.add("zorctl status", sys::run("zorctl status").output);
    EXPECT_GOLDEN("system/quiet_period_status.txt", t.text());
}

} // namespace
