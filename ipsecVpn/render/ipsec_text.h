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
/* Four decimal octets of 0 to 255 without leading zeros, by dots: a plain
 * shell word, and one address to every parser. */
bool ipsec_isDottedQuad(const char *s);
/* Hexadecimal digits only, at most `maxLen` of them; empty (or null) is
 * accepted, for fields written as "0x" followed by nothing. */
bool ipsec_isHex(const char *s, size_t maxLen);
/* A plain word: 1 to 63 of [A-Za-z0-9_-], as algorithm names are. */
bool ipsec_isWord(const char *s);
/* No control character and none of the characters in `forbidden`.
 * A null text is treated as empty and is safe. */
bool ipsec_isSafeText(const char *s, const char *forbidden);

/* What ends a setkey statement (';') or hides the rest of its line ('#'). */
constexpr const char *IPSEC_SETKEY_FORBIDDEN = ";#";
/* What may not appear in a racoon.conf field (and in psk.txt identifiers). */
constexpr const char *IPSEC_RACOON_FORBIDDEN = ";\"{}";

#endif
