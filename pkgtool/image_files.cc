#include "image_files.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zipreading.h"

namespace pkgtool {

namespace {

// One archive of a package file, mapped read-only.  Its pages come from the
// file as they are read and are given back by release.
class MappedPart {
public:
    MappedPart() = default;
    ~MappedPart()
    {
        if (base_ != nullptr)
            munmap(base_, length_);
    }
    MappedPart(const MappedPart &) = delete;
    MappedPart &operator=(const MappedPart &) = delete;

    // Result: "", or the problem.
    std::string map(const std::string &path, const ImagePart &part)
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return "cannot open " + path + ": " + std::strerror(errno);
        struct stat st;
        std::string problem;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            problem = path + " is not a regular file";
        else if (part.offset < 0 || part.size < 0 || part.offset + part.size > st.st_size)
            problem = "the " + part.label + " lies beyond the end of " + path;
        const long page = sysconf(_SC_PAGESIZE);
        page_ = page > 0 ? static_cast<uint64_t>(page) : 4096;
        lead_ = static_cast<uint64_t>(part.offset) % page_;
        size_ = static_cast<uint64_t>(part.size);
        length_ = lead_ + size_;
        if (problem.empty() && size_ > 0) {
            void *p = mmap(nullptr, length_, PROT_READ, MAP_PRIVATE, fd,
                           static_cast<off_t>(static_cast<uint64_t>(part.offset) - lead_));
            if (p == MAP_FAILED)
                problem = "cannot map the " + part.label + " of " + path + ": " +
                          std::strerror(errno);
            else
                base_ = static_cast<unsigned char *>(p);
        }
        close(fd);
        return problem;
    }

    const unsigned char *data() const { return base_ == nullptr ? nullptr : base_ + lead_; }
    uint64_t size() const { return size_; }

    // Gives back the pages that lie wholly before the archive's offset to,
    // from where the last call ended: a page read again comes back from the
    // file.  Result: none.
    void releaseBefore(uint64_t to)
    {
        const uint64_t end = (lead_ + (to < size_ ? to : size_)) / page_ * page_;
        if (base_ == nullptr || end <= released_)
            return;
        madvise(base_ + released_, end - released_, MADV_DONTNEED);
        released_ = end;
    }

    // Gives back every page, and starts the next releaseBefore from the
    // first.  Result: none.
    void releaseAll()
    {
        if (base_ != nullptr)
            madvise(base_, length_, MADV_DONTNEED);
        released_ = 0;
    }

private:
    unsigned char *base_ = nullptr;
    uint64_t page_ = 4096, lead_ = 0, size_ = 0, length_ = 0, released_ = 0;
};

// Maps and opens the archive part.  zipOpen reads every local header; the
// pages it read are given back.  Result: "", or the problem.
std::string openPart(const std::string &path, const ImagePart &part, MappedPart &mapped,
                     ::ZipArchive &archive)
{
    std::string problem = mapped.map(path, part);
    if (!problem.empty())
        return problem;
    if (!openArchive(mapped.data(), mapped.size(), archive, problem))
        return part.label + ": " + problem;
    mapped.releaseAll();
    return "";
}

// A DOS date and time (the date in the upper half) as seconds since 1970,
// read as UTC.  Result: true, or false for a stamp that is no valid time.
bool dosSeconds(uint32_t stamp, int64_t &seconds)
{
    struct tm tm = {};
    tm.tm_year = static_cast<int>(stamp >> 25) + 80;
    tm.tm_mon = static_cast<int>((stamp >> 21) & 15) - 1;
    tm.tm_mday = static_cast<int>((stamp >> 16) & 31);
    tm.tm_hour = static_cast<int>((stamp >> 11) & 31);
    tm.tm_min = static_cast<int>((stamp >> 5) & 63);
    tm.tm_sec = static_cast<int>(stamp & 31) * 2;
    const struct tm given = tm;
    const time_t t = timegm(&tm);
    // timegm carries fields over (day 31 of April is 1 May): such is none.
    if (t == static_cast<time_t>(-1) || given.tm_mon < 0 || tm.tm_mon != given.tm_mon ||
        tm.tm_mday != given.tm_mday || tm.tm_hour != given.tm_hour ||
        tm.tm_min != given.tm_min || tm.tm_sec != given.tm_sec)
        return false;
    seconds = static_cast<int64_t>(t);
    return true;
}

// The output that hashes what the decoder hands it.  Result: 0, go on.
int hashPiece(void *context, const unsigned char *bytes, size_t length)
{
    crypto_hash_sha256_update(static_cast<crypto_hash_sha256_state *>(context), bytes, length);
    return 0;
}

} // namespace

bool newestEntryTime(const std::string &path, const ImagePart &part, bool &found,
                     int64_t &newest, std::string &error)
{
    MappedPart mapped;
    ::ZipArchive archive;
    error = openPart(path, part, mapped, archive);
    if (!error.empty())
        return false;
    found = false;
    ZipCursor cursor;
    ::ZipEntry e;
    ZipProblem p;
    zipFirst(&archive, &cursor);
    for (;;) {
        const uint32_t stamp = zipNextDosTime(&archive, &cursor);
        const int r = zipNext(&archive, &cursor, &e, &p);
        if (r < 0) {
            error = part.label + ": " + zipProblemText(p.code);
            return false;
        }
        if (r == 0)
            break;
        int64_t seconds = 0;
        if (dosSeconds(stamp, seconds) && (!found || seconds > newest)) {
            newest = seconds;
            found = true;
        }
        mapped.releaseBefore(e.end);
    }
    return true;
}

std::string forEachImageFile(const std::string &path, const ImagePart &part,
                             const std::function<bool(const ImageFile &)> &each)
{
    if (sodium_init() < 0)
        return "libsodium cannot be set up";
    MappedPart mapped;
    ::ZipArchive archive;
    std::string problem = openPart(path, part, mapped, archive);
    if (!problem.empty())
        return problem;
    EntryDecoder decoder;
    if (!decoder.ready())
        return "out of memory";
    ZipCursor cursor;
    ::ZipEntry e;
    ZipProblem p;
    zipFirst(&archive, &cursor);
    int r;
    while ((r = zipNext(&archive, &cursor, &e, &p)) == 1) {
        if (!e.folder) {
            ImageFile file;
            file.name = entryName(e);
            file.size = e.size;
            file.executable = e.executable != 0;
            crypto_hash_sha256_state sha;
            crypto_hash_sha256_init(&sha);
            problem = decoder.decode(archive, e, ZipOutput{hashPiece, nullptr, &sha});
            if (!problem.empty())
                return part.label + ": " + entryLabel(file.name) + " is damaged: " + problem;
            crypto_hash_sha256_final(&sha, file.sha256.data());
            if (!each(file))
                return "";
        }
        mapped.releaseBefore(e.end);
    }
    return r < 0 ? part.label + ": " + zipProblemText(p.code) : "";
}

} // namespace pkgtool
