/* Hostile framework messages handed to dispatch while the WAN is up:
 * truncated and oversized bodies, unknown types, op values out of range,
 * texts that fill their fields without a terminator or carry statements,
 * entryIDs whose request ids would wrap, interface names that are not names. */
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/ipsec_state.h"
#include "hostile_harness.h"
#include "test_files.h"
#include "wan_state.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Body = IpsecCfgChangedMsgBody;

Bytes cfg(const std::function<void(Body &)> &edit, UINT32 op = IPSEC_CFG_OP_CHANGE) {
    Body b = hostile::cfgBody(op);
    edit(b);
    return hostile::frame(ZOR_MSG_IPSEC_CFG_CHANGED, &b, sizeof(b));
}

/* The message cut (or padded with zeros) to `bodyLen` body bytes, dataLength saying so. */
Bytes resized(Bytes msg, size_t bodyLen) {
    msg.resize(ZOR_MSG_HEADER_SIZE + bodyLen, 0);
    const UINT32 len = static_cast<UINT32>(bodyLen);
    memcpy(msg.data() + offsetof(ZorMsgHeader, dataLength), &len, sizeof(len));
    return msg;
}

/* The log without the line of a key daemon started where none ran: the scene
 * runs none, so every served change starts one. */
std::string withoutKeyDaemonStart(const std::string &log) {
    std::string kept;
    size_t start = 0;
    for (size_t nl; (nl = log.find('\n', start)) != std::string::npos; start = nl + 1)
        if (log.substr(start, nl - start).find("ipsec key daemon not running, starting it") == std::string::npos)
            kept += log.substr(start, nl - start + 1);
    return kept + log.substr(start);
}

Bytes retyped(Bytes msg, ZorMsgType type) {
    memcpy(msg.data(), &type, sizeof(type));
    return msg;
}

void fill16(char *field, const char *text) {
    memcpy(field, text, 16);
}

enum Effect {
    IGNORED,   /* no command at all */
    SERVED,    /* the change is loaded with setkey, nothing of other tunnels touched */
    KEPT,      /* a failed write: kernel tables and NAT exemptions kept, nothing run */
    UNWRITTEN, /* a file could not be written whole: nothing flushed, nothing loaded */
};

struct MessageRow {
    const char *name;
    Bytes msg;
    std::string hostile;
    const char *log; /* expected in the log; null: nothing at error level */
    Effect effect;
    int freePages = -1;           /* >= 0: /var/ipsec has only that many pages free */
    const char *second = nullptr; /* a second line expected in the log */
};

const char *const kBystanderAddrs[] = {"192.168.3.0",  "192.168.4.0", "192.0.2.60",
                                       "203.0.113.40", "10.3.0.0",    "10.4.0.0"};

class HostileMessage : public hostile::Scene {};

TEST_F(HostileMessage, MessagesAreCheckedBeforeTheyAreRead) {
    const Bytes change = cfg([](Body &) {});
    const Bytes wanUp = hostile::wanMsg("wan0", 1);
    const MessageRow rows[] = {
        {"configuration header without a body", resized(change, 0), "",
         "ipsec message too short, type=0x10002800 dataLength=0 need=160", IGNORED},
        {"configuration body one byte short", resized(change, 159), "",
         "ipsec message too short, type=0x10002800 dataLength=159 need=160", IGNORED},
        {"WAN body one byte short", resized(wanUp, 35), "",
         "ipsec message too short, type=0x10002801 dataLength=35 need=36", IGNORED},
        {"WAN header without a body", resized(wanUp, 0), "",
         "ipsec message too short, type=0x10002801 dataLength=0 need=36", IGNORED},
        {"configuration body of 4000 bytes: the first 160 count", resized(change, 4000), "", nullptr, SERVED},
        {"unknown message type", retyped(change, 0x12345678u), "", nullptr, IGNORED},
        {"a WAN status reply arriving unasked", retyped(wanUp, ZOR_MSG_GET_WAN_CONN_STATUS), "", nullptr, IGNORED},
        {"op 0", cfg([](Body &b) { b.op = 0; }), "", nullptr, SERVED},
        {"op 99 (a change)", cfg([](Body &b) { b.op = 99; }), "", nullptr, SERVED},
        {"op 0xffffffff (a change)", cfg([](Body &b) { b.op = 0xffffffffu; }), "", nullptr, SERVED},
        {"old local network filling its field without a terminator",
         cfg([](Body &b) { fill16(b.local_ip, "1111111111111111"); }, IPSEC_CFG_OP_DELETE), "",
         "tunnel 1 (?) skipped: local_ip is not a dotted quad", SERVED},
        {"old gateway with ';' in a delete",
         cfg([](Body &b) { strcpy(b.real_remote_gw_ip, "1.2.3.4;flush"); }, IPSEC_CFG_OP_DELETE), ";flush",
         "tunnel 1 (?) skipped: real_remote_gw_ip is not a dotted quad", SERVED},
        {"old remote network with a newline in a change", cfg([](Body &b) { strcpy(b.remote_ip, "10.2.0.0\nflush"); }),
         "\nflush", "tunnel 1 (manual) skipped: remote_ip is not a dotted quad", SERVED},
        {"old remote mask with $( )", cfg([](Body &b) { strcpy(b.remote_mask, "$(reboot)"); }, IPSEC_CFG_OP_DELETE),
         "$(reboot)", nullptr, SERVED},
        {"old local network with '#' in a change", cfg([](Body &b) { strcpy(b.local_ip, "192.168.1.0#"); }),
         "192.168.1.0#", "tunnel 1 (manual) skipped: local_ip is not a dotted quad", SERVED},
        {"old local network with a pipe", cfg([](Body &b) { strcpy(b.local_ip, "1.2.3.0|sh"); }), "|sh",
         "tunnel 1 (manual) skipped: local_ip is not a dotted quad", SERVED},
        {"entryID whose request ids would wrap, delete",
         cfg([](Body &b) { b.entryID = 0x7fffffffu; }, IPSEC_CFG_OP_DELETE), "",
         "tunnel 2147483647 (?) skipped: entryID is above 8190", SERVED},
        {"entryID 0xffffffff in a change", cfg([](Body &b) { b.entryID = 0xffffffffu; }), "",
         "tunnel 4294967295 (manual) skipped: entryID is above 8190", SERVED},
        {"WAN up with a 32-byte name and no terminator", hostile::wanMsg("wan0wan0wan0wan0wan0wan0wan0wan0", 1), "",
         "ipsec unkown ifName UP -- handle receive msg wan up!", IGNORED},
        {"WAN up with a command in the name", hostile::wanMsg("wan0;reboot", 1), "",
         "ipsec unkown ifName UP -- handle receive msg wan up!", IGNORED},
        {"WAN up with an empty name", hostile::wanMsg("", 1), "",
         "ipsec unkown ifName UP -- handle receive msg wan up!", IGNORED},
        {"WAN down for a name with a newline", hostile::wanMsg("wan0\n", 0), "", nullptr, IGNORED},
        {"isUP 7 for another interface", hostile::wanMsg("wan1", 7), "", nullptr, IGNORED},
        {"instance path naming no tunnel: the failure path", cfg([](Body &b) { b.stack.instance[0] = 77; }), "",
         "ipsec internal error--handle receive msg!", KEPT},
        {"instance path deeper than any object", cfg([](Body &b) { b.stack.currentDepth = 200; }), "",
         "ipsec internal error--handle receive msg!", KEPT},
        {"WAN up with /var/ipsec full", wanUp, "", "ipsec cannot write /var/ipsec/setkey.conf: No space left on device",
         UNWRITTEN, 0, "ipsec internal error--handle receive msg up!"},
        {"WAN up with room for setkey.conf only", wanUp, "",
         "ipsec cannot write /var/ipsec/psk.txt: No space left on device", UNWRITTEN, 1,
         "ipsec internal error--handle receive msg up!"},
        {"a change with /var/ipsec full", change, "",
         "ipsec cannot write /var/ipsec/setkey.conf: No space left on device", UNWRITTEN, 0,
         "ipsec internal error--handle receive msg!"},
    };
    for (const MessageRow &row : rows) {
        SCOPED_TRACE(row.name);
        hostile::writeModel(hostile::baseTunnels());
        wan_state::up();
        const Bytes msg = row.msg;
        const int freePages = row.freePages;
        hostile::Outcome o = hostile::observe([&msg, freePages] {
            if (freePages >= 0)
                hostile::fillVarIpsec(freePages);
            hostile::handle(msg);
        });
        if (row.second) {
            EXPECT_NE(std::string::npos, o.log.find(row.second)) << o.log;
        }

        EXPECT_EQ("", hostile::injectionFailures(o, row.hostile));
        if (row.log) {
            EXPECT_NE(std::string::npos, o.log.find(row.log)) << o.log;
        } else {
            EXPECT_EQ(std::string::npos, withoutKeyDaemonStart(o.log).find("ERROR")) << o.log;
        }
        EXPECT_EQ(1, current_wan_state);
        EXPECT_STREQ("wan0", default_ifName);
        EXPECT_STREQ("198.51.100.2", l_wan_ip);
        switch (row.effect) {
        case IGNORED:
            EXPECT_TRUE(o.commands.empty()) << o.commands.front();
            break;
        case SERVED:
            EXPECT_TRUE(hostile::hasCommandContaining(o, "setkey -f /var/ipsec/setkey.conf"));
            EXPECT_FALSE(hostile::hasCommandContaining(o, "setkey -DF"));
            for (const char *addr : kBystanderAddrs) {
                EXPECT_EQ(std::string::npos, o.setkeyConf.find(addr)) << "a bystander in the change: " << addr;
                EXPECT_FALSE(hostile::hasCommandContaining(o, addr)) << "a bystander's NAT rule touched: " << addr;
            }
            EXPECT_NE(std::string::npos, o.racoonConf.find("remote 192.0.2.60 {"));
            break;
        case KEPT:
            EXPECT_TRUE(o.commands.empty()) << o.commands.front();
            EXPECT_TRUE(fullRewriteDue);
            break;
        case UNWRITTEN:
            EXPECT_FALSE(hostile::hasCommandContaining(o, "setkey -D"));
            EXPECT_TRUE(fullRewriteDue);
            EXPECT_FALSE(hostile::hasCommandContaining(o, "setkey -f"));
            EXPECT_FALSE(hostile::hasCommandContaining(o, "chmod"));
            /* No file is left cut, and no temporary is left behind. */
            for (const char *f : {"setkey.conf", "racoon.conf", "psk.txt"}) {
                const std::string path = std::string("/var/ipsec/") + f;
                const std::string unwritten = std::string("ipsec cannot write ") + path;
                if (o.log.find(unwritten) != std::string::npos) {
                    EXPECT_EQ(-1, test_files::mode(path)) << path << " written cut";
                }
                EXPECT_EQ(-1, test_files::mode(path + ".new")) << path;
            }
            break;
        }
        if (row.freePages >= 0)
            hostile::emptyVarIpsec();
        if (row.effect == KEPT || row.effect == UNWRITTEN) {
            /* Once a write succeeds again, a change loads every tunnel, not only its own. */
            hostile::Outcome next = hostile::observe([&change] { hostile::handle(change); });
            EXPECT_EQ(0u, next.setkeyConf.rfind("flush;\nspdflush;\n", 0)) << next.setkeyConf;
            EXPECT_EQ("", hostile::bystanderFailures(next));
            EXPECT_TRUE(hostile::hasCommandContaining(next, "setkey -f /var/ipsec/setkey.conf"));
            EXPECT_FALSE(fullRewriteDue);
        }
    }
}

} // namespace
