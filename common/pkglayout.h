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

/* The architecture codes (PKG_ARCH_*) and what else is known of each
 * architecture: generated from common/architectures.txt. */
#include "trell_architectures.h"

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

    /* Distribution codes. */
    PKG_DIST_UNKNOWN = 0, /* not determined; no record names it */
    PKG_DIST_WINDOWS = 1,
    PKG_DIST_SUSE = 2,
    PKG_DIST_REDHAT = 3,
    PKG_DIST_NOVELL = 4,
    PKG_DIST_DEBIAN = 5,
    PKG_DIST_UBUNTU = 6,
    PKG_DIST_MAX = PKG_DIST_UBUNTU /* the codes run from 1 to here */
};

/* The package record: what pkgtool knows of a package when it builds it,
 * kept in the directory's first reserved area (bytes 20 to 279), which
 * launchers that do not know it never read.  Older packages hold zeros
 * there.  Fields are only ever appended, and the size says how many bytes
 * the record uses; a change of meaning would take a new magic.
 *
 *   0    magic "TPKR"
 *   4    uint16 version (1), uint16 size of the record in bytes
 *   8    image slot 0: uint64 unpacked bytes, uint32 entries, uint32 archive bytes
 *   24   image slot 1: the same, for the second archive of an image pair
 *   40   SHA-256 of elements 0 to 4, 32 bytes each
 *   200  checksums for the launcher, uint32 each: of element 1, element 2,
 *        element 3, and of the whole directory with these 16 bytes taken
 *        as zeros.  A checksum is the first 4 bytes (little-endian) of the
 *        part's BLAKE2b with a 16-byte output.
 *   216  (records of 232 bytes on) two more checksums for the launcher: of
 *        element 0, and of element 4's zip directories: the last bytes of
 *        each archive (the only one, or the two of an image pair in order)
 *        from its central directory on, end records included;
 *   224  uint32 each: how many bytes that is of the first (or only)
 *        archive, and of the second (0 for one image).
 *
 * A single image fills slot 0 and leaves slot 1 zero; an image pair fills
 * slot 0 with its first archive and slot 1 with its second. */
enum {
    PKG_REC_AREA_OFFSET = 20, /* byte offset in the directory */
    PKG_REC_AREA_SIZE = 260,
    PKG_REC_VERSION = 1,
    PKG_REC_HEADER_SIZE = 8,
    PKG_REC_IMAGE_OFFSET = 8,
    PKG_REC_IMAGE_SLOT_SIZE = 16,
    PKG_REC_IMAGE_SLOTS = 2,
    PKG_REC_DIGEST_OFFSET = 40,
    PKG_REC_DIGEST_SIZE = 32,
    PKG_REC_CHECKSUM_OFFSET = 200,
    PKG_REC_CHECKSUM_COUNT = 4, /* elements 1, 2, 3 and the directory */
    PKG_REC_CHECKSUM_HASH_SIZE = 16,
    PKG_REC_V1_SIZE = 216,
    PKG_REC_LAUNCHER_CHECKSUM_OFFSET = 216,
    PKG_REC_ZIPDIR_CHECKSUM_OFFSET = 220,
    PKG_REC_ZIPDIR_SIZE_OFFSET = 224, /* a uint32 per image slot */
    PKG_REC_ZIPDIR_SIZE = 232         /* the size of records that carry the three */
};
#define PKG_REC_MAGIC "TPKR"

/* The signature slot.  A signed package goes on behind its end marker:
 * 0 to 7 zero bytes that put the signature block at a multiple of 8 from
 * the file's start, then the block:
 *   0      magic "TRSIGBLK"
 *   8      minisign's signature: algorithm "ED", key ID (8 bytes), Ed25519
 *          signature (64) of the BLAKE2b-512 of the signed bytes, that is
 *          the package from its first byte through the end marker
 *   82     uint16 length n of the trusted comment (at most 1,024)
 *   84     the trusted comment
 *   84+n   minisign's global signature (64): of the signature and comment
 *   148+n  the trailer: uint32 size of the whole block, trailer included;
 *          4 zero bytes; magic "TRSIGEND"
 * Launchers that know the slot carry PKG_SIGNATURE_SLOT_MARK in their bytes. */
enum {
    PKG_SIG_ALIGN = 8,
    PKG_SIG_ALG_OFFSET = 8,
    PKG_SIG_KEY_ID_OFFSET = 10,
    PKG_SIG_KEY_ID_SIZE = 8,
    PKG_SIG_SIGNATURE_OFFSET = 18,
    PKG_SIG_ED25519_SIZE = 64,
    PKG_SIG_COMMENT_LENGTH_OFFSET = 82,
    PKG_SIG_COMMENT_OFFSET = 84,
    PKG_SIG_COMMENT_MAX = 1024,
    PKG_SIG_TRAILER_SIZE = 16,
    PKG_SIG_MIN_SIZE = PKG_SIG_COMMENT_OFFSET + PKG_SIG_ED25519_SIZE + PKG_SIG_TRAILER_SIZE,
    PKG_SIG_MAX_SIZE = PKG_SIG_MIN_SIZE + PKG_SIG_COMMENT_MAX
};
#define PKG_SIG_MAGIC "TRSIGBLK"
#define PKG_SIG_TRAILER_MAGIC "TRSIGEND"
#define PKG_SIGNATURE_SLOT_MARK "TRELL-LAUNCHER-KNOWS-SIGNATURE-SLOT"

/* The size of the signature block that the last 16 bytes of a file (tail)
 * announce, given the file's size.  Result: the size, or 0 when the tail is
 * no trailer or the size is out of bounds (an unsigned package). */
static inline uint32_t pkgSignatureBlockSize(const unsigned char *tail, uint64_t fileSize)
{
    uint32_t size = (uint32_t)tail[0] | ((uint32_t)tail[1] << 8) | ((uint32_t)tail[2] << 16) |
                    ((uint32_t)tail[3] << 24);
    if (memcmp(tail + 8, PKG_SIG_TRAILER_MAGIC, 8) != 0 || tail[4] != 0 || tail[5] != 0 ||
        tail[6] != 0 || tail[7] != 0 || size < PKG_SIG_MIN_SIZE || size > PKG_SIG_MAX_SIZE ||
        (uint64_t)size + PKG_TRAILER_SIZE > fileSize)
        return 0;
    return size;
}

/* The bytes between a package's end marker and its signature block, which
 * starts at blockStart (a multiple of PKG_SIG_ALIGN): before holds the 8
 * bytes in front of the block.  They are the 0 to 7 zero bytes that pad the
 * signed bytes to the block, behind the end marker: nothing else, so that
 * no unsigned byte can be changed.  Result: how many (0 to 7), or -1 when
 * they are no such padding. */
static inline int pkgSignatureAlignment(const unsigned char *before, uint64_t blockStart)
{
    if (blockStart % PKG_SIG_ALIGN != 0)
        return -1;
    for (int k = PKG_SIG_ALIGN - 1; k >= 0; k--) {
        if (before[k] == PKG_END_MARKER)
            return PKG_SIG_ALIGN - 1 - k;
        if (before[k] != 0)
            return -1;
    }
    return -1;
}

/* What a package record says of one image archive. */
typedef struct PkgImageFacts {
    uint64_t unpackedBytes;
    uint32_t entries;
    uint32_t archiveBytes;
} PkgImageFacts;

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

/* Little-endian integers at p (no alignment needed), whatever the host's
 * byte order. */
static inline uint32_t pkgGetU32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

static inline void pkgPutU32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static inline int32_t pkgGetI32(const unsigned char *p)
{
    uint32_t v = pkgGetU32(p);
    int32_t r;
    memcpy(&r, &v, sizeof r);
    return r;
}

static inline void pkgPutI32(unsigned char *p, int32_t value)
{
    uint32_t v;
    memcpy(&v, &value, sizeof v);
    pkgPutU32(p, v);
}

/* The directory's 548 bytes as its 137 entries, whatever the host's byte
 * order. */
static inline void pkgDecodeDirectory(const unsigned char *bytes, int32_t *entries)
{
    for (int i = 0; i < PKG_DIR_ENTRIES; i++)
        entries[i] = pkgGetI32(bytes + 4 * i);
}

/* The directory's entries as its 548 bytes: the inverse of
 * pkgDecodeDirectory, reserved bytes included. */
static inline void pkgEncodeDirectory(const int32_t *entries, unsigned char *bytes)
{
    for (int i = 0; i < PKG_DIR_ENTRIES; i++)
        pkgPutI32(bytes + 4 * i, entries[i]);
}

/* The reserved area of a directory (548 bytes) as it stands: 0 all zeros
 * (a package built before the record existed), 1 a package record whose
 * magic, version and size this reader knows, -1 anything else. */
static inline int pkgRecordState(const unsigned char *directory)
{
    const unsigned char *r = directory + PKG_REC_AREA_OFFSET;
    int zero = 1;
    for (int i = 0; i < PKG_REC_AREA_SIZE; i++)
        zero &= r[i] == 0;
    if (zero)
        return 0;
    unsigned version = (unsigned)r[4] | ((unsigned)r[5] << 8);
    unsigned size = (unsigned)r[6] | ((unsigned)r[7] << 8);
    if (memcmp(r, PKG_REC_MAGIC, 4) != 0 || version < PKG_REC_VERSION ||
        size < PKG_REC_V1_SIZE || size > PKG_REC_AREA_SIZE)
        return -1;
    return 1;
}

/* Image slot (0 or 1) of a directory whose record state is 1. */
static inline PkgImageFacts pkgRecordImage(const unsigned char *directory, int slot)
{
    const unsigned char *p =
        directory + PKG_REC_AREA_OFFSET + PKG_REC_IMAGE_OFFSET + slot * PKG_REC_IMAGE_SLOT_SIZE;
    PkgImageFacts f;
    f.unpackedBytes = (uint64_t)pkgGetU32(p) | ((uint64_t)pkgGetU32(p + 4) << 32);
    f.entries = pkgGetU32(p + 8);
    f.archiveBytes = pkgGetU32(p + 12);
    return f;
}

static inline void pkgPutRecordImage(unsigned char *directory, int slot, PkgImageFacts f)
{
    unsigned char *p =
        directory + PKG_REC_AREA_OFFSET + PKG_REC_IMAGE_OFFSET + slot * PKG_REC_IMAGE_SLOT_SIZE;
    pkgPutU32(p, (uint32_t)f.unpackedBytes);
    pkgPutU32(p + 4, (uint32_t)(f.unpackedBytes >> 32));
    pkgPutU32(p + 8, f.entries);
    pkgPutU32(p + 12, f.archiveBytes);
}

/* Writes the record's header into a directory (548 bytes); the fields
 * follow with the functions above. */
static inline void pkgPutRecordHeader(unsigned char *directory)
{
    unsigned char *r = directory + PKG_REC_AREA_OFFSET;
    memcpy(r, PKG_REC_MAGIC, 4);
    r[4] = (unsigned char)PKG_REC_VERSION;
    r[5] = 0;
    r[6] = (unsigned char)(PKG_REC_ZIPDIR_SIZE & 0xFF);
    r[7] = (unsigned char)(PKG_REC_ZIPDIR_SIZE >> 8);
}

/* The size a record (state 1) says it uses. */
static inline unsigned pkgRecordSize(const unsigned char *directory)
{
    const unsigned char *r = directory + PKG_REC_AREA_OFFSET;
    return (unsigned)r[6] | ((unsigned)r[7] << 8);
}

/* A uint32 field of the record, at offset from the record's start. */
static inline uint32_t pkgRecordU32(const unsigned char *directory, int offset)
{
    return pkgGetU32(directory + PKG_REC_AREA_OFFSET + offset);
}

static inline void pkgPutRecordU32(unsigned char *directory, int offset, uint32_t value)
{
    pkgPutU32(directory + PKG_REC_AREA_OFFSET + offset, value);
}

/* What each element is, for messages: "the unzip utility (element 1)". */
static inline const char *pkgElementName(int index)
{
    static const char *const names[PKG_ELEMENT_COUNT] = {
        "the launcher", "the unzip utility", "the global info", "the command table", "the image"};
    return index >= 0 && index < PKG_ELEMENT_COUNT ? names[index] : "no element";
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

/* The architectures table's row for a code, or NULL. */
static inline const TrellArchitecture *pkgArchitecture(int32_t code)
{
    for (int i = 0; i < TRELL_ARCH_COUNT; i++)
        if (trellArchitectures[i].code == code)
            return &trellArchitectures[i];
    return 0;
}

static inline const char *pkgArchitectureName(int32_t code)
{
    const TrellArchitecture *a = pkgArchitecture(code);
    return code != PKG_ARCH_UNKNOWN && a != 0 ? a->label : "Unknown";
}

#endif
