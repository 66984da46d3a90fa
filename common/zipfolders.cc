// The folders of an unpacking: the target folder, and the folders each
// entry is written in, made or adopted only when no other user could change
// them (see zipextract.h and zipfolders.h).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "folder_trust.h"
#include "folder_walk.h"
#include "zipextract.h"
#include "zipfolders.h"

namespace {

// The folder fd when no other user could change it, else -1 (closed,
// f filled).
int trusted(int fd, ZipFailure *f)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        zipFailWith(f, "cannot open a folder", errno);
    } else {
        const char *problem = folderTrustProblem(&st, geteuid(), 1);
        if (problem == NULL)
            return fd;
        zipFailWith(f, problem, 0);
    }
    close(fd);
    return -1;
}

// Opens (making it when missing) the folder part inside dir, never through
// a link: a link there is removed and a folder made instead.  An existing
// folder is used only when trusted.  Result: the folder's descriptor, or
// -1 with f filled.
int enterFolder(int dir, const char *part, ZipFailure *f)
{
    for (int attempt = 0; attempt < 4; attempt++) {
        const int fd = openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            return trusted(fd, f);
        if (errno == ENOENT) {
            if (mkdirat(dir, part, 0755) == 0) {
                const int made = openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                // Exactly 0755, whatever the umask.
                if (made >= 0 && fchmod(made, 0755) != 0) {
                    zipFailWith(f, "cannot set the mode of a folder", errno);
                    close(made);
                    return -1;
                }
                if (made >= 0)
                    return trusted(made, f);
            } else if (errno != EEXIST) {
                zipFailWith(f, "cannot make a folder", errno);
                return -1;
            }
            continue; // made by another thread meanwhile, or replaced again
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            zipFailWith(f, "cannot open a folder", errno);
            return -1;
        }
        struct stat st;
        if (fstatat(dir, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode)) {
            zipFailWith(f, "a file is in the way of a folder", ENOTDIR);
            return -1;
        }
        if (unlinkat(dir, part, 0) != 0 && errno != ENOENT) {
            zipFailWith(f, "cannot remove a symbolic link in the way", errno);
            return -1;
        }
    }
    zipFailWith(f, "a folder keeps changing while it is made", EAGAIN);
    return -1;
}

} // namespace

extern "C" int zipEntryFolder(int root, const ZipEntry *e, char *leaf, ZipFailure *f)
{
    char name[ZIP_NAME_BUFFER];
    const int length = zipEntryName(e, name);
    if (length < 0) {
        zipFailWith(f, zipProblemText(ZIP_NAME_TOO_LONG), 0);
        return -1;
    }
    char part[ZIP_NAME_BUFFER];
    int dir = root;
    uint32_t start = 0;
    const uint32_t end = e->folder ? length - 1 : length;
    for (uint32_t i = 0; i <= end; i++) {
        if (i < end && name[i] != '/')
            continue;
        const uint32_t n = i - start;
        memcpy(part, name + start, n);
        part[n] = '\0';
        start = i + 1;
        if (i == end && !e->folder) {
            memcpy(leaf, part, n + 1);
            break;
        }
        const int next = enterFolder(dir, part, f);
        if (dir != root)
            close(dir);
        if (next < 0)
            return -1;
        dir = next;
    }
    return dir == root ? dup(root) : dir;
}

extern "C" int zipOpenTarget(const char *path, const char **problem)
{
    // One folder is opened per unpacking: the phrase may stay here.
    static char phrase[FOLDER_WALK_WHERE_SIZE + 64];
    FolderWalkFault fault;
    *problem = NULL;
    const int fd = folderWalkOpen(path, FOLDER_WALK_TARGET, &fault);
    if (fd >= 0)
        return fd;
    if (fault.code == FOLDER_WALK_ERROR && fault.last)
        errno = fault.error;
    else if (fault.code == FOLDER_WALK_NOT_FOLDER && fault.last)
        errno = ENOTDIR;
    else
        *problem = folderWalkDescribe(&fault, phrase, sizeof phrase);
    return -1;
}
