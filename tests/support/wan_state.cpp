/* The daemon's WAN state for tests. */
#include "wan_state.h"

#include <cstdio>

#include "core/ipsec_state.h"

namespace wan_state {

void up(const char *ip, const char *ifName) {
    current_wan_state = 1;
    snprintf(l_wan_ip, sizeof(l_wan_ip), "%s", ip);
    snprintf(default_ifName, sizeof(default_ifName), "%s", ifName);
    old_default_ifName[0] = '\0';
    fullRewriteDue = false;
}

void down() {
    current_wan_state = 0;
    snprintf(l_wan_ip, sizeof(l_wan_ip), "0.0.0.0");
    default_ifName[0] = '\0';
    old_default_ifName[0] = '\0';
}

} // namespace wan_state
