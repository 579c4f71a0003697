/* The framework's messages as the framework lays them out on this host: a
 * 28-byte header whose queue link is 4 bytes, the body right behind it, every
 * field in host byte order at a fixed offset. Each row writes one field into
 * a raw message image at its offset and expects the daemon's records to read
 * exactly that field, and nothing else, from the image. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "framework/zor.h"

namespace {

/* A raw field value: 1, 2 or 4 bytes of a host-order number, or text. */
struct Raw {
    size_t offset;
    size_t size;
    uint32_t number;
    const char *text; /* when set, `size` bytes of it (NUL-padded) */
};

std::vector<unsigned char> image(size_t total, const Raw &raw) {
    std::vector<unsigned char> bytes(total, 0);
    if (raw.text) {
        memcpy(&bytes[raw.offset], raw.text, strnlen(raw.text, raw.size));
    } else if (raw.size == 4) {
        memcpy(&bytes[raw.offset], &raw.number, 4);
    } else if (raw.size == 2) {
        const uint16_t v = static_cast<uint16_t>(raw.number);
        memcpy(&bytes[raw.offset], &v, 2);
    } else {
        bytes[raw.offset] = static_cast<unsigned char>(raw.number);
    }
    return bytes;
}

template <size_t N> void setText(char (&field)[N], const char *text) {
    snprintf(field, N, "%s", text);
}

/* Message block: header and body in one buffer, as zorMsg_receiveWithTimeout hands it out. */
template <typename Body> struct Block {
    ZorMsgHeader hdr;
    Body body;
};

template <typename Body> struct FieldCase {
    const char *name;
    Raw raw;
    std::function<void(Block<Body> &)> set; /* the same field through the records */
};

template <typename Body> void expectLayout(const std::vector<FieldCase<Body>> &cases) {
    constexpr size_t total = ZOR_MSG_HEADER_SIZE + sizeof(Body);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<unsigned char> raw = image(total, c.raw);

        Block<Body> expected;
        memset(&expected, 0, sizeof(expected));
        c.set(expected);
        unsigned char laidOut[total];
        memcpy(laidOut, &expected.hdr, ZOR_MSG_HEADER_SIZE);
        memcpy(laidOut + ZOR_MSG_HEADER_SIZE, &expected.body, sizeof(Body));
        EXPECT_EQ(0, memcmp(raw.data(), laidOut, total));

        ZorMsgHeader hdr;
        memcpy(&hdr, raw.data(), sizeof(hdr));
        Body body;
        memcpy(&body, raw.data() + ZOR_MSG_HEADER_SIZE, sizeof(body));
        EXPECT_EQ(0, memcmp(&hdr, &expected.hdr, sizeof(hdr)));
        EXPECT_EQ(0, memcmp(&body, &expected.body, sizeof(body)));
    }
}

TEST(MessageLayout, HeaderFieldsAndTheFourByteLink) {
    using B = IPSecWanChangedMsgBody;
    const std::vector<FieldCase<B>> cases = {
        {"type", {0, 4, 0x10002801u, nullptr}, [](Block<B> &m) { m.hdr.type = ZOR_MSG_IPSEC_DFL_GW_CHANGED; }},
        {"src", {4, 4, 20, nullptr}, [](Block<B> &m) { m.hdr.src = EID_KIV; }},
        {"dst", {8, 4, 502, nullptr}, [](Block<B> &m) { m.hdr.dst = EID_IPSEC; }},
        {"flags event", {12, 2, 0x8000u, nullptr}, [](Block<B> &m) { m.hdr.flags = ZOR_MSG_FLAG_EVENT; }},
        {"flags bounce",
         {12, 2, 0x0800u, nullptr},
         [](Block<B> &m) { m.hdr.flags = ZOR_MSG_FLAG_BOUNCE_IF_NOT_RUNNING; }},
        {"sequence number", {14, 2, 0xa1b2u, nullptr}, [](Block<B> &m) { m.hdr.sequenceNumber = 0xa1b2u; }},
        {"link, all four bytes", {16, 4, 0xffffffffu, nullptr}, [](Block<B> &m) { m.hdr.next = 0xffffffffu; }},
        {"word data", {20, 4, 0x01020304u, nullptr}, [](Block<B> &m) { m.hdr.wordData = 0x01020304u; }},
        {"data length", {24, 4, 36, nullptr}, [](Block<B> &m) { m.hdr.dataLength = sizeof(B); }},
    };
    expectLayout(cases);
}

TEST(MessageLayout, WanChangedBody) {
    using B = IPSecWanChangedMsgBody;
    const std::vector<FieldCase<B>> cases = {
        {"ifName", {28, 32, 0, "ppp0.1"}, [](Block<B> &m) { setText(m.body.ifName, "ppp0.1"); }},
        {"ifName filling its field",
         {28, 32, 0, "abcdefghijklmnopqrstuvwxyz012345"},
         [](Block<B> &m) { memcpy(m.body.ifName, "abcdefghijklmnopqrstuvwxyz012345", 32); }},
        {"isUP 1", {60, 4, 1, nullptr}, [](Block<B> &m) { m.body.isUP = 1; }},
        {"isUP -1", {60, 4, 0xffffffffu, nullptr}, [](Block<B> &m) { m.body.isUP = -1; }},
    };
    expectLayout(cases);
}

TEST(MessageLayout, CfgChangedBody) {
    using B = IpsecCfgChangedMsgBody;
    const std::vector<FieldCase<B>> cases = {
        {"local_ip_mode", {28, 4, 1, nullptr}, [](Block<B> &m) { m.body.local_ip_mode = 1; }},
        {"remote_ip_mode", {32, 4, 0x00010000u, nullptr}, [](Block<B> &m) { m.body.remote_ip_mode = 0x00010000u; }},
        {"entryID", {36, 4, 0x01000002u, nullptr}, [](Block<B> &m) { m.body.entryID = 0x01000002u; }},
        {"op", {40, 4, 4, nullptr}, [](Block<B> &m) { m.body.op = IPSEC_CFG_OP_RESTART; }},
        {"enable", {44, 1, 1, nullptr}, [](Block<B> &m) { m.body.enable = 1; }},
        {"local_ip", {45, 16, 0, "192.168.100.200"}, [](Block<B> &m) { setText(m.body.local_ip, "192.168.100.200"); }},
        {"local_mask", {61, 16, 0, "255.255.255.0"}, [](Block<B> &m) { setText(m.body.local_mask, "255.255.255.0"); }},
        {"remote_ip", {77, 16, 0, "10.1.2.3"}, [](Block<B> &m) { setText(m.body.remote_ip, "10.1.2.3"); }},
        {"remote_mask", {93, 16, 0, "255.255.0.0"}, [](Block<B> &m) { setText(m.body.remote_mask, "255.255.0.0"); }},
        {"real_remote_gw_ip",
         {109, 16, 0, "203.0.113.7"},
         [](Block<B> &m) { setText(m.body.real_remote_gw_ip, "203.0.113.7"); }},
        {"spi", {125, 16, 0, "1f4"}, [](Block<B> &m) { setText(m.body.spi, "1f4"); }},
        {"second_spi", {141, 16, 0, "c0000001"}, [](Block<B> &m) { setText(m.body.second_spi, "c0000001"); }},
        {"stack depth", {160, 1, 1, nullptr}, [](Block<B> &m) { m.body.stack.currentDepth = 1; }},
        {"stack first instance",
         {164, 4, 0x00000107u, nullptr},
         [](Block<B> &m) { m.body.stack.instance[0] = 0x107u; }},
        {"stack last instance",
         {184, 4, 0xfffffffeu, nullptr},
         [](Block<B> &m) { m.body.stack.instance[5] = 0xfffffffeu; }},
    };
    expectLayout(cases);
}

} // namespace
