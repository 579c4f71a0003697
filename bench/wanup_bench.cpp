/*
 * A WAN up at 1 to 1,000 tunnels: the daemon's rendering (setkey.conf with
 * its NAT exemption rules, racoon.conf and psk.txt) with the shell commands
 * recorded, and, in the same run, those very commands run through system(3)
 * as the daemon runs them: iptables on the sandbox's nat table, chmod, and
 * the setkey stand-in loading the policies into the sandbox's kernel. The
 * daemon's own share of a WAN up is render / (render + commands).
 */
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_model.h"
#include "framework/ipsec_lock.h"
#include "framework/ipsec_objcopy.h"
#include "proc/ipsec_proc.h"
#include "render/ipsec_racoon.h"
#include "render/ipsec_setkey.h"
#include "shell_recorder.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

/* The tables a WAN up fills, emptied so that every run starts alike. */
void clearKernelAndNat() {
    benchmark::DoNotOptimize(
        system("iptables -w -t nat -F POSTROUTING && ip xfrm policy flush && ip xfrm state flush"));
}

void BM_RenderSetkey(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n);
    for (auto _ : state) {
        shell_recorder::clear();
        if (ipsec_writeAllSetkey() != static_cast<int>(n))
            state.SkipWithError("setkey.conf misses tunnels");
    }
    state.SetComplexityN(n);
}

void BM_RenderRacoon(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n);
    for (auto _ : state) {
        shell_recorder::clear();
        if (ipsec_writeRacoon() != static_cast<int>(n))
            state.SkipWithError("racoon.conf misses tunnels");
    }
    state.SetComplexityN(n);
}

/* What the stand-in framework costs per lock hold: it parses mdm.json at the
 * first object call after each acquire. The racoon writer takes the lock
 * once per tunnel, so its time holds n + 1 of these; a router's framework
 * reads shared memory instead. */
void BM_StandinLockHold(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n);
    for (auto _ : state) {
        ZorLock lock("bench");
        lock.acquire("bench");
        InstanceIdStack iid = EMPTY_INSTANCE_ID_STACK;
        ZorObj<IPSecCfgObject> obj;
        benchmark::DoNotOptimize(zorObj_getNext(ZOR_OID_IPSEC_CFG, &iid, obj.out()));
    }
    state.SetComplexityN(n);
}

/* Render and commands of one WAN up, timed apart. */
void BM_WanUp(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    bench_model::layOut(n);
    double render = 0, shell = 0;
    for (auto _ : state) {
        state.PauseTiming();
        clearKernelAndNat();
        shell_recorder::clear();
        state.ResumeTiming();
        const Clock::time_point t0 = Clock::now();
        const bool ok = ipsec_writeAllSetkey() == static_cast<int>(n) && ipsec_writeRacoon() == static_cast<int>(n);
        ipsec_startIpsecFunc();
        const Clock::time_point t1 = Clock::now();
        /* Each insert's delete of an equal rule fails on the emptied table. */
        static const std::string kDelete = "iptables -t nat -D ";
        int failed = 0;
        for (const std::string &cmd : shell_recorder::commands())
            failed += system(cmd.c_str()) != 0 && cmd.compare(0, kDelete.size(), kDelete) != 0;
        const Clock::time_point t2 = Clock::now();
        if (!ok || failed)
            state.SkipWithError("a WAN up step failed");
        render += seconds(t0, t1);
        shell += seconds(t1, t2);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["render_us"] = render / runs * 1e6;
    state.counters["commands_us"] = shell / runs * 1e6;
    state.counters["commands"] = static_cast<double>(shell_recorder::commands().size());
    state.counters["daemon_share_pct"] = 100.0 * render / (render + shell);
    state.SetComplexityN(n);
}

} // namespace

BENCHMARK(BM_RenderSetkey)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN);
BENCHMARK(BM_RenderRacoon)->RangeMultiplier(10)->Range(1, 1000)->Complexity();
BENCHMARK(BM_StandinLockHold)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN);
BENCHMARK(BM_WanUp)->RangeMultiplier(10)->Range(1, 1000)->Unit(benchmark::kMillisecond)->Iterations(3);
