/*
 * What a router running for months depends on: the heap does not grow from
 * tick to tick, whatever the ticks find, and a WAN up with many tunnels puts
 * every tunnel's policies and NAT exemption into the kernel.
 */
#include <malloc.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench_model.h"
#include "command_output.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_status.h"
#include "proc/ipsec_proc.h"
#include "render/ipsec_racoon.h"
#include "render/ipsec_setkey.h"
#include "shell_recorder.h"

#if defined(__SANITIZE_ADDRESS__)
#define IPSEC_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IPSEC_ASAN 1
#endif
#endif
#ifdef IPSEC_ASAN
#include <sanitizer/allocator_interface.h>
#endif

namespace {

size_t heapInUse() {
#ifdef IPSEC_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

#ifndef IPSEC_ASAN
/* glibc counts the blocks in its per-thread cache as in use: a few hundred
 * bytes come and go with the allocation pattern. Without the cache the count
 * is exact; it can only be turned off at start, hence the one re-exec. */
constexpr char kNoTcache[] = "glibc.malloc.tcache_count=0";
__attribute__((constructor)) void runWithoutTcache(int, char **argv, char **) {
    const char *t = getenv("GLIBC_TUNABLES");
    if (t && strcmp(t, kNoTcache) == 0)
        return;
    setenv("GLIBC_TUNABLES", kNoTcache, 1);
    execv("/proc/self/exe", argv);
}
#endif

/* The kernel each tick sees. */
enum class Kernel {
    AllUp,       /* both SAs of every tunnel, unchanged */
    Rekeying,    /* SPIs switch between two sets every 10 ticks: written back */
    OutboundOnly /* every tunnel half dead: a delete file and setkey per tunnel per tick */
};

std::vector<pfkeysim::Sa> kernelAt(Kernel k, unsigned tunnels, unsigned tick) {
    std::vector<pfkeysim::Sa> sas = bench_model::kernelTable(tunnels);
    if (k == Kernel::Rekeying && (tick / 10) % 2 == 1)
        for (pfkeysim::Sa &sa : sas)
            sa.spi += 0x100000;
    if (k == Kernel::OutboundOnly) {
        std::vector<pfkeysim::Sa> out;
        for (size_t i = 0; i < sas.size(); i += 2)
            out.push_back(sas[i]);
        return out;
    }
    return sas;
}

struct SteadyCase {
    const char *name;
    Kernel kernel;
    bool hostNames;
    /* Rows whose ticks write the data model use few tunnels: the stand-in
     * rewrites and syncs its whole file on every write. */
    unsigned tunnels;
};

void PrintTo(const SteadyCase &c, std::ostream *os) {
    *os << c.name;
}

class HeapSteady : public testing::TestWithParam<SteadyCase> {};

TEST_P(HeapSteady, HeapAtTick1000IsNoLargerThanAtTick100) {
    const SteadyCase &c = GetParam();
    bench_model::layOut(c.tunnels, c.hostNames);
    size_t at100 = 0, at1000 = 0;
    size_t commands = 0;
    for (unsigned t = 1; t <= 1000; t++) {
        /* The simulator and the recorder keep logs of their own: restarted
         * every tick so that only the daemon's heap is compared. */
        pfkeysim::reset();
        pfkeysim::setTable(kernelAt(c.kernel, c.tunnels, t));
        shell_recorder::clear();
        ipsec_checkFQDNChange();
        ipsec_refresh_status();
        commands += shell_recorder::commands().size();
        if (t == 100)
            at100 = heapInUse();
        if (t == 1000)
            at1000 = heapInUse();
    }
    /* The stand-in framework keeps the last model it parsed, whose size
     * follows the texts in it (SPIs of other lengths after a re-key): a few
     * hundred bytes either way. A block lost per tick would add at least
     * 900 x 16 bytes. */
    constexpr size_t kModelSlack = 512;
    EXPECT_LE(at1000, at100 + kModelSlack) << "the heap grew by " << (at1000 - at100) << " bytes over 900 ticks";
    /* The tick did what the row says, so the row measured that path. */
    const std::vector<pfkeysim::Sa> last = kernelAt(c.kernel, c.tunnels, 1000);
    EXPECT_EQ(last.size(), l_ipsec_status_arr.status_arr.size());
    EXPECT_EQ(c.hostNames ? static_cast<int>(c.tunnels) : 0, l_ipsec_fqdn_arr.fqdn_count);
    const nlohmann::json t = mdm_fixture::tunnel(c.tunnels);
    if (c.kernel == Kernel::OutboundOnly) {
        EXPECT_GE(commands, 1000u * c.tunnels);
        EXPECT_EQ(0, t["status"]);
        EXPECT_EQ("0", t["SPI"]);
    } else {
        char spi[16];
        snprintf(spi, sizeof(spi), "%x", last[2 * c.tunnels - 2].spi);
        EXPECT_EQ(1, t["status"]);
        EXPECT_EQ(spi, t["SPI"]);
    }
}

const SteadyCase kSteadyCases[] = {
    {"quiet", Kernel::AllUp, false, 20},
    {"host_names", Kernel::AllUp, true, 20},
    {"rekeying", Kernel::Rekeying, false, 2},
    {"lone_sa_deleted", Kernel::OutboundOnly, false, 1},
};

INSTANTIATE_TEST_SUITE_P(Ticks, HeapSteady, testing::ValuesIn(kSteadyCases),
                         [](const testing::TestParamInfo<SteadyCase> &i) { return std::string(i.param.name); });

size_t countLines(const std::string &text, const std::string &start) {
    size_t count = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(pos, start.size(), start) == 0)
            count++;
        pos = end + 1;
    }
    return count;
}

TEST(WanUpAtScale, HundredTunnelsReachTheKernelAndTheNatTable) {
    const unsigned n = 100;
    bench_model::layOut(n);
    shell_recorder::clear();
    shell_recorder::setPassThrough(true);
    EXPECT_EQ(static_cast<int>(n), ipsec_writeAllSetkey());
    EXPECT_EQ(static_cast<int>(n), ipsec_writeRacoon());
    ipsec_startIpsecFunc();
    shell_recorder::setPassThrough(false);

    /* Each insert first takes back an equal rule. */
    const std::vector<std::string> &cmds = shell_recorder::commands();
    ASSERT_EQ(2 * n + 2, cmds.size());
    EXPECT_EQ("iptables -t nat -D POSTROUTING -s 192.168.1.0/24 -o wan0 -d 10.0.1.0/24 -j ACCEPT", cmds[0]);
    EXPECT_EQ("iptables -t nat -I POSTROUTING 1 -s 192.168.1.0/24 -o wan0 -d 10.0.1.0/24 -j ACCEPT", cmds[1]);
    EXPECT_EQ("chmod 600 /var/ipsec/psk.txt", cmds[2 * n]);
    EXPECT_EQ("setkey -f /var/ipsec/setkey.conf", cmds[2 * n + 1]);

    /* out and in for each tunnel, and the forward twin of in. */
    const std::string policies = test_cmd::output("ip xfrm policy list");
    EXPECT_EQ(3 * n, countLines(policies, "src "));
    EXPECT_NE(std::string::npos, policies.find("src 10.0.100.0/24 dst 192.168.1.0/24"));
    const std::string nat = test_cmd::output("iptables -w -t nat -S POSTROUTING");
    EXPECT_EQ(n, countLines(nat, "-A POSTROUTING -s 192.168.1.0/24 -d 10."));
    /* A repeated rewrite on the same interface leaves one rule per tunnel. */
    shell_recorder::setPassThrough(true);
    EXPECT_EQ(static_cast<int>(n), ipsec_writeAllSetkey());
    shell_recorder::setPassThrough(false);
    EXPECT_EQ(n, countLines(test_cmd::output("iptables -w -t nat -S POSTROUTING"),
                            "-A POSTROUTING -s 192.168.1.0/24 -d 10."));
}

} // namespace
