/* Whether an existing folder may be unpacked into: one that another user
 * could change meanwhile is never adopted.  Header only, C: the launcher,
 * the unzip utility and pkgtool share it. */
#ifndef COMMON_FOLDER_TRUST_H
#define COMMON_FOLDER_TRUST_H

#include <sys/stat.h>
#include <sys/types.h>

/* What makes the folder st describes untrusted for a process of effective
 * user euid, as a phrase, or NULL when it may be used.  The target folder
 * of an unpacking must belong to euid or root and be writable by others
 * only when sticky (as /tmp is); a folder inside it (inside non-zero) must
 * belong to euid or root and be writable by neither group nor others. */
static inline const char *folderTrustProblem(const struct stat *st, uid_t euid, int inside)
{
    if (!S_ISDIR(st->st_mode))
        return inside ? "an existing folder on its path is no folder" : "it is not a folder";
    if (st->st_uid != euid && st->st_uid != 0)
        return inside ? "an existing folder on its path belongs to another user"
                      : "it belongs to another user";
    if (inside && (st->st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "others may write to an existing folder on its path";
    if (!inside && (st->st_mode & S_IWOTH) != 0 && (st->st_mode & S_ISVTX) == 0)
        return "others may write to it, and it is not sticky";
    return 0;
}

#endif
