// Package reader: finds the package directory at the end of the launcher's
// own file, and reads or copies one package element.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "../common/pkg_container.h"
#include "../os/osspecific.h"
#include "installer.h"

int whichImg = -1;
char pkgPath[CMD_BUFFER_SIZE];
int pkgNamed;
off_t pkgSignedSize;
uint32_t pkgSignatureBlock;

// Opens name, a regular file only, noting it as the package's path.
// Result: the descriptor or -1.
static int openAs(const char *name)
{
    int fd = fd_openRegular(name);
    if (fd >= 0 && strlen(name) < sizeof pkgPath)
        memcpy(pkgPath, name, strlen(name) + 1);
    return fd;
}

int findOnPath(char *out, size_t size, const char *name)
{
    const char *p = getenv("PATH");
    if (p == NULL)
        p = "/bin:/usr/bin";
    for (;;) {
        const char *end = strchr(p, ':');
        int len = end != NULL ? (int)(end - p) : (int)strlen(p);
        // An empty entry is the current folder, as for the shell; a path
        // that does not fit is skipped.
        int n = snprintf(out, size, "%.*s%s%s", len, p, len ? "/" : "", name);
        if (n >= 0 && (size_t)n < size && isExecutableFile(out))
            return 0;
        if (end == NULL)
            return -1;
        p = end + 1;
    }
}

// Opens the launcher's own file: the kernel's link to the running
// executable, whatever argv0 says (it may name anything: another package, a
// FIFO).  Only where /proc is missing (a bare root) is argv0 taken: as
// given, then + EXE_EXT, or for a name without a separator, which the
// shell found through PATH, by the shell's PATH search (a file of that name
// in the current folder may be anyone's).  Result: descriptor or -1, with
// the message printed.
static int openOwnFile(const char *argv0)
{
    char name[CMD_BUFFER_SIZE];
    int fd = openAs("/proc/self/exe");
    if (fd >= 0)
        return fd;
    if (strchr(argv0, FILE_SEPARATOR) == NULL) {
        if (findOnPath(name, sizeof name, argv0) == 0 && (fd = openAs(name)) >= 0)
            return fd;
    } else {
        fd = openAs(argv0);
        if (fd >= 0)
            return fd;
        int n = snprintf(name, sizeof name, "%s%s", argv0, EXE_EXT);
        if (n >= 0 && (size_t)n < sizeof name && (fd = openAs(name)) >= 0)
            return fd;
    }
    fprintf(stderr, "Failed opening file %s\n", argv0);
    return -1;
}

int locatePkgDirectory(const char *argv0, const char *package, int32_t directory[PKG_DIR_ENTRIES])
{
    int fd;
    pkgNamed = package != NULL;
    if (package != NULL) {
        fd = openAs(package);
        if (fd < 0) {
            fprintf(stderr, "Failed opening file %s: %s\n", package,
                    errno == EINVAL ? "it is not a regular file" : strerror(errno));
            return -1;
        }
    } else {
        fd = openOwnFile(argv0);
        if (fd < 0)
            return -1;
    }
    // Every decision is the container reader's, pkgtool's too; the words
    // are the launcher's.  The end marker is not looked at.
    PkgContainer c;
    const char *message = NULL;
    switch (pkgReadContainer(fd, &c)) {
    case PKG_CONTAINER_FINE: break;
    case PKG_CONTAINER_TOO_SHORT: message = "Failed seeking to package directory\n"; break;
    case PKG_CONTAINER_READ_FAILED: message = "Failed reading package directory\n"; break;
    case PKG_CONTAINER_BAD_ALIGNMENT:
        message = "Damaged package: the bytes between the package and its signature are not "
                  "the zeros that signing writes; get the package again\n";
        break;
    case PKG_CONTAINER_BAD_SIGNATURE:
        message = "Damaged package: its signature block is damaged; get the package again\n";
        break;
    default: message = "Invalid package directory\n"; break;
    }
    if (message != NULL) {
        fputs(message, stderr);
        fd_close(fd);
        return -1;
    }
    memcpy(directory, c.entries, sizeof c.entries);
    pkgSignedSize = (off_t)c.signedSize;
    pkgSignatureBlock = c.signatureSize;
    return fd;
}

off_t seekToPkgElement(int index, const int32_t *directory, int fd)
{
    if (index < 0 || index >= PKG_ELEMENT_COUNT)
        return -1;
    long long offset = pkgElementOffset(directory, index);
    if (index == PKG_ELEM_IMAGE && whichImg > 0)
        offset += directory[PKG_DIR_FIRST_IMAGE_ENTRY];
    if (offset < 0 || offset > PKG_MAX_OFFSET)
        return -1;
    return fd_seek(fd, (int32_t)offset, SEEK_SET);
}

int extractPkgElement(int index, const int32_t *directory, int fd, void *buffer,
                      uint32_t capacity)
{
    if (index < 0 || index >= PKG_ELEMENT_COUNT)
        return -1;
    uint32_t size = (uint32_t)directory[index];
    if (size > capacity || directory[index] < 0)
        return -1;
    if (seekToPkgElement(index, directory, fd) < 0)
        return -1;
    return fd_read(fd, buffer, size) == (int)size ? (int)size : -1;
}

int copyPkgBytesByChunks(int in, int out, int32_t count)
{
    static unsigned char chunk[ELEMENT_COPY_CHUNK];
    while (count > 0) {
        uint32_t n = count < ELEMENT_COPY_CHUNK ? (uint32_t)count : (uint32_t)ELEMENT_COPY_CHUNK;
        if (fd_read(in, chunk, n) != (int)n || fd_write(out, chunk, n) != (int)n)
            return -1;
        count -= (int32_t)n;
    }
    return 0;
}

// The copy in the kernel, without the bytes passing through this process:
// copy_file_range (a shared extent, or a copy within the kernel), else
// sendfile (between any two files since Linux 2.6.33).  Kernels and file
// systems that refuse either (ENOSYS before Linux 4.5, EXDEV between file
// systems of different types, EINVAL on old kernels or special files) leave
// the rest to the caller, as does an end of file.  Both calls move the
// descriptors' positions by what they copied.  Result: the bytes left.
static int32_t copyInKernel(int in, int out, int32_t count)
{
    ssize_t n;
    while (count > 0 && (n = copy_file_range(in, NULL, out, NULL, (size_t)count, 0)) > 0)
        count -= (int32_t)n;
    while (count > 0 && (n = sendfile(out, in, NULL, (size_t)count)) > 0)
        count -= (int32_t)n;
    return count;
}

int extractPkgElementFile(int index, const char *path, const int32_t *directory, int fd)
{
    if (index < 0 || index >= PKG_ELEMENT_COUNT || directory[index] < 0)
        return -1;
    int out = fd_create(path);
    if (out < 0)
        return -1;
    if (seekToPkgElement(index, directory, fd) < 0) {
        fd_close(out);
        return -1;
    }
    int r = copyPkgBytesByChunks(fd, out, copyInKernel(fd, out, directory[index]));
    fd_close(out);
    return r;
}
