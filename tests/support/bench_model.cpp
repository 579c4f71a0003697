/* The shared benchmark model: tunnels in the stand-in data model and their SAs
 * in the simulated kernel. */
#include "bench_model.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mdm_fixture.h"
#include "test_files.h"
#include "tunnel_fixture.h"
#include "wan_state.h"

namespace bench_model {

namespace {

std::string dotted(unsigned a, unsigned b, unsigned c, unsigned d) {
    return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

std::string hex(unsigned v) {
    char s[16];
    snprintf(s, sizeof(s), "%x", v);
    return s;
}

unsigned outSpi(unsigned id) {
    return 0x10000u + id;
}
unsigned inSpi(unsigned id) {
    return 0x20000u + id;
}

} // namespace

std::string gateway(unsigned id) {
    return dotted(100, 64 + id / 65536, (id / 256) % 256, id % 256);
}

std::string remoteNet(unsigned id) {
    return dotted(10, id / 256, id % 256, 0);
}

std::string gatewayName(unsigned id) {
    return "gw" + std::to_string(id) + ".example";
}

nlohmann::json tunnel(unsigned id, bool hostName) {
    return tunnel_fixture::ike({{"entryID", id},
                                {"connName", "branch" + std::to_string(id)},
                                {"status", 1},
                                {"remoteGWAddress", hostName ? gatewayName(id) : gateway(id)},
                                {"realRemoteIP", gateway(id)},
                                {"SPI", hex(outSpi(id))},
                                {"secondSPI", hex(inSpi(id))},
                                {"remoteIPMode", 0},
                                {"remoteIPAddress", remoteNet(id)},
                                {"remoteMask", "255.255.255.0"},
                                {"PSK", "key-" + std::to_string(id)}});
}

std::vector<pfkeysim::Sa> kernelTable(unsigned n) {
    std::vector<pfkeysim::Sa> sas;
    sas.reserve(2 * n);
    for (unsigned id = 1; id <= n; id++) {
        sas.push_back(pfkeysim::sa(kWanIp, gateway(id).c_str(), outSpi(id), 2 * id + 1));
        sas.push_back(pfkeysim::sa(gateway(id).c_str(), kWanIp, inSpi(id), 2 * id + 2));
    }
    return sas;
}

void layOut(unsigned n, bool hostNames) {
    /* Never on the host: this writes /etc/hosts, /var/ipsec and the nat table. */
    const char *sandbox = getenv("IPSEC_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0) {
        fprintf(stderr, "bench_model: not in the sandbox (scripts/sandbox.sh), refusing to touch this machine\n");
        abort();
    }
    mdm_fixture::reset();
    unsetenv("ZOR_TRACE");
    nlohmann::json list = nlohmann::json::array();
    std::string hosts = "127.0.0.1 localhost\n";
    for (unsigned id = 1; id <= n; id++) {
        list.push_back(tunnel(id, hostNames));
        hosts += gateway(id) + " " + gatewayName(id) + "\n";
    }
    mdm_fixture::writeJson(nlohmann::json{{"IPSecCfgObject", list}});
    pfkeysim::reset();
    pfkeysim::setTable(kernelTable(n));
    if (hostNames)
        test_files::write("/etc/hosts", hosts);
    mkdir("/var/ipsec", 0755); /* the daemon makes it at start */
    wan_state::up(kWanIp, kWanIf);
}

} // namespace bench_model
