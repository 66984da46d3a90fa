// tunzip: the unzip utility that packages carry (element 1).  It keeps the
// command line that the launcher gives MiniUnz, and reports every entry it
// could not write.  Static against musl, C library only.
//
//   tunzip [-x] [-o] ZIP [-d FOLDER]   unpack ZIP into FOLDER (default: .)
//   tunzip -l ZIP                       list the entries (size and name)
//
// Exit status: 0 every entry written whole; 1 the archive cannot be read or
// is refused, or the unpacking cannot start (nothing written); 2 bad usage; 3 the folder cannot be
// opened, or is refused (a link, another user's, or writable by others and not sticky);
// 4 some entries could not be written (one line each on standard error).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/zipextract.h"
#include "../common/zipread.h"
#include "trell_version.h"

// The version, for pkgtool info to find in a package's element 1; kept
// through --gc-sections by "retain".
__attribute__((used, retain)) static const char version[] =
    TRELL_UNZIP_VERSION_MARK TRELL_VERSION;

namespace {

enum {
    EXIT_OK = 0,
    EXIT_BAD_ARCHIVE = 1,
    EXIT_USAGE = 2,
    EXIT_NO_FOLDER = 3,
    EXIT_ENTRIES_FAILED = 4,
};

const char kUsage[] =
    "usage: tunzip [-x] [-o] ZIP [-d FOLDER]   unpack ZIP into FOLDER (default: the current one)\n"
    "       tunzip -l ZIP                      list ZIP's entries\n"
    "Existing files are replaced (-o is taken and implied).  Exit status: 0 every\n"
    "entry written whole, 1 the archive is unreadable or refused, 2 bad usage,\n"
    "3 the folder cannot be opened or is refused (a link, another user's, or\n"
    "writable by others and not sticky), 4 some entries could not be written.\n";

const char *zipPath = "";

// The name with control bytes written as \xHH, on stderr.
void putName(FILE *out, const unsigned char *name, uint32_t length)
{
    for (uint32_t i = 0; i < length; i++) {
        if (name[i] < 0x20 || name[i] == 0x7F)
            fprintf(out, "\\x%02X", name[i]);
        else
            fputc(name[i], out);
    }
}

// One line on stderr: the archive, the entry when name is not NULL, what
// went wrong and errno's text for it.
void reportNamed(const char *name, uint32_t length, const char *what, int error)
{
    fprintf(stderr, "tunzip: %s: ", zipPath);
    if (name != NULL) {
        fputs("entry '", stderr);
        putName(stderr, reinterpret_cast<const unsigned char *>(name), length);
        fputs("': ", stderr);
    }
    if (error != 0)
        fprintf(stderr, "%s: %s\n", what, strerror(error));
    else
        fprintf(stderr, "%s\n", what);
}

void report(void *, const ZipEntry *e, const char *what, int error)
{
    char name[ZIP_NAME_BUFFER];
    const int length = e != NULL ? zipEntryName(e, name) : 0;
    reportNamed(e != NULL ? name : NULL, length < 0 ? ZIP_MAX_NAME : length, what, error);
}

int usage(const char *problem)
{
    fprintf(stderr, "tunzip: %s\n%s", problem, kUsage);
    return EXIT_USAGE;
}

int list(const ZipArchive *a)
{
    ZipCursor cursor;
    ZipEntry e;
    ZipProblem p;
    zipFirst(a, &cursor);
    while (zipNext(a, &cursor, &e, &p) == 1) {
        char name[ZIP_NAME_BUFFER];
        const int length = zipEntryName(&e, name);
        printf("%12llu  ", static_cast<unsigned long long>(e.size));
        putName(stdout, reinterpret_cast<const unsigned char *>(name),
                length < 0 ? ZIP_MAX_NAME : length);
        putchar('\n');
    }
    return fflush(stdout) == 0 ? EXIT_OK : EXIT_BAD_ARCHIVE;
}

} // namespace

int main(int argc, char **argv)
{
    const char *folder = ".";
    bool listOnly = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-d") == 0) {
            if (++i == argc)
                return usage("-d needs a folder");
            folder = argv[i];
        } else if (a[0] == '-' && a[1] != '\0') {
            for (const char *c = a + 1; *c != '\0'; c++) {
                if (*c == 'l' || *c == 'v')
                    listOnly = true;
                else if (*c != 'x' && *c != 'o')
                    return usage("unknown option");
            }
        } else if (*zipPath == '\0') {
            zipPath = a;
        } else {
            return usage("one archive, and no names of entries, please");
        }
    }
    if (*zipPath == '\0')
        return usage("no archive given");
    // A file-size limit then shows as EFBIG on the file, not as a kill.
    signal(SIGXFSZ, SIG_IGN);

    // Non-blocking: a FIFO or a device is refused at once below, never
    // waited on.
    const int fd = open(zipPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        report(NULL, NULL, "cannot open the archive", errno);
        return EXIT_BAD_ARCHIVE;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (!S_ISREG(st.st_mode) || size == 0 || size != static_cast<size_t>(size)) {
        report(NULL, NULL, zipProblemText(ZIP_NO_END_RECORD), 0);
        return EXIT_BAD_ARCHIVE;
    }
    void *map = mmap(NULL, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        report(NULL, NULL, "cannot read the archive", errno);
        return EXIT_BAD_ARCHIVE;
    }
    ZipArchive archive;
    ZipProblem problem;
    if (zipOpen(&archive, static_cast<const unsigned char *>(map), size, &problem) != 0) {
        reportNamed(problem.named ? problem.name : NULL, problem.nameLength,
                    zipProblemText(problem.code), 0);
        return EXIT_BAD_ARCHIVE;
    }
    if (listOnly)
        return list(&archive);

    const char *refusal = NULL;
    const int root = zipOpenTarget(folder, &refusal);
    if (root < 0) {
        fprintf(stderr, "tunzip: cannot %s the folder %s: %s\n", refusal ? "use" : "open", folder,
                refusal ? refusal : strerror(errno));
        return EXIT_NO_FOLDER;
    }
    zipExtractEndOnSignals();
    const long failed = zipExtractAll(&archive, root, zipExtractThreads(), report, NULL);
    close(root);
    return failed == 0 ? EXIT_OK : failed < 0 ? EXIT_BAD_ARCHIVE : EXIT_ENTRIES_FAILED;
}
