/* OS layer (module osspecific_linux): the seam between the launcher's
 * portable logic and the platform.  Plain C interface: free functions and
 * caller-owned NUL-terminated buffers.  Its only state is host
 * identification's: the last unknown-architecture message (a heap text, see
 * getPfmInfo), the folder that setScratchFolder names and a static read
 * buffer (identification is not reentrant).
 *
 * Shell-command operations insert their arguments verbatim: quoting is the
 * caller's business.  Each composes its command in a buffer of its own
 * (OS_SHELL_CMD_SIZE bytes; mount and umount 256), and refuses an argument
 * text that would not fit with its failure result, running nothing. */
#ifndef OS_OSSPECIFIC_H
#define OS_OSSPECIFIC_H

#include <stdint.h>
#include <sys/types.h>

/* C linkage, so that tools in C link the installed library too. */
#ifdef __cplusplus
extern "C" {
#endif

#define FILE_SEPARATOR '/'
extern const char *const EXE_EXT;  /* "" on Linux */
extern const char *const DEV_NULL; /* "/dev/null" */

/* Size of the buffer in which a shell-command operation composes its line. */
#define OS_SHELL_CMD_SIZE 512

/* ---- Shell-command operations ------------------------------------------ */

/* Runs the line through the shell and waits.  Result: the command's exit
 * status 0..255; 128 + the signal number when it was ended by a signal;
 * 255 when no shell could be started. */
int executeProcess(const char *command);
/* "cp -r %s %s": 1 on success, 0 on failure (also when it does not fit). */
int copyTree(const char *source, const char *target);
/* "cp %s %s": 1 on success, 0 on failure. */
int copyFile(const char *source, const char *target);
/* "rm -rf %s": no result. */
void deleteTree(const char *path);
/* "mkdir -p %s": 1 on success (an existing directory included), 0 on failure. */
int makeDir(const char *path);
/* "dos2unix %s": 1 on success, 0 on failure. */
int calldos2unix(const char *path);

/* ---- File descriptors: each wraps one system call ---------------------- */

/* open(O_WRONLY|O_CREAT|O_TRUNC, 0200): the descriptor, or -1. */
int fd_create(const char *path);
/* open(O_RDONLY): the descriptor, or -1. */
int fd_open(const char *path);
/* Opens a regular file for reading, close-on-exec: opened non-blocking and
 * its type checked first, so that a FIFO or a device never blocks the open
 * or a read.  Result: the descriptor (blocking again), or -1 (errno EINVAL
 * for a file of another kind). */
int fd_openRegular(const char *path);
/* lseek with the offset widened with its sign: the new position, or -1. */
off_t fd_seek(int fd, int32_t offset, int whence);
/* One read(2): bytes read, 0 at end of file, or -1.  Never retried. */
int fd_read(int fd, void *buffer, uint32_t count);
/* One write(2): bytes written, or -1.  Never retried. */
int fd_write(int fd, const void *buffer, uint32_t count);
void fd_close(int fd);

/* ---- File-system queries and changes ----------------------------------- */

/* 1 when the path begins with '/', else 0. */
int isAbsolutePath(const char *path);
/* 1 when stat() (following links) finds a directory, else 0. */
int dirExists(const char *path);
/* 1 when stat() (following links) finds anything but a directory, else 0. */
int fileExists(const char *path);
/* 1 when stat() finds a regular file that this process may execute, else 0. */
int isExecutableFile(const char *path);
/* chmod 0777: 0, or -1 on failure.  The two names are kept for their callers;
 * makeFileReadable too makes the file readable, writable and executable by all. */
int makeFileReadable(const char *path);
int makeFileExecutable(const char *path);
/* symlink(target, link); no result. */
void makeSymLink(const char *target, const char *link);
/* symlinkat(target, name) in folder, a folder of the current one reached
 * without following a link (nothing is made through a link); no result. */
void makeSymLinkIn(const char *folder, const char *target, const char *name);
/* Writes "/tmp" into a buffer of at least 5 bytes. */
void getTempDir(char *buffer);
/* getcwd(buffer, size).  On failure the buffer holds the empty string. */
void getCurrentDir(char *buffer, size_t size);
/* chdir: 0, or -1 on failure. */
int changeDir(const char *path);
/* Creates the folder name in the folder dirFd exclusively with mode 0700,
 * never adopting an existing name (a directory, a file or a dangling link).
 * Result: 0 created, 1 the name is taken (or the new folder was removed
 * at once by another process), -1 any other failure. */
int makePrivateDirAt(int dirFd, const char *name);
/* Renames from to to, both in the folder dirFd, never over anything already
 * named to.  Result: 0 renamed, 1 the name is taken, -2 the kernel or file
 * system cannot rename without replacing (nothing done), -1 any other
 * failure. */
int renameNoReplaceAt(int dirFd, const char *from, const char *to);
/* 1 when path lies on a file system mounted noexec, else 0 (also when
 * this cannot be told). */
int isNoExecDir(const char *path);
/* 1 when the file system of path has no free block or inode left for this
 * process, else 0 (also when this cannot be told, and for a count that the
 * file system does not limit: a block or inode total of 0). */
int isFileSystemFull(const char *path);
/* What a folder's file system and status say, for this process. */
typedef struct FolderRoom {
    uint64_t device;     /* st_dev: folders on one file system share it */
    uint64_t freeBytes;  /* room left; UINT64_MAX where the file system sets no limit */
    uint64_t freeInodes; /* files that may still be made; likewise */
    uint32_t blockSize;  /* the unit in which files take room */
    uint32_t flags;      /* statvfs flags (ST_RDONLY, ST_NOEXEC) */
    uint32_t mode;       /* st_mode of the folder, links followed */
    uint32_t owner;      /* st_uid of the folder */
} FolderRoom;
/* Results of checkWorkFolder. */
enum {
    FOLDER_USABLE = 0,
    FOLDER_MISSING,      /* nothing there, or its status cannot be read */
    FOLDER_NOT_A_FOLDER,
    FOLDER_READ_ONLY,    /* on a file system mounted read-only */
    FOLDER_NOEXEC,       /* on a file system mounted noexec */
    FOLDER_NOT_WRITABLE, /* the effective user may not create entries in it */
    FOLDER_FOREIGN,      /* owned by neither the effective user nor root */
    FOLDER_SHARED        /* others may write to it, and it is not sticky */
};
/* Reads the room and status of the open folder fd.  Result: 0, or -1 when
 * either cannot be read. */
int folderRoomAt(int fd, FolderRoom *room);
/* Whether a work directory may be made in the open folder fd: one that the
 * effective user may write and search, on a file system mounted neither
 * read-only nor noexec, in which nobody else can rename entries away.
 * Result: FOLDER_USABLE with room filled, else the first fault found
 * (FOLDER_*). */
int checkWorkFolderAt(int fd, FolderRoom *room);
/* Makes the live mark name in the folder dir of the folder dirFd: a file
 * created under a temporary name, locked (flock), then renamed, so that it
 * is never seen unlocked while its owner lives.  The descriptor stays open,
 * and child processes inherit it and the lock.  Result: the descriptor, or
 * -1. */
int markLiveAt(int dirFd, const char *dir, const char *name);
/* Opens the mark name in the folder dirFd and takes its lock without
 * waiting: only a regular file (no link) of the effective user whose lock
 * nobody holds, that is, whose owners have all ended.  The lock lasts until
 * the descriptor is closed.  Result: the descriptor, or -1. */
int takeDeadMark(int dirFd, const char *name);
/* Removes the tree name in the folder dirFd without a shell and without
 * reaching it by a path from "/" (rm runs inside the folder), with
 * async-signal-safe calls only (fork, fchdir, execve of rm, waitpid), so
 * that a signal handler may use it.  No result; the caller checks the
 * effect. */
void deleteTreeAt(int dirFd, const char *name);

/* ---- Process and environment ------------------------------------------- */

int getPid(void);
/* setenv(name, value, 1); no result. */
void setInheritedEnv(const char *name, const char *value);
/* sleep(); a sleep cut short by a signal is not resumed. */
void sleepSec(unsigned int seconds);
/* Size of the signature block behind the package in the file at path, as
 * the block's trailer gives it; 0 for an unsigned package (or a file that
 * cannot be read). */
int getSignatureSize(const char *path);

/* ---- Host identification ------------------------------------------------ */

/* Platform information record: the same codes, order and widths as the
 * first three fields of a command record. */
typedef struct PfmInfo {
    /* PKG_DIST_* of common/pkglayout.h: 1 Windows, 2 SuSE, 3 Red Hat,
     * 4 Novell Linux Desktop, 5 Debian, 6 Ubuntu; 0 unknown */
    int32_t distribution;
    int32_t release; /* major release; -1 unknown */
    /* PKG_ARCH_* of common/architectures.txt (1 x86, 2 x86-64, 3 PPC, ...);
     * 0 unknown */
    int32_t architecture;
} PfmInfo;

/* Identifies the host from "uname -i" (the kernel's machine name where it
 * prints "unknown") and the release file under /etc (os-release, in /etc or
 * else /usr/lib, where neither old-style release file exists).
 * Result: NULL when all three fields were determined, else a message; an
 * unknown-architecture message is a heap text that stays valid until the
 * next call (which releases it); callers never free it. */
const char *getPfmInfo(PfmInfo *info);
/* The folder for the identification's temporary file where /tmp takes none
 * (read-only, not writable).  A path too long to hold the file's name is
 * not taken: /tmp only, then. */
void setScratchFolder(const char *folder);
/* The same with the command and the release files given (for tests). */
const char *getPfmInfoFrom(PfmInfo *info, const char *unameCommand, const char *redhatRelease,
                           const char *suseRelease, const char *osRelease,
                           const char *osReleaseFallback);

/* ---- Further services: output folder, latest file, media, editor ------- */

/* Lists "/tmp/embed/docs" into "/trell/oemCheck" and looks for "oem" in it.
 * Result: 0 OEM installation; 1 not OEM, or the check could not complete. */
int checkForOEM(void);
/* Support-log folder, by checkForOEM on every call; ends in a separator.
 * Result: "/var/log/OEM_Support/" or "/var/log/ZORVAN_Support/", constant. */
const char *getDefaultOutputDir(void);
/* Newest non-directory entry (st_mtime > 0) whose name ends in suffix; the
 * directory text is joined to names unchanged, so it ends in FILE_SEPARATOR.
 * Result: directory + name in a heap block the caller frees, or NULL. */
char *findLatestFile(const char *directory, const char *suffix);
/* Reads up to 32 bytes of path into buffer (33 bytes), cut at a blank or tab.
 * Result: 1 when a byte was read, else 0 with the buffer left as it was. */
int readDevice(char *buffer, const char *path);
/* "mount %s /mnt/key >/dev/null 2>&1"; mountPoint (9 bytes) gets "/mnt/key".
 * Result: 0 mounted, 1 failed (after a message; mountPoint left as it was). */
int mountRemovableMedia(const char *device, char *mountPoint);
/* "umount %s", only when mountPoint is exactly "/mnt/key".
 * Result: raw status of system(); -1 when nothing was run. */
int unmountRemovableMedia(const char *device, const char *mountPoint);
/* "vi %s", waiting until the editor ends.
 * Result: raw status of system(); -1 when the line does not fit (nothing run). */
int launchTextEditor(const char *file);

/* ---- Result upload over FTP to the support service -------------------- */

/* Uploads the file under its own name into the support service's upload
 * folder, through a libcurl loaded at run time.  Messages go to stderr.
 * Result: 0 when the upload completed, -1 on any failure. */
int ftpFile(const char *path);

/* ---- Result upload over HTTPS, FTPS, FTP and SFTP ---------------------- */

/* How uploadFile sends a file.  Start from UPLOAD_OPTIONS_DEFAULT and change
 * what differs; a NULL text means none (or the default named). */
typedef struct UploadOptions {
    const char *caFile;    /* CA certificates (PEM) to verify TLS servers with;
                            * NULL: the system's store */
    const char *formField; /* https: POST multipart/form-data with the file in
                            * this field; NULL: PUT */
    int checksum;          /* non-zero: then send NAME.sha256 (sha256sum format) */
    int requireTls;        /* ftp://: refuse a server that does not offer AUTH TLS */
    int retries;           /* tries after a transient failure, 0..UPLOAD_MAX_RETRIES */
    const char *credentials; /* a netrc file; or, for a URL that names a user, a
                              * file whose first line is the password */
    const char *sshKey;      /* sftp: the private key (no passphrase) to log in with */
    const char *knownHosts;  /* sftp: the known-hosts file; NULL: ~/.ssh/known_hosts */
    int timeout; /* seconds to connect, and that a transfer may go without
                  * progress; 0: UPLOAD_DEFAULT_TIMEOUT */
} UploadOptions;

#define UPLOAD_DEFAULT_RETRIES 3
#define UPLOAD_MAX_RETRIES 10
#define UPLOAD_DEFAULT_TIMEOUT 30
#define UPLOAD_MAX_TIMEOUT 3600
#define UPLOAD_OPTIONS_DEFAULT {NULL, NULL, 0, 0, UPLOAD_DEFAULT_RETRIES, NULL, NULL, NULL, 0}

/* Uploads the file at path to url (https://, ftps:// with implicit TLS,
 * ftp:// with TLS whenever the server offers it, sftp://), through a
 * libcurl loaded at run time; a URL that ends in "/" gets the file's own
 * name.  TLS is always verified; an SFTP server's host key must be in the
 * known-hosts file.  Transient failures (no or a broken connection, a time-
 * out, HTTP 5xx or 429) are tried again after 1, 2, 4... seconds (at most
 * 30); FTP, FTPS and SFTP then resume from what the server holds.  On a
 * terminal, standard error shows the progress of uploads that take more than
 * a second, and each failed try.  Credentials never appear in a message.
 * options may be NULL (the defaults).  Like ftpFile, each call sets up and
 * tears down libcurl's global state: one upload at a time, and not beside
 * another user of libcurl in the process.
 * Result: 0 when the file (and its checksum file) arrived; -1 after one
 * message on standard error. */
int uploadFile(const char *url, const char *path, const UploadOptions *options);

#ifdef __cplusplus
}
#endif

#endif
