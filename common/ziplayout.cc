// The entries of an archive as a whole: their layout (one after another,
// no gap, no overlap) and their names (no path twice, no file where a
// folder is needed, no folder bomb).  zipOpen calls both (zipformat.h).
#include <stdlib.h>
#include <string.h>

#include "zipformat.h"

namespace {

int byOffset(const void *x, const void *y)
{
    const ZipItem *a = static_cast<const ZipItem *>(x);
    const ZipItem *b = static_cast<const ZipItem *>(y);
    if (a->start != b->start)
        return a->start < b->start ? -1 : 1;
    return a->index < b->index ? -1 : a->index > b->index ? 1 : 0;
}

// Names compared with '/' below every other byte, so that the entries under
// a folder come right after its name and before any longer name.
int compareNames(const unsigned char *a, uint32_t la, const unsigned char *b, uint32_t lb)
{
    const uint32_t n = la < lb ? la : lb;
    for (uint32_t i = 0; i < n; i++) {
        if (a[i] == b[i])
            continue;
        if (a[i] == '/' || b[i] == '/')
            return a[i] == '/' ? -1 : 1;
        return a[i] < b[i] ? -1 : 1;
    }
    return la < lb ? -1 : la > lb ? 1 : 0;
}

int byName(const void *x, const void *y)
{
    const ZipItem *a = static_cast<const ZipItem *>(x);
    const ZipItem *b = static_cast<const ZipItem *>(y);
    int c;
    if (a->nameForm == 0 && b->nameForm == 0) {
        c = compareNames(a->storedName, a->storedNameLength, b->storedName, b->storedNameLength);
    } else {
        unsigned char na[ZIP_MAX_NAME], nb[ZIP_MAX_NAME];
        const uint32_t la = zipMakeName(a->storedName, a->storedNameLength, a->nameForm, na,
                                        sizeof na);
        const uint32_t lb = zipMakeName(b->storedName, b->storedNameLength, b->nameForm, nb,
                                        sizeof nb);
        c = compareNames(na, la, nb, lb);
    }
    if (c != 0)
        return c;
    return a->index < b->index ? -1 : a->index > b->index ? 1 : 0;
}

// Refuses with the code, naming the item's entry.
int failAt(const ZipArchive *a, const ZipItem *item, int code, ZipProblem *p)
{
    ZipCursor cursor = {item->position, item->index};
    ZipEntry e;
    if (zipNext(a, &cursor, &e, p) != 1)
        return -1; // cannot happen: the entry was read before
    p->code = code;
    return -1;
}

} // namespace

// The entries (one at least) taken by offset: one after another from the
// archive's start up to the directory.
extern "C" int zipCheckLayout(const ZipArchive *a, ZipItem *items, ZipProblem *p)
{
    qsort(items, a->count, sizeof *items, byOffset);
    if (items[0].start != a->start)
        return failAt(a, &items[0], ZIP_DATA_IN_FRONT, p);
    for (uint64_t i = 1; i < a->count; i++) {
        if (items[i].start != items[i - 1].end)
            return failAt(a, &items[i], items[i].start < items[i - 1].end ? ZIP_OVERLAP : ZIP_GAP,
                          p);
    }
    if (items[a->count - 1].end != a->directory)
        return zipFail(p, ZIP_BYTES_BEFORE_DIRECTORY);
    return 0;
}

// The entries taken by name: no path twice ("a" and "a/" included), and no
// file where another entry needs a folder.  Which of them a reader keeps,
// or in which order it meets them, would be its own choice.  And no more
// folders implied by the paths than the bound.
extern "C" int zipCheckNames(const ZipArchive *a, ZipItem *items, ZipProblem *p)
{
    qsort(items, a->count, sizeof *items, byName);
    unsigned char previous[ZIP_MAX_NAME];
    uint32_t previousLength = 0;
    // Names sharing a folder lie together: each folder is counted at the
    // first name that goes through it.
    uint64_t folders = 0;
    uint64_t folderEntries = 0;
    for (uint64_t i = 0; i < a->count; i++) {
        unsigned char name[ZIP_MAX_NAME];
        const uint32_t n = zipMakeName(items[i].storedName, items[i].storedNameLength,
                                       items[i].nameForm, name, sizeof name);
        uint32_t common = 0;
        while (common < n && common < previousLength && name[common] == previous[common])
            common++;
        for (uint32_t k = common; k < n; k++)
            folders += name[k] == '/';
        folderEntries += name[n - 1] == '/';
        // The previous name is a path of this one's: equal, or with a '/'
        // of either (a folder's, or one this name goes through).
        if (i > 0 && common == previousLength) {
            const bool previousFolder = previous[previousLength - 1] == '/';
            // The pair is named by the later of its entries in the directory.
            const ZipItem *later = items[i].index > items[i - 1].index ? &items[i] : &items[i - 1];
            if (n == previousLength || (n == previousLength + 1 && name[n - 1] == '/'))
                return failAt(a, later, ZIP_DUPLICATE_NAME, p);
            if (!previousFolder && name[previousLength] == '/')
                return failAt(a, later, ZIP_FILE_AS_FOLDER, p);
        }
        memcpy(previous, name, n);
        previousLength = n;
    }
    if (folders - folderEntries > a->count * ZIP_IMPLIED_PER_ENTRY + ZIP_IMPLIED_BESIDES)
        return zipFail(p, ZIP_TOO_MANY_FOLDERS);
    return 0;
}

