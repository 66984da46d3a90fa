/* The package container: written by pkgtool, read by the launcher.
 *
 *   element 0  launcher executable          size[0]
 *   element 1  unzip utility                size[1]
 *   element 2  global info record           size[2] (8)
 *   element 3  command table                size[3] (count x 400)
 *   element 4  image zip, or an image pair  size[4]
 *   directory                               548 bytes
 *   end marker 0xFF                         1 byte
 *
 * All integers are 32-bit little-endian.  Element i starts at the sum of
 * size[0..i-1]; every size and every such sum stays below 2^31. */
#ifndef COMMON_PKGLAYOUT_H
#define COMMON_PKGLAYOUT_H

#include <stdint.h>
#include <string.h>

enum {
    PKG_ELEMENT_COUNT = 5,
    PKG_ELEM_LAUNCHER = 0,
    PKG_ELEM_UNZIP = 1,
    PKG_ELEM_GLOBAL_INFO = 2,
    PKG_ELEM_COMMANDS = 3,
    PKG_ELEM_IMAGE = 4,

    /* Directory: 137 int32 entries. */
    PKG_DIR_SIZE = 548,
    PKG_DIR_ENTRIES = PKG_DIR_SIZE / 4,
    PKG_DIR_FIRST_IMAGE_ENTRY = 70,   /* byte offset 280 */
    PKG_DIR_SECOND_IMAGE_ENTRY = 136, /* byte offset 544 */
    PKG_END_MARKER = 0xFF,
    PKG_TRAILER_SIZE = PKG_DIR_SIZE + 1, /* directory and end marker */

    /* Global info record (element 2). */
    PKG_GLOBAL_INFO_SIZE = 8,
    PKG_GI_COUNT_OFFSET = 0,
    PKG_GI_STRICT_OFFSET = 4,

    /* Command record (one entry of element 3). */
    PKG_RECORD_SIZE = 400,
    PKG_REC_DIST_OFFSET = 0,
    PKG_REC_RELEASE_OFFSET = 4,
    PKG_REC_ARCH_OFFSET = 8,
    PKG_REC_COMMAND_OFFSET = 12,
    PKG_REC_COMMAND_SIZE = 128,
    PKG_REC_ARGS_OFFSET = 140,
    PKG_REC_ARGS_SIZE = 256,
    PKG_REC_MODE_OFFSET = 396,

    /* Distribution codes (0: not determined). */
    PKG_DIST_WINDOWS = 1,
    PKG_DIST_SUSE = 2,
    PKG_DIST_REDHAT = 3,
    PKG_DIST_NOVELL = 4,
    PKG_DIST_DEBIAN = 5,
    PKG_DIST_UBUNTU = 6,
    PKG_DIST_MAX = PKG_DIST_UBUNTU, /* the codes run from 1 to here */

    /* Architecture codes (0: not determined). */
    PKG_ARCH_X86 = 1,
    PKG_ARCH_X86_64 = 2,
    PKG_ARCH_PPC = 3,
    PKG_ARCH_ARM64 = 4,
    PKG_ARCH_IBMZ = 5,
    PKG_ARCH_MAX = PKG_ARCH_IBMZ
};

/* File positions travel as signed 32-bit values. */
#define PKG_MAX_OFFSET 0x7FFFFFFFLL

/* The one rule for an image pair, the launcher's and pkgtool's: element 4
 * (imageSize bytes) holds two archives back to back exactly when both image
 * sizes are positive and add up to it.  A negative size never makes a pair,
 * so each half lies inside element 4.  Result: 1 a pair, 0 one image. */
static inline int pkgIsImagePair(int32_t imageSize, int32_t first, int32_t second)
{
    return first > 0 && second > 0 && (int64_t)first + second == imageSize;
}

/* Little-endian int32 at p (no alignment needed). */
static inline int32_t pkgGetI32(const unsigned char *p)
{
    uint32_t v = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                 ((uint32_t)p[3] << 24);
    int32_t r;
    memcpy(&r, &v, sizeof r);
    return r;
}

static inline void pkgPutI32(unsigned char *p, int32_t value)
{
    uint32_t v;
    memcpy(&v, &value, sizeof v);
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* The directory's 548 bytes as its 137 entries, whatever the host's byte
 * order. */
static inline void pkgDecodeDirectory(const unsigned char *bytes, int32_t *entries)
{
    for (int i = 0; i < PKG_DIR_ENTRIES; i++)
        entries[i] = pkgGetI32(bytes + 4 * i);
}

/* Names of the codes, as the launcher shows them to users and pkgtool in
 * its listings; any other value, 0 included, is "Unknown". */
static inline const char *pkgDistributionName(int32_t code)
{
    switch (code) {
    case PKG_DIST_WINDOWS: return "Windows";
    case PKG_DIST_SUSE: return "SuSE";
    case PKG_DIST_REDHAT: return "Red Hat";
    case PKG_DIST_NOVELL: return "Novell Linux Desktop";
    case PKG_DIST_DEBIAN: return "Debian";
    case PKG_DIST_UBUNTU: return "Ubuntu";
    default: return "Unknown";
    }
}

static inline const char *pkgArchitectureName(int32_t code)
{
    switch (code) {
    case PKG_ARCH_X86: return "x86";
    case PKG_ARCH_X86_64: return "x86-64";
    case PKG_ARCH_PPC: return "PPC";
    case PKG_ARCH_ARM64: return "ARM64";
    case PKG_ARCH_IBMZ: return "IBM Z";
    default: return "Unknown";
    }
}

#endif
