/* Running a command or a program from a test: what it printed, how it ended. */
#ifndef COMMAND_OUTPUT_H
#define COMMAND_OUTPUT_H

#include <string>
#include <vector>

namespace test_cmd {
/* Standard output of `cmd` run by /bin/sh (redirect stderr in `cmd` to keep it);
 * empty when the command cannot be started. `status` (when given) gets its
 * exit status, -1 when it did not exit normally or could not be started. */
std::string output(const std::string &cmd, int *status = nullptr);

/* The lines of `text` (each with its newline) that start with `prefix`, in
 * order: a program's own lines out of output it shares with others. */
std::string linesStartingWith(const std::string &text, const std::string &prefix);

/* A folder for scratch files: /var/tmp inside the sandbox, else $TMPDIR or /tmp. */
std::string scratchDir();

struct Run {
    int status = -1; /* exit status, -1 when it did not exit normally or did not start */
    std::string out, err;
};
/* Runs `program` with `args` without a shell and waits for it. Its argv[0] is
 * the program's base name, its environment the "K=V" entries of `env`
 * followed by this process's, less the variables named in `unset`; standard
 * output and error pass through files named after it in scratchDir(). */
Run spawn(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env = {},
          const std::vector<std::string> &unset = {});
} // namespace test_cmd

#endif
