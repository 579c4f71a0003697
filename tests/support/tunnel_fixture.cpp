/* Tunnels as the data model holds them. */
#include "tunnel_fixture.h"

using nlohmann::json;

namespace tunnel_fixture {

namespace {
json patched(json tunnel, const json &overrides) {
    tunnel.merge_patch(overrides);
    return tunnel;
}
} // namespace

json ike(const json &overrides) {
    return patched({{"entryID", 1},
                    {"enable", 1},
                    {"connName", "ike"},
                    {"realRemoteIP", "192.0.2.50"},
                    {"remoteGWAddress", "192.0.2.50"},
                    {"localIPMode", 0},
                    {"localIPAddress", "192.168.1.0"},
                    {"localMask", "255.255.255.0"},
                    {"remoteIPMode", 1},
                    {"remoteIPAddress", "192.0.2.77"},
                    {"remoteMask", "255.255.255.255"},
                    {"keyExMethod", 0},
                    {"authMethod", 0},
                    {"PSK", "test-secret"},
                    {"DPD", 1},
                    {"perfectFSEn", 1},
                    {"ph1Mode", "main"},
                    {"ph1MyIdType", "address"},
                    {"ph1PeerIdType", "address"},
                    {"ph1EncryptionAlo", "aes"},
                    {"ph1IntegrityAlgo", "sha1"},
                    {"ph1DHGroup", "modp1024"},
                    {"ph1KeyTime", 28800},
                    {"ph2EncryptionAlo", "aes"},
                    {"ph2IntegrityAlgo", "hmac_sha1"},
                    {"ph2DHGroup", "modp1024"},
                    {"ph2KeyTime", 3600},
                    {"SPI", "0"},
                    {"secondSPI", "0"},
                    {"status", 0}},
                   overrides);
}

json manual(const json &overrides) {
    return patched({{"entryID", 1},
                    {"enable", 1},
                    {"connName", "manual"},
                    {"realRemoteIP", "203.0.113.9"},
                    {"remoteGWAddress", "203.0.113.9"},
                    {"localIPMode", 0},
                    {"localIPAddress", "192.168.1.0"},
                    {"localMask", "255.255.255.0"},
                    {"remoteIPMode", 0},
                    {"remoteIPAddress", "10.2.0.0"},
                    {"remoteMask", "255.255.0.0"},
                    {"keyExMethod", 1},
                    {"manualEncryptionAlgo", "aes-cbc"},
                    {"manualEncryptionKey", "00112233445566778899aabbccddeeff"},
                    {"manualAuthAlgo", "hmac-sha1"},
                    {"manualAthKey", "0123456789abcdef0123456789abcdef01234567"},
                    {"SPI", "1000"},
                    {"secondSPI", "1001"},
                    {"status", 0}},
                   overrides);
}

} // namespace tunnel_fixture
