// File-descriptor and file-system services of the OS layer.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

// renameat2(2)'s flag, which older C libraries do not name.
enum { RENAME_NOREPLACE_FLAG = 1 };

#include "osspecific.h"

int fd_create(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0200);
}

int fd_open(const char *path)
{
    return open(path, O_RDONLY);
}

int fd_openRegular(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        int error = S_ISREG(st.st_mode) ? errno : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

off_t fd_seek(int fd, int32_t offset, int whence)
{
    return lseek(fd, (off_t)offset, whence);
}

int fd_read(int fd, void *buffer, uint32_t count)
{
    return (int)read(fd, buffer, count);
}

int fd_write(int fd, const void *buffer, uint32_t count)
{
    return (int)write(fd, buffer, count);
}

void fd_close(int fd)
{
    close(fd);
}

int isAbsolutePath(const char *path)
{
    return path[0] == FILE_SEPARATOR ? 1 : 0;
}

int dirExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int fileExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode) ? 1 : 0;
}

int isExecutableFile(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0 ? 1 : 0;
}

int makeFileReadable(const char *path)
{
    return chmod(path, 0777) == 0 ? 0 : -1;
}

int makeFileExecutable(const char *path)
{
    return chmod(path, 0777) == 0 ? 0 : -1;
}

void makeSymLink(const char *target, const char *link)
{
    (void)symlink(target, link);
}

void makeSymLinkIn(const char *folder, const char *target, const char *name)
{
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)symlinkat(target, fd, name);
    close(fd);
}

void getTempDir(char *buffer)
{
    memcpy(buffer, "/tmp", 5);
}

void getCurrentDir(char *buffer, size_t size)
{
    if (size > 0 && getcwd(buffer, size) == NULL)
        buffer[0] = '\0';
}

int changeDir(const char *path)
{
    return chdir(path) == 0 ? 0 : -1;
}

int makePrivateDirAt(int dirFd, const char *name)
{
    // mkdir(2) never follows or adopts what is already there, a dangling
    // link included: EEXIST is a taken name.
    if (mkdirat(dirFd, name, 0700) != 0)
        return errno == EEXIST ? 1 : -1;
    // The umask may have taken bits the owner needs; others get none.  An
    // empty folder may be swept away by another run of the same user in
    // between (it takes it for a dead run's): its name counts as taken.
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return 1;
    if (fd < 0 || fchmod(fd, 0700) != 0) {
        if (fd >= 0)
            close(fd);
        unlinkat(dirFd, name, AT_REMOVEDIR);
        return -1;
    }
    close(fd);
    return 0;
}

int isNoExecDir(const char *path)
{
    struct statvfs st;
    return statvfs(path, &st) == 0 && (st.f_flag & ST_NOEXEC) ? 1 : 0;
}

int isFileSystemFull(const char *path)
{
    struct statvfs st;
    if (statvfs(path, &st) != 0)
        return 0;
    // Root may also use the blocks reserved for it.  A file system without
    // a block or inode total (ramfs, tmpfs with size=0) has no such limit.
    fsblkcnt_t blocks = geteuid() == 0 ? st.f_bfree : st.f_bavail;
    return (st.f_blocks != 0 && blocks == 0) || (st.f_files != 0 && st.f_favail == 0) ? 1 : 0;
}

int renameNoReplaceAt(int dirFd, const char *from, const char *to)
{
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, dirFd, from, dirFd, to, RENAME_NOREPLACE_FLAG) == 0)
        return 0;
    if (errno == EEXIST)
        return 1;
    if (errno != ENOSYS && errno != EINVAL)
        return -1;
#endif
    return -2; // neither this kernel nor this file system can tell
}
