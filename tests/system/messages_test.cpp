/* Messages as a peer might send them: of another type, shorter than their
 * type's body, longer, lying about their length, too big, with an interface
 * name filling its field. The daemon survives each and acts only on the
 * well-formed ones. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mdm_fixture.h"
#include "msg_frame.h"
#include "system_harness.h"
#include "system_model.h"
#include "test_files.h"

namespace {

/* Sends `datagram` as is, waits until the daemon is through with it, records the effects. */
void send(sys::Transcript &t, sys::Daemon &d, const std::string &what, const std::vector<unsigned char> &datagram) {
    t.step(what);
    if (!sys::sendRaw(datagram))
        t.add("not sent", "");
    if (!d.sync())
        t.add("the daemon did not get through its messages", "");
    t.news();
}

/* Sets the header's dataLength without touching the bytes that follow. */
std::vector<unsigned char> withDataLength(std::vector<unsigned char> msg, UINT32 len) {
    memcpy(msg.data() + offsetof(ZorMsgHeader, dataLength), &len, sizeof(len));
    return msg;
}

TEST(Messages, MalformedAndForeignMessages) {
    /* The WAN connects after the start: the daemon learns of it from the
     * messages alone. */
    mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::DISCONNECTED_WAN0));
    sys::Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.sync());
    mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::CONNECTED_WAN0));
    sys::Transcript t{d};

    send(t, d, "a message of another type",
         msg_frame::frame(ZOR_MSG_GET_WAN_CONN_STATUS, "wan0", 5, ZOR_MSG_FLAG_EVENT));
    IPSecWanChangedMsgBody up = msg_frame::wanBody("wan0", 1);
    send(t, d, "WAN up with a 20-byte body",
         msg_frame::frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, &up, 20, ZOR_MSG_FLAG_EVENT));
    std::vector<unsigned char> cfg(160, 0);
    send(t, d, "configuration change with a 159-byte body",
         msg_frame::frame(ZOR_MSG_IPSEC_CFG_CHANGED, cfg.data(), 159, ZOR_MSG_FLAG_EVENT));
    send(t, d, "WAN up claiming 36 body bytes but carrying 10",
         withDataLength(msg_frame::frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, &up, 10, ZOR_MSG_FLAG_EVENT), 36));
    std::vector<unsigned char> huge(70000, 0);
    memcpy(huge.data(), &up, sizeof(up));
    send(t, d, "WAN up in a datagram of 70028 bytes",
         msg_frame::frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, huge.data(), huge.size(), ZOR_MSG_FLAG_EVENT));
    IPSecWanChangedMsgBody unterminated = msg_frame::wanBody("", 0);
    memset(unterminated.ifName, 'w', sizeof(unterminated.ifName));
    send(t, d, "WAN down for a name filling its 32 bytes",
         msg_frame::frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, &unterminated, sizeof(unterminated), ZOR_MSG_FLAG_EVENT));
    t.natTable();

    std::vector<unsigned char> longer(sizeof(up) + 100, 0xff);
    memcpy(longer.data(), &up, sizeof(up));
    send(t, d, "WAN up with 100 bytes after its body",
         msg_frame::frame(ZOR_MSG_IPSEC_DFL_GW_CHANGED, longer.data(), longer.size(), ZOR_MSG_FLAG_EVENT));
    t.files();
    t.natTable();
    EXPECT_TRUE(d.running());
    EXPECT_GOLDEN("system/messages_malformed.txt", t.text());
}

} // namespace
