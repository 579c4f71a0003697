/* Running a command from a test: what it printed. */
#ifndef COMMAND_OUTPUT_H
#define COMMAND_OUTPUT_H

#include <string>

namespace test_cmd {
/* Standard output of `cmd` run by /bin/sh (redirect stderr in `cmd` to keep it);
 * empty when the command cannot be started. */
std::string output(const std::string &cmd);
} // namespace test_cmd

#endif
