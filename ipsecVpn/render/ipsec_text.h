/*
 * Checks on data-model and message texts before they reach a shell command or
 * a configuration file: a text that could end a statement or start another
 * one is refused, never quoted or repaired.
 */
#ifndef IPSEC_TEXT_H
#define IPSEC_TEXT_H

#include <cstddef>

/* A plain interface name: 1 to 15 of [A-Za-z0-9_.-], not "." or "..". */
bool ipsec_isIfName(const char *s);
/* Hexadecimal digits only, at most `maxLen` of them; empty (or null) is
 * accepted, for fields written as "0x" followed by nothing. */
bool ipsec_isHex(const char *s, size_t maxLen);
/* A plain word: 1 to 63 of [A-Za-z0-9_-], as algorithm names are. */
bool ipsec_isWord(const char *s);
/* A host name: 1 to 253 characters, labels of 1 to 63 of [A-Za-z0-9-]
 * between single dots, none beginning or ending with '-'. */
bool ipsec_isHostName(const char *s);
/* No control character and none of the characters in `forbidden`.
 * A null text is treated as empty and is safe. */
bool ipsec_isSafeText(const char *s, const char *forbidden);

/* What may not appear in a racoon.conf field: the statement characters, and
 * '#', which outside quoted strings starts a comment that would swallow the
 * statement's ';'. */
constexpr const char *IPSEC_RACOON_FORBIDDEN = ";\"{}#";
/* A psk.txt identifier ends at its first blank: a blank would shift the key. */
constexpr const char *IPSEC_PSK_ID_FORBIDDEN = ";\"{}# ";

#endif
