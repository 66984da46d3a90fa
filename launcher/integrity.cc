// A package whose bytes changed never runs: the directory, elements 0 to 3
// and the zip directories of element 4 against the checksums of the package
// record.  With the unzip utility's checks of each entry's local header and
// CRC, that covers every byte that decides what is written and with which
// mode, without reading the image's data twice.
#include <stdio.h>
#include <unistd.h>

#include "../common/pkg_checksum.h"
#include "../common/pkg_container.h"
#include "../os/osspecific.h"
#include "installer.h"

static void damaged(const char *what, int element)
{
    if (element >= 0)
        fprintf(stderr, "Damaged package: %s (element %d) is not what was built; get the "
                        "package again\n", what, element);
    else
        fprintf(stderr, "Damaged package: %s is not what was built; get the package again\n",
                what);
}

// Adds count bytes at offset of the package to the checksum.  Result: 0,
// or -1 when they cannot be read whole.
static int addBytes(PkgChecksumState *state, int fd, off_t offset, uint32_t count)
{
    static unsigned char chunk[65536];
    while (count > 0) {
        uint32_t n = count < sizeof chunk ? count : (uint32_t)sizeof chunk;
        if (pread(fd, chunk, n, offset) != (ssize_t)n)
            return -1;
        pkgChecksumUpdate(state, chunk, n);
        offset += n;
        count -= n;
    }
    return 0;
}

// The checksum of element index, read from the package.  Result: 0, or -1
// when it cannot be read whole.
static int elementChecksum(int index, const int32_t *directory, int fd, uint32_t *sum)
{
    off_t at = seekToPkgElement(index, directory, fd);
    PkgChecksumState state;
    pkgChecksumInit(&state);
    if (at < 0 || addBytes(&state, fd, at, (uint32_t)directory[index]) != 0)
        return -1;
    *sum = pkgChecksumFinal(&state);
    return 0;
}

// The checksum of element 4's zip directories, as the record defines it.
// Result: 0, or -1 when the record's sizes do not fit the archives or the
// bytes cannot be read.
static int zipDirectoryChecksum(const unsigned char *bytes, const int32_t *directory, int fd,
                                uint32_t *sum)
{
    int64_t offsets[PKG_REC_IMAGE_SLOTS];
    int32_t sizes[PKG_REC_IMAGE_SLOTS] = {0, 0};
    const int archives = pkgImageArchives(directory, offsets, sizes);
    PkgChecksumState state;
    pkgChecksumInit(&state);
    for (int slot = 0; slot < PKG_REC_IMAGE_SLOTS; slot++) {
        uint32_t n = pkgRecordU32(bytes, PKG_REC_ZIPDIR_SIZE_OFFSET + 4 * slot);
        if (n > (uint32_t)sizes[slot] ||
            (slot < archives && addBytes(&state, fd, (off_t)(offsets[slot] + sizes[slot] - n),
                                         n) != 0))
            return -1;
    }
    *sum = pkgChecksumFinal(&state);
    return 0;
}

int checkPackageIntegrity(const int32_t *directory, int fd)
{
    unsigned char bytes[PKG_DIR_SIZE];
    pkgEncodeDirectory(directory, bytes);
    switch (pkgRecordState(bytes)) {
    case 0:
        return 0; // built before the record: nothing to check against
    case 1:
        break;
    default:
        // Not zeros, not a record: one flipped bit in the magic must not
        // turn the check off.
        damaged("the package directory", -1);
        return -1;
    }
    // The directory first: it says where the elements lie.
    if (pkgDirectoryChecksum(bytes) != pkgRecordChecksum(bytes, 3)) {
        damaged("the package directory", -1);
        return -1;
    }
    for (int i = PKG_ELEM_UNZIP; i <= PKG_ELEM_COMMANDS; i++) {
        uint32_t sum;
        if (elementChecksum(i, directory, fd, &sum) != 0 || sum != pkgRecordChecksum(bytes, i - 1)) {
            damaged(pkgElementName(i), i);
            return -1;
        }
    }
    if (pkgRecordSize(bytes) < PKG_REC_ZIPDIR_SIZE)
        return 0; // built before these two were kept
    uint32_t sum;
    if (elementChecksum(PKG_ELEM_LAUNCHER, directory, fd, &sum) != 0 ||
        sum != pkgRecordU32(bytes, PKG_REC_LAUNCHER_CHECKSUM_OFFSET)) {
        damaged(pkgElementName(PKG_ELEM_LAUNCHER), PKG_ELEM_LAUNCHER);
        return -1;
    }
    if (zipDirectoryChecksum(bytes, directory, fd, &sum) != 0 ||
        sum != pkgRecordU32(bytes, PKG_REC_ZIPDIR_CHECKSUM_OFFSET)) {
        damaged("the image's zip directory", PKG_ELEM_IMAGE);
        return -1;
    }
    return 0;
}
