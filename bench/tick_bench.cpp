/*
 * One monitoring tick at 1 to 1,000 tunnels (2 to 2,000 SAs) against the
 * simulated kernel: host names checked (none configured) and the SA dump with
 * its reconciliation, everything up and already shown. Complexity is fitted
 * against tunnels plus SAs. The dump alone is the kernel's part; with host
 * names, each tunnel's name resolves through the sandbox's /etc/hosts.
 */
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_model.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_pfkey.h"
#include "monitor/ipsec_status.h"

namespace {

void BM_MonitorTick(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n);
    for (auto _ : state) {
        ipsec_checkFQDNChange();
        ipsec_refresh_status();
    }
    if (l_ipsec_status_arr.status_arr.size() != 2 * n)
        state.SkipWithError("the dump missed SAs");
    state.SetComplexityN(3 * n);
}

void BM_KernelDump(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n);
    std::vector<PfkeySaMsg> msgs;
    msgs.reserve(2 * n);
    for (auto _ : state) {
        msgs.clear();
        if (pfkey_dumpEsp(msgs) != PFKEY_DUMP_COMPLETE)
            state.SkipWithError("dump failed");
    }
    state.SetComplexityN(2 * n);
}

void BM_HostNameTick(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n, true);
    for (auto _ : state)
        ipsec_checkFQDNChange();
    if (l_ipsec_fqdn_arr.fqdn_count != static_cast<int>(n) || l_ipsec_fqdn_arr.isChanged)
        state.SkipWithError("host names not all resolved to their addresses");
    state.SetComplexityN(n);
}

} // namespace

BENCHMARK(BM_MonitorTick)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN);
BENCHMARK(BM_KernelDump)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN);
BENCHMARK(BM_HostNameTick)->RangeMultiplier(10)->Range(1, 1000)->Complexity();
