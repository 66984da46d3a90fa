/* The one strict zip reader: the unzip utility that packages carry and
 * pkgtool both read images with it, so what pkgtool shows is what a package
 * unpacks.  It works on an archive held whole in memory (mapped), uses C
 * headers only and allocates only while zipOpen checks the archive whole
 * (memory in proportion to the entry count), so that it builds into the
 * static utility as well as into pkgtool and the tests.
 *
 * An archive is accepted only when every byte of it has one reading:
 *   ["PK00"] [entry: local header, data, descriptor] ... [entry]
 *   [central directory] [Zip64 end record and locator] [end record, comment]
 * The entries, taken in the order of their offsets (the directory may list
 * them in any order), start at offset 0 (or 4, behind the "PK00" marker of
 * a single-segment archive), follow one another without a gap or an
 * overlap, and the directory follows the last of them; the end record's
 * comment reaches exactly the end of the file and holds no second end
 * record.  Each local header must agree with its directory entry (name,
 * method, flags, CRC and sizes; with a data descriptor the header may hold
 * zeros and the descriptor the values).  Entries are refused when their
 * names could land elsewhere than named or name one path twice, when they
 * are links, devices or sockets, encrypted, or compressed with a method no
 * decoder of zipdecode.h reads (stored and deflated).  A FIFO's mode on a
 * file (zip's "-", its standard input) makes a plain file of its data.
 *
 * Names are taken as their makers meant them: the Unicode Path extra field
 * (0x7075) gives the name when its CRC-32 matches the header's name; from a
 * DOS or Windows host a backslash is a separator, and a name without the
 * UTF-8 flag that is not valid UTF-8 is CP437, converted to UTF-8.  Names
 * from other hosts are their bytes.  The safety checks apply to the name so
 * made.
 *
 * The pieces: zipread.cc (end records, zipOpen), zipentry.cc (the directory
 * walk), zipnames.cc (names), ziplayout.cc (the entries as a whole), with
 * zipformat.h between them; decoding an entry's data is zipdecode.h's. */
#ifndef COMMON_ZIPREAD_H
#define COMMON_ZIPREAD_H

#include <stdint.h>

enum {
    ZIP_METHOD_STORED = 0,
    ZIP_METHOD_DEFLATED = 8,
    /* Longest entry name: what Debian's miniunzip reads whole, so that an
     * image unpacks the same with either utility. */
    ZIP_MAX_NAME = 255,
    ZIP_NAME_BUFFER = ZIP_MAX_NAME + 1,
    /* Bounds on the folders an archive makes: no path of more parts than
     * this ("a/b/c" has 3), and no more folders implied by the entries'
     * paths, without entries of their own, than ZIP_IMPLIED_PER_ENTRY for
     * each entry and ZIP_IMPLIED_BESIDES more.  Real trees stay far below
     * (a JDK or a Python installation: 5 parts, under one folder per
     * entry); a folder bomb of deep chains goes far above. */
    ZIP_MAX_DEPTH = 64,
    ZIP_IMPLIED_PER_ENTRY = 4,
    ZIP_IMPLIED_BESIDES = 64,
};

/* How an entry's stored name bytes become its name (ZipEntry.nameForm). */
enum {
    ZIP_NAME_CP437 = 1,      /* bytes 0x80 to 0xFF are CP437 characters */
    ZIP_NAME_BACKSLASHES = 2 /* a backslash is a separator */
};

/* Why an archive or an entry was refused (zipProblemText gives the words). */
enum ZipProblemCode {
    ZIP_FINE = 0,
    ZIP_NO_END_RECORD,
    ZIP_TWO_END_RECORDS,
    ZIP_BAD_END_RECORD,
    ZIP_BAD_ZIP64_END,
    ZIP_MULTI_DISK,
    ZIP_DATA_IN_FRONT,
    ZIP_OVERLAP,
    ZIP_GAP,
    ZIP_BYTES_BEFORE_DIRECTORY,
    ZIP_SATURATED_WITHOUT_ZIP64,
    ZIP_DIRECTORY_OUTSIDE,
    ZIP_BAD_DIRECTORY_ENTRY,
    ZIP_COUNT_MISMATCH,
    ZIP_BAD_EXTRA_FIELD,
    ZIP_BAD_LOCAL_HEADER,
    ZIP_LOCAL_DISAGREES,
    ZIP_BAD_DESCRIPTOR,
    ZIP_DATA_OUTSIDE,
    ZIP_NAME_EMPTY,
    ZIP_NAME_TOO_LONG,
    ZIP_NAME_ABSOLUTE,
    ZIP_NAME_DOTS,
    ZIP_NAME_EMPTY_PART,
    ZIP_NAME_BAD_BYTE,
    ZIP_LINK,
    ZIP_SPECIAL_FILE,
    ZIP_ENCRYPTED,
    ZIP_BAD_METHOD,
    ZIP_BAD_FOLDER,
    ZIP_BAD_STORED_SIZE,
    ZIP_DAMAGED_DATA,
    ZIP_BAD_CRC,
    ZIP_DUPLICATE_NAME,
    ZIP_FILE_AS_FOLDER,
    ZIP_TOO_DEEP,
    ZIP_TOO_MANY_FOLDERS,
    ZIP_OUT_OF_MEMORY,
    ZIP_PROBLEM_COUNT
};

/* A refusal: the code, and the entry it concerns (named 0 for the archive
 * as a whole).  The name is as the entry would be unpacked (its first
 * ZIP_MAX_NAME bytes), NUL-terminated; it may hold a NUL of its own. */
struct ZipProblem {
    int code;
    uint64_t index; /* 0-based entry number in the directory */
    int named;
    uint32_t nameLength;
    char name[ZIP_NAME_BUFFER];
};

struct ZipArchive {
    const unsigned char *data;
    uint64_t size;
    uint64_t start;          /* offset of the first entry: 0, or 4 behind "PK00" */
    uint64_t count;          /* entries */
    uint64_t directory;      /* offset of the central directory */
    uint64_t directoryEnd;   /* offset of the first byte after it */
};

struct ZipEntry {
    /* The bytes the name is made of, inside the archive: the header's name
     * or the Unicode Path field's; zipEntryName makes the name of them. */
    const unsigned char *storedName;
    uint32_t storedNameLength;
    unsigned nameForm;        /* ZIP_NAME_* bits */
    uint16_t method;
    uint16_t flags;
    uint32_t crc;
    uint64_t compressedSize;
    uint64_t size;            /* unpacked */
    uint64_t localHeader;     /* offset of its local header */
    uint64_t dataOffset;      /* offset of its data */
    uint64_t end;             /* first byte after its data and descriptor */
    int folder;               /* the name ends in '/' */
    int executable;           /* Unix mode with the owner-execute bit */
};

/* Walks the central directory, one entry after another. */
struct ZipCursor {
    uint64_t position; /* of the next directory entry */
    uint64_t index;    /* of the next entry */
};

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the archive's end records, checks every entry's directory entry and
 * local header (not the data: see zipDecode), the layout of the entries
 * and their names as a whole (two entries for one path, a file where
 * another entry needs a folder, the folders the paths make).  Result: 0 with archive filled, or -1
 * with problem filled. */
int zipOpen(struct ZipArchive *archive, const unsigned char *data, uint64_t size,
            struct ZipProblem *problem);

/* Starts a walk over the entries of an opened archive. */
void zipFirst(const struct ZipArchive *archive, struct ZipCursor *cursor);

/* The next entry.  Result: 1 with entry filled, 0 after the last, -1 with
 * problem filled. */
int zipNext(const struct ZipArchive *archive, struct ZipCursor *cursor, struct ZipEntry *entry,
            struct ZipProblem *problem);

/* The DOS date and time (the date in the upper 16 bits) of the directory
 * entry that zipNext reads next from cursor, as its maker stored it; 0
 * after the last entry.  Unpacking ignores it; pkgtool dates an image by
 * it. */
uint32_t zipNextDosTime(const struct ZipArchive *archive, const struct ZipCursor *cursor);

/* The entry's name as it is unpacked, NUL-terminated, into out (of
 * ZIP_NAME_BUFFER bytes).  Result: its length, or -1 when it is longer than
 * ZIP_MAX_NAME (out then holds its first ZIP_MAX_NAME bytes); never -1 for
 * an entry of an opened archive. */
int zipEntryName(const struct ZipEntry *entry, char *out);

/* What makes an entry name unsafe or ambiguous (absolute, a "." or ".."
 * part, an empty part, a NUL or a backslash, longer than ZIP_MAX_NAME), or
 * ZIP_FINE.  A folder's name ends in '/'. */
int zipNameProblem(const unsigned char *name, uint32_t length);

/* What a problem code means, as a phrase ("the archive has two end records"). */
const char *zipProblemText(int code);

#ifdef __cplusplus
}
#endif

#endif
