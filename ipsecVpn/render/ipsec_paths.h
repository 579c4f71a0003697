/*
 * The daemon's working directory and every file it writes there, each
 * spelled once. The files are rewritten whole (render/ipsec_file.h) and read
 * by the tools the daemon runs.
 */
#ifndef IPSEC_PATHS_H
#define IPSEC_PATHS_H

/* Only for building the paths below by literal concatenation. */
#define IPSEC_DIR_TEXT "/var/ipsec"

constexpr char IPSEC_DIR[] = IPSEC_DIR_TEXT;
/* The kernel's SA and policy tables, as setkey input (holds manual keys). */
constexpr char IPSEC_SETKEY_CONF[] = IPSEC_DIR_TEXT "/setkey.conf";
/* The delete lines of a negotiated tunnel's lone live SA. */
constexpr char IPSEC_TMP_DELETE_CONF[] = IPSEC_DIR_TEXT "/tmp_delete.conf";
/* The key daemon's configuration, and its pre-shared keys. */
constexpr char IPSEC_RACOON_CONF[] = IPSEC_DIR_TEXT "/racoon.conf";
constexpr char IPSEC_PSK_TXT[] = IPSEC_DIR_TEXT "/psk.txt";

#undef IPSEC_DIR_TEXT

#endif
