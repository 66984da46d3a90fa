// Reaching a folder by descriptor from "/" (see folder_walk.h).
#include "folder_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_PATH
#define O_PATH 0 // old C libraries: a plain read-only open does the same here
#endif

namespace {

// Links followed in one walk, as the kernel's own limit.
const int kMaxLinks = 40;

int fail(FolderWalkFault *f, int code, int error, int last, const char *where)
{
    f->code = code;
    f->error = error;
    f->last = last;
    size_t n = strlen(where);
    if (n < sizeof f->where) {
        memcpy(f->where, where, n + 1);
    } else {
        memcpy(f->where, where, sizeof f->where - 4);
        memcpy(f->where + sizeof f->where - 4, "...", 4);
    }
    return -1;
}

// Appends the part (len bytes) to the path text walked so far, or takes
// its last part away for "..".  Result: 0, or -1 when it does not fit.
int stepWalked(char *walked, size_t size, const char *part, size_t len)
{
    size_t used = strlen(walked);
    if (len == 1 && part[0] == '.')
        return 0;
    if (len == 2 && part[0] == '.' && part[1] == '.') {
        char *slash = strrchr(walked, '/');
        if (slash != NULL)
            *(slash == walked ? slash + 1 : slash) = '\0';
        return 0;
    }
    size_t sep = used > 1 ? 1 : 0;
    if (used + sep + len >= size)
        return -1;
    if (sep)
        walked[used++] = '/';
    memcpy(walked + used, part, len);
    walked[used + len] = '\0';
    return 0;
}

// The rule for a folder that st describes.
int folderFault(const struct stat *st, int target)
{
    const uid_t euid = geteuid();
    if (!S_ISDIR(st->st_mode))
        return FOLDER_WALK_NOT_FOLDER;
    if (st->st_uid != 0 && st->st_uid != euid)
        return FOLDER_WALK_FOREIGN;
    // A target may be writable by its group: what is unpacked into it is
    // never reached through what others put there.  A folder on the way
    // may not: its writers could put a link in place of the next part.
    const mode_t writers = target ? S_IWOTH : (S_IWGRP | S_IWOTH);
    if ((st->st_mode & writers) != 0 && (st->st_mode & S_ISVTX) == 0)
        return FOLDER_WALK_SHARED;
    return FOLDER_WALK_OK;
}

} // namespace

extern "C" int folderWalkOpen(const char *path, int flags, FolderWalkFault *fault)
{
    // What remains to walk, and the path walked so far (for messages).
    char rest[2 * PATH_MAX];
    char walked[PATH_MAX] = "/";
    fault->code = FOLDER_WALK_OK;
    fault->where[0] = '\0';
    if (path[0] == '\0')
        return fail(fault, FOLDER_WALK_ERROR, ENOENT, 1, path);
    if (path[0] == '/') {
        if (strlen(path) >= sizeof rest)
            return fail(fault, FOLDER_WALK_ERROR, ENAMETOOLONG, 1, path);
        memcpy(rest, path, strlen(path) + 1);
    } else {
        // The current folder's path is walked as well: its folders could
        // have been changed by others since the process entered it.
        if (getcwd(rest, PATH_MAX) == NULL)
            return fail(fault, FOLDER_WALK_ERROR, errno, 1, path);
        size_t used = strlen(rest);
        if (used + 1 + strlen(path) >= sizeof rest)
            return fail(fault, FOLDER_WALK_ERROR, ENAMETOOLONG, 1, path);
        rest[used] = '/';
        memcpy(rest + used + 1, path, strlen(path) + 1);
    }
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fail(fault, FOLDER_WALK_ERROR, errno, 0, "/");
    const int makeAll = (flags & FOLDER_WALK_MAKE) != 0;
    const int making = makeAll || (flags & FOLDER_WALK_MAKE_LAST) != 0;
    struct stat st;
    int links = 0, retries = 0;
    size_t at = 0;
    for (;;) {
        while (rest[at] == '/')
            at++;
        size_t len = strcspn(rest + at, "/");
        size_t next = at + len;
        while (rest[next] == '/')
            next++;
        const int last = rest[next] == '\0';
        const char *part = rest + at;
        const int target = last && (flags & FOLDER_WALK_TARGET);
        if (len == 0) {
            // "/" itself, or a path of slashes only: the root is the folder.
            if (fstat(fd, &st) != 0) {
                close(fd);
                return fail(fault, FOLDER_WALK_ERROR, errno, 1, walked);
            }
            int code = folderFault(&st, flags & FOLDER_WALK_TARGET);
            if (code != FOLDER_WALK_OK) {
                close(fd);
                return fail(fault, code, 0, 1, walked);
            }
            break;
        }
        char name[NAME_MAX + 1];
        if (len > NAME_MAX) {
            close(fd);
            return fail(fault, FOLDER_WALK_ERROR, ENAMETOOLONG, last, walked);
        }
        memcpy(name, part, len);
        name[len] = '\0';
        char here[PATH_MAX];
        memcpy(here, walked, strlen(walked) + 1);
        if (stepWalked(here, sizeof here, name, len) != 0) {
            close(fd);
            return fail(fault, FOLDER_WALK_ERROR, ENAMETOOLONG, last, walked);
        }
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int error = errno;
            if (error != ENOENT || !(makeAll || (last && (flags & FOLDER_WALK_MAKE_LAST)))) {
                close(fd);
                return fail(fault, error == ENOENT && making ? FOLDER_WALK_MAKE_FAILED
                                                             : FOLDER_WALK_ERROR,
                            error, last, here);
            }
            // 0755 at most: a folder made here must pass the rule itself.
            if ((mkdirat(fd, name, 0755) != 0 && errno != EEXIST) || ++retries > kMaxLinks) {
                error = retries > kMaxLinks ? EAGAIN : errno;
                close(fd);
                return fail(fault, FOLDER_WALK_MAKE_FAILED, error, last, here);
            }
            continue; // looked at again, whoever made it
        }
        if (S_ISLNK(st.st_mode)) {
            if (target) {
                close(fd);
                return fail(fault, FOLDER_WALK_LAST_LINK, 0, 1, here);
            }
            if (st.st_uid != 0 && st.st_uid != geteuid()) {
                close(fd);
                return fail(fault, FOLDER_WALK_FOREIGN_LINK, 0, last, here);
            }
            char link[PATH_MAX];
            ssize_t n = readlinkat(fd, name, link, sizeof link);
            if (++links > kMaxLinks || n <= 0 || (size_t)n >= sizeof link) {
                int error = links > kMaxLinks ? ELOOP : n < 0 ? errno : ENAMETOOLONG;
                close(fd);
                return fail(fault, FOLDER_WALK_ERROR, error, last, here);
            }
            // The link's text takes its place in what remains.
            size_t remaining = strlen(rest + next);
            if ((size_t)n + 1 + remaining >= sizeof rest) {
                close(fd);
                return fail(fault, FOLDER_WALK_ERROR, ENAMETOOLONG, last, here);
            }
            memmove(rest + n + 1, rest + next, remaining + 1);
            memcpy(rest, link, (size_t)n);
            rest[n] = '/';
            at = 0;
            if (link[0] == '/') {
                close(fd);
                fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd < 0)
                    return fail(fault, FOLDER_WALK_ERROR, errno, 0, "/");
                memcpy(walked, "/", 2);
            }
            continue;
        }
        // Opened without following: a part swapped for a link since it was
        // looked at fails here, and is looked at again.  A folder that may
        // be searched but not read is opened as a path only.
        int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0 && errno == EACCES)
            sub = openat(fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            int error = errno;
            if (error == ELOOP && ++retries <= kMaxLinks)
                continue;
            close(fd);
            if (error == ENOTDIR && making)
                return fail(fault, FOLDER_WALK_MAKE_FAILED, error, last, here);
            if (error == ENOTDIR)
                return fail(fault, FOLDER_WALK_NOT_FOLDER, 0, last, here);
            return fail(fault, FOLDER_WALK_ERROR, error, last, here);
        }
        // Kernels before 3.6 give no status of a path-only descriptor: the
        // one read through the folder stands (its folder is trusted, so
        // nobody else could have swapped the part meanwhile).
        struct stat opened;
        if (fstat(sub, &opened) == 0)
            st = opened;
        else if (errno != EBADF || fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int error = errno;
            close(sub);
            close(fd);
            return fail(fault, FOLDER_WALK_ERROR, error, last, here);
        }
        close(fd);
        fd = sub;
        int code = folderFault(&st, target);
        if (code != FOLDER_WALK_OK) {
            close(fd);
            return fail(fault, code, 0, last, here);
        }
        memcpy(walked, here, strlen(here) + 1);
        if (last)
            break;
        at = next;
    }
    return fd;
}

extern "C" const char *folderWalkDescribe(const FolderWalkFault *f, char *out, size_t size)
{
    const char *it = "";
    const char *part = "";
    switch (f->code) {
    case FOLDER_WALK_NOT_FOLDER:
        it = "it is not a folder";
        part = "is not a folder";
        break;
    case FOLDER_WALK_FOREIGN:
        it = "it belongs to another user";
        part = "belongs to another user";
        break;
    case FOLDER_WALK_SHARED:
        it = "others may write to it, and it is not sticky";
        part = "may be written by others and is not sticky";
        break;
    case FOLDER_WALK_FOREIGN_LINK:
        it = "it is a symbolic link that another user owns";
        part = "is a symbolic link that another user owns";
        break;
    case FOLDER_WALK_LAST_LINK:
        it = part = "it is a symbolic link";
        break;
    default:
        it = part = strerror(f->error);
        break;
    }
    int n = -1;
    if ((f->code == FOLDER_WALK_ERROR || f->code == FOLDER_WALK_MAKE_FAILED) && !f->last)
        n = snprintf(out, size, "%s: %s", f->where, part);
    else if (f->last || f->code == FOLDER_WALK_LAST_LINK)
        n = snprintf(out, size, "%s", it);
    else
        n = snprintf(out, size, "%s on its path %s", f->where, part);
    if ((n < 0 || (size_t)n >= size) && size > 0)
        snprintf(out, size, "%s", f->last ? it : "a folder on its path cannot be trusted");
    return out;
}
