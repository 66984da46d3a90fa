/* Unpacking an opened archive (zipread.h) into a folder, safely and exactly:
 *   - nothing is written outside the folder, and no symbolic link found in
 *     it is followed: a link at an entry's path is replaced, a link at one
 *     of its folders is replaced by a folder;
 *   - nothing another user could change meanwhile is adopted: an existing
 *     folder on an entry's path is used only when it belongs to the
 *     effective user (or root) and neither group nor others may write to
 *     it, else the entry fails (and the target folder, see zipOpenTarget);
 *   - each file is written under a temporary name in its folder and renamed
 *     over its own name only when it is whole and its CRC-32 matches, so a
 *     failed entry leaves no partial file under its name;
 *   - modes: folders it makes 0755, files 0755 when the entry's owner-execute
 *     bit is set, else 0644; never setuid, setgid or sticky;
 *   - entries are decoded (zipdecode.h) from the mapped archive straight
 *     into the output (a per-thread buffer, or a mapping of the output file
 *     for entries larger than it), so the memory used stays bounded
 *     whatever the size of the archive.
 * C headers only: it builds into the static unzip utility and into pkgtool.
 * The pieces: zipextract.cc (threads, files, signals), zipfolders.cc (the
 * folders), with zipfolders.h between them. */
#ifndef COMMON_ZIPEXTRACT_H
#define COMMON_ZIPEXTRACT_H

#include "zipread.h"

/* The most threads an unpacking uses.  Each holds a decoder (its buffer of
 * ZIP_DECODE_BUFFER bytes), so this bounds their memory at a little over
 * 32 MiB; more
 * threads would mostly wait on the folders' locks and the file system's
 * journal (every file made and renamed takes its folder's lock), and an
 * image's largest entry keeps one thread as long as it takes anyway. */
enum { ZIP_EXTRACT_MAX_THREADS = 8 };

/* Called once per failed entry (entry NULL for a failure of the whole
 * unpacking), never by two threads at once: what failed and errno's value
 * for it (0 when the cause is no system error). */
typedef void (*ZipReportFn)(void *context, const struct ZipEntry *entry, const char *what,
                            int error);

/* Called once per entry when it is done, written or failed (after its
 * report), never by two threads at once. */
typedef void (*ZipProgressFn)(void *context, const struct ZipEntry *entry);

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the folder to unpack into by descriptor from "/" (folder_walk.h):
 * not a symbolic link itself, belonging to the effective user (or root),
 * writable by others only when sticky, and reached through folders that no
 * other user can change.  Result: its descriptor; or -1 with *problem a
 * phrase saying why it is refused (or a folder on its path cannot be
 * reached), or NULL and errno set when it cannot be opened. */
int zipOpenTarget(const char *path, const char **problem);
/* The threads to unpack with here: one per CPU this process may run on
 * (its affinity, as taskset or a cgroup's cpuset sets it), at most
 * ZIP_EXTRACT_MAX_THREADS; 1 when the affinity cannot be read. */
int zipExtractThreads(void);

/* Unpacks every entry of the archive into the folder open as root, with up
 * to threads threads (at most ZIP_EXTRACT_MAX_THREADS, and no more than
 * there are entries).  Result: the number of entries that failed (0: all
 * written whole), or -1 when the unpacking could not start; each failure is
 * reported. */
long zipExtractAll(const struct ZipArchive *archive, int root, int threads, ZipReportFn report,
                   void *context);
/* The same, calling progress (when not NULL) as each entry is done. */
long zipExtractAllProgress(const struct ZipArchive *archive, int root, int threads,
                           ZipReportFn report, ZipProgressFn progress, void *context);

/* Ends every unpacking under way for good: removes the temporary files
 * being written and lets no other be made or put in place; the entries
 * still open fail.  For a thread that takes a signal (not for a signal
 * handler: it takes a lock) just before the process ends; it does not
 * return the process to a usable state. */
void zipExtractInterrupt(void);

/* For a program that unpacks and then ends: SIGINT, SIGTERM, SIGHUP,
 * SIGQUIT and SIGPIPE (those not ignored now) go from here on to one thread
 * of their own, which calls zipExtractInterrupt and ends the process as the
 * signal would.  Call before the unpacking starts its threads.
 * Result: 0, or -1 (no such thread; the signals keep their actions). */
int zipExtractEndOnSignals(void);

#ifdef __cplusplus
}
#endif

#endif
