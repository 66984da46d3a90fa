// The strict zip reader (see zipread.h for what it accepts).
#include "zipread.h"

#include <libdeflate.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace {

const uint32_t kLocalSig = 0x04034b50;
const uint32_t kCentralSig = 0x02014b50;
const uint32_t kEndSig = 0x06054b50;
const uint32_t kZip64EndSig = 0x06064b50;
const uint32_t kZip64LocatorSig = 0x07064b50;
const uint32_t kDescriptorSig = 0x08074b50;

const uint64_t kEndSize = 22;
const uint64_t kZip64EndSize = 56;
const uint64_t kLocatorSize = 20;
const uint64_t kCentralSize = 46;
const uint64_t kLocalSize = 30;
const uint64_t kMaxComment = 0xFFFF;
const uint64_t kMaxDeflateRatio = 1032;

const uint16_t kFlagEncrypted = 0x0001;
const uint16_t kFlagDescriptor = 0x0008;
const uint16_t kFlagStrongEncryption = 0x0040;
const uint16_t kFlagMaskedHeaders = 0x2000;
// The flags a local header must share with its directory entry.
const uint16_t kFlagsCompared = kFlagEncrypted | kFlagDescriptor | kFlagStrongEncryption;

const unsigned kHostUnix = 3;
const uint32_t kTypeMask = 0170000;
const uint32_t kTypeFolder = 0040000;
const uint32_t kTypeFile = 0100000;

uint16_t get16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t get64(const unsigned char *p)
{
    return get32(p) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

// True when length bytes from offset lie inside the archive.
bool inside(const ZipArchive *a, uint64_t offset, uint64_t length)
{
    return offset <= a->size && length <= a->size - offset;
}

int fail(ZipProblem *p, int code)
{
    p->code = code;
    return -1;
}

// The Zip64 values of an extra-field block: each of size, compressed size
// and offset is replaced when its 32-bit field is saturated (*want set).
// Result: 0, or a problem code for a block that does not parse whole or
// lacks a value it must hold.
int readExtra(const unsigned char *extra, uint32_t length, bool wantSize, bool wantCompressed,
              bool wantOffset, uint64_t *size, uint64_t *compressed, uint64_t *offset,
              bool *hasZip64)
{
    *hasZip64 = false;
    uint32_t pos = 0;
    while (pos < length) {
        if (length - pos < 4)
            return ZIP_BAD_EXTRA_FIELD;
        const uint16_t id = get16(extra + pos);
        const uint16_t n = get16(extra + pos + 2);
        pos += 4;
        if (n > length - pos)
            return ZIP_BAD_EXTRA_FIELD;
        if (id == 0x0001) {
            if (*hasZip64)
                return ZIP_BAD_EXTRA_FIELD;
            *hasZip64 = true;
            const unsigned char *f = extra + pos;
            uint32_t left = n;
            if (wantSize) {
                if (left < 8)
                    return ZIP_BAD_EXTRA_FIELD;
                *size = get64(f);
                f += 8;
                left -= 8;
            }
            if (wantCompressed) {
                if (left < 8)
                    return ZIP_BAD_EXTRA_FIELD;
                *compressed = get64(f);
                f += 8;
                left -= 8;
            }
            if (wantOffset) {
                if (left < 8)
                    return ZIP_BAD_EXTRA_FIELD;
                *offset = get64(f);
            }
        }
        pos += n;
    }
    if ((wantSize || wantCompressed || wantOffset) && !*hasZip64)
        return ZIP_BAD_EXTRA_FIELD;
    return 0;
}

} // namespace

extern "C" int zipNameProblem(const unsigned char *name, uint32_t length)
{
    if (length == 0)
        return ZIP_NAME_EMPTY;
    if (length > ZIP_MAX_NAME)
        return ZIP_NAME_TOO_LONG;
    if (name[0] == '/')
        return ZIP_NAME_ABSOLUTE;
    // A folder's trailing '/' ends its last part; every part is non-empty.
    const uint32_t end = name[length - 1] == '/' ? length - 1 : length;
    uint32_t start = 0;
    for (uint32_t i = 0; i <= end; i++) {
        if (i < end && (name[i] == 0 || name[i] == '\\'))
            return ZIP_NAME_BAD_BYTE; // a cut name, or a separator elsewhere
        if (i < end && name[i] != '/')
            continue;
        const uint32_t n = i - start;
        if (n == 0)
            return ZIP_NAME_EMPTY_PART;
        if ((n == 1 && name[start] == '.') ||
            (n == 2 && name[start] == '.' && name[start + 1] == '.'))
            return ZIP_NAME_DOTS;
        start = i + 1;
    }
    return ZIP_FINE;
}

namespace {

// Finds the one end record: the one whose comment reaches the end of the
// file exactly.  A second such record (one inside another's comment, or an
// end record signature inside the comment) is refused.
int findEnd(const ZipArchive *a, uint64_t *endOffset, ZipProblem *p)
{
    if (a->size < kEndSize)
        return fail(p, ZIP_NO_END_RECORD);
    const uint64_t lowest = a->size - kEndSize > kMaxComment ? a->size - kEndSize - kMaxComment : 0;
    bool found = false;
    for (uint64_t pos = a->size - kEndSize + 1; pos-- > lowest;) {
        if (get32(a->data + pos) != kEndSig)
            continue;
        const uint64_t reach = pos + kEndSize + get16(a->data + pos + 20);
        if (!found) {
            // The last signature must be the record: one inside its comment
            // would mislead a reader that takes the last signature it finds.
            if (reach != a->size)
                return fail(p, ZIP_BAD_END_RECORD);
            found = true;
            *endOffset = pos;
        } else if (reach == a->size) {
            // An earlier record whose comment holds the last one.
            return fail(p, ZIP_TWO_END_RECORDS);
        }
    }
    return found ? 0 : fail(p, ZIP_NO_END_RECORD);
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
    const unsigned char *e = data + end;
    uint64_t count = get16(e + 10);
    uint64_t directorySize = get32(e + 12);
    uint64_t directory = get32(e + 16);
    if (get16(e + 4) != 0 || get16(e + 6) != 0 || get16(e + 8) != count)
        return fail(p, ZIP_MULTI_DISK);
    // The directory ends where the Zip64 end record starts, or the end record.
    uint64_t directoryEnd = end;
    if (end >= kLocatorSize && get32(data + end - kLocatorSize) == kZip64LocatorSig) {
        const unsigned char *l = data + end - kLocatorSize;
        const uint64_t record = get64(l + 8);
        if (get32(l + 4) != 0 || get32(l + 16) != 1)
            return fail(p, ZIP_MULTI_DISK);
        if (record > end - kLocatorSize || end - kLocatorSize - record < kZip64EndSize ||
            get32(data + record) != kZip64EndSig ||
            get64(data + record + 4) != end - kLocatorSize - record - 12)
            return fail(p, ZIP_BAD_ZIP64_END);
        const unsigned char *z = data + record;
        if (get32(z + 16) != 0 || get32(z + 20) != 0 || get64(z + 24) != get64(z + 32))
            return fail(p, ZIP_MULTI_DISK);
        // The 32-bit fields are saturated, or agree with the Zip64 values.
        const uint64_t count64 = get64(z + 32);
        const uint64_t size64 = get64(z + 40);
        const uint64_t offset64 = get64(z + 48);
        if ((count != 0xFFFF && count != count64) ||
            (directorySize != 0xFFFFFFFF && directorySize != size64) ||
            (directory != 0xFFFFFFFF && directory != offset64))
            return fail(p, ZIP_BAD_ZIP64_END);
        count = count64;
        directorySize = size64;
        directory = offset64;
        directoryEnd = record;
    } else if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directory == 0xFFFFFFFF) {
        return fail(p, ZIP_BAD_ZIP64_END);
    }
    if (directory > directoryEnd || directoryEnd - directory != directorySize)
        return fail(p, ZIP_DIRECTORY_OUTSIDE);
    if (count > directorySize / kCentralSize)
        return fail(p, ZIP_COUNT_MISMATCH);
    a->count = count;
    a->directory = directory;
    a->directoryEnd = directoryEnd;

    // Every entry, local header included, and the layout as a whole.
    ZipCursor cursor;
    ZipEntry entry;
    zipFirst(a, &cursor);
    int r;
    while ((r = zipNext(a, &cursor, &entry, p)) == 1) {
    }
    return r;
}

extern "C" void zipFirst(const ZipArchive *a, ZipCursor *c)
{
    c->position = a->directory;
    c->index = 0;
    c->expected = 0;
}

namespace {

// Reads the data descriptor after an entry's data into crc and sizes.
// Result: the descriptor's length, or 0 when there is none that fits.
uint64_t readDescriptor(const ZipArchive *a, uint64_t at, bool zip64, const ZipEntry *e)
{
    const uint64_t width = zip64 ? 8 : 4;
    for (int signed_ = 1; signed_ >= 0; signed_--) {
        const uint64_t length = (signed_ ? 4 : 0) + 4 + 2 * width;
        if (!inside(a, at, length))
            continue;
        const unsigned char *d = a->data + at;
        if (signed_) {
            if (get32(d) != kDescriptorSig)
                continue;
            d += 4;
        }
        const uint64_t compressed = zip64 ? get64(d + 4) : get32(d + 4);
        const uint64_t size = zip64 ? get64(d + 12) : get32(d + 8);
        if (get32(d) == e->crc && compressed == e->compressedSize && size == e->size)
            return length;
    }
    return 0;
}

int entryProblem(const unsigned char *c, ZipEntry *e)
{
    const int name = zipNameProblem(e->name, e->nameLength);
    if (name != ZIP_FINE)
        return name;
    if (e->flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedHeaders))
        return ZIP_ENCRYPTED;
    if (e->method != ZIP_METHOD_STORED && e->method != ZIP_METHOD_DEFLATED)
        return ZIP_BAD_METHOD;
    if (e->method == ZIP_METHOD_STORED && e->compressedSize != e->size)
        return ZIP_BAD_STORED_SIZE;
    // Deflate makes at most 258 bytes of 2 bits: a larger size is a lie.
    if (e->method == ZIP_METHOD_DEFLATED && e->size / kMaxDeflateRatio > e->compressedSize)
        return ZIP_DAMAGED_DATA;
    e->folder = e->name[e->nameLength - 1] == '/';
    if (c[5] == kHostUnix) {
        const uint32_t mode = get32(c + 38) >> 16;
        const uint32_t type = mode & kTypeMask;
        if (type != 0 && type != kTypeFolder && type != kTypeFile)
            return ZIP_SPECIAL_FILE;
        if ((type == kTypeFolder) != (e->folder != 0) && type != 0)
            return ZIP_BAD_FOLDER;
        e->executable = (mode & 0100) != 0;
    }
    if (e->folder && (e->size != 0 || e->crc != 0))
        return ZIP_BAD_FOLDER;
    return ZIP_FINE;
}

} // namespace

extern "C" int zipNext(const ZipArchive *a, ZipCursor *cur, ZipEntry *e, ZipProblem *p)
{
    memset(e, 0, sizeof *e);
    memset(p, 0, sizeof *p);
    p->index = cur->index;
    if (cur->index == a->count) {
        // The directory holds exactly count entries, after the last entry.
        if (cur->position != a->directoryEnd)
            return fail(p, ZIP_COUNT_MISMATCH);
        if (cur->expected != a->directory)
            return fail(p, ZIP_GAP_OR_OVERLAP);
        return 0;
    }
    if (cur->position > a->directoryEnd || a->directoryEnd - cur->position < kCentralSize ||
        get32(a->data + cur->position) != kCentralSig)
        return fail(p, ZIP_BAD_DIRECTORY_ENTRY);
    const unsigned char *c = a->data + cur->position;
    const uint32_t nameLength = get16(c + 28);
    const uint32_t extraLength = get16(c + 30);
    const uint32_t commentLength = get16(c + 32);
    const uint64_t length = kCentralSize + nameLength + extraLength + commentLength;
    if (a->directoryEnd - cur->position < length)
        return fail(p, ZIP_BAD_DIRECTORY_ENTRY);
    e->name = c + kCentralSize;
    e->nameLength = nameLength;
    p->name = e->name;
    p->nameLength = nameLength;
    e->flags = get16(c + 8);
    e->method = get16(c + 10);
    e->crc = get32(c + 16);
    e->compressedSize = get32(c + 20);
    e->size = get32(c + 24);
    e->localHeader = get32(c + 42);
    if (get16(c + 34) != 0)
        return fail(p, ZIP_MULTI_DISK);
    bool zip64 = false;
    int r = readExtra(c + kCentralSize + nameLength, extraLength, e->size == 0xFFFFFFFF,
                      e->compressedSize == 0xFFFFFFFF, e->localHeader == 0xFFFFFFFF, &e->size,
                      &e->compressedSize, &e->localHeader, &zip64);
    if (r != 0)
        return fail(p, r);
    r = entryProblem(c, e);
    if (r != ZIP_FINE)
        return fail(p, r);

    // The local header: where the previous entry ended, agreeing with this.
    if (e->localHeader != cur->expected)
        return fail(p, cur->index == 0 && e->localHeader > 0 ? ZIP_DATA_IN_FRONT
                                                              : ZIP_GAP_OR_OVERLAP);
    if (!inside(a, e->localHeader, kLocalSize) || e->localHeader + kLocalSize > a->directory ||
        get32(a->data + e->localHeader) != kLocalSig)
        return fail(p, ZIP_BAD_LOCAL_HEADER);
    const unsigned char *l = a->data + e->localHeader;
    const uint32_t localName = get16(l + 26);
    const uint32_t localExtra = get16(l + 28);
    e->dataOffset = e->localHeader + kLocalSize + localName + localExtra;
    if (e->dataOffset > a->directory)
        return fail(p, ZIP_DATA_OUTSIDE);
    if (localName != nameLength || memcmp(l + kLocalSize, e->name, nameLength) != 0 ||
        get16(l + 8) != e->method || (get16(l + 6) & kFlagsCompared) != (e->flags & kFlagsCompared))
        return fail(p, ZIP_LOCAL_DISAGREES);
    uint64_t localSize = get32(l + 22);
    uint64_t localCompressed = get32(l + 18);
    uint64_t unused = 0;
    bool localZip64 = false;
    r = readExtra(l + kLocalSize + localName, localExtra, localSize == 0xFFFFFFFF,
                  localCompressed == 0xFFFFFFFF, false, &localSize, &localCompressed, &unused,
                  &localZip64);
    if (r != 0)
        return fail(p, r);
    const uint32_t localCrc = get32(l + 14);
    const bool descriptor = (e->flags & kFlagDescriptor) != 0;
    // With a descriptor the header may leave each value zero.
    if ((localCrc != e->crc && !(descriptor && localCrc == 0)) ||
        (localSize != e->size && !(descriptor && localSize == 0)) ||
        (localCompressed != e->compressedSize && !(descriptor && localCompressed == 0)))
        return fail(p, ZIP_LOCAL_DISAGREES);
    if (e->compressedSize > a->directory - e->dataOffset)
        return fail(p, ZIP_DATA_OUTSIDE);
    e->end = e->dataOffset + e->compressedSize;
    if (descriptor) {
        const uint64_t n = readDescriptor(a, e->end, localZip64, e);
        if (n == 0 || n > a->directory - e->end)
            return fail(p, ZIP_BAD_DESCRIPTOR);
        e->end += n;
    }
    cur->expected = e->end;
    cur->position += length;
    cur->index++;
    return 1;
}

extern "C" int zipInflate(const ZipArchive *a, const ZipEntry *e,
                          libdeflate_decompressor *decompressor, unsigned char *out)
{
    const unsigned char *in = a->data + e->dataOffset;
    if (e->size != static_cast<uint64_t>(static_cast<size_t>(e->size)))
        return ZIP_DAMAGED_DATA; // larger than this machine's memory
    if (e->method == ZIP_METHOD_STORED) {
        if (e->size > 0)
            memcpy(out, in, e->size);
    } else {
        size_t used = 0;
        // The stream must fill the entry exactly and use all its bytes.
        if (libdeflate_deflate_decompress_ex(decompressor, in, e->compressedSize, out, e->size,
                                             &used, NULL) != LIBDEFLATE_SUCCESS ||
            used != e->compressedSize)
            return ZIP_DAMAGED_DATA;
    }
    return libdeflate_crc32(0, out, e->size) == e->crc ? 0 : ZIP_BAD_CRC;
}

extern "C" int zipCheckStored(const ZipArchive *a, const ZipEntry *e)
{
    return libdeflate_crc32(0, a->data + e->dataOffset, e->size) == e->crc ? 0 : ZIP_BAD_CRC;
}

namespace {

// An entry's path: its name without a folder's trailing '/'.
uint32_t pathLength(const ZipEntry *e)
{
    return e->folder ? e->nameLength - 1 : e->nameLength;
}

int byPath(const void *x, const void *y)
{
    const ZipEntry *a = static_cast<const ZipEntry *>(x);
    const ZipEntry *b = static_cast<const ZipEntry *>(y);
    const uint32_t la = pathLength(a);
    const uint32_t lb = pathLength(b);
    const int c = memcmp(a->name, b->name, la < lb ? la : lb);
    return c != 0 ? c : la < lb ? -1 : la > lb ? 1 : 0;
}

} // namespace

extern "C" int zipCheckNames(ZipEntry *entries, uint64_t count, ZipProblem *p)
{
    memset(p, 0, sizeof *p);
    if (count < 2)
        return 0;
    qsort(entries, count, sizeof *entries, byPath);
    for (uint64_t i = 1; i < count; i++) {
        if (byPath(&entries[i - 1], &entries[i]) == 0) {
            p->code = ZIP_DUPLICATE_NAME;
            p->index = i;
            p->name = entries[i].name;
            p->nameLength = entries[i].nameLength;
            return -1;
        }
    }
    return 0;
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
        "entries overlap, or leave a gap before the central directory",
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
        "a symbolic link or special file",
        "encrypted",
        "a compression method other than stored or deflated",
        "a folder entry with data, or a folder mode on a file name",
        "a stored entry whose sizes differ",
        "damaged compressed data",
        "CRC-32 mismatch",
        "two entries for the same path",
    };
    return code >= 0 && code < ZIP_PROBLEM_COUNT ? texts[code] : "unknown problem";
}
