/* Cost of one monitoring tick against the simulated kernel and the stand-in
 * data model, for a growing number of tunnels (the benchmarks' model: all up,
 * nothing to write), and of one host-name pass. Run it in the sandbox (it
 * writes /etc/hosts):
 *   scripts/sandbox.sh --path BUILD/bin -- BUILD/bin/monitor_bench [TICKS] */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_model.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_pfkey.h"
#include "monitor/ipsec_status.h"
#include "shell_recorder.h"

namespace {

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
    printf("%-8s %16s %16s %16s\n", "tunnels", "dump only (us)", "status tick (us)", "host names (us)");
    std::vector<PfkeySaMsg> scratch;
    for (unsigned n : {1u, 10u, 100u, 400u}) {
        bench_model::layOut(n);
        const double dump = usPerCall(ticks, [&] {
            scratch.clear();
            pfkey_dumpEsp(scratch);
        });
        const double status = usPerCall(ticks, [] { ipsec_refresh_status(); });
        if (l_ipsec_status_arr.status_arr.size() != 2 * n) {
            fprintf(stderr, "dump saw %zu SAs, expected %u\n", l_ipsec_status_arr.status_arr.size(), 2 * n);
            return 1;
        }
        bench_model::layOut(n, true);
        const double names = usPerCall(ticks, [] { ipsec_checkFQDNChange(); });
        printf("%-8u %16.1f %16.1f %16.1f\n", n, dump, status, names);
    }
    return 0;
}
