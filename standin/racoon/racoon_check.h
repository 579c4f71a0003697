/* Syntax check of an IKE key daemon configuration, as far as the IPsec daemon writes it. */
#ifndef RACOON_CHECK_H
#define RACOON_CHECK_H

#include <string>

namespace racoon {

/* What a configuration that passed holds. */
struct Loaded {
    std::string pskPath; /* named by "path pre_shared_key", if any */
    int remotes = 0;     /* remote blocks */
    int sainfos = 0;     /* sainfo blocks */
    int keys = 0;        /* key lines of the pre-shared key file */
};

/* Checks the configuration text: balanced blocks, terminated statements,
 * quoted identifiers, known statements in the right blocks. Empty when it
 * passes, else "line N: what is wrong"; `loaded` receives its key file and
 * block counts. */
std::string checkConfig(const std::string &text, Loaded *loaded);

/* Checks the pre-shared key file: readable by its owner only; `keys`
 * receives the count of keys the key daemon reads in it (see the .cpp).
 * Empty when it passes. */
std::string checkPskFile(const std::string &path, int *keys);

/* The key the key daemon takes from the key file for `peer` (an address or
 * identifier): false when it finds none. */
bool pskFor(const std::string &path, const std::string &peer, std::string *key);

} // namespace racoon

#endif
