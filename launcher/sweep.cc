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

int sweepDeadWorkDirs(const char *base)
{
    DIR *dir = opendir(base);
    if (dir == NULL)
        return 0;
    int removed = 0;
    const uid_t me = geteuid();
    struct dirent *e;
    while ((e = readdir(dir)) != NULL) {
        if (!isWorkDirName(e->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode) || st.st_uid != me || (st.st_mode & 07777) != 0700)
            continue;
        int work = openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (work < 0)
            continue;
        int mark = takeDeadMark(work, LIVE_MARK);
        fd_close(work);
        if (mark < 0)
            continue;
        char path[WRK_DIR_SIZE];
        int len = snprintf(path, sizeof path, "%s%c%s", base, FILE_SEPARATOR, e->d_name);
        if (len > 0 && (size_t)len < sizeof path) {
            // The lock is held while the tree goes: two sweeps never meet.
            deleteTreeSignalSafe(path);
            removed++;
            if (getenv("TRELL_PORTABLE_DEBUG") != NULL)
                fprintf(stderr, "Removed %s: its run ended without cleaning up\n", path);
        }
        fd_close(mark);
    }
    closedir(dir);
    return removed;
}
