/* Shell commands through system(3), or through the runner a test set. */
#include "proc/ipsec_shell.h"

#include <cstdlib>

namespace {
int (*g_runner)(const char *cmd) = nullptr;
} // namespace

int ipsec_runCommand(const char *cmd) {
    return g_runner ? g_runner(cmd) : system(cmd);
}

void ipsec_setShellRunner(int (*run)(const char *cmd)) {
    g_runner = run;
}
