/* SHA-256 for the upload's checksum file: libsodium's own code (its portable
 * implementation, compiled from the library's source into the OS-services
 * layer; see cmake/sodium.cmake), so that a tool built on the layer needs
 * no libsodium on the hosts it runs on.  The code is compiled under names of
 * the layer's own, so that a tool that links libsodium as well meets no
 * clash.  Included by that source (-include) and by the upload. */
#ifndef OS_SODIUM_SHA256_H
#define OS_SODIUM_SHA256_H

#define crypto_hash_sha256 trell_crypto_hash_sha256
#define crypto_hash_sha256_init trell_crypto_hash_sha256_init
#define crypto_hash_sha256_update trell_crypto_hash_sha256_update
#define crypto_hash_sha256_final trell_crypto_hash_sha256_final
#define sodium_memzero trell_sodium_memzero

#include "crypto_hash_sha256.h"

#endif
