/* Data models the system tests start from. */
#ifndef SYSTEM_MODEL_H
#define SYSTEM_MODEL_H

#include <string>

namespace sysmodel {

/* WAN connections on wan0, the sandbox's default-gateway interface. */
constexpr const char *CONNECTED_WAN0 = R"({"enable": 1, "connectionStatus": "Connected",
    "connectionType": "IP_Routed", "X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": "198.51.100.2"})";
constexpr const char *DISCONNECTED_WAN0 = R"({"enable": 1, "connectionStatus": "Disconnected",
    "connectionType": "IP_Routed", "X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": "198.51.100.2"})";

/* A manually keyed tunnel (1, "manual") and an IKE tunnel (2, "ike") from
 * 192.168.1.0/24, and one WAN device with the IP connection `conn`. */
inline std::string twoTunnels(const char *conn) {
    return std::string(R"({"IPSecCfgObject": [
 {"_iid": 1, "entryID": 1, "enable": 1, "connName": "manual", "realRemoteIP": "203.0.113.9",
  "remoteGWAddress": "203.0.113.9", "localIPMode": 0, "localIPAddress": "192.168.1.0", "localMask": "255.255.255.0",
  "remoteIPMode": 0, "remoteIPAddress": "10.2.0.0", "remoteMask": "255.255.0.0", "keyExMethod": 1, "authMethod": 0,
  "manualEncryptionAlgo": "aes-cbc", "manualEncryptionKey": "00112233445566778899aabbccddeeff",
  "manualAuthAlgo": "hmac-sha1", "manualAthKey": "0123456789abcdef0123456789abcdef01234567",
  "SPI": "1000", "secondSPI": "1001", "status": 0},
 {"_iid": 2, "entryID": 2, "enable": 1, "connName": "ike", "realRemoteIP": "192.0.2.50",
  "remoteGWAddress": "192.0.2.50", "localIPMode": 0, "localIPAddress": "192.168.1.0", "localMask": "255.255.255.0",
  "remoteIPMode": 1, "remoteIPAddress": "192.0.2.77", "remoteMask": "255.255.255.255", "keyExMethod": 0,
  "authMethod": 0, "PSK": "test-secret", "DPD": 1, "perfectFSEn": 1, "ph1Mode": "main",
  "ph1MyIdType": "address", "ph1PeerIdType": "address", "ph1EncryptionAlo": "aes", "ph1IntegrityAlgo": "sha1",
  "ph1DHGroup": "modp1024", "ph1KeyTime": 28800, "ph2EncryptionAlo": "aes", "ph2IntegrityAlgo": "hmac_sha1",
  "ph2DHGroup": "modp1024", "ph2KeyTime": 3600, "SPI": "0", "secondSPI": "0", "status": 0}],
 "WanDevObject": [{"_iid": 1, "name": "wan", "WanIpConnObject": [)") +
           conn + "]}]}\n";
}

} // namespace sysmodel

#endif
