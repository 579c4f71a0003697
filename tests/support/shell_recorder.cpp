/* The recorder behind ipsec_runCommand for tests. */
#include "shell_recorder.h"

#include <cstdlib>

#include "proc/ipsec_shell.h"

namespace {
std::vector<std::string> g_commands;
bool g_passThrough = false;
void (*g_observer)(const std::string &) = nullptr;

int record(const char *cmd) {
    std::string text(cmd ? cmd : "");
    if (g_observer)
        g_observer(text);
    g_commands.push_back(text);
    return g_passThrough ? system(cmd) : 0;
}
} // namespace

namespace shell_recorder {
void install() {
    ipsec_setShellRunner(record);
}
std::vector<std::string> &commands() {
    return g_commands;
}
void clear() {
    g_commands.clear();
}
void setPassThrough(bool run) {
    g_passThrough = run;
}
void setObserver(void (*observer)(const std::string &cmd)) {
    g_observer = observer;
}
} // namespace shell_recorder
