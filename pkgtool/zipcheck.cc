// Reading images with the common strict reader: listing, checking every
// entry's data, and unpacking with the unzip utility's own extractor.
#include "zipcheck.h"

#include "../common/folder_walk.h"

#include "printable.h"
#include "progress.h"
#include "zipreading.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/zipdecode.h"
#include "../common/zipextract.h"
#include "../common/zipread.h"

namespace pkgtool {

namespace {

bool openZip(const std::vector<unsigned char> &zip, ZipArchive &archive, std::string &error)
{
    return openArchive(zip.data(), zip.size(), archive, error);
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
        out.name = entryName(e);
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

int skip(void *, const unsigned char *, size_t)
{
    return 0;
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
    std::string line = e != nullptr ? entryLabel(entryName(*e)) + ": " : "";
    line += what;
    if (error != 0)
        line += std::string(": ") + std::strerror(error);
    static_cast<Failures *>(context)->lines.push_back(line);
}

} // namespace

uint32_t zipDirectoryBytes(const std::vector<unsigned char> &zip)
{
    ZipArchive archive;
    std::string error;
    if (!openZip(zip, archive, error))
        return 0;
    return static_cast<uint32_t>(archive.size - archive.directory);
}

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
    EntryDecoder data;
    if (!data.ready()) {
        problems.push_back("out of memory");
        return;
    }
    EntryWork work;
    work.progress = progress;
    for (const ::ZipEntry &e : raw)
        work.plan(e.size);
    for (const ::ZipEntry &e : raw) {
        const std::string problem = data.decode(archive, e, ZipOutput{skip, nullptr, nullptr});
        if (!problem.empty())
            problems.push_back(entryLabel(entryName(e)) + " is damaged: " +
                               problem);
        work.finish(e.size);
    }
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
        // Made when missing; a folder that exists already is taken only
        // when trusted, and reached only through folders that are.
        FolderWalkFault fault;
        const int root =
            folderWalkOpen(folder.c_str(), FOLDER_WALK_TARGET | FOLDER_WALK_MAKE_LAST, &fault);
        if (root < 0) {
            char phrase[FOLDER_WALK_WHERE_SIZE + 64];
            error = std::string(fault.code == FOLDER_WALK_MAKE_FAILED ? "cannot create the folder "
                                : fault.code == FOLDER_WALK_ERROR    ? "cannot open the folder "
                                                                     : "cannot use the folder ") +
                    folder + ": " + folderWalkDescribe(&fault, phrase, sizeof phrase);
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
