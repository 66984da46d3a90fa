/* The one reader of the package container (pkglayout.h), for the launcher
 * and pkgtool alike: where the directory lies (behind a signature block and
 * its alignment, or at the very end), whether the element sizes fit the
 * file, where each element and image archive starts, and what the global
 * info, a command record and the signature block hold.  Each program keeps
 * its own words for what is wrong; every decision is this reader's.
 * C, no allocation: it builds into the static launcher. */
#ifndef COMMON_PKG_CONTAINER_H
#define COMMON_PKG_CONTAINER_H

#include <stddef.h>
#include <stdint.h>

#include "pkglayout.h"

/* What is wrong with a container, the first fault found (pkgReadContainer). */
enum PkgContainerProblem {
    PKG_CONTAINER_FINE = 0,
    PKG_CONTAINER_TOO_SHORT,         /* shorter than a directory and end marker */
    PKG_CONTAINER_READ_FAILED,       /* a read failed (errno) */
    PKG_CONTAINER_BAD_ALIGNMENT,     /* not the zeros signing writes before a signature */
    PKG_CONTAINER_BAD_SIGNATURE,     /* a signature block that is not one */
    PKG_CONTAINER_NEGATIVE_SIZE,     /* an element size at or over 2^31 */
    PKG_CONTAINER_SIZES_TOO_LARGE,   /* the sizes add up to 2^31 or more */
    PKG_CONTAINER_SIZES_DISAGREE,    /* they do not fill the file up to the directory */
    PKG_CONTAINER_NEGATIVE_IMAGE     /* an image size of a pair is negative */
};

typedef struct PkgContainer {
    uint64_t fileSize;
    uint64_t signedSize;     /* the package through its end marker */
    uint32_t signatureSize;  /* the signature block behind it; 0 unsigned */
    uint32_t alignment;      /* the zeros in front of the block */
    unsigned char directory[PKG_DIR_SIZE]; /* as read, reserved bytes included */
    int32_t entries[PKG_DIR_ENTRIES];      /* the same as int32 entries */
    unsigned char endMarker; /* as read (the launcher does not look at it) */
    int64_t sizeSum;         /* of the five element sizes */
    int located;             /* 1: sizes sound and fill the file, elements found */
} PkgContainer;

/* The signature block's parts, pointing into the block. */
typedef struct PkgSignature {
    const unsigned char *keyId;           /* PKG_SIG_KEY_ID_SIZE bytes */
    const unsigned char *signature;       /* Ed25519, of the signed bytes' BLAKE2b-512 */
    const unsigned char *comment;         /* the trusted comment, not NUL-terminated */
    uint32_t commentLength;
    const unsigned char *globalSignature; /* of the signature and the comment */
} PkgSignature;

/* One command record as stored (PKG_RECORD_SIZE bytes). */
typedef struct PkgRecordView {
    int32_t distribution, release, architecture, mode;
    const char *command;   /* PKG_REC_COMMAND_SIZE bytes */
    const char *arguments; /* PKG_REC_ARGS_SIZE bytes */
    int terminated;        /* 1 when both texts end within their fields */
} PkgRecordView;

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the container of the open file fd (its size and tail) into c.
 * Result: PKG_CONTAINER_FINE, or the first problem found; c holds what was
 * found before it (c->located tells whether elements can be read). */
int pkgReadContainer(int fd, PkgContainer *c);

/* Where element index (0 to 4) starts in the file, for a directory's
 * entries (c->entries). */
int64_t pkgElementOffset(const int32_t *entries, int index);

/* The archives of element 4 of a directory's entries: one, or the two of
 * an image pair (pkgIsImagePair).  Result: how many, with each one's offset
 * in the file and size. */
int pkgImageArchives(const int32_t *entries, int64_t offsets[2], int32_t sizes[2]);

/* The global info record's fields (PKG_GLOBAL_INFO_SIZE bytes). */
void pkgDecodeGlobalInfo(const unsigned char *bytes, int32_t *recordCount, int32_t *strict);

/* The record at bytes (PKG_RECORD_SIZE of them). */
void pkgDecodeRecord(const unsigned char *bytes, PkgRecordView *record);

/* Parses a signature block of size bytes.  Result: 0 with out filled, or
 * -1 when it is not one (magic, algorithm or length). */
int pkgParseSignature(const unsigned char *block, uint32_t size, PkgSignature *out);

#ifdef __cplusplus
}
#endif

#endif
