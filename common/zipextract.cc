// Unpacking an archive into a folder (see zipextract.h).
#include "zipextract.h"

#include <errno.h>
#include <fcntl.h>
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
#include "io_loops.h"
#include "zipdecode.h"
#include "zipfolders.h"

namespace {

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

bool fitsMemory(uint64_t n)
{
    return n == static_cast<uint64_t>(static_cast<size_t>(n));
}

bool writeAll(int fd, const unsigned char *p, size_t n, ZipFailure *f)
{
    return ioWriteAll(fd, p, n) == 0 || zipFailWith(f, "cannot write the file", errno);
}

// Where an entry's bytes go: the new file, written as they come; or, for
// an entry larger than the decoder's buffer, a mapping of the file that it
// is decoded into whole.
struct FileOutput {
    int fd;
    unsigned char *mapping; // the room given, or NULL
    size_t size;
    bool shared;            // the mapping is the file's own
    ZipFailure *f;
};

int putBytes(void *context, const unsigned char *bytes, size_t n)
{
    FileOutput *o = static_cast<FileOutput *>(context);
    if (bytes == o->mapping && o->shared)
        return 0; // decoded into the file itself
    return writeAll(o->fd, bytes, n, o->f) ? 0 : -1;
}

unsigned char *makeRoom(void *context, uint64_t size)
{
    FileOutput *o = static_cast<FileOutput *>(context);
    if (!fitsMemory(size)) {
        zipFailWith(o->f, "too large to unpack here", EFBIG);
        return NULL;
    }
    // The space is taken first: a full file system, a quota or a size limit
    // shows here as an error, not later as a fault in the mapping.
    if (ftruncate(o->fd, static_cast<off_t>(size)) != 0) {
        zipFailWith(o->f, "cannot write the file", errno);
        return NULL;
    }
    const int fa = posix_fallocate(o->fd, 0, static_cast<off_t>(size));
    if (fa != 0 && fa != EOPNOTSUPP && fa != EINVAL) {
        zipFailWith(o->f, "cannot write the file", fa);
        return NULL;
    }
    // Without fallocate the data goes through memory of its own and write.
    o->shared = fa == 0;
    void *room = o->shared ? mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, o->fd, 0)
                           : mmap(NULL, size, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) {
        zipFailWith(o->f, "cannot map the file", errno);
        return NULL;
    }
    o->mapping = static_cast<unsigned char *>(room);
    o->size = static_cast<size_t>(size);
    return o->mapping;
}

// Fills the new file fd with the entry's data, CRC checked.
bool fillFile(const ZipArchive *a, const ZipEntry *e, int fd, ZipDecoder *d, ZipFailure *f)
{
    FileOutput o = {fd, NULL, 0, false, f};
    const ZipOutput output = {putBytes, makeRoom, &o};
    const int r = zipDecode(a, e, d, &output);
    if (o.mapping != NULL)
        munmap(o.mapping, o.size);
    // Below 0 the output noted why.
    return r == 0 || (r > 0 && zipFailWith(f, zipProblemText(r), 0));
}


// Creates the temporary file temp (shorter than a slot's name) in dir and
// notes it, under the lock.  Result: its descriptor and slot, or -1 with f
// filled (for EEXIST too).
int createTemporary(int dir, const char *temp, int *slot, ZipFailure *f)
{
    pthread_mutex_lock(&gTemporaryLock);
    int fd = -1;
    *slot = 0;
    while (*slot < kTemporarySlots && gTemporaries[*slot].used)
        ++*slot;
    if (gInterrupted)
        zipFailWith(f, "interrupted", EINTR);
    else if (*slot == kTemporarySlots)
        zipFailWith(f, "too many files being written at once", EAGAIN);
    else if ((fd = openat(dir, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0)
        zipFailWith(f, "cannot create the file", errno);
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
bool writeEntry(Job *job, const ZipEntry *e, int dir, const char *leaf, ZipDecoder *d,
                ZipFailure *f)
{
    char temp[sizeof gTemporaries[0].name];
    int fd = -1;
    int slot = 0;
    for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
        const unsigned serial = __atomic_fetch_add(&job->serial, 1, __ATOMIC_RELAXED);
        const int n = snprintf(temp, sizeof temp, ".tunzip-%ld-%u", static_cast<long>(getpid()),
                               serial);
        if (n < 0 || static_cast<size_t>(n) >= sizeof temp)
            return zipFailWith(f, "cannot name a temporary file", ENAMETOOLONG);
        fd = createTemporary(dir, temp, &slot, f);
        if (fd < 0 && f->error != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = fillFile(job->archive, e, fd, d, f);
    if (ok && fchmod(fd, e->executable ? 0755 : 0644) != 0)
        ok = zipFailWith(f, "cannot set the file's mode", errno);
    if (close(fd) != 0 && ok)
        ok = zipFailWith(f, "cannot write the file", errno);
    pthread_mutex_lock(&gTemporaryLock);
    if (gInterrupted) {
        ok = zipFailWith(f, "interrupted", EINTR); // and the file already removed
    } else {
        // rename replaces a link at the name, never writes through it.
        if (ok && renameat(dir, temp, dir, leaf) != 0)
            ok = zipFailWith(f, errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST
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

void reportFailure(Job *job, const ZipEntry *e, const ZipFailure *f)
{
    pthread_mutex_lock(&job->lock);
    job->failed++;
    job->report(job->context, e, f->what, f->error);
    pthread_mutex_unlock(&job->lock);
}

void *worker(void *arg)
{
    Job *job = static_cast<Job *>(arg);
    ZipDecoder d;
    const bool ready = zipDecoderInit(&d) == 0;
    ZipFailure f = {NULL, 0};
    if (!ready) {
        zipFailWith(&f, "out of memory", ENOMEM);
        reportFailure(job, NULL, &f);
        // The entries are left to the other threads; with none, all fail.
    }
    for (;;) {
        const uint64_t i = __atomic_fetch_add(&job->next, 1, __ATOMIC_RELAXED);
        if (i >= job->count || !ready)
            break;
        const ZipEntry *e = &job->entries[i];
        char leaf[ZIP_NAME_BUFFER];
        const int dir = zipEntryFolder(job->root, e, leaf, &f);
        bool ok = dir >= 0;
        if (ok && !e->folder)
            ok = writeEntry(job, e, dir, leaf, &d, &f);
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
    zipDecoderEnd(&d);
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
    ZipFailure f = {NULL, 0};
    if (!fitsMemory(a->count * sizeof(ZipEntry))) {
        zipFailWith(&f, "too many entries", ENOMEM);
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
