/*
 * The words the IPsec tools take from the data model: racoon.conf's exchange
 * modes, algorithms and groups, and setkey's manual algorithms with the key
 * lengths the kernel installs. Both tools refuse a whole file for one word
 * they do not know (setkey after its flush), so a tunnel holding another word
 * is skipped instead.
 */
#ifndef IPSEC_WORDS_H
#define IPSEC_WORDS_H

/* A field of racoon.conf that holds a word of the key daemon's own. */
enum IpsecRacoonWord {
    RACOON_EXCHANGE_MODE, /* ph1Mode */
    RACOON_PH1_CIPHER,    /* ph1EncryptionAlo */
    RACOON_PH1_HASH,      /* ph1IntegrityAlgo */
    RACOON_DH_GROUP,      /* ph1DHGroup, ph2DHGroup */
    RACOON_PH2_CIPHER,    /* ph2EncryptionAlo */
    RACOON_PH2_AUTH,      /* ph2IntegrityAlgo */
};

/* Null when the key daemon takes `text` (null reads as "") in the field of
 * `kind`; else why not, to follow the field's name in a log line. */
const char *ipsec_racoonWordFault(IpsecRacoonWord kind, const char *text);
/* The exchange mode racoon starts a negotiation with: the first of the list,
 * or "" when there is none. Written into `out` (at least 16 bytes). */
void ipsec_firstExchangeMode(const char *text, char *out, unsigned outSize);

/* Manual keying. Null when setkey and the kernel take the algorithm named
 * with a key of that many hexadecimal digits; else why not, for the field
 * named in `*field` ("manualEncryptionAlgo", "manualEncryptionKey", ...). The
 * texts are already known to be a plain word and hexadecimal digits. */
const char *ipsec_manualCipherFault(const char *algo, const char *key, const char **field);
const char *ipsec_manualAuthFault(const char *algo, const char *key, const char **field);
/* Null when `spi` (hexadecimal digits without "0x") is an SPI the kernel
 * takes for a manual SA: 100 to ffffffff. */
const char *ipsec_manualSpiFault(const char *spi);

#endif
