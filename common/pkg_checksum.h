/* The package record's checksums, which the launcher checks before it
 * runs anything: the first 4 bytes, little-endian, of a part's BLAKE2b
 * with a 16-byte output.  One definition for pkgtool and the launcher. */
#ifndef COMMON_PKG_CHECKSUM_H
#define COMMON_PKG_CHECKSUM_H

#include <sodium/crypto_generichash_blake2b.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "pkglayout.h"

typedef crypto_generichash_blake2b_state PkgChecksumState;

static inline void pkgChecksumInit(PkgChecksumState *state)
{
    crypto_generichash_blake2b_init(state, NULL, 0, PKG_REC_CHECKSUM_HASH_SIZE);
}

static inline void pkgChecksumUpdate(PkgChecksumState *state, const void *data, size_t size)
{
    crypto_generichash_blake2b_update(state, (const unsigned char *)data, size);
}

static inline uint32_t pkgChecksumFinal(PkgChecksumState *state)
{
    unsigned char hash[PKG_REC_CHECKSUM_HASH_SIZE];
    crypto_generichash_blake2b_final(state, hash, sizeof hash);
    return pkgGetU32(hash);
}

/* The checksum of a directory (548 bytes), with the checksums' own 16
 * bytes taken as zeros. */
static inline uint32_t pkgDirectoryChecksum(const unsigned char *directory)
{
    unsigned char copy[PKG_DIR_SIZE];
    memcpy(copy, directory, sizeof copy);
    memset(copy + PKG_REC_AREA_OFFSET + PKG_REC_CHECKSUM_OFFSET, 0, 4 * PKG_REC_CHECKSUM_COUNT);
    PkgChecksumState state;
    pkgChecksumInit(&state);
    pkgChecksumUpdate(&state, copy, sizeof copy);
    return pkgChecksumFinal(&state);
}

/* The checksum a record (in a directory of state 1) holds for part i: 0,
 * 1, 2 for elements 1, 2, 3; 3 for the directory. */
static inline uint32_t pkgRecordChecksum(const unsigned char *directory, int i)
{
    return pkgGetU32(directory + PKG_REC_AREA_OFFSET + PKG_REC_CHECKSUM_OFFSET + 4 * i);
}

#endif
