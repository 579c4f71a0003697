/*
 * The setkey statement language, as far as the IPsec daemon writes it,
 * translated into iproute2 `ip xfrm` commands.
 */
#ifndef SETKEY_TRANSLATE_H
#define SETKEY_TRANSLATE_H

#include <string>
#include <vector>

namespace setkey {

/* One run of `ip`, arguments after the program name. */
struct IpCommand {
    std::vector<std::string> args;
    /* A failure of this command does not fail its statement (deleting the
     * forward policy that goes with an inbound one). */
    bool bestEffort = false;
};

/* One statement of a file, without its ';'. */
struct Statement {
    int line = 0;     /* where the statement starts, from 1 */
    std::string text; /* the statement's text, comments removed */
};

/* Splits a file into statements. Text after the last ';' that is not blank is
 * returned in `rest` with its line in `restLine`. */
std::vector<Statement> splitStatements(const std::string &file, std::string *rest, int *restLine);

/* Result of translating one statement. */
struct Translation {
    bool ok = false;
    std::string error;   /* why it cannot be applied, when !ok */
    std::string summary; /* the statement without its keys, for messages */
    std::vector<IpCommand> commands;
};

Translation translate(const std::string &statement);

/* The largest request id the kernel keeps in a policy loaded over PF_KEY. */
const unsigned MAX_MANUAL_REQID = 0x3fff;
/* The word a policy's "reqid" gets where the kernel makes up the id (a
 * unique level without a number, with 0 or above MAX_MANUAL_REQID); see
 * assignAutoReqids. */
const char *const AUTO_REQID = "auto";

/* Gives every AUTO_REQID of the policies the smallest id above
 * MAX_MANUAL_REQID that no policy holds: neither one of `inUse` (the
 * kernel's policies) nor one of the commands'. */
void assignAutoReqids(std::vector<IpCommand *> &commands, std::vector<unsigned> inUse);

/* A command line for display: `ip` and its arguments, quoted for a POSIX
 * shell where needed. */
std::string displayCommand(const IpCommand &cmd);

} // namespace setkey

#endif
