/* Running a command from a test. */
#include "command_output.h"

#include <cstdio>

namespace test_cmd {

std::string output(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

} // namespace test_cmd
