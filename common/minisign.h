/* minisign's formats, as far as packages use them: a public key file (an
 * untrusted comment line, then base64 of "Ed", the key ID and the Ed25519
 * public key) and the key ID as minisign shows it (the 8 bytes read as a
 * little-endian number, in upper-case hex without leading zeros).  For the
 * launcher and pkgtool. */
#ifndef COMMON_MINISIGN_H
#define COMMON_MINISIGN_H

#include <sodium/utils.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

enum {
    MINISIGN_KEY_ID_SIZE = 8,
    MINISIGN_PUBLIC_KEY_SIZE = 32,
    MINISIGN_PUBLIC_BLOB_SIZE = 2 + MINISIGN_KEY_ID_SIZE + MINISIGN_PUBLIC_KEY_SIZE, /* 42 */
    MINISIGN_KEY_ID_TEXT_SIZE = 17
};

typedef struct MinisignPublicKey {
    unsigned char keyId[MINISIGN_KEY_ID_SIZE];
    unsigned char key[MINISIGN_PUBLIC_KEY_SIZE];
} MinisignPublicKey;

/* Reads a public key from the text of a key file (size bytes, not
 * necessarily terminated).  Result: 0, or -1 when it is no minisign public
 * key. */
static inline int minisignParsePublicKey(const char *text, size_t size, MinisignPublicKey *out)
{
    const char *nl = (const char *)memchr(text, '\n', size);
    if (nl == NULL || strncmp(text, "untrusted comment:", 18) != 0)
        return -1;
    const char *line = nl + 1;
    size_t left = size - (size_t)(line - text);
    size_t len = 0;
    while (len < left && line[len] != '\n' && line[len] != '\r')
        len++;
    unsigned char blob[MINISIGN_PUBLIC_BLOB_SIZE];
    size_t got = 0;
    const char *end = NULL;
    if (sodium_base642bin(blob, sizeof blob, line, len, NULL, &got, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != line + len || got != sizeof blob || blob[0] != 'E' || blob[1] != 'd')
        return -1;
    memcpy(out->keyId, blob + 2, MINISIGN_KEY_ID_SIZE);
    memcpy(out->key, blob + 2 + MINISIGN_KEY_ID_SIZE, MINISIGN_PUBLIC_KEY_SIZE);
    return 0;
}

/* The key ID as minisign shows it, into 17 bytes. */
static inline void minisignKeyIdText(const unsigned char *keyId, char *out)
{
    uint64_t v = 0;
    for (int i = MINISIGN_KEY_ID_SIZE - 1; i >= 0; i--)
        v = (v << 8) | keyId[i];
    snprintf(out, MINISIGN_KEY_ID_TEXT_SIZE, "%llX", (unsigned long long)v);
}

#endif
