/* Ten thousand monitoring ticks in one process, as the daemon runs them for
 * months: host names re-resolved, the kernel's SAs dumped and reconciled,
 * while tunnels come and go and SAs appear, re-key, fail to answer and vanish.
 * Nothing may leak (LeakSanitizer in the sanitizer build), no descriptor may
 * stay open, and the heap in use must not grow between tick 1,000 and 10,000. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <linux/pfkeyv2.h>
#include <malloc.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_status.h"
#include "pfkeysim.h"
#include "shell_recorder.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#endif
#ifdef SOAK_ASAN
#include <sanitizer/allocator_interface.h>
#endif

using nlohmann::json;

namespace {

const char *const kWan = "198.51.100.2";
constexpr int kTicks = 10000;
constexpr int kPeriod = 500; /* the scenario repeats: tick 1,000 and 10,000 are alike */
constexpr size_t kHeapSlack = 64 * 1024;

size_t heapInUse() {
#ifdef SOAK_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

int openDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

json tunnel(UINT32 id, const char *gw, const char *name, int keyEx) {
    return {{"entryID", id},
            {"enable", 1},
            {"connName", std::string("t") + std::to_string(id)},
            {"realRemoteIP", gw},
            {"remoteGWAddress", name},
            {"keyExMethod", keyEx},
            {"SPI", "0"},
            {"secondSPI", "0"},
            {"status", 0}};
}

using pfkeysim::sa;

void writeHosts(const char *addr) {
    FILE *f = fopen("/etc/hosts", "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "127.0.0.1 localhost\n%s peer.soak\n", addr);
    fclose(f);
}

/* The data model at phase p: tunnel 5 exists only in the first half of the
 * period, tunnel 4 is disabled in the second. */
void modelAt(int p) {
    json list = json::array({tunnel(1, "203.0.113.1", "203.0.113.1", 0), tunnel(2, "203.0.113.2", "203.0.113.2", 0),
                             tunnel(3, "203.0.113.3", "peer.soak", 0), tunnel(4, "203.0.113.4", "203.0.113.4", 1)});
    if (p >= kPeriod / 2)
        list[3]["enable"] = 0;
    if (p < kPeriod / 2)
        list.push_back(tunnel(5, "203.0.113.5", "203.0.113.5", 0));
    mdm_fixture::writeJson(json{{"IPSecCfgObject", list}});
}

/* The kernel at phase p: tunnel 1 re-keys every 50 ticks (old and new SAs side
 * by side for a tick), tunnel 2's SAs appear larval then mature then vanish,
 * tunnel 3 follows its host name, tunnel 5 keeps only an outbound SA for a
 * while (the lone SA the monitor deletes); now and then a broadcast arrives
 * mid-dump or a read fails. */
void kernelAt(int p) {
    pfkeysim::reset();
    std::vector<pfkeysim::Sa> t;
    const uint32_t gen = 0x1000 + static_cast<uint32_t>(p / 50) * 2;
    t.push_back(sa(kWan, "203.0.113.1", gen, 3, SADB_SASTATE_MATURE));
    t.push_back(sa("203.0.113.1", kWan, gen + 1, 4, SADB_SASTATE_MATURE));
    if (p % 50 == 0 && p > 0) {
        t.push_back(sa(kWan, "203.0.113.1", gen - 2, 3, SADB_SASTATE_DYING));
        t.push_back(sa("203.0.113.1", kWan, gen - 1, 4, SADB_SASTATE_DYING));
    }
    const int q = p % 100;
    if (q >= 10 && q < 60) {
        const uint8_t st = q < 20 ? SADB_SASTATE_LARVAL : SADB_SASTATE_MATURE;
        t.push_back(sa(kWan, "203.0.113.2", 0x2000 + q, 5, st));
        t.push_back(sa("203.0.113.2", kWan, 0x3000 + q, 6, st));
    }
    const char *peer3 = (p / 100) % 2 ? "198.51.100.33" : "198.51.100.34";
    t.push_back(sa(kWan, peer3, 0x4000, 7, SADB_SASTATE_MATURE));
    t.push_back(sa(peer3, kWan, 0x4001, 8, SADB_SASTATE_MATURE));
    if (p < kPeriod / 2 && p % 25 < 5)
        t.push_back(sa(kWan, "203.0.113.5", 0x5000 + p, 11, SADB_SASTATE_MATURE));
    pfkeysim::setTable(t);
    if (p % 7 == 3)
        pfkeysim::injectBroadcast(1, pfkeysim::BCAST_ADD, 0, 0, sa(kWan, "203.0.113.77", 0x77, 99, 1));
    if (p % 97 == 5)
        pfkeysim::failReadAt(2);
    if (p % 89 == 7)
        pfkeysim::neverFinishAfter(1);
}

void tick(int i) {
    const int p = i % kPeriod;
    if (p == 0 || p == kPeriod / 2)
        modelAt(p);
    if (p % 100 == 0)
        writeHosts((p / 100) % 2 ? "198.51.100.33" : "198.51.100.34");
    kernelAt(p);
    shell_recorder::clear();
    ipsec_checkFQDNChange();
    ipsec_refresh_status();
}

std::string shown(UINT32 id) {
    json t = mdm_fixture::tunnel(id);
    auto text = [&](const char *f) { return t[f].is_string() ? t[f].get<std::string>() : std::string("unset"); };
    return std::to_string(t["status"].is_number() ? t["status"].get<int>() : 0) + " " + text("SPI") + " " +
           text("secondSPI") + " " + text("realRemoteIP");
}

/* What the data model must show after tick i, for a few phases; empty when
 * the phase is not checked. "status SPI secondSPI realRemoteIP" per tunnel. */
std::vector<std::pair<UINT32, std::string>> expectedAt(int p) {
    switch (p) {
    case 15: /* tunnel 2 negotiating: larval SAs shown, down */
        return {{1, "1 1000 1001 203.0.113.1"}, {2, "0 200f 300f 203.0.113.2"}, {3, "1 4000 4001 198.51.100.34"}};
    case 30:
        return {{2, "1 201e 301e 203.0.113.2"}};
    case 70: /* tunnel 2's SAs gone */
        return {{2, "0 0 0 203.0.113.2"}};
    case 150: /* re-keyed twice, host name moved */
        return {{1, "1 1006 1007 203.0.113.1"}, {3, "1 4000 4001 198.51.100.33"}};
    case 301: /* tunnel 4 disabled: left as it was */
        return {{4, "0 0 0 203.0.113.4"}};
    default:
        return {};
    }
}

int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST(TickSoak, TenThousandTicksLeakNothingAndKeepReportingTheTruth) {
    mdm_fixture::reset();
    mkdir("/var/ipsec", 0755);
    snprintf(l_wan_ip, sizeof(l_wan_ip), "%s", kWan);
    current_wan_state = 1;
    const int fdsBefore = openDescriptors();
    size_t heapAt1000 = 0;
    int failedDumps = 0;
    int lonesDeleted = 0;
    testing::internal::CaptureStderr();
    for (int i = 0; i < kTicks; i++) {
        const int p = i % kPeriod;
        if (i == 1000)
            heapAt1000 = heapInUse();
        tick(i);
        if (p % 97 == 5 || p % 89 == 7)
            failedDumps++;
        for (const std::string &c : shell_recorder::commands())
            lonesDeleted += (c == "setkey -f /var/ipsec/tmp_delete.conf");
        if (i < kPeriod || i >= kTicks - kPeriod) {
            for (const auto &e : expectedAt(p)) {
                ASSERT_EQ(e.second, shown(e.first)) << "tunnel " << e.first << " after tick " << i;
            }
        }
    }
    const size_t heapAtEnd = heapInUse();
    const std::string log = testing::internal::GetCapturedStderr();
    pfkeysim::reset();

    printf("heap in use at tick 1000: %zu bytes, at tick %d: %zu bytes; descriptors before %d, after %d\n", heapAt1000,
           kTicks, heapAtEnd, fdsBefore, openDescriptors());
    EXPECT_EQ(fdsBefore, openDescriptors()) << "descriptors left open";
    EXPECT_EQ(0, pfkeysim::openSockets());
    EXPECT_LE(heapAtEnd, heapAt1000 + kHeapSlack) << "heap grew from " << heapAt1000 << " to " << heapAtEnd;
    EXPECT_EQ(failedDumps, countOf(log, "ipsec_refresh_status_read_error!"));
    /* Tunnel 5's lone outbound SA, seen in 5 of every 25 ticks of half a period. */
    EXPECT_GT(lonesDeleted, 0);
    EXPECT_EQ(std::string::npos, log.find("failed to")) << "a refused lock or write";
}

} // namespace
