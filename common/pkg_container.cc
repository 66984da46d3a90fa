// The package container's one reader (see pkg_container.h).
#include "pkg_container.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads count bytes at offset whole.  Result: 0, or -1.
int readAt(int fd, void *out, size_t count, uint64_t offset)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(fd, (char *)out + done, count - done, (off_t)(offset + done));
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

// Finds a signature block behind the package and the zeros in front of it.
// Result: PKG_CONTAINER_FINE (signatureSize 0 when there is none), or the
// problem; signedSize is set either way, for a damaged alignment as the
// last 0xFF in front of the block places the end marker.
int findSignature(int fd, PkgContainer *c)
{
    unsigned char tail[PKG_SIG_TRAILER_SIZE];
    c->signedSize = c->fileSize;
    if (c->fileSize < sizeof tail + PKG_TRAILER_SIZE)
        return PKG_CONTAINER_FINE;
    if (readAt(fd, tail, sizeof tail, c->fileSize - sizeof tail) != 0)
        return PKG_CONTAINER_READ_FAILED;
    const uint32_t size = pkgSignatureBlockSize(tail, c->fileSize);
    if (size == 0)
        return PKG_CONTAINER_FINE;
    unsigned char before[PKG_SIG_ALIGN];
    const uint64_t blockStart = c->fileSize - size;
    if (blockStart < sizeof before + PKG_TRAILER_SIZE)
        return PKG_CONTAINER_TOO_SHORT;
    if (readAt(fd, before, sizeof before, blockStart - sizeof before) != 0)
        return PKG_CONTAINER_READ_FAILED;
    c->signatureSize = size;
    int align = pkgSignatureAlignment(before, blockStart);
    int problem = PKG_CONTAINER_FINE;
    if (align < 0) {
        problem = PKG_CONTAINER_BAD_ALIGNMENT;
        align = 0;
        for (int k = PKG_SIG_ALIGN - 1; k >= 0; k--) {
            if (before[k] == PKG_END_MARKER) {
                align = PKG_SIG_ALIGN - 1 - k;
                break;
            }
        }
    }
    c->alignment = (uint32_t)align;
    c->signedSize = blockStart - (uint64_t)align;
    if (problem != PKG_CONTAINER_FINE)
        return problem;
    unsigned char block[PKG_SIG_MAX_SIZE];
    PkgSignature parsed;
    if (readAt(fd, block, size, blockStart) != 0)
        return PKG_CONTAINER_READ_FAILED;
    return pkgParseSignature(block, size, &parsed) == 0 ? PKG_CONTAINER_FINE
                                                        : PKG_CONTAINER_BAD_SIGNATURE;
}

} // namespace

extern "C" int pkgReadContainer(int fd, PkgContainer *c)
{
    memset(c, 0, sizeof *c);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return PKG_CONTAINER_READ_FAILED;
    c->fileSize = (uint64_t)st.st_size;
    if (c->fileSize < PKG_TRAILER_SIZE)
        return PKG_CONTAINER_TOO_SHORT;
    // A damaged signature still lets the directory be found: the program
    // may report the rest too.
    const int signature = findSignature(fd, c);
    if (signature == PKG_CONTAINER_TOO_SHORT || signature == PKG_CONTAINER_READ_FAILED)
        return signature;
    if (c->signedSize < PKG_TRAILER_SIZE)
        return PKG_CONTAINER_TOO_SHORT;
    unsigned char trailer[PKG_TRAILER_SIZE];
    if (readAt(fd, trailer, sizeof trailer, c->signedSize - PKG_TRAILER_SIZE) != 0)
        return PKG_CONTAINER_READ_FAILED;
    memcpy(c->directory, trailer, PKG_DIR_SIZE);
    c->endMarker = trailer[PKG_DIR_SIZE];
    pkgDecodeDirectory(c->directory, c->entries);
    int problem = signature;
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        if (c->entries[i] < 0 && problem == PKG_CONTAINER_FINE)
            problem = PKG_CONTAINER_NEGATIVE_SIZE;
        c->sizeSum += c->entries[i] < 0 ? 0 : c->entries[i];
    }
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        if (c->entries[i] < 0)
            return problem;
    if (c->sizeSum > PKG_MAX_OFFSET)
        return problem != PKG_CONTAINER_FINE ? problem : PKG_CONTAINER_SIZES_TOO_LARGE;
    if ((uint64_t)c->sizeSum + PKG_TRAILER_SIZE != c->signedSize)
        return problem != PKG_CONTAINER_FINE ? problem : PKG_CONTAINER_SIZES_DISAGREE;
    c->located = 1;
    if (problem == PKG_CONTAINER_FINE && (c->entries[PKG_DIR_FIRST_IMAGE_ENTRY] < 0 ||
                                          c->entries[PKG_DIR_SECOND_IMAGE_ENTRY] < 0))
        problem = PKG_CONTAINER_NEGATIVE_IMAGE;
    return problem;
}

extern "C" int64_t pkgElementOffset(const int32_t *entries, int index)
{
    int64_t offset = 0;
    for (int i = 0; i < index && i < PKG_ELEMENT_COUNT; i++)
        offset += entries[i];
    return offset;
}

extern "C" int pkgImageArchives(const int32_t *entries, int64_t offsets[2], int32_t sizes[2])
{
    const int32_t image = entries[PKG_ELEM_IMAGE];
    const int32_t first = entries[PKG_DIR_FIRST_IMAGE_ENTRY];
    const int32_t second = entries[PKG_DIR_SECOND_IMAGE_ENTRY];
    offsets[0] = pkgElementOffset(entries, PKG_ELEM_IMAGE);
    if (!pkgIsImagePair(image, first, second)) {
        sizes[0] = image;
        return 1;
    }
    sizes[0] = first;
    offsets[1] = offsets[0] + first;
    sizes[1] = second;
    return 2;
}

extern "C" void pkgDecodeGlobalInfo(const unsigned char *bytes, int32_t *recordCount,
                                    int32_t *strict)
{
    *recordCount = pkgGetI32(bytes + PKG_GI_COUNT_OFFSET);
    *strict = pkgGetI32(bytes + PKG_GI_STRICT_OFFSET);
}

extern "C" void pkgDecodeRecord(const unsigned char *bytes, PkgRecordView *r)
{
    r->distribution = pkgGetI32(bytes + PKG_REC_DIST_OFFSET);
    r->release = pkgGetI32(bytes + PKG_REC_RELEASE_OFFSET);
    r->architecture = pkgGetI32(bytes + PKG_REC_ARCH_OFFSET);
    r->mode = pkgGetI32(bytes + PKG_REC_MODE_OFFSET);
    r->command = (const char *)bytes + PKG_REC_COMMAND_OFFSET;
    r->arguments = (const char *)bytes + PKG_REC_ARGS_OFFSET;
    r->terminated = memchr(r->command, '\0', PKG_REC_COMMAND_SIZE) != NULL &&
                    memchr(r->arguments, '\0', PKG_REC_ARGS_SIZE) != NULL;
}

extern "C" int pkgParseSignature(const unsigned char *block, uint32_t size, PkgSignature *out)
{
    if (size < PKG_SIG_MIN_SIZE || size > PKG_SIG_MAX_SIZE ||
        memcmp(block, PKG_SIG_MAGIC, 8) != 0 || block[PKG_SIG_ALG_OFFSET] != 'E' ||
        block[PKG_SIG_ALG_OFFSET + 1] != 'D')
        return -1;
    const uint32_t n = (uint32_t)block[PKG_SIG_COMMENT_LENGTH_OFFSET] |
                       ((uint32_t)block[PKG_SIG_COMMENT_LENGTH_OFFSET + 1] << 8);
    if (n > PKG_SIG_COMMENT_MAX || PKG_SIG_MIN_SIZE + n != size)
        return -1;
    out->keyId = block + PKG_SIG_KEY_ID_OFFSET;
    out->signature = block + PKG_SIG_SIGNATURE_OFFSET;
    out->comment = block + PKG_SIG_COMMENT_OFFSET;
    out->commentLength = n;
    out->globalSignature = block + PKG_SIG_COMMENT_OFFSET + n;
    return 0;
}
