/*
 * The dump walk writes each SA's addresses as dotted quads itself (it is the
 * walk's hot spot): every octet width, and both ends, as reconciliation and
 * the delete lines read them.
 */
#include <string>

#include <gtest/gtest.h>

#include "monitor/ipsec_pfkey.h"
#include "pfkeysim.h"

namespace {

struct AddressCase {
    const char *name;
    const char *src;
    const char *dst;
};

const AddressCase kAddressCases[] = {
    {"one_digit_octets", "1.2.3.4", "9.8.7.6"},
    {"two_and_three_digits", "10.99.100.255", "198.51.100.2"},
    {"zero_octets", "100.64.0.0", "0.0.0.1"},
    {"widest_text", "255.255.255.255", "203.0.113.109"},
};

TEST(DumpAddressText, EachEndReadsAsTheKernelHoldsIt) {
    constexpr uint32_t kPid = 77;
    constexpr uint8_t kSadbDump = 10;
    for (const AddressCase &c : kAddressCases) {
        pfkeysim::Sa sa;
        sa.src = c.src;
        sa.dst = c.dst;
        sa.reqid = 5;
        const std::vector<uint8_t> msg = pfkeysim::saMessage(sa, kSadbDump, 1, kPid);
        PfkeySaMsg out{};
        EXPECT_EQ(PFKEY_MSG_SA, pfkey_parseDumpReply(msg.data(), msg.size(), kPid, &out)) << c.name;
        ASSERT_TRUE(out.hasSrc && out.hasDst) << c.name;
        EXPECT_EQ(std::string(c.src), out.src) << c.name;
        EXPECT_EQ(std::string(c.dst), out.dst) << c.name;
    }
}

} // namespace
