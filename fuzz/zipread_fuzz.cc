// Fuzz target: the strict zip reader on whole archives.  Whatever it
// accepts must be laid out as it promises (entries taken by offset back to
// back from the start up to the directory, safe names, no path twice,
// stored or deflated), every accepted entry must decode without a fault,
// and no accepted archive stays accepted with a byte appended.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/zipdecode.h"
#include "common/zipread.h"

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "zipread_fuzz: property violated: %s\n", what);
        abort();
    }
}

// Entries up to this size are decoded (a larger one only costs time).
const uint64_t kDecodeLimit = 1 << 20;

// Takes the decoded bytes, which must come whole and exactly.
int take(void *context, const unsigned char *, size_t n)
{
    *static_cast<uint64_t *>(context) += n;
    return 0;
}

void checkEntries(const ZipArchive &a)
{
    ZipDecoder d;
    check(zipDecoderInit(&d) == 0, "a decoder");
    ZipCursor cursor;
    ZipEntry e;
    ZipProblem p;
    zipFirst(&a, &cursor);
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    std::set<std::string> paths;
    std::set<std::string> files;
    while (zipNext(&a, &cursor, &e, &p) == 1) {
        spans.emplace_back(e.localHeader, e.end);
        check(e.localHeader < e.dataOffset && e.dataOffset <= e.end, "an entry's parts in order");
        check(e.end <= a.directory, "an entry ends before the directory");
        check(e.dataOffset + e.compressedSize <= e.end, "the data lies inside the entry");
        char name[ZIP_NAME_BUFFER];
        const int length = zipEntryName(&e, name);
        check(length > 0, "names fit");
        check(zipNameProblem(reinterpret_cast<unsigned char *>(name), length) == ZIP_FINE,
              "names are safe");
        check((name[length - 1] == '/') == (e.folder != 0), "folders are named so");
        std::string path(name, e.folder ? length - 1 : length);
        check(paths.insert(path).second, "no path twice");
        if (!e.folder)
            files.insert(path);
        check(e.method == ZIP_METHOD_STORED || e.method == ZIP_METHOD_DEFLATED, "known methods");
        check(!e.folder || e.size == 0, "folders hold nothing");
        if (e.size <= kDecodeLimit) {
            uint64_t taken = 0;
            const ZipOutput out = {take, NULL, &taken};
            const int r = zipDecode(&a, &e, &d, &out);
            check(r == 0 || r == ZIP_BAD_CRC || r == ZIP_DAMAGED_DATA, "the decoder's results");
            check(r != 0 || taken == e.size, "decoded data of the entry's size");
            check(r == 0 || taken == 0, "damaged data reaches no output");
        }
    }
    check(p.code == ZIP_FINE, "an opened archive walks without a problem");
    check(spans.size() == a.count, "the walk sees every entry");
    std::sort(spans.begin(), spans.end());
    uint64_t expected = a.start;
    for (const auto &span : spans) {
        check(span.first == expected, "each entry starts where the one before it ended");
        expected = span.second;
    }
    check(expected == a.directory, "the last entry ends at the directory");
    // No file where another entry needs a folder.
    for (const std::string &path : paths) {
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            check(files.count(path.substr(0, slash)) == 0, "no file on another entry's path");
    }
    zipDecoderEnd(&d);
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
        check(a.start == 0 || a.start == 4, "the archive starts at 0, or behind its marker");
        check(a.directory <= a.directoryEnd && a.directoryEnd <= size, "the directory inside");
        checkEntries(a);
        copy[size] = 0;
        ZipArchive longer;
        check(zipOpen(&longer, copy, size + 1, &p) != 0, "a byte after the end is refused");
    } else {
        check(p.code > ZIP_FINE && p.code < ZIP_PROBLEM_COUNT, "a refusal has a known cause");
        check(!p.named || p.name[p.nameLength] == '\0', "a problem's name ends");
    }
    free(copy);
    return 0;
}
