// Fuzz target: the strict zip reader on whole archives.  Whatever it
// accepts must be laid out as it promises (entries back to back from 0 up
// to the directory, safe names, stored or deflated), every accepted entry
// must inflate without a fault, and no accepted archive stays accepted with
// a byte appended.
#include <libdeflate.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/zipread.h"

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "zipread_fuzz: property violated: %s\n", what);
        abort();
    }
}

// Entries up to this size are inflated (a larger one only costs time).
const uint64_t kInflateLimit = 1 << 20;

void checkEntries(const ZipArchive &a)
{
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    ZipCursor cursor;
    ZipEntry e;
    ZipProblem p;
    zipFirst(&a, &cursor);
    uint64_t count = 0;
    uint64_t expected = 0;
    while (zipNext(&a, &cursor, &e, &p) == 1) {
        count++;
        check(e.localHeader == expected, "each entry starts where the previous one ended");
        check(e.localHeader < e.dataOffset && e.dataOffset <= e.end, "an entry's parts in order");
        check(e.end <= a.directory, "an entry ends before the directory");
        check(e.dataOffset + e.compressedSize <= e.end, "the data lies inside the entry");
        check(zipNameProblem(e.name, e.nameLength) == ZIP_FINE, "names are safe");
        check(e.method == ZIP_METHOD_STORED || e.method == ZIP_METHOD_DEFLATED, "known methods");
        check(!e.folder || e.size == 0, "folders hold nothing");
        expected = e.end;
        if (e.size <= kInflateLimit) {
            unsigned char *out = static_cast<unsigned char *>(malloc(e.size > 0 ? e.size : 1));
            const int r = zipInflate(&a, &e, d, out);
            check(r == 0 || r == ZIP_BAD_CRC || r == ZIP_DAMAGED_DATA, "inflate's results");
            if (e.method == ZIP_METHOD_STORED)
                check((r == 0) == (zipCheckStored(&a, &e) == 0), "both CRC checks agree");
            free(out);
        }
    }
    check(p.code == ZIP_FINE, "an opened archive walks without a problem");
    check(count == a.count, "the walk sees every entry");
    check(expected == a.directory, "the last entry ends at the directory");
    libdeflate_free_decompressor(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the input's size on the heap, one byte spare for the append.
    unsigned char *copy = static_cast<unsigned char *>(malloc(size + 1));
    if (size > 0)
        memcpy(copy, data, size);
    ZipArchive a;
    ZipProblem p;
    if (zipOpen(&a, copy, size, &p) == 0) {
        check(a.directory <= a.directoryEnd && a.directoryEnd <= size, "the directory inside");
        checkEntries(a);
        copy[size] = 0;
        ZipArchive longer;
        check(zipOpen(&longer, copy, size + 1, &p) != 0, "a byte after the end is refused");
    } else {
        check(p.code > ZIP_FINE && p.code < ZIP_PROBLEM_COUNT, "a refusal has a known cause");
    }
    free(copy);
    return 0;
}
