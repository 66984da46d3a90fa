// The base folder of the work directory: /tmp where it serves, else the
// first of the other places where the host lets programs run and there is
// room for the run; a folder the user names is the only one tried.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "../common/folder_walk.h"
#include "../os/osspecific.h"
#include "installer.h"

char wrkBase[WRK_DIR_SIZE];
int wrkBaseFd = -1;

enum {
    BASE_USER,     // TRELL_PORTABLE_TMPDIR, when set: the only candidate
    BASE_TMP,      // /tmp, as always where it serves
    BASE_TMPDIR,
    BASE_VAR_TMP,
    BASE_DEV_SHM,
    BASE_PACKAGE,  // the package's folder: the launcher itself runs from there
    BASE_HOME,
    BASE_COUNT
};

// Faults of the launcher's own, beside the OS layer's FOLDER_*.
enum {
    BASE_NOT_SET = 100, // the variable is unset or empty: not a candidate
    BASE_RELATIVE,
    BASE_TOO_LONG,
    BASE_NO_ROOM,
    BASE_NO_INODES,
    BASE_NO_PROGRAMS, // the unzip utility could not be started there
    BASE_UNSAFE_PATH  // a folder or link on its path that another user could change
};

// What each candidate came to: its fault, and for a shortfall of room what
// it has and what the run needs.
static struct {
    char path[WRK_DIR_SIZE];
    int fault;
    uint64_t have, need;
    char unsafe[FOLDER_WALK_WHERE_SIZE + 64]; // for BASE_UNSAFE_PATH: why
} tried[BASE_COUNT];
static int chosen = -1;

static const char *const candidateVariable[BASE_COUNT] = {
    "TRELL_PORTABLE_TMPDIR", NULL, "TMPDIR", NULL, NULL, NULL, "HOME"};
static const char *const candidateFolder[BASE_COUNT] = {NULL, "/tmp", NULL, "/var/tmp",
                                                       "/dev/shm", NULL, NULL};

// Room for the work directory's name behind the base.
enum { WORK_NAME_ROOM = sizeof "/portable_install_12345678" - 1 };

static uint64_t addSat(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

static uint64_t mulSat(uint64_t a, uint64_t b)
{
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

static uint64_t roundUp(uint64_t bytes, uint32_t block)
{
    if (block == 0)
        return bytes;
    return mulSat(bytes / block + (bytes % block != 0), block);
}

// Folders that the entries' paths imply, beside the entries themselves: a
// generous share, since a tool's tree holds far fewer folders than files.
static uint64_t objectsUnpacked(const RunSizes *s)
{
    return addSat(addSat(s->entries, s->entries / 4), 1);
}

uint64_t runBytesNeeded(const RunSizes *s, uint32_t block, int work, int unpacked)
{
    uint64_t total = 0;
    if (work) {
        // The folder, its image copy and its unzip utility.
        total = addSat(roundUp(s->archive, block), roundUp(s->unzip, block));
        total = addSat(total, mulSat(4, block));
    }
    if (unpacked)
        total = addSat(addSat(total, s->unpacked), mulSat(objectsUnpacked(s), block));
    // Room for the file system's own records, and a little more.
    return addSat(addSat(total, total / 64), 1u << 20);
}

uint64_t runInodesNeeded(const RunSizes *s, int work, int unpacked)
{
    uint64_t total = work ? 4 : 0;
    if (unpacked)
        total = addSat(total, objectsUnpacked(s));
    return total;
}

void runSizesFromPackage(const int32_t *directory, RunSizes *sizes)
{
    memset(sizes, 0, sizeof *sizes);
    unsigned char bytes[PKG_DIR_SIZE];
    pkgEncodeDirectory(directory, bytes);
    if (pkgRecordState(bytes) != 1)
        return;
    sizes->known = 1;
    sizes->unzip = (uint32_t)directory[PKG_ELEM_UNZIP];
    // Of an image pair, whichever archive the host takes: the larger counts.
    for (int slot = 0; slot < PKG_REC_IMAGE_SLOTS; slot++) {
        PkgImageFacts f = pkgRecordImage(bytes, slot);
        if (f.archiveBytes > sizes->archive)
            sizes->archive = f.archiveBytes;
        if (f.unpackedBytes > sizes->unpacked)
            sizes->unpacked = f.unpackedBytes;
        if (f.entries > sizes->entries)
            sizes->entries = f.entries;
    }
}

// The folder that holds the package file, as an absolute path: the kernel's
// name of the running executable (links resolved), else (a package named by
// its path, or no /proc) the name it was opened under.  Result: 0, or -1 when it cannot be told or does not fit.
static int packageFolder(char *out, size_t size)
{
    ssize_t n = pkgNamed ? -1 : readlink("/proc/self/exe", out, size);
    if (n > 0 && (size_t)n < size) {
        out[n] = '\0';
    } else {
        char cwd[WRK_DIR_SIZE];
        cwd[0] = '\0';
        if (!isAbsolutePath(pkgPath))
            getCurrentDir(cwd, sizeof cwd);
        int len = snprintf(out, size, "%s%s%s", cwd, cwd[0] ? "/" : "", pkgPath);
        if (pkgPath[0] == '\0' || len < 0 || (size_t)len >= size || !isAbsolutePath(out))
            return -1;
    }
    char *slash = strrchr(out, FILE_SEPARATOR);
    if (slash == out)
        slash++; // a package in the root folder
    *slash = '\0';
    return 0;
}

// The path of candidate i into out (WRK_DIR_SIZE bytes).  Result: 1 a
// folder to check, else 0 with the fault set (an unset variable included).
static int placePath(int i, char *out, int *fault)
{
    const char *path = candidateFolder[i];
    static char real[PATH_MAX];
    if (candidateVariable[i] != NULL) {
        path = getenv(candidateVariable[i]);
        if (path == NULL || path[0] == '\0') {
            *fault = BASE_NOT_SET;
            return 0;
        }
    } else if (i == BASE_PACKAGE) {
        if (packageFolder(real, sizeof real) != 0) {
            *fault = BASE_NOT_SET;
            return 0;
        }
        path = real;
    }
    if (strlen(path) >= WRK_DIR_SIZE - WORK_NAME_ROOM) {
        // Shown cut: the message only needs to be recognised.
        snprintf(out, WRK_DIR_SIZE, "%.60s...", path);
        *fault = BASE_TOO_LONG;
        return 0;
    }
    memcpy(out, path, strlen(path) + 1);
    if (!isAbsolutePath(path)) {
        *fault = BASE_RELATIVE;
        return 0;
    }
    return 1;
}

// The path of candidate i into tried[i].path, as placePath; a place named
// twice (TMPDIR=/tmp, say) is tried once.
static int candidatePath(int i)
{
    if (!placePath(i, tried[i].path, &tried[i].fault))
        return 0;
    for (int k = 0; k < i; k++) {
        if (tried[k].fault != BASE_NOT_SET && strcmp(tried[k].path, tried[i].path) == 0) {
            tried[i].fault = BASE_NOT_SET;
            return 0;
        }
    }
    return 1;
}

void closeWorkBase(void)
{
    if (wrkBaseFd >= 0)
        fd_close(wrkBaseFd);
    wrkBaseFd = -1;
}

int openWorkBase(const char *path)
{
    FolderWalkFault fault;
    closeWorkBase();
    wrkBaseFd = folderWalkOpen(path, 0, &fault);
    return wrkBaseFd >= 0 ? 0 : -1;
}

// Opens the folder of candidate i by descriptor (folder_walk.h) and checks
// it as a work directory's base.  Result: FOLDER_USABLE with *fd open and
// room filled; else the fault (*fd -1), the reason of an unsafe path in
// unsafe (of FOLDER_WALK_WHERE_SIZE + 64 bytes).
static int openCandidate(const char *path, int *fd, FolderRoom *room, char *unsafe)
{
    FolderWalkFault fault;
    *fd = folderWalkOpen(path, 0, &fault);
    if (*fd < 0) {
        switch (fault.code) {
        case FOLDER_WALK_ERROR: return FOLDER_MISSING;
        case FOLDER_WALK_NOT_FOLDER:
            if (fault.last)
                return FOLDER_NOT_A_FOLDER;
            break;
        case FOLDER_WALK_FOREIGN:
            if (fault.last)
                return FOLDER_FOREIGN;
            break;
        case FOLDER_WALK_SHARED:
            if (fault.last)
                return FOLDER_SHARED;
            break;
        default: break;
        }
        folderWalkDescribe(&fault, unsafe, FOLDER_WALK_WHERE_SIZE + 64);
        return BASE_UNSAFE_PATH;
    }
    int state = checkWorkFolderAt(*fd, room);
    if (state != FOLDER_USABLE) {
        fd_close(*fd);
        *fd = -1;
    }
    return state;
}

void sweepWorkBases(void)
{
    char paths[BASE_COUNT][WRK_DIR_SIZE];
    for (int i = 0; i < BASE_COUNT; i++) {
        int fault;
        paths[i][0] = '\0';
        if (!placePath(i, paths[i], &fault)) {
            paths[i][0] = '\0';
            continue;
        }
        int seen = 0;
        for (int k = 0; k < i; k++)
            seen |= strcmp(paths[k], paths[i]) == 0;
        if (seen)
            continue;
        // Only where a run may have unpacked: a folder safe from others (a
        // noexec one included: it may have been remounted since).
        FolderWalkFault walk;
        int fd = folderWalkOpen(paths[i], 0, &walk);
        if (fd < 0)
            continue;
        FolderRoom room;
        int state = checkWorkFolderAt(fd, &room);
        if (state == FOLDER_USABLE || state == FOLDER_NOEXEC)
            sweepDeadWorkDirsAt(fd, paths[i]);
        fd_close(fd);
    }
}

// The candidate that serves is the base from now on: its descriptor is kept.
static int keepCandidate(int fd)
{
    closeWorkBase();
    wrkBaseFd = fd;
    return 1;
}

// Checks candidate i for a run of these sizes.  Result: 1 it serves (its
// folder then open as wrkBaseFd).
static int candidateServes(int i, const RunSizes *sizes)
{
    if (!candidatePath(i))
        return 0;
    FolderRoom room;
    int fd;
    tried[i].fault = openCandidate(tried[i].path, &fd, &room, tried[i].unsafe);
    if (tried[i].fault != FOLDER_USABLE)
        return 0;
    if (!sizes->known)
        return keepCandidate(fd);
    // In extract-only mode the unpacked files go to the extract folder,
    // and count here only where that lies on the same file system.
    int unpackedHere = !extract;
    if (extract) {
        FolderRoom target;
        unpackedHere = extractFd >= 0 && folderRoomAt(extractFd, &target) == 0 &&
                       target.device == room.device;
    }
    uint64_t bytes = runBytesNeeded(sizes, room.blockSize, 1, unpackedHere);
    uint64_t inodes = runInodesNeeded(sizes, 1, unpackedHere);
    if (room.freeBytes < bytes) {
        tried[i].fault = BASE_NO_ROOM;
        tried[i].have = room.freeBytes;
        tried[i].need = bytes;
    } else if (room.freeInodes < inodes) {
        tried[i].fault = BASE_NO_INODES;
        tried[i].have = room.freeInodes;
        tried[i].need = inodes;
    }
    if (tried[i].fault != FOLDER_USABLE) {
        fd_close(fd);
        return 0;
    }
    return keepCandidate(fd);
}

static unsigned long long mib(uint64_t bytes, int up)
{
    return (unsigned long long)(bytes / (1u << 20) + (up && bytes % (1u << 20) != 0));
}

// Prints what candidate i came to, as a phrase: its name, then why it does
// not serve ("/tmp is mounted noexec", "TMPDIR=/x is not a folder").
static void printFault(int i)
{
    if (candidateVariable[i] != NULL && i != BASE_USER)
        fprintf(stderr, "%s=", candidateVariable[i]);
    fputs(tried[i].path, stderr);
    switch (tried[i].fault) {
    case FOLDER_MISSING: fputs(" does not exist", stderr); break;
    case FOLDER_NOT_A_FOLDER: fputs(" is not a folder", stderr); break;
    case FOLDER_READ_ONLY: fputs(" is mounted read-only", stderr); break;
    case FOLDER_NOEXEC: fputs(" is mounted noexec", stderr); break;
    case FOLDER_NOT_WRITABLE: fputs(" is not writable for this user", stderr); break;
    case FOLDER_FOREIGN: fputs(" belongs to another user", stderr); break;
    case FOLDER_SHARED: fputs(" may be written by others and is not sticky", stderr); break;
    case BASE_RELATIVE: fputs(" is not an absolute path", stderr); break;
    case BASE_TOO_LONG: fputs(" is too long a path", stderr); break;
    case BASE_NO_ROOM:
        fprintf(stderr, " has %llu MiB free, the package needs %llu MiB", mib(tried[i].have, 0),
                mib(tried[i].need, 1));
        break;
    case BASE_NO_INODES:
        fprintf(stderr, " has room for %llu more files, the package needs %llu",
                (unsigned long long)tried[i].have, (unsigned long long)tried[i].need);
        break;
    case BASE_NO_PROGRAMS: fputs(" does not let programs run", stderr); break;
    case BASE_UNSAFE_PATH: fprintf(stderr, ": %s", tried[i].unsafe); break;
    default: break;
    }
}

// Lists the candidates before `upto` that were refused, as "a, b".
static void printRefused(int upto)
{
    const char *separator = "";
    for (int i = BASE_TMP; i < upto; i++) {
        if (tried[i].fault == BASE_NOT_SET)
            continue;
        fputs(separator, stderr);
        printFault(i);
        separator = ", ";
    }
}

// The one line for a folder the user named that does not serve.
static void printUserFault(void)
{
    fprintf(stderr, "Failed using %s: ", candidateVariable[BASE_USER]);
    printFault(BASE_USER);
    fputs("\n", stderr);
}

// Tries the candidates from `from` on.  Result: 0 with wrkBase set, -1
// after the message that names each one and why it was refused.
static int chooseFrom(int from, const RunSizes *sizes)
{
    for (int i = from; i < BASE_COUNT; i++) {
        if (!candidateServes(i, sizes))
            continue;
        memcpy(wrkBase, tried[i].path, sizeof wrkBase);
        chosen = i;
        if (i != BASE_TMP) {
            fprintf(stderr, "Unpacking in %s: ", wrkBase);
            printRefused(i);
            fputs("\n", stderr);
        }
        return 0;
    }
    return -1;
}

void reportWorkBaseRefusals(void)
{
    if (chosen == BASE_USER || tried[BASE_USER].fault != BASE_NOT_SET) {
        printUserFault();
        return;
    }
    fputs("Failed finding a folder to unpack the package in:\n", stderr);
    for (int i = BASE_TMP; i < BASE_COUNT; i++) {
        if (tried[i].fault == BASE_NOT_SET)
            continue;
        fputs("  ", stderr);
        printFault(i);
        fputs("\n", stderr);
    }
    fputs("Set TRELL_PORTABLE_TMPDIR to a folder where programs may run, with room for the "
          "package\n", stderr);
}

int chooseWorkBase(const RunSizes *sizes)
{
    memset(tried, 0, sizeof tried);
    for (int i = 0; i < BASE_COUNT; i++)
        tried[i].fault = BASE_NOT_SET;
    chosen = -1;
    int found;
    const char *named = getenv(candidateVariable[BASE_USER]);
    if (named != NULL && named[0] != '\0') {
        // The folder the user named, and nothing else.
        found = candidateServes(BASE_USER, sizes);
        if (found) {
            memcpy(wrkBase, tried[BASE_USER].path, sizeof wrkBase);
            chosen = BASE_USER;
            fprintf(stderr, "Unpacking in %s: %s names it\n", wrkBase,
                    candidateVariable[BASE_USER]);
        }
    } else {
        // /tmp may be missing on a bare host: made as it always was.
        if (!dirExists("/tmp"))
            (void)makeDir("/tmp");
        found = chooseFrom(BASE_TMP, sizes) == 0;
    }
    if (!found)
        reportWorkBaseRefusals();
    return found ? 0 : -1;
}

int chooseNextWorkBase(const RunSizes *sizes)
{
    if (chosen < 0)
        return -1;
    tried[chosen].fault = BASE_NO_PROGRAMS;
    if (chosen == BASE_USER)
        return -1;
    return chooseFrom(chosen + 1, sizes);
}

