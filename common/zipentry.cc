// The directory walk: each directory entry read with its local header,
// its extra fields and its data descriptor, and checked on its own (see
// zipread.h for what is refused).
#include <libdeflate.h>
#include <stddef.h>
#include <string.h>

#include "zipdecode.h"
#include "zipformat.h"

namespace {

const uint32_t kLocalSig = 0x04034b50;
const uint32_t kCentralSig = 0x02014b50;
const uint32_t kDescriptorSig = 0x08074b50;
const uint64_t kCentralSize = ZIP_CENTRAL_SIZE;
const uint64_t kLocalSize = ZIP_LOCAL_SIZE;

const uint16_t kFlagEncrypted = 0x0001;
const uint16_t kFlagDescriptor = 0x0008;
const uint16_t kFlagStrongEncryption = 0x0040;
const uint16_t kFlagUtf8 = 0x0800;
const uint16_t kFlagMaskedHeaders = 0x2000;
// The flags a local header must share with its directory entry.
const uint16_t kFlagsCompared = kFlagEncrypted | kFlagDescriptor | kFlagStrongEncryption;

const uint16_t kExtraZip64 = 0x0001;
const uint16_t kExtraUnicodePath = 0x7075;

// A Unix host's mode, in the upper half of the external attributes.
const unsigned kHostUnix = 3;
const uint32_t kTypeMask = 0170000;
const uint32_t kTypeFolder = 0040000;
const uint32_t kTypeFile = 0100000;
const uint32_t kTypeLink = 0120000;
const uint32_t kTypeFifo = 0010000;

// The values an extra-field block holds.
struct Extra {
    bool zip64;
    const unsigned char *unicode; // the Unicode Path field's data, or NULL
    uint32_t unicodeLength;
};

// Reads an extra-field block.  Each of size, compressed size and offset is
// replaced by its Zip64 value when its 32-bit field is saturated (*want
// set).  Zero bytes too few for a field's header (zipalign's padding) may
// end the block.  Result: 0, or a problem code for a block that does not
// parse whole, holds a field twice or lacks a value it must hold.
int readExtra(const unsigned char *extra, uint32_t length, bool wantSize, bool wantCompressed,
              bool wantOffset, uint64_t *size, uint64_t *compressed, uint64_t *offset, Extra *x)
{
    memset(x, 0, sizeof *x);
    uint32_t pos = 0;
    while (pos < length) {
        if (length - pos < 4) {
            for (; pos < length; pos++) {
                if (extra[pos] != 0)
                    return ZIP_BAD_EXTRA_FIELD;
            }
            break;
        }
        const uint16_t id = zipGet16(extra + pos);
        const uint16_t n = zipGet16(extra + pos + 2);
        pos += 4;
        if (n > length - pos)
            return ZIP_BAD_EXTRA_FIELD;
        const unsigned char *f = extra + pos;
        if (id == kExtraZip64) {
            if (x->zip64)
                return ZIP_BAD_EXTRA_FIELD;
            x->zip64 = true;
            uint32_t left = n;
            if (wantSize) {
                if (left < 8)
                    return ZIP_BAD_EXTRA_FIELD;
                *size = zipGet64(f);
                f += 8;
                left -= 8;
            }
            if (wantCompressed) {
                if (left < 8)
                    return ZIP_BAD_EXTRA_FIELD;
                *compressed = zipGet64(f);
                f += 8;
                left -= 8;
            }
            if (wantOffset) {
                if (left < 8)
                    return ZIP_BAD_EXTRA_FIELD;
                *offset = zipGet64(f);
            }
        } else if (id == kExtraUnicodePath) {
            // Version 1, the CRC-32 of the header's name, the name in UTF-8.
            if (x->unicode != NULL || n < 5)
                return ZIP_BAD_EXTRA_FIELD;
            x->unicode = f;
            x->unicodeLength = n;
        }
        pos += n;
    }
    if ((wantSize || wantCompressed || wantOffset) && !x->zip64)
        return ZIP_BAD_EXTRA_FIELD;
    return 0;
}

// The Unicode Path field's name when the field is of version 1 and names
// the header's name (its CRC-32); else NULL, and the header's name counts.
const unsigned char *unicodeName(const Extra *x, const unsigned char *name, uint32_t nameLength,
                                 uint32_t *length)
{
    if (x->unicode == NULL || x->unicode[0] != 1 ||
        zipGet32(x->unicode + 1) != libdeflate_crc32(0, name, nameLength))
        return NULL;
    *length = x->unicodeLength - 5;
    return x->unicode + 5;
}

// Reads the data descriptor after an entry's data: 64-bit sizes when the
// local header has a Zip64 field or the sizes need them (java.util.zip
// writes them so without the field).  Result: the descriptor's length, or
// 0 when there is none that agrees.
uint64_t readDescriptor(const ZipArchive *a, uint64_t at, bool zip64, const ZipEntry *e)
{
    if (e->size >= kZipSaturated32 || e->compressedSize >= kZipSaturated32)
        zip64 = true;
    const uint64_t width = zip64 ? 8 : 4;
    for (int signed_ = 1; signed_ >= 0; signed_--) {
        const uint64_t length = (signed_ ? 4 : 0) + 4 + 2 * width;
        if (!zipInside(a, at, length))
            continue;
        const unsigned char *d = a->data + at;
        if (signed_) {
            if (zipGet32(d) != kDescriptorSig)
                continue;
            d += 4;
        }
        const uint64_t compressed = zip64 ? zipGet64(d + 4) : zipGet32(d + 4);
        const uint64_t size = zip64 ? zipGet64(d + 12) : zipGet32(d + 8);
        if (zipGet32(d) == e->crc && compressed == e->compressedSize && size == e->size)
            return length;
    }
    return 0;
}

int entryProblem(const unsigned char *c, ZipEntry *e)
{
    char name[ZIP_NAME_BUFFER];
    const int length = zipEntryName(e, name);
    if (length < 0)
        return ZIP_NAME_TOO_LONG;
    const int problem =
        zipNameProblem(reinterpret_cast<const unsigned char *>(name), static_cast<uint32_t>(length));
    if (problem != ZIP_FINE)
        return problem;
    if (e->flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedHeaders))
        return ZIP_ENCRYPTED;
    const int method = zipMethodProblem(e->method, e->compressedSize, e->size);
    if (method != ZIP_FINE)
        return method;
    e->folder = name[length - 1] == '/';
    int parts = e->folder ? 0 : 1;
    for (int i = 0; i < length; i++)
        parts += name[i] == '/';
    if (parts > ZIP_MAX_DEPTH)
        return ZIP_TOO_DEEP;
    if (c[5] == kHostUnix) {
        const uint32_t mode = zipGet32(c + 38) >> 16;
        const uint32_t type = mode & kTypeMask;
        // A link's data is its target: written as a file it would mean
        // something else, so it is refused.
        if (type == kTypeLink)
            return ZIP_LINK;
        // A FIFO's mode with a file name is zip's "-", its standard input
        // stored with the pipe's mode: a file with that data, as every other
        // reader writes it (a FIFO is never made).  Devices and sockets have
        // no data to stand for them.
        if (type != 0 && type != kTypeFolder && type != kTypeFile && type != kTypeFifo)
            return ZIP_SPECIAL_FILE;
        // A folder's mode on a file name, or another type on a folder name
        // (a FIFO's too): the entry contradicts itself.
        if ((type == kTypeFolder) != (e->folder != 0) && type != 0)
            return ZIP_BAD_FOLDER;
        e->executable = (mode & 0100) != 0;
    }
    if (e->folder && (e->size != 0 || e->crc != 0))
        return ZIP_BAD_FOLDER;
    return ZIP_FINE;
}

} // namespace

extern "C" void zipFirst(const ZipArchive *a, ZipCursor *c)
{
    c->position = a->directory;
    c->index = 0;
}

extern "C" uint32_t zipNextDosTime(const ZipArchive *a, const ZipCursor *c)
{
    // Time at offset 12, date at 14 of a directory entry.
    if (c->position > a->directoryEnd || a->directoryEnd - c->position < kCentralSize)
        return 0;
    const unsigned char *d = a->data + c->position;
    return (static_cast<uint32_t>(zipGet16(d + 14)) << 16) | zipGet16(d + 12);
}

extern "C" int zipNext(const ZipArchive *a, ZipCursor *cur, ZipEntry *e, ZipProblem *p)
{
    memset(e, 0, sizeof *e);
    memset(p, 0, sizeof *p);
    p->index = cur->index;
    // The directory holds exactly count entries.
    if (cur->index == a->count)
        return cur->position == a->directoryEnd ? 0 : zipFail(p, ZIP_COUNT_MISMATCH);
    if (cur->position == a->directoryEnd)
        return zipFail(p, ZIP_COUNT_MISMATCH);
    if (cur->position > a->directoryEnd || a->directoryEnd - cur->position < kCentralSize ||
        zipGet32(a->data + cur->position) != kCentralSig)
        return zipFail(p, ZIP_BAD_DIRECTORY_ENTRY);
    const unsigned char *c = a->data + cur->position;
    const uint32_t nameLength = zipGet16(c + 28);
    const uint32_t extraLength = zipGet16(c + 30);
    const uint32_t commentLength = zipGet16(c + 32);
    const uint64_t length = kCentralSize + nameLength + extraLength + commentLength;
    if (a->directoryEnd - cur->position < length)
        return zipFail(p, ZIP_BAD_DIRECTORY_ENTRY);
    const unsigned char *headerName = c + kCentralSize;
    e->flags = zipGet16(c + 8);
    e->storedName = headerName;
    e->storedNameLength = nameLength;
    e->nameForm = zipNameForm(c[5], (e->flags & kFlagUtf8) != 0, headerName, nameLength);
    zipNoteName(p, e);
    e->method = zipGet16(c + 10);
    e->crc = zipGet32(c + 16);
    e->compressedSize = zipGet32(c + 20);
    e->size = zipGet32(c + 24);
    e->localHeader = zipGet32(c + 42);
    if (zipGet16(c + 34) != 0)
        return zipFail(p, ZIP_MULTI_DISK);
    Extra extra;
    int r = readExtra(c + kCentralSize + nameLength, extraLength, e->size == kZipSaturated32,
                      e->compressedSize == kZipSaturated32, e->localHeader == kZipSaturated32,
                      &e->size, &e->compressedSize, &e->localHeader, &extra);
    if (r != 0)
        return zipFail(p, r);
    uint32_t unicodeLength = 0;
    const unsigned char *unicode = unicodeName(&extra, headerName, nameLength, &unicodeLength);
    if (unicode != NULL) {
        e->storedName = unicode;
        e->storedNameLength = unicodeLength;
        e->nameForm = zipNameForm(c[5], 1, unicode, unicodeLength);
        zipNoteName(p, e);
    }
    r = entryProblem(c, e);
    if (r != ZIP_FINE)
        return zipFail(p, r);

    // The local header, agreeing with the directory entry.
    if (e->localHeader < a->start || !zipInside(a, e->localHeader, kLocalSize) ||
        e->localHeader + kLocalSize > a->directory ||
        zipGet32(a->data + e->localHeader) != kLocalSig)
        return zipFail(p, ZIP_BAD_LOCAL_HEADER);
    const unsigned char *l = a->data + e->localHeader;
    const uint32_t localName = zipGet16(l + 26);
    const uint32_t localExtra = zipGet16(l + 28);
    e->dataOffset = e->localHeader + kLocalSize + localName + localExtra;
    if (e->dataOffset > a->directory)
        return zipFail(p, ZIP_DATA_OUTSIDE);
    if (localName != nameLength || memcmp(l + kLocalSize, headerName, nameLength) != 0 ||
        zipGet16(l + 8) != e->method ||
        (zipGet16(l + 6) & kFlagsCompared) != (e->flags & kFlagsCompared))
        return zipFail(p, ZIP_LOCAL_DISAGREES);
    uint64_t localSize = zipGet32(l + 22);
    uint64_t localCompressed = zipGet32(l + 18);
    uint64_t unused = 0;
    Extra local;
    r = readExtra(l + kLocalSize + localName, localExtra, localSize == kZipSaturated32,
                  localCompressed == kZipSaturated32, false, &localSize, &localCompressed, &unused,
                  &local);
    if (r != 0)
        return zipFail(p, r);
    // A Unicode Path field there must give the name the directory gives.
    uint32_t localUnicodeLength = 0;
    const unsigned char *localUnicode =
        unicodeName(&local, headerName, nameLength, &localUnicodeLength);
    if (localUnicode != NULL &&
        (unicode == NULL || localUnicodeLength != unicodeLength ||
         memcmp(localUnicode, unicode, unicodeLength) != 0))
        return zipFail(p, ZIP_LOCAL_DISAGREES);
    const uint32_t localCrc = zipGet32(l + 14);
    const bool descriptor = (e->flags & kFlagDescriptor) != 0;
    // With a descriptor the header may leave each value zero.
    if ((localCrc != e->crc && !(descriptor && localCrc == 0)) ||
        (localSize != e->size && !(descriptor && localSize == 0)) ||
        (localCompressed != e->compressedSize && !(descriptor && localCompressed == 0)))
        return zipFail(p, ZIP_LOCAL_DISAGREES);
    if (e->compressedSize > a->directory - e->dataOffset)
        return zipFail(p, ZIP_DATA_OUTSIDE);
    e->end = e->dataOffset + e->compressedSize;
    if (descriptor) {
        const uint64_t n = readDescriptor(a, e->end, local.zip64, e);
        if (n == 0 || n > a->directory - e->end)
            return zipFail(p, ZIP_BAD_DESCRIPTOR);
        e->end += n;
    }
    cur->position += length;
    cur->index++;
    return 1;
}
