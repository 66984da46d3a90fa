// The run's endings, interrupt handling and the work directory.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

// Runs inside the signal handler too: stat, chdir, fork, execve and waitpid
// only.
void cleanup(void)
{
    if (!wrkDirOwned || !dirExists(wrkDir))
        return;
    // Out of the tree that goes.
    changeDir(wrkBase);
    deleteTreeSignalSafe(wrkDir);
    if (dirExists(wrkDir))
        deleteTreeSignalSafe(wrkDir);
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

// Removes a temporary directory of ours that holds at most its mark.
static void dropTemporary(const char *temp, int mark)
{
    char path[WRK_DIR_SIZE + sizeof LIVE_MARK];
    int n = snprintf(path, sizeof path, "%s%c%s", temp, FILE_SEPARATOR, LIVE_MARK);
    if (n > 0 && (size_t)n < sizeof path)
        unlink(path);
    rmdir(temp);
    if (mark >= 0)
        fd_close(mark);
}

// Makes wrkDir with its live mark in it, so that no other run's sweep ever
// takes it for the leftover of a dead run: made under a temporary name in
// base, marked, then renamed into place.  A kill on the way leaves at most a
// temporary directory, which the sweep removes.  Where the kernel cannot
// rename without replacing, wrkDir is made, then marked.
// Result: 0 made, 1 the name is taken, -1 a failure.
static int makeMarkedDir(const char *base)
{
    char temp[WRK_DIR_SIZE];
    for (int tries = 0; tries < 8; tries++) {
        int len = snprintf(temp, sizeof temp, "%s%c" WORK_TEMP_PREFIX "XXXXXX", base,
                           FILE_SEPARATOR);
        if (len < 0 || (size_t)len >= sizeof temp || mkdtemp(temp) == NULL)
            return -1;
        int mark = markLive(temp, LIVE_MARK);
        if (mark < 0) {
            // Another run's sweep may have taken it for a dead run's.
            dropTemporary(temp, -1);
            continue;
        }
        int renamed = renameNoReplace(temp, wrkDir);
        if (renamed == 0) {
            liveMark = mark;
            wrkDirOwned = 1;
            return 0;
        }
        dropTemporary(temp, mark);
        if (renamed != -2)
            return renamed == 1 ? 1 : -1;
        int made = makePrivateDir(wrkDir);
        if (made != 0)
            return made;
        wrkDirOwned = 1;
        liveMark = markLive(wrkDir, LIVE_MARK);
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
        if (dirExists(wrkDir) || fileExists(wrkDir))
            continue;
        // A name that appears after the test is skipped like a taken one.
        // Signals wait while the directory is made and claimed, so that an
        // interrupt either finds nothing of ours or removes it.
        sigprocmask(SIG_BLOCK, &block, &old);
        int made = makeMarkedDir(base);
        sigprocmask(SIG_SETMASK, &old, NULL);
        if (made == 1)
            continue;
        if (made < 0) {
            fprintf(stderr, "Failed creating %s\n", wrkDir);
            return -1;
        }
        break;
    }
    if (changeDir(wrkDir) < 0) {
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
