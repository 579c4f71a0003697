/* Shell commands through system(3). */
#include "ipsec_shell.h"

#include <cstdlib>

int ipsec_runCommand(const char *cmd) { return system(cmd); }
