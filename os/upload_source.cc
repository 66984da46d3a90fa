// The file as libcurl reads it during an upload: streamed from its
// descriptor, hashed as it passes, with the progress on a terminal.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "upload_internal.h"

// What libsodium's SHA-256 takes from the rest of the library, which the
// layer leaves out: the clearing of its scratch words.
extern "C" void sodium_memzero(void *pnt, size_t len)
{
    explicit_bzero(pnt, len);
}

void uploadSourceInit(struct UploadSource *source, int fd, const char *text, uint64_t size,
                      const char *name)
{
    memset(source, 0, sizeof *source);
    source->fd = fd;
    source->text = text;
    source->size = size;
    source->name = name;
    crypto_hash_sha256_init(&source->sha);
    source->terminal = isatty(STDERR_FILENO) == 1;
    source->progress = source->terminal && text == NULL; // not for a few bytes of text
    clock_gettime(CLOCK_MONOTONIC, &source->start);
}

static double secondsBetween(const struct timespec *from, const struct timespec *to)
{
    return (double)(to->tv_sec - from->tv_sec) + (double)(to->tv_nsec - from->tv_nsec) / 1e9;
}

// One line, redrawn at most four times a second, once the upload has taken
// more than a second: "Upload: NAME:  42%, 420.0 of 1000.0 MiB, 110.3 MiB/s".
static void showProgress(struct UploadSource *source, int final)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double elapsed = secondsBetween(&source->start, &now);
    const int recent = source->lineOpen && secondsBetween(&source->shown, &now) < 0.25;
    if (!final && (elapsed < 1.0 || recent))
        return;
    const double mib = 1024.0 * 1024.0;
    const int percent = source->size == 0 ? 100 : (int)(source->position * 100 / source->size);
    fprintf(stderr, "\rUpload: %s: %3d%%, %.1f of %.1f MiB, %.1f MiB/s ", source->name, percent,
            (double)source->position / mib, (double)source->size / mib,
            elapsed > 0 ? (double)source->sent / mib / elapsed : 0.0);
    if (final)
        fputc('\n', stderr);
    fflush(stderr);
    source->lineOpen = !final;
    source->shown = now;
}

void uploadProgressEnd(struct UploadSource *source, int done)
{
    if (!source->lineOpen)
        return;
    if (done)
        source->position = source->size;
    showProgress(source, 1);
}

size_t uploadRead(char *buffer, size_t size, size_t count, void *data)
{
    struct UploadSource *source = (struct UploadSource *)data;
    if (source->position >= source->size)
        return 0;
    // Never more than the size the server was told, should the file grow.
    size_t want = size * count;
    if (want > source->size - source->position)
        want = (size_t)(source->size - source->position);
    ssize_t n;
    if (source->text != NULL) {
        memcpy(buffer, source->text + source->position, want);
        n = (ssize_t)want;
    } else {
        do
            n = pread(source->fd, buffer, want, (off_t)source->position);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            source->readError = n < 0 ? errno : -1;
            return CURL_READFUNC_ABORT;
        }
    }
    // Only what lies beyond the bytes hashed already: a retry rereads.
    const uint64_t end = source->position + (uint64_t)n;
    if (source->text == NULL && end > source->hashed) {
        const uint64_t skip = source->hashed - source->position; // uploadSeek keeps it >= 0
        crypto_hash_sha256_update(&source->sha, (const unsigned char *)buffer + skip,
                                  (unsigned long long)((uint64_t)n - skip));
        source->hashed = end;
    }
    source->position = end;
    source->sent += (uint64_t)n;
    if (source->progress)
        showProgress(source, 0);
    return (size_t)n;
}

// A resumed upload starts where the server's copy ends.  A place beyond the
// bytes hashed is refused as "cannot seek": libcurl then reads its way
// there, and the hash sees every byte.
int uploadSeek(void *data, int64_t offset, int origin)
{
    struct UploadSource *source = (struct UploadSource *)data;
    if (origin != SEEK_SET || offset < 0 || (uint64_t)offset > source->size)
        return CURL_SEEKFUNC_FAIL;
    if (source->text == NULL && (uint64_t)offset > source->hashed)
        return CURL_SEEKFUNC_CANTSEEK;
    source->position = (uint64_t)offset;
    return CURL_SEEKFUNC_OK;
}

int uploadDigest(struct UploadSource *source, unsigned char *digest)
{
    char buffer[65536];
    const int progress = source->progress;
    source->progress = 0;
    while (source->hashed < source->size) {
        source->position = source->hashed;
        if (uploadRead(buffer, 1, sizeof buffer, source) == CURL_READFUNC_ABORT)
            return -1;
    }
    source->progress = progress;
    crypto_hash_sha256_final(&source->sha, digest);
    return 0;
}

// sha256sum's format: the digest in hex, two blanks, the name.  As
// sha256sum does, a name with a backslash, a line feed or a carriage return
// has them escaped, and the line then begins with a backslash.
int uploadChecksumLine(char *line, size_t size, const unsigned char *digest, const char *name)
{
    static const char hex[] = "0123456789abcdef";
    struct UploadText text = {line, size, 0, 0};
    if (strpbrk(name, "\\\n\r") != NULL)
        uploadPut(&text, "\\", 1);
    for (size_t i = 0; i < crypto_hash_sha256_BYTES; i++) {
        const char pair[2] = {hex[digest[i] >> 4], hex[digest[i] & 15]};
        uploadPut(&text, pair, 2);
    }
    uploadPut(&text, "  ", 2);
    for (const char *p = name; *p != '\0'; p++) {
        const char *escaped = *p == '\\' ? "\\\\" : *p == '\n' ? "\\n" : *p == '\r' ? "\\r" : NULL;
        uploadPut(&text, escaped != NULL ? escaped : p, escaped != NULL ? 2 : 1);
    }
    uploadPut(&text, "\n", 1);
    return text.overflow ? -1 : (int)text.length;
}
