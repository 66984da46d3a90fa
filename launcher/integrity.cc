// A package whose bytes changed never runs: the directory and elements 1 to
// 3 (what the launcher reads and runs before the unzip utility checks the
// image's own CRCs) against the checksums of the package record.
#include <stdio.h>

#include "../common/pkg_checksum.h"
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

// The checksum of element index, read from the package.  Result: 0, or -1
// when it cannot be read whole.
static int elementChecksum(int index, const int32_t *directory, int fd, uint32_t *sum)
{
    static unsigned char chunk[65536];
    if (seekToPkgElement(index, directory, fd) < 0)
        return -1;
    PkgChecksumState state;
    pkgChecksumInit(&state);
    for (uint32_t left = (uint32_t)directory[index]; left > 0;) {
        uint32_t n = left < sizeof chunk ? left : (uint32_t)sizeof chunk;
        if (fd_read(fd, chunk, n) != (int)n)
            return -1;
        pkgChecksumUpdate(&state, chunk, n);
        left -= n;
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
    return 0;
}
