/* Launcher module (installer): reads the package appended to its own file,
 * unpacks the image into a private work directory, runs the tool and cleans
 * up on every ending.  Plain C interface, fixed-size buffers. */
#ifndef LAUNCHER_INSTALLER_H
#define LAUNCHER_INSTALLER_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "../common/pkglayout.h"
#include "../common/shell_quote.h"

/* A work directory is WORK_DIR_PREFIX and 8 hex digits, and holds the live
 * mark LIVE_MARK while its run (or the tool) lives. */
#define WORK_DIR_PREFIX "portable_install_"
/* A work directory is made under this name and 6 more characters (no
 * longer than its own name), marked, then renamed into place: a directory
 * of the work-directory name always holds its mark. */
#define WORK_TEMP_PREFIX ".portable_install_"
#define LIVE_MARK ".trell-live"

enum {
    WRK_DIR_SIZE = 512,
    EXTRACT_FOLDER_SIZE = 262, /* two quotes, 259 characters, NUL */
    CMD_BUFFER_SIZE = 2048,
    VALUE_BUFFER_SIZE = 1024,
    TIMESTAMP_SIZE = 128,
    ELEMENT_COPY_CHUNK = 131072
};

/* ---- Globals ------------------------------------------------------------ */

extern char wrkDir[WRK_DIR_SIZE];
/* The folder that holds wrkDir: "/tmp" where it serves (see chooseWorkBase). */
extern char wrkBase[WRK_DIR_SIZE];
/* wrkBase, opened once by descriptor (folder_walk.h); -1 until it is.  The
 * work directory is made, entered and removed relative to it alone. */
extern int wrkBaseFd;
extern char extractFolder[EXTRACT_FOLDER_SIZE];
/* The extract folder as an absolute path, unquoted. */
extern char extractPath[EXTRACT_FOLDER_SIZE];
/* The extract folder, open by descriptor once it is checked; -1 before. */
extern int extractFd;
/* The name under which the package file was opened (/proc/self/exe, or
 * where /proc is missing argv0 or a PATH match; the path trell-run was
 * given); empty until it is. */
extern char pkgPath[CMD_BUFFER_SIZE];
/* 1 when the package was named by its path (trell-run), not this file. */
extern int pkgNamed;
/* Once the directory is located: the signed bytes (the package through its
 * end marker), and the size of the signature block behind them (0 none). */
extern off_t pkgSignedSize;
extern uint32_t pkgSignatureBlock;
/* 1 in extract-only mode (--extract FOLDER): unpack into the folder, run nothing. */
extern int extract;
/* 1 once an ending signal came, whether or not it ended the run. */
extern volatile sig_atomic_t interrupted;
/* Set while the unzip utility or the tool runs: a signal is then only
 * recorded (interrupted), and the run goes on. */
extern volatile sig_atomic_t ignoreInterrupt;
/* 1 once wrkDir names a directory that this run created; cleanup removes
 * nothing before that. */
extern volatile sig_atomic_t wrkDirOwned;
/* Which archive of an image pair element 4 stands for: -1 or 0 the first
 * (or the only) one, 1 the second. */
extern int whichImg;

/* ---- Package reader ------------------------------------------------------ */

/* Opens the package and reads its directory: with package NULL, the
 * launcher's own file (/proc/self/exe; where /proc is missing, argv0,
 * argv0 + EXE_EXT or for a name without '/' a PATH search); else the file
 * package names (trell-run).  Only a regular file is taken; the bytes
 * between the end marker and a signature block must be zeros.  Result: the
 * open descriptor, or -1 after a message on standard error. */
int locatePkgDirectory(const char *argv0, const char *package, int32_t directory[PKG_DIR_ENTRIES]);
/* Searches PATH ("/bin:/usr/bin" when unset) for name as the shell does: an
 * empty entry is the current folder, the first regular file that this
 * process may execute is taken.  Result: 0 with its path in out, or -1. */
int findOnPath(char *out, size_t size, const char *name);
/* Positions fd at element index (0..4).  Result: the new position, or -1
 * (also for an index out of range or an offset at or over 2^31). */
off_t seekToPkgElement(int index, const int32_t *directory, int fd);
/* Reads element index whole into buffer.  Result: size[index], or -1 when
 * it does not fit capacity or cannot be read whole. */
int extractPkgElement(int index, const int32_t *directory, int fd, void *buffer,
                      uint32_t capacity);
/* Copies element index into a new file at path, in the kernel where it
 * can, else by copyPkgBytesByChunks.  Result: 0, or -1. */
int extractPkgElementFile(int index, const char *path, const int32_t *directory, int fd);
/* Copies count bytes from in's position to out's through one 128 KiB
 * buffer, a read and a write per chunk.  Result: 0, or -1 when a read or a
 * write comes up short. */
int copyPkgBytesByChunks(int in, int out, int32_t count);

/* ---- Integrity and trust ------------------------------------------------ */

/* Where a host keeps the public keys whose packages alone it runs. */
#define TRUST_STORE "/etc/trell/trusted-keys"

/* Checks the package against its record's checksums: the directory, then
 * elements 1, 2 and 3 (a package without a record passes).  Result: 0, or
 * -1 after the message that names what is damaged. */
int checkPackageIntegrity(const int32_t *directory, int fd);
/* Where the trust store (a folder) holds at least one public key: the
 * package must be signed by one of them, with a signature that matches the
 * signed bytes.  Without the folder, or with no key in it, every package
 * passes.  Result: 0, or -1 after the message (unsigned, untrusted, a bad
 * signature, or a store or key that others may change). */
int checkTrust(const char *store, int fd);

/* ---- Platform check and image pair ------------------------------------- */

/* Chooses the record to run: the first record whose distribution, release
 * and architecture equal the host's; on a mismatch warns, then refuses
 * (strict) or waits 5 s and takes the first record.  The host's values are
 * left in host.  Result: the record, or NULL on a refusal (messages shown). */
const unsigned char *platformCheck(int32_t recordCount, int32_t strict,
                                   const unsigned char *table, uint32_t tableSize,
                                   struct PfmInfo *host);
/* Chooses the archive of an image pair for the host's architecture: sets
 * whichImg, and element 4's size in the directory to that archive's.
 * Result: 0 (also: no pair), -1 refused (message shown). */
int selectImage(int32_t *directory);

/* ---- Work directory's base ----------------------------------------------- */

/* The room a run takes, as the package record tells it. */
typedef struct RunSizes {
    int known;         /* 0: the package records no sizes, room is not checked */
    uint64_t archive;  /* "image.zip" (the larger archive of an image pair) */
    uint64_t unzip;    /* the unzip utility */
    uint64_t unpacked; /* the unpacked files */
    uint64_t entries;  /* the image's entries */
} RunSizes;

/* Fills sizes from the package record in the directory (known 0 without). */
void runSizesFromPackage(const int32_t *directory, RunSizes *sizes);
/* Bytes a run takes on a file system of this block size: with work, the work
 * directory's own files; with unpacked, the unpacked image; each file
 * rounded up to whole blocks, and a margin.  Saturates at UINT64_MAX. */
uint64_t runBytesNeeded(const RunSizes *sizes, uint32_t block, int work, int unpacked);
/* Files (inodes) that the same takes. */
uint64_t runInodesNeeded(const RunSizes *sizes, int work, int unpacked);
/* Chooses wrkBase: the folder TRELL_PORTABLE_TMPDIR names, when set, and
 * nothing else; otherwise /tmp when it serves, else the first that serves of
 * $TMPDIR, /var/tmp, /dev/shm, the package's folder and $HOME (a line on
 * standard error says where and why).  Serves: an existing folder on a file
 * system that allows programs and writing, safe from other users, with room
 * for sizes.  Result: 0, or -1 after a message naming each refusal. */
int chooseWorkBase(const RunSizes *sizes);
/* After the host refused to start the unzip utility in wrkBase: the next
 * candidate that serves (never after a folder the user named), with a line
 * that says so.  Result: 0 with wrkBase set, or -1 (nothing printed). */
int chooseNextWorkBase(const RunSizes *sizes);
/* Prints why no candidate served: each one and its fault. */
void reportWorkBaseRefusals(void);

/* ---- Command line and extract folder ------------------------------------ */

/* The folder as an absolute path: cwd and a separator in front of a
 * relative one, nothing normalised.  Result: 0, or -1 when cwd is unknown
 * (empty) or the path does not fit size. */
int absoluteFolder(char *out, size_t size, const char *folder, const char *cwd);

enum {
    CMDLINE_OK = 0,
    CMDLINE_TOO_LONG = -1,  /* the line would not fit its buffer */
    CMDLINE_VALUE_TOO_LONG = -2 /* a quoted value would not fit its buffer */
};
/* Assembles the tool's command line from the record's command, arguments
 * and argument mode and the user's arguments argv[1..argc-1], each of which
 * reaches the tool as one argument (shellWord; a value kept with its option
 * always quoted).
 * value is the scratch buffer for one quoted value.  Result: CMDLINE_*. */
int buildToolCommand(char *out, size_t outSize, char *value, size_t valueSize,
                     const char *command, const char *args, int32_t mode, int argc,
                     char *const *argv);

/* DMTF CIM datetime: yyyymmddhhmmss.uuuuuu followed by the sign and three
 * digits of minutesWest.  Result: 0, or -1 on truncation. */
int formatTimestamp(char *out, size_t size, int year, int month, int day, int hour,
                    int minute, int second, long usec, int minutesWest);
/* Reads the clock for the start-up timestamp and formats it.
 * Result: 0, or -1. */
int startTimestamp(char *out, size_t size);

/* ---- Driver ------------------------------------------------------------- */

/* The whole run: with package NULL, of the package appended to the
 * launcher's own file; else of the package file it names (argv[0] then
 * stands for it, and argv[1..] are the tool's).  Result: the exit status,
 * where the run does not end through an ending below. */
int runPackage(const char *package, int argc, char **argv);

/* Signal handler for SIGINT, SIGTERM, SIGQUIT, SIGHUP and SIGPIPE: records the
 * signal; outside the windows it also removes the work directory and ends
 * the run with status 1. */
void interrupt(int signalNumber);
/* Installs interrupt for each of the ending signals (common/ending_signals.h). */
void installInterrupts(void);
/* Removes this run's work directory, if it exists; it does not end the run.
 * Async-signal-safe. */
void cleanup(void);
/* The same, then forgets it, so that another may be made. */
void dropWorkDir(void);
/* Searches from n on for the first free name base/portable_install_%08x,
 * creates it exclusively (mode 0700) in wrkDir and enters it; base becomes
 * wrkBase.  Result: 0, or -1 after a message on standard error. */
int makeWorkDir(const char *base, uint32_t n);
/* Opens the folder path by descriptor as wrkBaseFd (closing the one open
 * before).  Result: 0, or -1. */
int openWorkBase(const char *path);
/* Closes wrkBaseFd, if open. */
void closeWorkBase(void);
/* Removes from base the work directories of runs that have ended without
 * cleaning up: real directories of the effective user, mode 0700, named
 * WORK_DIR_PREFIX and 8 hex digits, whose live mark (a regular file of the
 * same user) can be locked at once; and such directories under their
 * temporary names (WORK_TEMP_PREFIX) that are empty, or whose mark can be
 * locked.  Others are never touched.  With
 * TRELL_PORTABLE_DEBUG set, one line per directory removed.
 * Result: how many were removed. */
int sweepDeadWorkDirs(const char *base);
/* The same in the folder open as baseFd, whose path base names it in
 * messages. */
int sweepDeadWorkDirsAt(int baseFd, const char *base);
/* Sweeps every place a run of this user may have unpacked in. */
void sweepWorkBases(void);
/* Error shell if asked for, cleanup, exit with status. */
__attribute__((noreturn)) void failureEnding(int status);
/* cleanup, exit 0. */
__attribute__((noreturn)) void successEnding(void);

/* ---- Front end ------------------------------------------------------------ */

/* Starts the graphical front end that an unpacked image may carry: runs
 * "./disk1/launchpad.sh" of the current directory, then pauses 2 s.
 * Result: raw status of system(); -1 when there is no script (message shown). */
int startGUI(void);

#endif
