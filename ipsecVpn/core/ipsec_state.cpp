/* Definitions of the daemon's process-wide WAN state. */
#include "core/ipsec_state.h"

void *msgHandle = nullptr;
SINT32 current_wan_state = 0;
char l_wan_ip[IPSEC_ADDR_LEN] = "0.0.0.0";
char default_ifName[IPSEC_ADDR_LEN] = "";
char old_default_ifName[IPSEC_ADDR_LEN] = "";
bool firstWanUp = true;
bool fullRewriteDue = false;
