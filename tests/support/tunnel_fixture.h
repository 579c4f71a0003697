/* Tunnels as the data model holds them (IPSecCfgObject entries, the field
 * names of mdm_fixture.h), for tests to lay out with mdm_fixture::writeJson.
 * Each test names only what it changes:
 *
 *   tunnel_fixture::ike({{"entryID", 2}, {"PSK", "other"}, {"DPD", nullptr}})
 *
 * `overrides` is a JSON merge patch: its fields replace or add to the
 * tunnel's, and a null field removes one. */
#ifndef TUNNEL_FIXTURE_H
#define TUNNEL_FIXTURE_H

#include <nlohmann/json.hpp>

namespace tunnel_fixture {

/* Tunnel 1 "ike", keyed by the key daemon: from 192.168.1.0/24 to the host
 * 192.0.2.77 through the gateway 192.0.2.50, pre-shared key "test-secret",
 * main mode with address identities, aes, sha1 and modp1024 in both phases
 * (8 hours, 1 hour), dead-peer detection and perfect forward secrecy on;
 * down, no SPIs yet. */
nlohmann::json ike(const nlohmann::json &overrides = nlohmann::json::object());

/* Tunnel 1 "manual", keyed by hand: from 192.168.1.0/24 to 10.2.0.0/16
 * through the gateway 203.0.113.9, aes-cbc and hmac-sha1, SPIs 1000 out and
 * 1001 in; down. */
nlohmann::json manual(const nlohmann::json &overrides = nlohmann::json::object());

} // namespace tunnel_fixture

#endif
