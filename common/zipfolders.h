/* Between the pieces of the extraction (zipextract.h): what failed with one
 * entry, and the folders an entry is written in (zipfolders.cc). */
#ifndef COMMON_ZIPFOLDERS_H
#define COMMON_ZIPFOLDERS_H

#include "zipread.h"

/* What went wrong with one entry: a phrase, and errno's value for it (0
 * when the cause is no system error). */
struct ZipFailure {
    const char *what;
    int error;
};

/* Notes what failed.  Result: 0, for "return zipFailWith(...)" where 0 is
 * false. */
static inline int zipFailWith(struct ZipFailure *f, const char *what, int error)
{
    f->what = what;
    f->error = error;
    return 0;
}

#ifdef __cplusplus
extern "C" {
#endif

/* Opens, inside the folder open as root, the folder that holds the entry
 * (all its parts for a folder entry), making the missing ones 0755 and
 * never going through a symbolic link (one in the way is replaced by a
 * folder); an existing folder is used only when no other user could change
 * it.  Copies the entry's last part into leaf (ZIP_NAME_BUFFER bytes) for a
 * file.  Result: a descriptor of its own, or -1 with f filled. */
int zipEntryFolder(int root, const struct ZipEntry *entry, char *leaf, struct ZipFailure *f);

#ifdef __cplusplus
}
#endif

#endif
