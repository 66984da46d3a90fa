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
// A single-segment archive of old PKZIP and WinZip begins with this.
const uint32_t kSegmentMarker = 0x30304b50;

const uint64_t kEndSize = 22;
const uint64_t kZip64EndSize = 56;
const uint64_t kLocatorSize = 20;
const uint64_t kCentralSize = 46;
const uint64_t kLocalSize = 30;
const uint64_t kMaxComment = 0xFFFF;
const uint64_t kMaxDeflateRatio = 1032;
const uint64_t kSaturated32 = 0xFFFFFFFF;
const uint16_t kSaturated16 = 0xFFFF;
const uint32_t kMaxName = ZIP_MAX_NAME;

const uint16_t kFlagEncrypted = 0x0001;
const uint16_t kFlagDescriptor = 0x0008;
const uint16_t kFlagStrongEncryption = 0x0040;
const uint16_t kFlagUtf8 = 0x0800;
const uint16_t kFlagMaskedHeaders = 0x2000;
// The flags a local header must share with its directory entry.
const uint16_t kFlagsCompared = kFlagEncrypted | kFlagDescriptor | kFlagStrongEncryption;

const uint16_t kExtraZip64 = 0x0001;
const uint16_t kExtraUnicodePath = 0x7075;

// "Version made by" hosts.
const unsigned kHostDos = 0;
const unsigned kHostUnix = 3;
const unsigned kHostNtfs = 11;
const unsigned kHostVfat = 14;
const uint32_t kTypeMask = 0170000;
const uint32_t kTypeFolder = 0040000;
const uint32_t kTypeFile = 0100000;
const uint32_t kTypeLink = 0120000;
const uint32_t kTypeFifo = 0010000;

// CP437's characters 0x80 to 0xFF.
const uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
    0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
    0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
    0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
    0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
    0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
    0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
    0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
    0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
    0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
    0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

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

bool validUtf8(const unsigned char *s, uint32_t n)
{
    for (uint32_t i = 0; i < n;) {
        const unsigned c = s[i];
        uint32_t length;
        if (c < 0x80) {
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        uint32_t code = c & (0x7F >> length);
        for (uint32_t k = 1; k < length; k++) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

// Makes a name of stored bytes in the given form into out (room for cap
// bytes).  Result: the whole name's length, which may exceed cap (out then
// holds its first cap bytes).
uint32_t makeName(const unsigned char *stored, uint32_t n, unsigned form, unsigned char *out,
                  uint32_t cap)
{
    uint32_t length = 0;
    for (uint32_t i = 0; i < n; i++) {
        unsigned char bytes[3];
        uint32_t count = 1;
        bytes[0] = stored[i];
        if ((form & ZIP_NAME_BACKSLASHES) && stored[i] == '\\') {
            bytes[0] = '/';
        } else if ((form & ZIP_NAME_CP437) && stored[i] >= 0x80) {
            const uint32_t code = kCp437High[stored[i] - 0x80];
            if (code < 0x800) {
                bytes[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
                bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
                count = 2;
            } else {
                bytes[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
                bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
                bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
                count = 3;
            }
        }
        for (uint32_t k = 0; k < count; k++, length++) {
            if (length < cap)
                out[length] = bytes[k];
        }
    }
    return length;
}

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
        const uint16_t id = get16(extra + pos);
        const uint16_t n = get16(extra + pos + 2);
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
        get32(x->unicode + 1) != libdeflate_crc32(0, name, nameLength))
        return NULL;
    *length = x->unicodeLength - 5;
    return x->unicode + 5;
}

bool dosHost(unsigned host)
{
    return host == kHostDos || host == kHostNtfs || host == kHostVfat;
}

// Notes the entry's name, as it would be unpacked, in the problem.
void nameProblem(ZipProblem *p, const ZipEntry *e)
{
    const uint32_t n = makeName(e->storedName, e->storedNameLength, e->nameForm,
                                reinterpret_cast<unsigned char *>(p->name), ZIP_MAX_NAME);
    p->nameLength = n < kMaxName ? n : kMaxName;
    p->name[p->nameLength] = '\0';
    p->named = 1;
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

extern "C" int zipEntryName(const ZipEntry *e, char *out)
{
    const uint32_t n = makeName(e->storedName, e->storedNameLength, e->nameForm,
                                reinterpret_cast<unsigned char *>(out), ZIP_MAX_NAME);
    out[n < kMaxName ? n : kMaxName] = '\0';
    return n <= kMaxName ? static_cast<int>(n) : -1;
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

// Reads the end record, and the Zip64 end record where a locator stands in
// front of it, into the archive's count and directory.
int readEnd(ZipArchive *a, uint64_t end, ZipProblem *p)
{
    const unsigned char *data = a->data;
    const unsigned char *e = data + end;
    const uint16_t disk = get16(e + 4);
    const uint16_t directoryDisk = get16(e + 6);
    const uint16_t diskCount = get16(e + 8);
    uint64_t count = get16(e + 10);
    uint64_t directorySize = get32(e + 12);
    uint64_t directory = get32(e + 16);
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
        // The end record's fields are saturated, or agree with the Zip64
        // values (the disk numbers are 0 there).
        if ((disk != 0 && disk != kSaturated16) ||
            (directoryDisk != 0 && directoryDisk != kSaturated16))
            return fail(p, ZIP_MULTI_DISK);
        const uint64_t count64 = get64(z + 32);
        const uint64_t size64 = get64(z + 40);
        const uint64_t offset64 = get64(z + 48);
        if ((diskCount != kSaturated16 && diskCount != count64) ||
            (count != kSaturated16 && count != count64) ||
            (directorySize != kSaturated32 && directorySize != size64) ||
            (directory != kSaturated32 && directory != offset64))
            return fail(p, ZIP_BAD_ZIP64_END);
        count = count64;
        directorySize = size64;
        directory = offset64;
        directoryEnd = record;
    } else {
        // A count of 0xFFFF is the count itself when the directory holds
        // that many entries (zip writes no Zip64 record for 65,535); other
        // saturated fields promise a Zip64 end record that is not there.
        if (disk == kSaturated16 || directoryDisk == kSaturated16 ||
            directorySize == kSaturated32 || directory == kSaturated32)
            return fail(p, ZIP_SATURATED_WITHOUT_ZIP64);
        if (disk != 0 || directoryDisk != 0 || diskCount != count)
            return fail(p, ZIP_MULTI_DISK);
    }
    if (directory > directoryEnd || directoryEnd - directory != directorySize)
        return fail(p, ZIP_DIRECTORY_OUTSIDE);
    if (count > directorySize / kCentralSize)
        return fail(p, ZIP_COUNT_MISMATCH);
    a->count = count;
    a->directory = directory;
    a->directoryEnd = directoryEnd;
    return 0;
}

// What zipOpen keeps of each entry to check them as a whole.
struct Item {
    uint64_t start;    // of its local header
    uint64_t end;      // after its data and descriptor
    uint64_t position; // of its directory entry
    uint64_t index;
    const unsigned char *storedName;
    uint32_t storedNameLength;
    unsigned nameForm;
};

int byOffset(const void *x, const void *y)
{
    const Item *a = static_cast<const Item *>(x);
    const Item *b = static_cast<const Item *>(y);
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
    const Item *a = static_cast<const Item *>(x);
    const Item *b = static_cast<const Item *>(y);
    int c;
    if (a->nameForm == 0 && b->nameForm == 0) {
        c = compareNames(a->storedName, a->storedNameLength, b->storedName, b->storedNameLength);
    } else {
        unsigned char na[ZIP_MAX_NAME], nb[ZIP_MAX_NAME];
        const uint32_t la = makeName(a->storedName, a->storedNameLength, a->nameForm, na,
                                     sizeof na);
        const uint32_t lb = makeName(b->storedName, b->storedNameLength, b->nameForm, nb,
                                     sizeof nb);
        c = compareNames(na, la, nb, lb);
    }
    if (c != 0)
        return c;
    return a->index < b->index ? -1 : a->index > b->index ? 1 : 0;
}

// Refuses with the code, naming the item's entry.
int failAt(const ZipArchive *a, const Item *item, int code, ZipProblem *p)
{
    ZipCursor cursor = {item->position, item->index};
    ZipEntry e;
    if (zipNext(a, &cursor, &e, p) != 1)
        return -1; // cannot happen: the entry was read before
    p->code = code;
    return -1;
}

// The entries (one at least) taken by offset: one after another from the
// archive's start up to the directory.
int checkLayout(const ZipArchive *a, Item *items, ZipProblem *p)
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
        return fail(p, ZIP_BYTES_BEFORE_DIRECTORY);
    return 0;
}

// The entries taken by name: no path twice ("a" and "a/" included), and no
// file where another entry needs a folder.  Which of them a reader keeps,
// or in which order it meets them, would be its own choice.  And no more
// folders implied by the paths than the bound.
int checkNames(const ZipArchive *a, Item *items, ZipProblem *p)
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
        const uint32_t n = makeName(items[i].storedName, items[i].storedNameLength,
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
            const Item *later = items[i].index > items[i - 1].index ? &items[i] : &items[i - 1];
            if (n == previousLength || (n == previousLength + 1 && name[n - 1] == '/'))
                return failAt(a, later, ZIP_DUPLICATE_NAME, p);
            if (!previousFolder && name[previousLength] == '/')
                return failAt(a, later, ZIP_FILE_AS_FOLDER, p);
        }
        memcpy(previous, name, n);
        previousLength = n;
    }
    if (folders - folderEntries > a->count * ZIP_IMPLIED_PER_ENTRY + ZIP_IMPLIED_BESIDES)
        return fail(p, ZIP_TOO_MANY_FOLDERS);
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
    if (size >= 4 && get32(data) == kSegmentMarker)
        a->start = 4;
    if (readEnd(a, end, p) != 0)
        return -1;

    // Every entry, local header included; then the entries as a whole.
    if (a->count != static_cast<uint64_t>(static_cast<size_t>(a->count)) ||
        a->count > SIZE_MAX / sizeof(Item))
        return fail(p, ZIP_OUT_OF_MEMORY);
    Item *items = static_cast<Item *>(malloc(a->count > 0 ? a->count * sizeof(Item) : 1));
    if (items == NULL)
        return fail(p, ZIP_OUT_OF_MEMORY);
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
        Item *item = &items[i];
        item->start = entry.localHeader;
        item->end = entry.end;
        item->position = position;
        item->index = i;
        item->storedName = entry.storedName;
        item->storedNameLength = entry.storedNameLength;
        item->nameForm = entry.nameForm;
    }
    if (r == 0 && !ordered)
        r = checkLayout(a, items, p);
    else if (r == 0 && expected != a->directory)
        r = fail(p, ZIP_BYTES_BEFORE_DIRECTORY);
    if (r == 0)
        r = checkNames(a, items, p);
    free(items);
    return r == 0 ? 0 : -1;
}

extern "C" void zipFirst(const ZipArchive *a, ZipCursor *c)
{
    c->position = a->directory;
    c->index = 0;
}

namespace {

// Reads the data descriptor after an entry's data: 64-bit sizes when the
// local header has a Zip64 field or the sizes need them (java.util.zip
// writes them so without the field).  Result: the descriptor's length, or
// 0 when there is none that agrees.
uint64_t readDescriptor(const ZipArchive *a, uint64_t at, bool zip64, const ZipEntry *e)
{
    if (e->size >= kSaturated32 || e->compressedSize >= kSaturated32)
        zip64 = true;
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
    if (e->method != ZIP_METHOD_STORED && e->method != ZIP_METHOD_DEFLATED)
        return ZIP_BAD_METHOD;
    if (e->method == ZIP_METHOD_STORED && e->compressedSize != e->size)
        return ZIP_BAD_STORED_SIZE;
    // Deflate makes at most 258 bytes of 2 bits: a larger size is a lie.
    if (e->method == ZIP_METHOD_DEFLATED && e->size / kMaxDeflateRatio > e->compressedSize)
        return ZIP_DAMAGED_DATA;
    e->folder = name[length - 1] == '/';
    int parts = e->folder ? 0 : 1;
    for (int i = 0; i < length; i++)
        parts += name[i] == '/';
    if (parts > ZIP_MAX_DEPTH)
        return ZIP_TOO_DEEP;
    if (c[5] == kHostUnix) {
        const uint32_t mode = get32(c + 38) >> 16;
        const uint32_t type = mode & kTypeMask;
        if (type == kTypeLink)
            return ZIP_LINK;
        if (type == kTypeFifo)
            return ZIP_FIFO;
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
    // The directory holds exactly count entries.
    if (cur->index == a->count)
        return cur->position == a->directoryEnd ? 0 : fail(p, ZIP_COUNT_MISMATCH);
    if (cur->position == a->directoryEnd)
        return fail(p, ZIP_COUNT_MISMATCH);
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
    const unsigned char *headerName = c + kCentralSize;
    e->flags = get16(c + 8);
    // Names from DOS and Windows hosts: backslashes are separators, and
    // without the UTF-8 flag a name that is not UTF-8 is CP437.
    const bool dos = dosHost(c[5]);
    e->storedName = headerName;
    e->storedNameLength = nameLength;
    e->nameForm = dos ? ZIP_NAME_BACKSLASHES : 0;
    if (dos && !(e->flags & kFlagUtf8) && !validUtf8(headerName, nameLength))
        e->nameForm |= ZIP_NAME_CP437;
    nameProblem(p, e);
    e->method = get16(c + 10);
    e->crc = get32(c + 16);
    e->compressedSize = get32(c + 20);
    e->size = get32(c + 24);
    e->localHeader = get32(c + 42);
    if (get16(c + 34) != 0)
        return fail(p, ZIP_MULTI_DISK);
    Extra extra;
    int r = readExtra(c + kCentralSize + nameLength, extraLength, e->size == kSaturated32,
                      e->compressedSize == kSaturated32, e->localHeader == kSaturated32, &e->size,
                      &e->compressedSize, &e->localHeader, &extra);
    if (r != 0)
        return fail(p, r);
    uint32_t unicodeLength = 0;
    const unsigned char *unicode = unicodeName(&extra, headerName, nameLength, &unicodeLength);
    if (unicode != NULL) {
        e->storedName = unicode;
        e->storedNameLength = unicodeLength;
        e->nameForm = dos ? ZIP_NAME_BACKSLASHES : 0;
        nameProblem(p, e);
    }
    r = entryProblem(c, e);
    if (r != ZIP_FINE)
        return fail(p, r);

    // The local header, agreeing with the directory entry.
    if (e->localHeader < a->start || !inside(a, e->localHeader, kLocalSize) ||
        e->localHeader + kLocalSize > a->directory || get32(a->data + e->localHeader) != kLocalSig)
        return fail(p, ZIP_BAD_LOCAL_HEADER);
    const unsigned char *l = a->data + e->localHeader;
    const uint32_t localName = get16(l + 26);
    const uint32_t localExtra = get16(l + 28);
    e->dataOffset = e->localHeader + kLocalSize + localName + localExtra;
    if (e->dataOffset > a->directory)
        return fail(p, ZIP_DATA_OUTSIDE);
    if (localName != nameLength || memcmp(l + kLocalSize, headerName, nameLength) != 0 ||
        get16(l + 8) != e->method || (get16(l + 6) & kFlagsCompared) != (e->flags & kFlagsCompared))
        return fail(p, ZIP_LOCAL_DISAGREES);
    uint64_t localSize = get32(l + 22);
    uint64_t localCompressed = get32(l + 18);
    uint64_t unused = 0;
    Extra local;
    r = readExtra(l + kLocalSize + localName, localExtra, localSize == kSaturated32,
                  localCompressed == kSaturated32, false, &localSize, &localCompressed, &unused,
                  &local);
    if (r != 0)
        return fail(p, r);
    // A Unicode Path field there must give the name the directory gives.
    uint32_t localUnicodeLength = 0;
    const unsigned char *localUnicode =
        unicodeName(&local, headerName, nameLength, &localUnicodeLength);
    if (localUnicode != NULL &&
        (unicode == NULL || localUnicodeLength != unicodeLength ||
         memcmp(localUnicode, unicode, unicodeLength) != 0))
        return fail(p, ZIP_LOCAL_DISAGREES);
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
        const uint64_t n = readDescriptor(a, e->end, local.zip64, e);
        if (n == 0 || n > a->directory - e->end)
            return fail(p, ZIP_BAD_DESCRIPTOR);
        e->end += n;
    }
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
        // The stream must fill the entry exactly; bytes after its end are
        // unused (some writers leave them), and the CRC still decides.
        if (libdeflate_deflate_decompress_ex(decompressor, in, e->compressedSize, out, e->size,
                                             &used, NULL) != LIBDEFLATE_SUCCESS)
            return ZIP_DAMAGED_DATA;
    }
    return libdeflate_crc32(0, out, e->size) == e->crc ? 0 : ZIP_BAD_CRC;
}

extern "C" int zipCheckStored(const ZipArchive *a, const ZipEntry *e)
{
    return libdeflate_crc32(0, a->data + e->dataOffset, e->size) == e->crc ? 0 : ZIP_BAD_CRC;
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
        "a FIFO (as zip stores its standard input, \"-\")",
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
