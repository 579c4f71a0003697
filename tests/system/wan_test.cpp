/* The daemon following the WAN connection, driven by zorctl: files under
 * /var/ipsec, setkey and key daemon runs, the nat and filter tables and the
 * daemon's log after each message. */
#include <gtest/gtest.h>

#include <string>

#include "mdm_fixture.h"
#include "system_harness.h"
#include "system_model.h"
#include "test_files.h"

namespace {

class WanScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::CONNECTED_WAN0));
        ASSERT_TRUE(d.start({"-m", "1"}));
    }
    sys::Daemon d;
    sys::Transcript t{d};
};

/* Started with the WAN up, which it finds by itself; up twice on the
 * default-gateway interface, down for another interface, down for the WAN, up
 * again: nothing accumulates in the tables over the cycle. */
TEST_F(WanScenario, UpAgainDownUp) {
    sys::zorctl(t, d, "wan up wan0", 1);
    t.files();
    t.natTable();
    t.filterTable();
    sys::zorctl(t, d, "wan up wan0", 1);
    t.natTable();
    t.filterTable();
    sys::zorctl(t, d, "wan down wan1");
    t.natTable();
    sys::zorctl(t, d, "wan down wan0");
    t.natTable();
    t.filterTable();
    sys::zorctl(t, d, "wan up wan0");
    t.natTable();
    t.filterTable();
    EXPECT_GOLDEN("system/wan_up_again_down_up.txt", t.text());
}

/* Started while the WAN is not connected. */
class WanDownScenario : public WanScenario {
  protected:
    void SetUp() override {
        mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::DISCONNECTED_WAN0));
        ASSERT_TRUE(d.start({"-m", "1"}));
    }
};

/* A WAN-up for an interface without the default route changes nothing;
 * configuration messages are still ignored after it. */
TEST_F(WanDownScenario, UpForAnotherInterface) {
    sys::zorctl(t, d, "wan up wan1");
    sys::zorctl(t, d, "tunnel set 1 remoteIPAddress=10.3.0.0 remoteMask=255.255.255.0");
    t.files();
    t.natTable();
    t.filterTable();
    EXPECT_GOLDEN("system/wan_up_other_interface.txt", t.text());
}

/* A tunnel change before any WAN up: nothing is written, run or logged. */
TEST_F(WanDownScenario, ConfigurationBeforeWanUp) {
    sys::zorctl(t, d, "tunnel set 2 PSK=another-secret");
    sys::zorctl(t, d, "tunnel set 1 remoteIPAddress=10.3.0.0 remoteMask=255.255.255.0 --restart");
    t.files();
    t.natTable();
    EXPECT_GOLDEN("system/config_before_wan_up.txt", t.text());
}

/* No connected connection on the interface: the lookup fails, the tables are
 * flushed and the key daemon killed, and the WAN counts as down. */
TEST(WanLookupScenario, NoConnectedConnection) {
    mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::DISCONNECTED_WAN0));
    sys::Daemon d;
    ASSERT_TRUE(d.start());
    sys::Transcript t{d};
    sys::zorctl(t, d, "wan up wan0");
    sys::zorctl(t, d, "tunnel set 2 PSK=another-secret");
    t.files();
    t.natTable();
    t.filterTable();
    EXPECT_GOLDEN("system/wan_up_no_connection.txt", t.text());
}

/* op 1, 3, 4 and 2 while the WAN is up. */
TEST_F(WanScenario, TunnelChangesWhileUp) {
    sys::zorctl(t, d, "wan up wan0", 1);
    sys::zorctl(t, d,
                "tunnel add entryID=3 enable=1 connName=added keyExMethod=1 remoteGWAddress=203.0.113.30 "
                "localIPAddress=192.168.1.0 localMask=255.255.255.0 remoteIPAddress=10.30.0.0 "
                "remoteMask=255.255.0.0 manualEncryptionAlgo=aes-cbc "
                "manualEncryptionKey=ffeeddccbbaa99887766554433221100 manualAuthAlgo=hmac-sha1 "
                "manualAthKey=76543210fedcba9876543210fedcba9876543210 SPI=3000 secondSPI=3001",
                1);
    t.files();
    t.natTable();
    sys::zorctl(t, d, "tunnel set 1 remoteIPAddress=10.3.0.0 remoteMask=255.255.255.0", 1);
    t.files();
    t.natTable();
    sys::zorctl(t, d, "tunnel set 2 PSK=another-secret --restart");
    t.files();
    sys::zorctl(t, d, "tunnel del 3", 1);
    t.files();
    t.natTable();
    t.filterTable();
    EXPECT_GOLDEN("system/tunnel_changes_while_up.txt", t.text());
}

} // namespace
