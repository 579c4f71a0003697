/* Data models the system tests start from. */
#ifndef SYSTEM_MODEL_H
#define SYSTEM_MODEL_H

#include <string>

#include <nlohmann/json.hpp>

#include "tunnel_fixture.h"

namespace sysmodel {

/* WAN connections on wan0, the sandbox's default-gateway interface. */
constexpr const char *CONNECTED_WAN0 = R"({"enable": 1, "connectionStatus": "Connected",
    "connectionType": "IP_Routed", "X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": "198.51.100.2"})";
constexpr const char *DISCONNECTED_WAN0 = R"({"enable": 1, "connectionStatus": "Disconnected",
    "connectionType": "IP_Routed", "X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": "198.51.100.2"})";

/* A manually keyed tunnel (1, "manual") and an IKE tunnel (2, "ike") from
 * 192.168.1.0/24, and one WAN device with the IP connection `conn`. */
inline std::string twoTunnels(const char *conn) {
    const nlohmann::json wan = {
        {"_iid", 1}, {"name", "wan"}, {"WanIpConnObject", nlohmann::json::array({nlohmann::json::parse(conn)})}};
    const nlohmann::json model = {
        {"IPSecCfgObject", nlohmann::json::array({tunnel_fixture::manual({{"_iid", 1}, {"authMethod", 0}}),
                                                  tunnel_fixture::ike({{"_iid", 2}, {"entryID", 2}})})},
        {"WanDevObject", nlohmann::json::array({wan})}};
    return model.dump(2) + "\n";
}

} // namespace sysmodel

#endif
