/* Definitions of the daemon's process-wide WAN state. */
#include "core/ipsec_state.h"

#include "render/ipsec_addr.h"

static_assert(sizeof(IPSEC_NO_ADDRESS) == 8, "the initializer of l_wan_ip spells out every character");

void *msgHandle = nullptr;
SINT32 current_wan_state = 0;
/* The WAN is down until a WAN up is handled. */
char l_wan_ip[IPSEC_ADDR_LEN] = {IPSEC_NO_ADDRESS[0], IPSEC_NO_ADDRESS[1], IPSEC_NO_ADDRESS[2], IPSEC_NO_ADDRESS[3],
                                 IPSEC_NO_ADDRESS[4], IPSEC_NO_ADDRESS[5], IPSEC_NO_ADDRESS[6]};
char default_ifName[IPSEC_ADDR_LEN] = "";
char old_default_ifName[IPSEC_ADDR_LEN] = "";
bool firstWanUp = true;
bool fullRewriteDue = false;
