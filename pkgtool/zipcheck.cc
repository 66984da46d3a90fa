// Reading images with the common strict reader: listing, checking every
// entry's data, and unpacking with the unzip utility's own extractor.
#include "zipimage.h"

#include "progress.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/zipextract.h"
#include "../common/zipread.h"

namespace pkgtool {

namespace {

std::string entryLabel(const unsigned char *name, uint32_t length)
{
    return "entry '" + printableName(std::string(reinterpret_cast<const char *>(name), length)) +
           "'";
}

bool openZip(const std::vector<unsigned char> &zip, ZipArchive &archive, std::string &error)
{
    ZipProblem p;
    if (zipOpen(&archive, zip.data(), zip.size(), &p) == 0)
        return true;
    error = p.name != nullptr ? entryLabel(p.name, p.nameLength) + ": " + zipProblemText(p.code)
                              : std::string("not a zip archive the unzip utility takes: ") +
                                    zipProblemText(p.code);
    return false;
}

bool readEntries(const ZipArchive &archive, std::vector<ZipEntry> &entries,
                 std::vector<::ZipEntry> *raw)
{
    ZipCursor cursor;
    ::ZipEntry e;
    ZipProblem p;
    zipFirst(&archive, &cursor);
    while (zipNext(&archive, &cursor, &e, &p) == 1) {
        ZipEntry out;
        out.name.assign(reinterpret_cast<const char *>(e.name), e.nameLength);
        out.size = e.size;
        out.compressedSize = e.compressedSize;
        out.method = e.method;
        out.folder = e.folder != 0;
        out.executable = e.executable != 0;
        entries.push_back(out);
        if (raw != nullptr)
            raw->push_back(e);
    }
    return entries.size() == archive.count;
}

// Inflates one entry into memory of its own and checks its CRC: a
// problem text, or "".
std::string checkData(const ZipArchive &archive, const ::ZipEntry &e,
                      libdeflate_decompressor *d)
{
    if (e.size == 0 || e.method == ZIP_METHOD_STORED)
        return e.size == 0 || zipCheckStored(&archive, &e) == 0 ? ""
                                                                : zipProblemText(ZIP_BAD_CRC);
    void *out = mmap(nullptr, e.size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (out == MAP_FAILED)
        return std::string("cannot be checked: ") + std::strerror(errno);
    const int r = zipInflate(&archive, &e, d, static_cast<unsigned char *>(out));
    munmap(out, e.size);
    return r == 0 ? "" : zipProblemText(r);
}

// Progress over a set of entries: each entry's share of the work is its
// bytes and one for the entry itself, so that many empty files still move
// it on.
struct EntryWork {
    Progress *progress = nullptr;
    uint64_t total = 0;
    uint64_t done = 0;

    void plan(uint64_t size) { total += size + 1; }
    void finish(uint64_t size)
    {
        done += size + 1;
        if (progress != nullptr)
            progress->update(static_cast<double>(done) / static_cast<double>(total));
    }
};

struct Failures {
    std::vector<std::string> lines;
    EntryWork work;
};

void entryDone(void *context, const ::ZipEntry *e)
{
    static_cast<Failures *>(context)->work.finish(e->size);
}

void collect(void *context, const ::ZipEntry *e, const char *what, int error)
{
    std::string line = e != nullptr ? entryLabel(e->name, e->nameLength) + ": " : "";
    line += what;
    if (error != 0)
        line += std::string(": ") + std::strerror(error);
    static_cast<Failures *>(context)->lines.push_back(line);
}

} // namespace

bool listZip(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
             std::string &error)
{
    ZipArchive archive;
    return openZip(zip, archive, error) && readEntries(archive, entries, nullptr);
}

void checkZip(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
              std::vector<std::string> &problems, Progress *progress)
{
    ZipArchive archive;
    std::string error;
    std::vector<::ZipEntry> raw;
    if (!openZip(zip, archive, error) || !readEntries(archive, entries, &raw)) {
        problems.push_back(error);
        return;
    }
    // A sorted copy: the data are checked, and reported, in archive order.
    std::vector<::ZipEntry> sorted = raw;
    ZipProblem p;
    if (zipCheckNames(sorted.data(), sorted.size(), &p) != 0)
        problems.push_back(entryLabel(p.name, p.nameLength) + ": " + zipProblemText(p.code));
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    if (d == nullptr) {
        problems.push_back("out of memory");
        return;
    }
    EntryWork work;
    work.progress = progress;
    for (const ::ZipEntry &e : raw)
        work.plan(e.size);
    for (const ::ZipEntry &e : raw) {
        const std::string problem = checkData(archive, e, d);
        if (!problem.empty())
            problems.push_back(entryLabel(e.name, e.nameLength) + " is damaged: " + problem);
        work.finish(e.size);
    }
    libdeflate_free_decompressor(d);
}

bool unpackZip(const std::vector<unsigned char> &zip, const std::string &folder,
               std::string &error)
{
    // Everything is checked before anything is written.
    std::vector<ZipEntry> entries;
    std::vector<std::string> problems;
    {
        Progress checking("checking the image");
        checkZip(zip, entries, problems, &checking);
    }
    Failures failures;
    if (problems.empty()) {
        if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
            error = "cannot create the folder " + folder + ": " + std::strerror(errno);
            return false;
        }
        const int root = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root < 0) {
            error = "cannot open the folder " + folder + ": " + std::strerror(errno);
            return false;
        }
        ZipArchive archive;
        Progress unpacking("unpacking the image");
        failures.work.progress = &unpacking;
        for (const ZipEntry &e : entries)
            failures.work.plan(e.size);
        if (openZip(zip, archive, error)) {
            // An interrupt leaves no half-written file in the folder.
            zipExtractEndOnSignals();
            zipExtractAllProgress(&archive, root, zipExtractThreads(), collect,
                                  unpacking.shown() ? entryDone : nullptr, &failures);
        } else {
            failures.lines.push_back(error);
        }
        close(root);
        problems = failures.lines;
    }
    if (problems.empty())
        return true;
    error = problemSummary(problems);
    return false;
}

std::string problemSummary(const std::vector<std::string> &problems)
{
    if (problems.size() <= 1)
        return problems.empty() ? "" : problems[0];
    return problems[0] + " (and " + std::to_string(problems.size() - 1) + " more problems)";
}

} // namespace pkgtool
