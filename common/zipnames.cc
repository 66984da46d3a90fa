// Entry names: how the bytes a zip stores become the name an entry is
// unpacked under, and which names are refused (see zipread.h).
#include <stddef.h>

#include "zipformat.h"

namespace {

const uint32_t kMaxName = ZIP_MAX_NAME;

// "Version made by" hosts whose names use backslashes and, without the
// UTF-8 flag, CP437.
const unsigned kHostDos = 0;
const unsigned kHostNtfs = 11;
const unsigned kHostVfat = 14;

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

} // namespace

extern "C" uint32_t zipMakeName(const unsigned char *stored, uint32_t n, unsigned form,
                                unsigned char *out, uint32_t cap)
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

extern "C" unsigned zipNameForm(unsigned host, int utf8, const unsigned char *name,
                                uint32_t length)
{
    // Names from DOS and Windows hosts: backslashes are separators, and
    // without the UTF-8 flag a name that is not UTF-8 is CP437.
    if (host != kHostDos && host != kHostNtfs && host != kHostVfat)
        return 0;
    if (!utf8 && !validUtf8(name, length))
        return ZIP_NAME_BACKSLASHES | ZIP_NAME_CP437;
    return ZIP_NAME_BACKSLASHES;
}

extern "C" void zipNoteName(ZipProblem *p, const ZipEntry *e)
{
    const uint32_t n = zipMakeName(e->storedName, e->storedNameLength, e->nameForm,
                                   reinterpret_cast<unsigned char *>(p->name), ZIP_MAX_NAME);
    p->nameLength = n < kMaxName ? n : kMaxName;
    p->name[p->nameLength] = '\0';
    p->named = 1;
}

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
    const uint32_t n = zipMakeName(e->storedName, e->storedNameLength, e->nameForm,
                                   reinterpret_cast<unsigned char *>(out), ZIP_MAX_NAME);
    out[n < kMaxName ? n : kMaxName] = '\0';
    return n <= kMaxName ? static_cast<int>(n) : -1;
}
