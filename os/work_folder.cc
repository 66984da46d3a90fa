// Folders that may hold a work directory: what their file systems allow and
// how much room they have left.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "osspecific.h"

int folderRoomAt(int fd, FolderRoom *room)
{
    struct stat st;
    struct statvfs vfs;
    if (fstat(fd, &st) != 0 || fstatvfs(fd, &vfs) != 0)
        return -1;
    room->device = (uint64_t)st.st_dev;
    room->blockSize = vfs.f_frsize != 0 ? (uint32_t)vfs.f_frsize : (uint32_t)vfs.f_bsize;
    // Root may also use the blocks reserved for it.  A file system without a
    // block or inode total (ramfs, tmpfs with size=0) sets no such limit.
    fsblkcnt_t blocks = geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
    room->freeBytes = vfs.f_blocks == 0 ? UINT64_MAX : (uint64_t)blocks * room->blockSize;
    room->freeInodes = vfs.f_files == 0 ? UINT64_MAX : (uint64_t)vfs.f_favail;
    room->flags = (uint32_t)vfs.f_flag;
    room->mode = (uint32_t)st.st_mode;
    room->owner = (uint32_t)st.st_uid;
    return 0;
}

// Whether the effective user may create entries in the folder fd ("." in
// it is the folder itself, reached without a path).  faccessat2 asks for
// the effective user; where the kernel lacks it, the real user stands in
// (a package is never set-uid, so the two are one).
static int mayCreateIn(int fd)
{
#ifdef SYS_faccessat2
    if (syscall(SYS_faccessat2, fd, ".", W_OK | X_OK, AT_EACCESS) == 0)
        return 1;
    if (errno != ENOSYS && errno != EPERM)
        return 0;
#endif
    return faccessat(fd, ".", W_OK | X_OK, 0) == 0;
}

int checkWorkFolderAt(int fd, FolderRoom *room)
{
    if (folderRoomAt(fd, room) != 0)
        return FOLDER_MISSING;
    if (!S_ISDIR(room->mode))
        return FOLDER_NOT_A_FOLDER;
    if (room->flags & ST_RDONLY)
        return FOLDER_READ_ONLY;
    if (room->flags & ST_NOEXEC)
        return FOLDER_NOEXEC;
    if (!mayCreateIn(fd))
        return FOLDER_NOT_WRITABLE;
    // Whoever owns the folder, or may write to it without the sticky bit,
    // could rename the work directory away and put another in its place.
    if (room->owner != (uint32_t)geteuid() && room->owner != 0)
        return FOLDER_FOREIGN;
    if ((room->mode & (S_IWGRP | S_IWOTH)) != 0 && (room->mode & S_ISVTX) == 0)
        return FOLDER_SHARED;
    return FOLDER_USABLE;
}
