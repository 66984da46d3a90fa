/* Reaching a folder so that no other user can steer where it leads: every
 * part of its path is opened by descriptor from "/", one at a time, and
 * each must belong to root or the effective user and be writable by nobody
 * else unless it is sticky (as /tmp is).  A symbolic link on the way is
 * followed only when root or the effective user owns it (its folder being
 * one of the above, nobody else could have put it there); a link another
 * user owns is refused.  What is done afterwards is done relative to the
 * descriptor, so a part swapped for a link later changes nothing.
 * C: the launcher, the unzip utility and pkgtool share it. */
#ifndef COMMON_FOLDER_WALK_H
#define COMMON_FOLDER_WALK_H

#include <stddef.h>

enum {
    /* Missing folders are made (mode 0755 at most), as mkdir -p does. */
    FOLDER_WALK_MAKE = 1,
    /* The last part is a folder to unpack into: never a link, and others
     * may write to it only when it is sticky (its group may). */
    FOLDER_WALK_TARGET = 2,
    /* Only the last part is made when missing. */
    FOLDER_WALK_MAKE_LAST = 4
};

/* Why a walk stopped (FolderWalkFault.code). */
enum {
    FOLDER_WALK_OK = 0,
    FOLDER_WALK_ERROR,        /* a system error: FolderWalkFault.error */
    FOLDER_WALK_NOT_FOLDER,   /* a part is no folder */
    FOLDER_WALK_FOREIGN,      /* a part belongs to another user */
    FOLDER_WALK_SHARED,       /* others may write to a part, and it is not sticky */
    FOLDER_WALK_FOREIGN_LINK, /* a part is a symbolic link that another user owns */
    FOLDER_WALK_LAST_LINK,    /* the target itself is a symbolic link */
    /* With a MAKE flag: a folder could not be made, or a part that should
     * hold one is missing or no folder (FolderWalkFault.error) */
    FOLDER_WALK_MAKE_FAILED
};

enum { FOLDER_WALK_WHERE_SIZE = 512 };

typedef struct FolderWalkFault {
    int code;
    int error; /* errno, for FOLDER_WALK_ERROR */
    int last;  /* 1 when the fault is the last part's, the folder itself */
    /* The part at fault, as a path from "/" (links resolved); cut short
     * with "..." when longer than the buffer. */
    char where[FOLDER_WALK_WHERE_SIZE];
} FolderWalkFault;

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the folder path (absolute, or relative to the current folder,
 * whose own path is then walked from "/" too) as described above, with the
 * FOLDER_WALK_* flags.  Result: a descriptor of the folder (read-only,
 * close-on-exec), or -1 with fault filled. */
int folderWalkOpen(const char *path, int flags, FolderWalkFault *fault);

/* Why the folder is refused or cannot be reached, as one phrase into out:
 * "it belongs to another user" for the folder itself, "/srv/u2 on its path
 * is a symbolic link that another user owns" for a part on the way (the
 * part left out where out cannot hold it).  Result: out. */
const char *folderWalkDescribe(const FolderWalkFault *fault, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
