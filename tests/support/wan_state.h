/* The daemon's WAN state (core/ipsec_state.h) set directly, as a WAN-up or
 * WAN-down message leaves it, for tests that call the renderers, monitors or
 * dispatch without sending one. */
#ifndef WAN_STATE_H
#define WAN_STATE_H

namespace wan_state {
/* Up on `ifName` with address `ip` (default: the sandbox's wan0 and its
 * address), no previous interface, no full rewrite due. */
void up(const char *ip = "198.51.100.2", const char *ifName = "wan0");
/* Down: address 0.0.0.0, no interface, no previous interface. */
void down();
} // namespace wan_state

#endif
