/* The recorder behind ipsec_runCommand for tests. */
#include "shell_recorder.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "proc/ipsec_shell.h"

namespace {
struct Scripted {
    int exitStatus;
    std::string output;
};

std::vector<std::string> g_commands;
std::map<std::string, Scripted> g_results;
bool g_passThrough = false;
void (*g_observer)(const std::string &) = nullptr;

int record(const char *cmd, char *out, size_t outSize) {
    std::string text(cmd ? cmd : "");
    if (g_observer)
        g_observer(text);
    g_commands.push_back(text);
    if (out && outSize > 0)
        out[0] = '\0';
    /* The longest scripted prefix of the command answers for it. */
    const Scripted *answer = nullptr;
    size_t matched = 0;
    for (const auto &r : g_results)
        if (r.first.size() >= matched && text.compare(0, r.first.size(), r.first) == 0) {
            answer = &r.second;
            matched = r.first.size();
        }
    if (answer) {
        if (out && outSize > 0) {
            /* The tail, as the shell's runner keeps it. */
            const std::string &o = answer->output;
            snprintf(out, outSize, "%s", o.c_str() + (o.size() >= outSize ? o.size() - (outSize - 1) : 0));
        }
        return answer->exitStatus << 8; /* a wait status, as system() gives it */
    }
    return g_passThrough ? ipsec_systemRunner(cmd, out, outSize) : 0;
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
void setResult(const std::string &prefix, int exitStatus, const std::string &output) {
    if (exitStatus < 0)
        g_results.erase(prefix);
    else
        g_results[prefix] = Scripted{exitStatus, output};
}
void clearResults() {
    g_results.clear();
}
void setObserver(void (*observer)(const std::string &cmd)) {
    g_observer = observer;
}
} // namespace shell_recorder
