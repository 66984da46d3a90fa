// The sweep: work directories left by runs that ended without cleaning up
// (SIGKILL, the OOM killer, a crash of the host) are removed by the next
// run.  Only what provably belongs to a dead run of the same user goes: its
// live mark can be locked, which no live run or tool would allow.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/folder_walk.h"
#include "../os/osspecific.h"
#include "installer.h"

// WORK_DIR_PREFIX and 8 lower-case hex digits, as makeWorkDir names them.
static int isWorkDirName(const char *name)
{
    const size_t prefix = sizeof WORK_DIR_PREFIX - 1;
    if (strncmp(name, WORK_DIR_PREFIX, prefix) != 0 || strlen(name) != prefix + 8)
        return 0;
    for (const char *p = name + prefix; *p != '\0'; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return 0;
    return 1;
}

// WORK_TEMP_PREFIX and the 6 characters mkdtemp adds.
static int isTemporaryName(const char *name)
{
    const size_t prefix = sizeof WORK_TEMP_PREFIX - 1;
    return strncmp(name, WORK_TEMP_PREFIX, prefix) == 0 && strlen(name) == prefix + 6;
}

// The mark of a dead run in the folder work, locked.  A temporary folder's
// mark may still have its first name: taking that one costs its live owner
// only another try.  Result: the descriptor, or -1.
static int deadMark(int work, int temporary)
{
    int mark = takeDeadMark(work, LIVE_MARK);
    if (mark < 0 && temporary)
        mark = takeDeadMark(work, LIVE_MARK "-new");
    return mark;
}

int sweepDeadWorkDirs(const char *base)
{
    FolderWalkFault fault;
    int fd = folderWalkOpen(base, 0, &fault);
    if (fd < 0)
        return 0;
    int removed = sweepDeadWorkDirsAt(fd, base);
    fd_close(fd);
    return removed;
}

int sweepDeadWorkDirsAt(int baseFd, const char *base)
{
    // Read through a descriptor of its own: the stream closes it.
    int listFd = openat(baseFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listFd >= 0 ? fdopendir(listFd) : NULL;
    if (dir == NULL) {
        if (listFd >= 0)
            fd_close(listFd);
        return 0;
    }
    int removed = 0;
    const uid_t me = geteuid();
    struct dirent *e;
    while ((e = readdir(dir)) != NULL) {
        const int temporary = isTemporaryName(e->d_name);
        if (!temporary && !isWorkDirName(e->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode) || st.st_uid != me || (st.st_mode & 07777) != 0700)
            continue;
        // An empty temporary folder goes at once: a live owner that has not
        // marked it yet just makes another.
        if (temporary && unlinkat(dirfd(dir), e->d_name, AT_REMOVEDIR) == 0)
            continue;
        int work = openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (work < 0)
            continue;
        int mark = deadMark(work, temporary);
        fd_close(work);
        if (mark < 0)
            continue;
        // The lock is held while the tree goes: two sweeps never meet.  It
        // goes by the base's descriptor, never by a path.
        deleteTreeAt(baseFd, e->d_name);
        removed++;
        if (getenv("TRELL_PORTABLE_DEBUG") != NULL)
            fprintf(stderr, "Removed %s%c%s: its run ended without cleaning up\n", base,
                    FILE_SEPARATOR, e->d_name);
        fd_close(mark);
    }
    closedir(dir);
    return removed;
}
