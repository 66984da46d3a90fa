// The run's endings, interrupt handling and the work directory.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "../common/ending_signals.h"
#include "../os/osspecific.h"
#include "installer.h"

char wrkDir[WRK_DIR_SIZE];
char extractFolder[EXTRACT_FOLDER_SIZE];
char extractPath[EXTRACT_FOLDER_SIZE];
int extract;
volatile sig_atomic_t interrupted;
volatile sig_atomic_t ignoreInterrupt;
volatile sig_atomic_t wrkDirOwned;
// The live mark of this run's work directory, held until the run ends.
static int liveMark = -1;

// The signals that end a run, as one set.
static void endingSignals(sigset_t *set)
{
    sigemptyset(set);
    for (int i = 0; i < ENDING_SIGNAL_COUNT; i++)
        sigaddset(set, ENDING_SIGNALS[i]);
}

// The work directory's name in wrkBaseFd, and what it is (device and
// inode), so that nothing else ever goes in its place.
static char wrkName[sizeof WORK_DIR_PREFIX + 8];
static struct stat wrkId;

// 1 when wrkName in the base is still the directory this run made.
// Async-signal-safe.
static int workDirIsOurs(void)
{
    struct stat st;
    return wrkDirOwned && wrkBaseFd >= 0 &&
           fstatat(wrkBaseFd, wrkName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
           st.st_dev == wrkId.st_dev && st.st_ino == wrkId.st_ino;
}

// Runs inside the signal handler too: fstatat, fchdir, fork, execve and
// waitpid only.  Everything goes through the base's descriptor: no path
// from "/" that someone could have changed is taken.
void cleanup(void)
{
    if (!workDirIsOurs())
        return;
    // Out of the tree that goes.
    if (fchdir(wrkBaseFd) != 0)
        return;
    deleteTreeAt(wrkBaseFd, wrkName);
    if (workDirIsOurs())
        deleteTreeAt(wrkBaseFd, wrkName);
}

void dropWorkDir(void)
{
    sigset_t block, old;
    endingSignals(&block);
    sigprocmask(SIG_BLOCK, &block, &old);
    cleanup();
    wrkDirOwned = 0;
    wrkDir[0] = '\0';
    if (liveMark >= 0)
        fd_close(liveMark);
    liveMark = -1;
    sigprocmask(SIG_SETMASK, &old, NULL);
}

void interrupt(int signalNumber)
{
    (void)signalNumber;
    interrupted = 1;
    if (!ignoreInterrupt) {
        cleanup();
        _exit(1);
    }
}

// Installs interrupt for one signal.
static void installInterrupt(int signalNumber)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = interrupt;
    // One handler at a time: a second signal waits until the first is done.
    endingSignals(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signalNumber, &sa, NULL);
}

void installInterrupts(void)
{
    for (int i = 0; i < ENDING_SIGNAL_COUNT; i++)
        installInterrupt(ENDING_SIGNALS[i]);
}

// Removes a temporary directory of ours in the base that holds at most its
// mark.
static void dropTemporary(const char *temp, int mark)
{
    char path[64];
    int n = snprintf(path, sizeof path, "%s%c%s", temp, FILE_SEPARATOR, LIVE_MARK);
    if (n > 0 && (size_t)n < sizeof path)
        unlinkat(wrkBaseFd, path, 0);
    unlinkat(wrkBaseFd, temp, AT_REMOVEDIR);
    if (mark >= 0)
        fd_close(mark);
}

// Makes the temporary folder WORK_TEMP_PREFIX and 6 characters in the base,
// exclusively, mode 0700, as mkdtemp does.  Result: 0, or -1.
static int makeTemporary(char *temp, size_t size)
{
    static const char letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static uint64_t counter;
    for (int tries = 0; tries < 100; tries++) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t x = ((uint64_t)getpid() << 32) ^ (uint64_t)now.tv_nsec ^
                     ((uint64_t)now.tv_sec << 20) ^ (++counter * 0x9E3779B97F4A7C15ull);
        char suffix[7];
        for (int i = 0; i < 6; i++) {
            x ^= x >> 31;
            x *= 0xBF58476D1CE4E5B9ull;
            suffix[i] = letters[(x >> 40) % (sizeof letters - 1)];
        }
        suffix[6] = '\0';
        int len = snprintf(temp, size, WORK_TEMP_PREFIX "%s", suffix);
        if (len < 0 || (size_t)len >= size)
            return -1;
        int made = makePrivateDirAt(wrkBaseFd, temp);
        if (made != 1)
            return made;
    }
    return -1;
}

// Notes the work directory as this run's: from now on cleanup removes it.
static int claimWorkDir(void)
{
    if (fstatat(wrkBaseFd, wrkName, &wrkId, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    wrkDirOwned = 1;
    return 0;
}

// Makes wrkName in the base with its live mark in it, so that no other
// run's sweep ever takes it for the leftover of a dead run: made under a
// temporary name, marked, then renamed into place.  A kill on the way
// leaves at most a temporary directory, which the sweep removes.  Where the
// kernel cannot rename without replacing, the directory is made, then
// marked.  Result: 0 made, 1 the name is taken, -1 a failure.
static int makeMarkedDir(void)
{
    char temp[64];
    for (int tries = 0; tries < 8; tries++) {
        if (makeTemporary(temp, sizeof temp) != 0)
            return -1;
        int mark = markLiveAt(wrkBaseFd, temp, LIVE_MARK);
        if (mark < 0) {
            // Another run's sweep may have taken it for a dead run's.
            dropTemporary(temp, -1);
            continue;
        }
        int renamed = renameNoReplaceAt(wrkBaseFd, temp, wrkName);
        if (renamed == 0) {
            liveMark = mark;
            return claimWorkDir();
        }
        dropTemporary(temp, mark);
        if (renamed != -2)
            return renamed == 1 ? 1 : -1;
        int made = makePrivateDirAt(wrkBaseFd, wrkName);
        if (made != 0)
            return made;
        if (claimWorkDir() != 0)
            return -1;
        liveMark = markLiveAt(wrkBaseFd, wrkName, LIVE_MARK);
        return liveMark >= 0 ? 0 : -1;
    }
    return -1;
}

int makeWorkDir(const char *base, uint32_t n)
{
    // cleanup steps out into the base before it removes the directory.
    if (base != wrkBase) {
        size_t len = strlen(base);
        if (len >= sizeof wrkBase) {
            fprintf(stderr, "Failed creating %s\n", base);
            return -1;
        }
        memcpy(wrkBase, base, len + 1);
        closeWorkBase();
    }
    sigset_t block, old;
    endingSignals(&block);
    for (;; n++) {
        int len = snprintf(wrkDir, sizeof wrkDir, "%s%c" WORK_DIR_PREFIX "%08x", base,
                           FILE_SEPARATOR, (unsigned)n);
        if (len < 0 || (size_t)len >= sizeof wrkDir) {
            fprintf(stderr, "Failed creating %s\n", base);
            return -1;
        }
        // The base is reached once, by descriptor; chooseWorkBase did so
        // for the one it chose.
        if (wrkBaseFd < 0 && openWorkBase(wrkBase) != 0) {
            fprintf(stderr, "Failed creating %s\n", wrkDir);
            return -1;
        }
        snprintf(wrkName, sizeof wrkName, WORK_DIR_PREFIX "%08x", (unsigned)n);
        struct stat st;
        if (fstatat(wrkBaseFd, wrkName, &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        // A name that appears after the test is skipped like a taken one.
        // Signals wait while the directory is made and claimed, so that an
        // interrupt either finds nothing of ours or removes it.
        sigprocmask(SIG_BLOCK, &block, &old);
        int made = makeMarkedDir();
        sigprocmask(SIG_SETMASK, &old, NULL);
        if (made == 1)
            continue;
        if (made < 0) {
            fprintf(stderr, "Failed creating %s\n", wrkDir);
            return -1;
        }
        break;
    }
    int fd = openat(wrkBaseFd, wrkName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    int entered = fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == wrkId.st_dev &&
                  st.st_ino == wrkId.st_ino && fchdir(fd) == 0;
    if (fd >= 0)
        fd_close(fd);
    if (!entered) {
        fprintf(stderr, "Failed changing to directory %s\n", wrkDir);
        return -1;
    }
    return 0;
}

void failureEnding(int status)
{
    if (getenv("ZORVAN_PORTABLE_ERR_SH") != NULL) {
        fflush(stdout);
        (void)system("sh");
    }
    cleanup();
    exit(status);
}

void successEnding(void)
{
    cleanup();
    exit(0);
}
