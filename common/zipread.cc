// The archive as a whole: its end records, and zipOpen, which reads every
// entry (zipentry.cc) and checks them together (ziplayout.cc).  See zipread.h
// for what is accepted.
#include <stdlib.h>
#include <string.h>

#include "zipformat.h"

namespace {

const uint32_t kEndSig = 0x06054b50;
const uint32_t kZip64EndSig = 0x06064b50;
const uint32_t kZip64LocatorSig = 0x07064b50;
// A single-segment archive of old PKZIP and WinZip begins with this.
const uint32_t kSegmentMarker = 0x30304b50;

const uint64_t kEndSize = 22;
const uint64_t kZip64EndSize = 56;
const uint64_t kLocatorSize = 20;
const uint64_t kMaxComment = 0xFFFF;

// Finds the one end record: the one whose comment reaches the end of the
// file exactly.  A second such record (one inside another's comment, or an
// end record signature inside the comment) is refused.
int findEnd(const ZipArchive *a, uint64_t *endOffset, ZipProblem *p)
{
    if (a->size < kEndSize)
        return zipFail(p, ZIP_NO_END_RECORD);
    const uint64_t lowest = a->size - kEndSize > kMaxComment ? a->size - kEndSize - kMaxComment : 0;
    bool found = false;
    for (uint64_t pos = a->size - kEndSize + 1; pos-- > lowest;) {
        if (zipGet32(a->data + pos) != kEndSig)
            continue;
        const uint64_t reach = pos + kEndSize + zipGet16(a->data + pos + 20);
        if (!found) {
            // The last signature must be the record: one inside its comment
            // would mislead a reader that takes the last signature it finds.
            if (reach != a->size)
                return zipFail(p, ZIP_BAD_END_RECORD);
            found = true;
            *endOffset = pos;
        } else if (reach == a->size) {
            // An earlier record whose comment holds the last one.
            return zipFail(p, ZIP_TWO_END_RECORDS);
        }
    }
    return found ? 0 : zipFail(p, ZIP_NO_END_RECORD);
}

// Reads the end record, and the Zip64 end record where a locator stands in
// front of it, into the archive's count and directory.
int readEnd(ZipArchive *a, uint64_t end, ZipProblem *p)
{
    const unsigned char *data = a->data;
    const unsigned char *e = data + end;
    const uint16_t disk = zipGet16(e + 4);
    const uint16_t directoryDisk = zipGet16(e + 6);
    const uint16_t diskCount = zipGet16(e + 8);
    uint64_t count = zipGet16(e + 10);
    uint64_t directorySize = zipGet32(e + 12);
    uint64_t directory = zipGet32(e + 16);
    // The directory ends where the Zip64 end record starts, or the end record.
    uint64_t directoryEnd = end;
    if (end >= kLocatorSize && zipGet32(data + end - kLocatorSize) == kZip64LocatorSig) {
        const unsigned char *l = data + end - kLocatorSize;
        const uint64_t record = zipGet64(l + 8);
        if (zipGet32(l + 4) != 0 || zipGet32(l + 16) != 1)
            return zipFail(p, ZIP_MULTI_DISK);
        if (record > end - kLocatorSize || end - kLocatorSize - record < kZip64EndSize ||
            zipGet32(data + record) != kZip64EndSig ||
            zipGet64(data + record + 4) != end - kLocatorSize - record - 12)
            return zipFail(p, ZIP_BAD_ZIP64_END);
        const unsigned char *z = data + record;
        if (zipGet32(z + 16) != 0 || zipGet32(z + 20) != 0 || zipGet64(z + 24) != zipGet64(z + 32))
            return zipFail(p, ZIP_MULTI_DISK);
        // The end record's fields are saturated, or agree with the Zip64
        // values (the disk numbers are 0 there).
        if ((disk != 0 && disk != kZipSaturated16) ||
            (directoryDisk != 0 && directoryDisk != kZipSaturated16))
            return zipFail(p, ZIP_MULTI_DISK);
        const uint64_t count64 = zipGet64(z + 32);
        const uint64_t size64 = zipGet64(z + 40);
        const uint64_t offset64 = zipGet64(z + 48);
        if ((diskCount != kZipSaturated16 && diskCount != count64) ||
            (count != kZipSaturated16 && count != count64) ||
            (directorySize != kZipSaturated32 && directorySize != size64) ||
            (directory != kZipSaturated32 && directory != offset64))
            return zipFail(p, ZIP_BAD_ZIP64_END);
        count = count64;
        directorySize = size64;
        directory = offset64;
        directoryEnd = record;
    } else {
        // A count of 0xFFFF is the count itself when the directory holds
        // that many entries (zip writes no Zip64 record for 65,535); other
        // saturated fields promise a Zip64 end record that is not there.
        if (disk == kZipSaturated16 || directoryDisk == kZipSaturated16 ||
            directorySize == kZipSaturated32 || directory == kZipSaturated32)
            return zipFail(p, ZIP_SATURATED_WITHOUT_ZIP64);
        if (disk != 0 || directoryDisk != 0 || diskCount != count)
            return zipFail(p, ZIP_MULTI_DISK);
    }
    if (directory > directoryEnd || directoryEnd - directory != directorySize)
        return zipFail(p, ZIP_DIRECTORY_OUTSIDE);
    if (count > directorySize / ZIP_CENTRAL_SIZE)
        return zipFail(p, ZIP_COUNT_MISMATCH);
    a->count = count;
    a->directory = directory;
    a->directoryEnd = directoryEnd;
    return 0;
}

} // namespace

extern "C" int zipOpen(ZipArchive *a, const unsigned char *data, uint64_t size, ZipProblem *p)
{
    memset(a, 0, sizeof *a);
    memset(p, 0, sizeof *p);
    a->data = data;
    a->size = size;
    uint64_t end = 0;
    if (findEnd(a, &end, p) != 0)
        return -1;
    if (size >= 4 && zipGet32(data) == kSegmentMarker)
        a->start = 4;
    if (readEnd(a, end, p) != 0)
        return -1;

    // Every entry, local header included; then the entries as a whole.
    if (a->count != static_cast<uint64_t>(static_cast<size_t>(a->count)) ||
        a->count > SIZE_MAX / sizeof(ZipItem))
        return zipFail(p, ZIP_OUT_OF_MEMORY);
    ZipItem *items = static_cast<ZipItem *>(malloc(a->count > 0 ? a->count * sizeof(ZipItem) : 1));
    if (items == NULL)
        return zipFail(p, ZIP_OUT_OF_MEMORY);
    ZipCursor cursor;
    ZipEntry entry;
    zipFirst(a, &cursor);
    // In the common case the entries lie in the directory's order.
    bool ordered = true;
    uint64_t expected = a->start;
    int r;
    for (uint64_t i = 0;; i++) {
        const uint64_t position = cursor.position;
        if ((r = zipNext(a, &cursor, &entry, p)) != 1)
            break;
        ordered = ordered && entry.localHeader == expected;
        expected = entry.end;
        ZipItem *item = &items[i];
        item->start = entry.localHeader;
        item->end = entry.end;
        item->position = position;
        item->index = i;
        item->storedName = entry.storedName;
        item->storedNameLength = entry.storedNameLength;
        item->nameForm = entry.nameForm;
    }
    if (r == 0 && !ordered)
        r = zipCheckLayout(a, items, p);
    else if (r == 0 && expected != a->directory)
        r = zipFail(p, ZIP_BYTES_BEFORE_DIRECTORY);
    if (r == 0)
        r = zipCheckNames(a, items, p);
    free(items);
    return r == 0 ? 0 : -1;
}

extern "C" const char *zipProblemText(int code)
{
    static const char *const texts[ZIP_PROBLEM_COUNT] = {
        "no problem",
        "no end-of-central-directory record: not a zip archive",
        "more than one end-of-central-directory record",
        "an end-of-central-directory record whose comment does not end the file",
        "a damaged or misplaced Zip64 end record",
        "an archive split over several disks",
        "data in front of the first entry",
        "entries overlap",
        "a gap between entries",
        "bytes between the last entry and the central directory (a signing block, padding)",
        "saturated (0xFFFF) end-record fields without a Zip64 end record",
        "the central directory lies outside the archive",
        "a damaged central directory entry",
        "the central directory's entry count disagrees with its entries",
        "a damaged extra field",
        "a damaged or misplaced local header",
        "the local header disagrees with the central directory",
        "a missing or disagreeing data descriptor",
        "data beyond the archive",
        "an empty name",
        "a name longer than 255 bytes",
        "an absolute name",
        "a \".\" or \"..\" part in the name",
        "an empty part in the name",
        "a NUL byte or a backslash in the name",
        "a symbolic link",
        "a device or other special file",
        "encrypted",
        "a compression method other than stored or deflated",
        "a folder entry with data, or a folder mode on a file name",
        "a stored entry whose sizes differ",
        "damaged compressed data",
        "CRC-32 mismatch",
        "two entries for the same path",
        "a file where another entry needs a folder",
        "a path of more than 64 parts",
        "more folders implied by the entries' paths than 4 for each entry and 64 besides (a folder bomb)",
        "too many entries to check in this machine's memory",
    };
    return code >= 0 && code < ZIP_PROBLEM_COUNT ? texts[code] : "unknown problem";
}
