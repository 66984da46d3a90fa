// Reading images with the common strict reader: listing, checking every
// entry's data, and unpacking with the unzip utility's own extractor.
#include "zipcheck.h"

#include "../common/folder_walk.h"

#include "printable.h"
#include "progress.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/zipdecode.h"
#include "../common/zipextract.h"
#include "../common/zipread.h"

namespace pkgtool {

namespace {

std::string entryLabel(const std::string &name)
{
    return "entry '" + printableName(name) + "'";
}

std::string entryName(const ::ZipEntry &e)
{
    char name[ZIP_NAME_BUFFER];
    const int length = zipEntryName(&e, name);
    return std::string(name, length < 0 ? ZIP_MAX_NAME : length);
}

bool openZip(const std::vector<unsigned char> &zip, ZipArchive &archive, std::string &error)
{
    ZipProblem p;
    if (zipOpen(&archive, zip.data(), zip.size(), &p) == 0)
        return true;
    error = p.named ? entryLabel(std::string(p.name, p.nameLength)) + ": " + zipProblemText(p.code)
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

// Checks entries' data in fixed memory with the decoder the extraction
// uses: the CRC-32 and the size of what they decode to.  What fits the
// decoder's buffer is decoded as the unzip utility decodes it; a larger
// entry, which the utility decodes into the file it writes, streams here
// (nothing is kept), so that an image of a few megabytes holding gigabytes
// of zeros needs no more memory than any.
class DataCheck {
public:
    DataCheck() : ready_(zipDecoderInitStreaming(&decoder_) == 0) {}
    ~DataCheck() { zipDecoderEnd(&decoder_); }
    DataCheck(const DataCheck &) = delete;
    DataCheck &operator=(const DataCheck &) = delete;

    bool ready() const { return ready_; }

    // A problem text, or "".
    std::string check(const ZipArchive &archive, const ::ZipEntry &e)
    {
        const ZipOutput discard = {skip, nullptr, nullptr};
        const int r = zipDecode(&archive, &e, &decoder_, &discard);
        if (r == ZIP_OUT_OF_MEMORY)
            return "cannot be checked: out of memory";
        return r == 0 ? "" : zipProblemText(r);
    }

private:
    static int skip(void *, const unsigned char *, size_t) { return 0; }

    ZipDecoder decoder_;
    bool ready_;
};

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
    DataCheck data;
    if (!data.ready()) {
        problems.push_back("out of memory");
        return;
    }
    EntryWork work;
    work.progress = progress;
    for (const ::ZipEntry &e : raw)
        work.plan(e.size);
    for (const ::ZipEntry &e : raw) {
        const std::string problem = data.check(archive, e);
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
