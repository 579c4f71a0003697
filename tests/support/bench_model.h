/*
 * The data model and the simulated kernel that the benchmarks, the footprint
 * driver and the steady-heap test share: N IKE tunnels, each on its own
 * gateway and remote subnet, and the kernel holding both mature SAs of every
 * tunnel with the SPIs already shown in the data model (a quiet router: a
 * tick finds everything up and writes nothing).
 */
#ifndef BENCH_MODEL_H
#define BENCH_MODEL_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pfkeysim.h"

namespace bench_model {

constexpr const char *kWanIp = "198.51.100.2";
constexpr const char *kWanIf = "wan0";

/* Tunnel `id`'s gateway (100.64.0.0/10) and remote subnet (10.0.0.0/8, /24). */
std::string gateway(unsigned id);
std::string remoteNet(unsigned id);
std::string gatewayName(unsigned id);

/* One enabled IKE tunnel with its status as a quiet tick leaves it. With
 * `hostName` the gateway is given by name (gatewayName). */
nlohmann::json tunnel(unsigned id, bool hostName = false);
/* Both SAs of tunnels 1..n, outbound then inbound, all mature. */
std::vector<pfkeysim::Sa> kernelTable(unsigned n);

/* A fresh stand-in data model with tunnels 1..n (no call trace kept: it would
 * be part of every measurement), the simulated kernel with their SAs, and the
 * WAN up on wan0 with kWanIp. With `hostNames` the sandbox's /etc/hosts maps
 * every gateway name to its address. */
void layOut(unsigned n, bool hostNames = false);

} // namespace bench_model

#endif
