/* What libsodium's configure would decide for the parts of it that the
 * static launchers compile: 128-bit multiplication wherever the compiler
 * has it (every 64-bit target), for the field arithmetic in five 51-bit
 * limbs, smaller and faster there than ten 25.5-bit ones. */
#ifndef COMMON_SODIUM_CONFIG_H
#define COMMON_SODIUM_CONFIG_H

#if defined(__SIZEOF_INT128__)
#define HAVE_TI_MODE 1
#endif

#endif
