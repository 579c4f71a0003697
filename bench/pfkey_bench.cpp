/*
 * The PF_KEY walk of one dump reply (a mature SA with keys, laid out as the
 * kernel sends it) against a plain copy of the same bytes, the floor of any
 * reader that must look at every byte it is given.
 */
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "monitor/ipsec_pfkey.h"
#include "pfkeysim.h"

namespace {

constexpr UINT32 kPid = 4242;
constexpr uint8_t kSadbDump = 10;

std::vector<uint8_t> reply() {
    pfkeysim::Sa sa;
    sa.reqid = 3;
    return pfkeysim::saMessage(sa, kSadbDump, 1, kPid);
}

void BM_PfkeyParse(benchmark::State &state) {
    const std::vector<uint8_t> msg = reply();
    PfkeySaMsg sa{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(pfkey_parseDumpReply(msg.data(), msg.size(), kPid, &sa));
        benchmark::DoNotOptimize(sa);
    }
    if (!sa.hasSa || !sa.hasSrc || !sa.hasDst || !sa.hasSa2)
        state.SkipWithError("the walk missed an extension");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

void BM_PfkeyCopyFloor(benchmark::State &state) {
    const std::vector<uint8_t> msg = reply();
    std::vector<uint8_t> copy(msg.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(msg.data());
        std::memcpy(copy.data(), msg.data(), msg.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

} // namespace

BENCHMARK(BM_PfkeyParse);
BENCHMARK(BM_PfkeyCopyFloor);
