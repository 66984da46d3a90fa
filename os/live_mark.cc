// Live marks: a locked file in a folder says that the process that made it,
// or a child it handed the lock to, still runs.  The kernel drops the lock
// with the last of them, however they end (SIGKILL, the OOM killer), so a
// folder whose mark can be locked belongs to nobody alive.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osspecific.h"

int markLiveAt(int parentFd, const char *dir, const char *name)
{
    char fresh[256];
    int n = snprintf(fresh, sizeof fresh, "%s-new", name);
    if (n < 0 || (size_t)n >= sizeof fresh)
        return -1;
    int dirFd = openat(parentFd, dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    // Locked before it takes its name: nobody ever sees the mark unlocked
    // while its owner lives.  Not close-on-exec: children hold it too.
    int fd = openat(dirFd, fresh, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0 && (flock(fd, LOCK_EX | LOCK_NB) != 0 || renameat(dirFd, fresh, dirFd, name) != 0)) {
        unlinkat(dirFd, fresh, 0);
        close(fd);
        fd = -1;
    }
    close(dirFd);
    return fd;
}

int takeDeadMark(int dirFd, const char *name)
{
    struct stat st;
    int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
