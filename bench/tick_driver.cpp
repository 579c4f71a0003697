/*
 * The daemon driven in-process for the footprint report: a WAN up with N
 * tunnels (default 20) through the real shell, then T monitoring ticks
 * (default 1,000) back to back instead of 15 seconds apart. Every tunnel
 * names its gateway by host name (resolved through the sandbox's /etc/hosts),
 * and every 50 ticks the kernel's SAs are re-keyed so that the tick writes
 * new SPIs into the data model.
 *
 * Prints resident memory (VmRSS, VmHWM) and the heap in use at ticks 1, 100
 * and T. Run it in the sandbox with the build's tools first on PATH:
 *   scripts/sandbox.sh --path BUILD/bin -- BUILD/bin/ipsec_tick_driver [N] [T]
 */
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_model.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_status.h"
#include "proc/ipsec_proc.h"
#include "render/ipsec_racoon.h"
#include "render/ipsec_setkey.h"

namespace {

/* A /proc/self/status field in kB, -1 when absent. */
long statusKb(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    const size_t len = strlen(field);
    while (fgets(line, sizeof(line), f))
        if (strncmp(line, field, len) == 0 && line[len] == ':')
            kb = strtol(line + len + 1, nullptr, 10);
    fclose(f);
    return kb;
}

void report(const char *when, unsigned tick) {
    const struct mallinfo2 mi = mallinfo2();
    printf("%s %u: VmRSS %ld kB, VmHWM %ld kB, heap in use %zu bytes\n", when, tick, statusKb("VmRSS"),
           statusKb("VmHWM"), mi.uordblks);
    fflush(stdout);
}

/* The kernel's SAs with every SPI moved by `generation`. */
std::vector<pfkeysim::Sa> rekeyed(unsigned n, unsigned generation) {
    std::vector<pfkeysim::Sa> sas = bench_model::kernelTable(n);
    for (pfkeysim::Sa &sa : sas)
        sa.spi += generation << 20;
    return sas;
}

} // namespace

int main(int argc, char **argv) {
    if (!getenv("IPSEC_SANDBOX")) {
        fprintf(stderr, "ipsec_tick_driver runs only in the sandbox (scripts/sandbox.sh)\n");
        return 2;
    }
    const unsigned n = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 20;
    const unsigned ticks = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 1000;
    bench_model::layOut(n, true);
    if (ipsec_writeAllSetkey() != static_cast<int>(n) || ipsec_writeRacoon() != static_cast<int>(n)) {
        fprintf(stderr, "WAN up: a tunnel was not written\n");
        return 1;
    }
    ipsec_startIpsecFunc();
    report("after WAN up, tick", 0);
    std::vector<pfkeysim::Sa> table = bench_model::kernelTable(n);
    for (unsigned t = 1; t <= ticks; t++) {
        if (t % 50 == 0)
            table = rekeyed(n, t / 50);
        /* The simulated kernel logs every request it gets: start it afresh so
         * that its log is not counted as the daemon's heap. */
        pfkeysim::reset();
        pfkeysim::setTable(table);
        ipsec_checkFQDNChange();
        ipsec_refresh_status();
        if (t == 1 || t == 100 || t == ticks)
            report("tick", t);
    }
    return 0;
}
