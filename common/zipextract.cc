// Unpacking an archive into a folder (see zipextract.h).
#include "zipextract.h"

#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ending_signals.h"
#include "folder_trust.h"
#include "folder_walk.h"
#include "io_loops.h"

namespace {

const uint64_t kBufferSize = ZIP_EXTRACT_BUFFER;

struct Job {
    const ZipArchive *archive;
    ZipEntry *entries;
    uint64_t count;
    int root;
    ZipReportFn report;
    ZipProgressFn progress;
    void *context;
    pthread_mutex_t lock;
    uint64_t next;   // the next entry to take (atomic)
    long failed;     // under lock
    unsigned serial; // for temporary names (atomic)
};

// The temporary files being written, so that an interrupted unpacking can
// remove them (zipExtractInterrupt).  A file is created, renamed and removed
// under the lock, so none appears or moves while they are being removed.
struct Temporary {
    bool used;
    int dir;
    char name[64];
};
// One per thread of each unpacking under way, for a few at once.
const int kTemporarySlots = 4 * ZIP_EXTRACT_MAX_THREADS;
pthread_mutex_t gTemporaryLock = PTHREAD_MUTEX_INITIALIZER;
Temporary gTemporaries[kTemporarySlots];
bool gInterrupted;

// What went wrong with one entry.
struct Failure {
    const char *what;
    int error;
};

bool failWith(Failure *f, const char *what, int error)
{
    f->what = what;
    f->error = error;
    return false;
}

bool fitsMemory(uint64_t n)
{
    return n == static_cast<uint64_t>(static_cast<size_t>(n));
}

bool writeAll(int fd, const unsigned char *p, size_t n, Failure *f)
{
    return ioWriteAll(fd, p, n) == 0 || failWith(f, "cannot write the file", errno);
}

// The folder fd when no other user could change it, else -1 (closed,
// f filled).
int trusted(int fd, Failure *f)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        failWith(f, "cannot open a folder", errno);
    } else {
        const char *problem = folderTrustProblem(&st, geteuid(), 1);
        if (problem == NULL)
            return fd;
        failWith(f, problem, 0);
    }
    close(fd);
    return -1;
}

// Opens (making it when missing) the folder part inside dir, never through
// a link: a link there is removed and a folder made instead.  An existing
// folder is used only when trusted.  Result: the folder's descriptor, or
// -1 with f filled.
int enterFolder(int dir, const char *part, Failure *f)
{
    for (int attempt = 0; attempt < 4; attempt++) {
        const int fd = openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            return trusted(fd, f);
        if (errno == ENOENT) {
            if (mkdirat(dir, part, 0755) == 0) {
                const int made = openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                // Exactly 0755, whatever the umask.
                if (made >= 0 && fchmod(made, 0755) != 0) {
                    failWith(f, "cannot set the mode of a folder", errno);
                    close(made);
                    return -1;
                }
                if (made >= 0)
                    return trusted(made, f);
            } else if (errno != EEXIST) {
                failWith(f, "cannot make a folder", errno);
                return -1;
            }
            continue; // made by another thread meanwhile, or replaced again
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            failWith(f, "cannot open a folder", errno);
            return -1;
        }
        struct stat st;
        if (fstatat(dir, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode)) {
            failWith(f, "a file is in the way of a folder", ENOTDIR);
            return -1;
        }
        if (unlinkat(dir, part, 0) != 0 && errno != ENOENT) {
            failWith(f, "cannot remove a symbolic link in the way", errno);
            return -1;
        }
    }
    failWith(f, "a folder keeps changing while it is made", EAGAIN);
    return -1;
}

// Opens the folder that holds the entry (all its parts for a folder entry)
// and copies its last part into leaf.  Result: a descriptor, or -1.
int openFolders(int root, const ZipEntry *e, char *leaf, Failure *f)
{
    char name[ZIP_NAME_BUFFER];
    const int length = zipEntryName(e, name);
    if (length < 0) {
        failWith(f, zipProblemText(ZIP_NAME_TOO_LONG), 0);
        return -1;
    }
    char part[ZIP_NAME_BUFFER];
    int dir = root;
    uint32_t start = 0;
    const uint32_t end = e->folder ? length - 1 : length;
    for (uint32_t i = 0; i <= end; i++) {
        if (i < end && name[i] != '/')
            continue;
        const uint32_t n = i - start;
        memcpy(part, name + start, n);
        part[n] = '\0';
        start = i + 1;
        if (i == end && !e->folder) {
            memcpy(leaf, part, n + 1);
            break;
        }
        const int next = enterFolder(dir, part, f);
        if (dir != root)
            close(dir);
        if (next < 0)
            return -1;
        dir = next;
    }
    return dir == root ? dup(root) : dir;
}

// Fills the new file fd with the entry's data, CRC checked.
bool fillFile(const ZipArchive *a, const ZipEntry *e, int fd, libdeflate_decompressor *d,
              unsigned char *buffer, Failure *f)
{
    if (e->size == 0)
        return true;
    if (e->method == ZIP_METHOD_STORED) {
        if (zipCheckStored(a, e) != 0)
            return failWith(f, zipProblemText(ZIP_BAD_CRC), 0);
        // Its data lies in the mapped archive: its size fits a size_t.
        return writeAll(fd, a->data + e->dataOffset, static_cast<size_t>(e->size), f);
    }
    if (e->size <= kBufferSize) {
        const int r = zipInflate(a, e, d, buffer);
        return r != 0 ? failWith(f, zipProblemText(r), 0)
                      : writeAll(fd, buffer, static_cast<size_t>(e->size), f);
    }
    if (!fitsMemory(e->size))
        return failWith(f, "too large to unpack here", EFBIG);
    const size_t size = static_cast<size_t>(e->size);
    // The space is taken first: a full file system, a quota or a size limit
    // shows here as an error, not later as a fault in the mapping.
    if (ftruncate(fd, static_cast<off_t>(size)) != 0)
        return failWith(f, "cannot write the file", errno);
    const int fa = posix_fallocate(fd, 0, static_cast<off_t>(size));
    const bool mapped = fa == 0;
    if (fa != 0 && fa != EOPNOTSUPP && fa != EINVAL)
        return failWith(f, "cannot write the file", fa);
    // Without fallocate the data goes through memory of its own and write.
    void *out = mapped ? mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (out == MAP_FAILED)
        return failWith(f, "cannot map the file", errno);
    const int r = zipInflate(a, e, d, static_cast<unsigned char *>(out));
    bool ok = r == 0 ? true : failWith(f, zipProblemText(r), 0);
    if (ok && !mapped)
        ok = lseek(fd, 0, SEEK_SET) == 0 ? writeAll(fd, static_cast<unsigned char *>(out), size, f)
                                        : failWith(f, "cannot write the file", errno);
    munmap(out, size);
    return ok;
}

// Creates the temporary file temp (shorter than a slot's name) in dir and
// notes it, under the lock.  Result: its descriptor and slot, or -1 with f
// filled (for EEXIST too).
int createTemporary(int dir, const char *temp, int *slot, Failure *f)
{
    pthread_mutex_lock(&gTemporaryLock);
    int fd = -1;
    *slot = 0;
    while (*slot < kTemporarySlots && gTemporaries[*slot].used)
        ++*slot;
    if (gInterrupted)
        failWith(f, "interrupted", EINTR);
    else if (*slot == kTemporarySlots)
        failWith(f, "too many files being written at once", EAGAIN);
    else if ((fd = openat(dir, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0)
        failWith(f, "cannot create the file", errno);
    if (fd >= 0) {
        Temporary *t = &gTemporaries[*slot];
        t->used = true;
        t->dir = dir;
        memcpy(t->name, temp, strlen(temp) + 1);
    }
    pthread_mutex_unlock(&gTemporaryLock);
    return fd;
}

// Writes one file entry under a temporary name, then renames it over its own.
bool writeEntry(Job *job, const ZipEntry *e, int dir, const char *leaf, libdeflate_decompressor *d,
                unsigned char *buffer, Failure *f)
{
    char temp[sizeof gTemporaries[0].name];
    int fd = -1;
    int slot = 0;
    for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
        const unsigned serial = __atomic_fetch_add(&job->serial, 1, __ATOMIC_RELAXED);
        const int n = snprintf(temp, sizeof temp, ".tunzip-%ld-%u", static_cast<long>(getpid()),
                               serial);
        if (n < 0 || static_cast<size_t>(n) >= sizeof temp)
            return failWith(f, "cannot name a temporary file", ENAMETOOLONG);
        fd = createTemporary(dir, temp, &slot, f);
        if (fd < 0 && f->error != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = fillFile(job->archive, e, fd, d, buffer, f);
    if (ok && fchmod(fd, e->executable ? 0755 : 0644) != 0)
        ok = failWith(f, "cannot set the file's mode", errno);
    if (close(fd) != 0 && ok)
        ok = failWith(f, "cannot write the file", errno);
    pthread_mutex_lock(&gTemporaryLock);
    if (gInterrupted) {
        ok = failWith(f, "interrupted", EINTR); // and the file already removed
    } else {
        // rename replaces a link at the name, never writes through it.
        if (ok && renameat(dir, temp, dir, leaf) != 0)
            ok = failWith(f, errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST
                                 ? "a folder is in the way"
                                 : "cannot put the file in place",
                          errno);
        if (!ok)
            unlinkat(dir, temp, 0);
    }
    gTemporaries[slot].used = false;
    pthread_mutex_unlock(&gTemporaryLock);
    return ok;
}

void reportFailure(Job *job, const ZipEntry *e, const Failure *f)
{
    pthread_mutex_lock(&job->lock);
    job->failed++;
    job->report(job->context, e, f->what, f->error);
    pthread_mutex_unlock(&job->lock);
}

void *worker(void *arg)
{
    Job *job = static_cast<Job *>(arg);
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    void *mapped = mmap(NULL, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
    unsigned char *buffer = mapped != MAP_FAILED ? static_cast<unsigned char *>(mapped) : NULL;
    Failure f = {NULL, 0};
    if (d == NULL || buffer == NULL) {
        failWith(&f, "out of memory", ENOMEM);
        reportFailure(job, NULL, &f);
        // The entries are left to the other threads; with none, all fail.
    }
    for (;;) {
        const uint64_t i = __atomic_fetch_add(&job->next, 1, __ATOMIC_RELAXED);
        if (i >= job->count || d == NULL || buffer == NULL)
            break;
        const ZipEntry *e = &job->entries[i];
        char leaf[ZIP_NAME_BUFFER];
        const int dir = openFolders(job->root, e, leaf, &f);
        bool ok = dir >= 0;
        if (ok && !e->folder)
            ok = writeEntry(job, e, dir, leaf, d, buffer, &f);
        if (dir >= 0)
            close(dir);
        if (!ok)
            reportFailure(job, e, &f);
        if (job->progress != NULL) {
            pthread_mutex_lock(&job->lock);
            job->progress(job->context, e);
            pthread_mutex_unlock(&job->lock);
        }
    }
    if (buffer != NULL)
        munmap(buffer, kBufferSize);
    if (d != NULL)
        libdeflate_free_decompressor(d);
    return NULL;
}

// Largest first, so that the threads end about together.
int bySizeDown(const void *x, const void *y)
{
    const uint64_t a = static_cast<const ZipEntry *>(x)->compressedSize;
    const uint64_t b = static_cast<const ZipEntry *>(y)->compressedSize;
    return a < b ? 1 : a > b ? -1 : 0;
}

} // namespace

extern "C" long zipExtractAll(const ZipArchive *a, int root, int threads, ZipReportFn report,
                              void *context)
{
    return zipExtractAllProgress(a, root, threads, report, NULL, context);
}

extern "C" long zipExtractAllProgress(const ZipArchive *a, int root, int threads,
                                      ZipReportFn report, ZipProgressFn progress, void *context)
{
    Job job;
    memset(&job, 0, sizeof job);
    job.archive = a;
    job.root = root;
    job.report = report;
    job.progress = progress;
    job.context = context;
    job.count = a->count;
    Failure f = {NULL, 0};
    if (!fitsMemory(a->count * sizeof(ZipEntry))) {
        failWith(&f, "too many entries", ENOMEM);
        report(context, NULL, f.what, f.error);
        return -1;
    }
    job.entries = static_cast<ZipEntry *>(malloc(a->count > 0 ? a->count * sizeof(ZipEntry) : 1));
    if (job.entries == NULL) {
        report(context, NULL, "out of memory", ENOMEM);
        return -1;
    }
    ZipCursor cursor;
    ZipProblem problem;
    zipFirst(a, &cursor);
    for (uint64_t i = 0; i < a->count; i++) {
        if (zipNext(a, &cursor, &job.entries[i], &problem) != 1) {
            report(context, NULL, zipProblemText(problem.code), 0);
            free(job.entries);
            return -1;
        }
    }
    qsort(job.entries, a->count, sizeof(ZipEntry), bySizeDown);
    pthread_mutex_init(&job.lock, NULL);
    pthread_t helpers[ZIP_EXTRACT_MAX_THREADS - 1];
    int helped = 0;
    if (static_cast<uint64_t>(threads) > a->count)
        threads = static_cast<int>(a->count);
    // A helper that cannot start leaves its share to the others.
    while (helped < threads - 1 && helped < ZIP_EXTRACT_MAX_THREADS - 1 &&
           pthread_create(&helpers[helped], NULL, worker, &job) == 0)
        helped++;
    worker(&job);
    for (int i = 0; i < helped; i++)
        pthread_join(helpers[i], NULL);
    pthread_mutex_destroy(&job.lock);
    free(job.entries);
    return job.failed;
}

extern "C" int zipOpenTarget(const char *path, const char **problem)
{
    // One folder is opened per unpacking: the phrase may stay here.
    static char phrase[FOLDER_WALK_WHERE_SIZE + 64];
    FolderWalkFault fault;
    *problem = NULL;
    const int fd = folderWalkOpen(path, FOLDER_WALK_TARGET, &fault);
    if (fd >= 0)
        return fd;
    if (fault.code == FOLDER_WALK_ERROR && fault.last)
        errno = fault.error;
    else if (fault.code == FOLDER_WALK_NOT_FOLDER && fault.last)
        errno = ENOTDIR;
    else
        *problem = folderWalkDescribe(&fault, phrase, sizeof phrase);
    return -1;
}

extern "C" int zipExtractThreads(void)
{
    cpu_set_t cpus;
    // EINVAL: the host has more CPUs than a cpu_set_t holds (1,024).
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0)
        return errno == EINVAL ? ZIP_EXTRACT_MAX_THREADS : 1;
    const int n = CPU_COUNT(&cpus);
    return n < 1 ? 1 : n > ZIP_EXTRACT_MAX_THREADS ? ZIP_EXTRACT_MAX_THREADS : n;
}

extern "C" void zipExtractInterrupt(void)
{
    pthread_mutex_lock(&gTemporaryLock);
    gInterrupted = true;
    for (const Temporary &t : gTemporaries)
        if (t.used)
            unlinkat(t.dir, t.name, 0);
    // The lock stays held: no file is created or renamed from now on.
}

namespace {

// Waits for a signal that ends the unpacking, removes the files being
// written, then ends the process as that signal would.
void *watchSignals(void *set)
{
    int sig;
    if (sigwait(static_cast<const sigset_t *>(set), &sig) != 0)
        return NULL;
    zipExtractInterrupt();
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, NULL);
    raise(sig);
    _exit(128 + sig); // for a signal whose default action does not end
}

} // namespace

extern "C" int zipExtractEndOnSignals(void)
{
    static bool watched;
    static sigset_t set;
    if (watched)
        return 0;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS) {
        struct sigaction old;
        if (sigaction(sig, NULL, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaddset(&set, sig);
    }
    // Blocked here, the signals stay blocked in the unpacking threads too.
    pthread_sigmask(SIG_BLOCK, &set, NULL);
    pthread_t watcher;
    if (pthread_create(&watcher, NULL, watchSignals, &set) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, NULL);
        return -1;
    }
    pthread_detach(watcher);
    watched = true;
    return 0;
}
