/* What the pieces of the zip reader share and nothing else uses: the
 * layout of zip's records, little-endian reading, and the helpers one piece
 * gives another (names for the directory walk and the checks of the whole
 * archive).  The public interface is zipread.h. */
#ifndef COMMON_ZIPFORMAT_H
#define COMMON_ZIPFORMAT_H

#include <stdint.h>

#include "zipread.h"

enum {
    ZIP_CENTRAL_SIZE = 46, /* a directory entry's fixed part */
    ZIP_LOCAL_SIZE = 30    /* a local header's fixed part */
};

static const uint64_t kZipSaturated32 = 0xFFFFFFFF;
static const uint16_t kZipSaturated16 = 0xFFFF;

static inline uint16_t zipGet16(const unsigned char *p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

static inline uint32_t zipGet32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

static inline uint64_t zipGet64(const unsigned char *p)
{
    return zipGet32(p) | ((uint64_t)zipGet32(p + 4) << 32);
}

/* True when length bytes from offset lie inside the archive. */
static inline int zipInside(const struct ZipArchive *a, uint64_t offset, uint64_t length)
{
    return offset <= a->size && length <= a->size - offset;
}

/* Notes the code in the problem.  Result: -1, for "return zipFail(...)". */
static inline int zipFail(struct ZipProblem *p, int code)
{
    p->code = code;
    return -1;
}

/* What zipOpen keeps of each entry to check the entries as a whole. */
struct ZipItem {
    uint64_t start;    /* of its local header */
    uint64_t end;      /* after its data and descriptor */
    uint64_t position; /* of its directory entry */
    uint64_t index;
    const unsigned char *storedName;
    uint32_t storedNameLength;
    unsigned nameForm;
};

#ifdef __cplusplus
extern "C" {
#endif

/* zipnames.cc.  Makes a name of stored bytes in the given form (ZIP_NAME_*
 * bits) into out (room for cap bytes).  Result: the whole name's length,
 * which may exceed cap (out then holds its first cap bytes). */
uint32_t zipMakeName(const unsigned char *stored, uint32_t length, unsigned form,
                     unsigned char *out, uint32_t cap);

/* zipnames.cc.  The form (ZIP_NAME_* bits) of a name stored by the given
 * "version made by" host, utf8 when the entry says its name is UTF-8 (its
 * flag, or the name is the Unicode Path field's). */
unsigned zipNameForm(unsigned host, int utf8, const unsigned char *name, uint32_t length);

/* zipnames.cc.  Notes the entry's name, as it would be unpacked, in the
 * problem (its first ZIP_MAX_NAME bytes). */
void zipNoteName(struct ZipProblem *p, const struct ZipEntry *e);

/* ziplayout.cc.  The entries (one at least) taken by offset: one after
 * another from the archive's start up to the directory.  Sorts items.
 * Result: 0, or -1 with the problem filled. */
int zipCheckLayout(const struct ZipArchive *a, struct ZipItem *items, struct ZipProblem *p);

/* ziplayout.cc.  The entries taken by name: no path twice, no file where
 * another entry needs a folder, and no more folders implied by the paths
 * than the bound.  Sorts items.  Result: 0, or -1 with the problem filled. */
int zipCheckNames(const struct ZipArchive *a, struct ZipItem *items, struct ZipProblem *p);

#ifdef __cplusplus
}
#endif

#endif
