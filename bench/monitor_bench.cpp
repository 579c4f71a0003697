/* Cost of one monitoring tick against the simulated kernel and the stand-in
 * data model, for a growing number of tunnels (all up, nothing to write), and
 * of one host-name pass. Run it in the sandbox (it writes /etc/hosts):
 *   scripts/sandbox.sh --path BUILD/bin -- BUILD/bin/monitor_bench [TICKS] */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_pfkey.h"
#include "monitor/ipsec_status.h"
#include "pfkeysim.h"
#include "shell_recorder.h"
#include "test_files.h"

namespace {

const char *const kWan = "198.51.100.2";

std::string peer(unsigned id) {
    return "10." + std::to_string(id / 250) + "." + std::to_string(id % 250) + ".1";
}

/* `n` IKE tunnels, each with both SAs mature and already shown. */
void setUp(unsigned n, bool hostNames) {
    mdm_fixture::reset();
    unsetenv("ZOR_TRACE"); /* the trace file would be part of the cost */
    pfkeysim::reset();
    nlohmann::json list = nlohmann::json::array();
    std::vector<pfkeysim::Sa> kernel;
    std::string hosts = "127.0.0.1 localhost\n";
    for (unsigned id = 1; id <= n; id++) {
        char spi[16], spi2[16];
        snprintf(spi, sizeof(spi), "%x", 0x10000 + id);
        snprintf(spi2, sizeof(spi2), "%x", 0x20000 + id);
        const std::string name = "peer" + std::to_string(id) + ".example";
        list.push_back({{"entryID", id},
                        {"enable", 1},
                        {"connName", "t" + std::to_string(id)},
                        {"keyExMethod", 0},
                        {"status", 1},
                        {"remoteGWAddress", hostNames ? name : peer(id)},
                        {"realRemoteIP", peer(id)},
                        {"SPI", spi},
                        {"secondSPI", spi2}});
        hosts += peer(id) + " " + name + "\n";
        pfkeysim::Sa out, in;
        out.src = kWan;
        out.dst = peer(id);
        out.spi = 0x10000 + id;
        out.reqid = 2 * id + 1;
        in.src = peer(id);
        in.dst = kWan;
        in.spi = 0x20000 + id;
        in.reqid = 2 * id + 2;
        kernel.push_back(out);
        kernel.push_back(in);
    }
    mdm_fixture::writeJson(nlohmann::json{{"IPSecCfgObject", list}});
    pfkeysim::setTable(kernel);
    if (hostNames)
        test_files::write("/etc/hosts", hosts);
}

template <typename F> double usPerCall(int ticks, F f) {
    f(); /* warm: buffers reach their size */
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < ticks; i++)
        f();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(t1 - t0).count() / ticks;
}

} // namespace

int main(int argc, char **argv) {
    const int ticks = argc > 1 ? atoi(argv[1]) : 50;
    shell_recorder::install();
    snprintf(l_wan_ip, sizeof(l_wan_ip), "%s", kWan);
    printf("%-8s %16s %16s %16s\n", "tunnels", "dump only (us)", "status tick (us)", "host names (us)");
    std::vector<PfkeySaMsg> scratch;
    for (unsigned n : {1u, 10u, 100u, 400u}) {
        setUp(n, false);
        const double dump = usPerCall(ticks, [&] {
            scratch.clear();
            pfkey_dumpEsp(scratch);
        });
        const double status = usPerCall(ticks, [] { ipsec_refresh_status(); });
        if (l_ipsec_status_arr.status_arr.size() != 2 * n) {
            fprintf(stderr, "dump saw %zu SAs, expected %u\n", l_ipsec_status_arr.status_arr.size(), 2 * n);
            return 1;
        }
        double names = -1;
        if (getenv("IPSEC_SANDBOX")) {
            setUp(n, true);
            names = usPerCall(ticks, [] { ipsec_checkFQDNChange(); });
        }
        printf("%-8u %16.1f %16.1f %16.1f\n", n, dump, status, names);
    }
    return 0;
}
