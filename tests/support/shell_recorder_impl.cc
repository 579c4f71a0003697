/* The recorder behind ipsec_runCommand for tests. */
#include <cstdlib>

#include "proc/ipsec_shell.h"
#include "shell_recorder.h"

namespace {
std::vector<std::string> g_commands;
bool g_passThrough = false;
void (*g_observer)(const std::string &) = nullptr;
} // namespace

namespace shell_recorder {
std::vector<std::string> &commands() { return g_commands; }
void clear() { g_commands.clear(); }
void setPassThrough(bool run) { g_passThrough = run; }
void setObserver(void (*observer)(const std::string &cmd)) { g_observer = observer; }
} // namespace shell_recorder

int ipsec_runCommand(const char *cmd) {
    std::string text(cmd ? cmd : "");
    if (g_observer)
        g_observer(text);
    g_commands.push_back(text);
    return g_passThrough ? system(cmd) : 0;
}
