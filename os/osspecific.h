/* OS layer (module osspecific_linux): the seam between the launcher's
 * portable logic and the platform.  Plain C interface: free functions,
 * caller-owned NUL-terminated buffers, no state of its own.
 *
 * Shell-command operations insert their arguments verbatim: quoting is the
 * caller's business.  Each composes its command in a 512-byte buffer; an
 * argument text that would not fit is refused with the failure result and
 * nothing is run. */
#ifndef OS_OSSPECIFIC_H
#define OS_OSSPECIFIC_H

#include <stdint.h>
#include <sys/types.h>

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
/* chmod 0777: 0, or -1 on failure.  The two names are kept for their callers. */
int makeFileReadable(const char *path);
int makeFileExecutable(const char *path);
/* symlink(target, link); no result. */
void makeSymLink(const char *target, const char *link);
/* Writes "/tmp" into a buffer of at least 5 bytes. */
void getTempDir(char *buffer);
/* getcwd(buffer, size).  On failure the buffer holds the empty string. */
void getCurrentDir(char *buffer, size_t size);
/* chdir: 0, or -1 on failure. */
int changeDir(const char *path);
/* Creates the directory exclusively with mode 0700, never adopting an
 * existing name (a directory, a file or a dangling link).
 * Result: 0 created, 1 the name is taken, -1 any other failure. */
int makePrivateDir(const char *path);
/* Removes a tree without a shell, with async-signal-safe calls only
 * (fork, execve of rm, waitpid), so that a signal handler may use it.
 * No result; the caller checks the effect. */
void deleteTreeSignalSafe(const char *path);

/* ---- Process and environment ------------------------------------------- */

int getPid(void);
/* setenv(name, value, 1); no result. */
void setInheritedEnv(const char *name, const char *value);
/* sleep(); a sleep cut short by a signal is not resumed. */
void sleepSec(unsigned int seconds);
/* Size of a code signature behind the package; 0 on Linux. */
int getSignatureSize(const char *path);

#endif
