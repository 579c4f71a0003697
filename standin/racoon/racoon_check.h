/* Syntax check of an IKE key daemon configuration, as far as the IPsec daemon writes it. */
#ifndef RACOON_CHECK_H
#define RACOON_CHECK_H

#include <string>

namespace racoon {

/* Checks the configuration text: balanced blocks, terminated statements,
 * quoted identifiers, known statements in the right blocks. Empty when it
 * passes, else "line N: what is wrong". `pskPath` receives the pre-shared key
 * file named by "path pre_shared_key", if any. */
std::string checkConfig(const std::string &text, std::string *pskPath);

/* Checks the pre-shared key file: readable by its owner only, and every line
 * an identifier and a key. Empty when it passes. */
std::string checkPskFile(const std::string &path);

} // namespace racoon

#endif
