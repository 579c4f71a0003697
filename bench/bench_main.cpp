/* The benchmarks write /var/ipsec, the data model under /var/run and the nat
 * table: they run only inside the test sandbox. The daemon's shell commands go
 * to the recorder. */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell_recorder.h"

int main(int argc, char **argv) {
    const char *inSandbox = getenv("IPSEC_SANDBOX");
    if (!inSandbox || strcmp(inSandbox, "1") != 0) {
        fprintf(stderr, "ipsec_bench writes /var/ipsec and the nat table: run it in the sandbox,\n"
                        "  scripts/sandbox.sh --path BUILD/bin -- BUILD/bin/ipsec_bench [options]\n");
        return 2;
    }
    shell_recorder::install();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
