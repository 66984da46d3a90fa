// The extractor: exact modes, links replaced and never followed, each
// failure reported once, no partial file under an entry's name.
#include "common/zipextract.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "tests/zip_builder.h"

namespace {

using namespace ziptest;

struct Reports {
    std::vector<std::string> lines;
};

void collect(void *context, const ZipEntry *e, const char *what, int error)
{
    std::string line = e != nullptr ? nameOf(*e) + ": " : "";
    line += what;
    if (error != 0)
        line += std::string(": ") + strerror(error);
    static_cast<Reports *>(context)->lines.push_back(line);
}

std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (const dirent *e = d != nullptr ? readdir(d) : nullptr) {
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.insert(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    return names;
}

mode_t modeOf(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Unpacks z into dir with the given threads: the extractor's result.
long extract(const Bytes &z, const std::string &dir, int threads, Reports &reports)
{
    ZipArchive a;
    ZipProblem p;
    if (zipOpen(&a, z.data(), z.size(), &p) != 0)
        return -100;
    const int root = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    const long failed = zipExtractAll(&a, root, threads, collect, &reports);
    close(root);
    return failed;
}

TEST(ZipExtract, WritesExactModesWithOneThreadOrTwo)
{
    Builder b = twoFiles();
    b.entries[2].mode = 0106777; // setuid and all bits: a plain 0755 file
    const Bytes z = b.build();
    const mode_t old = umask(077);
    for (int threads = 1; threads <= 2; threads++) {
        TempDir dir;
        Reports r;
        EXPECT_EQ(0, extract(z, dir.path(), threads, r));
        EXPECT_TRUE(r.lines.empty());
        EXPECT_EQ((std::set<std::string>{"tool", "lib"}), listing(dir.path()));
        EXPECT_EQ(b.entries[0].content, readFile(dir / "tool"));
        EXPECT_EQ(b.entries[2].content, readFile(dir / "lib/helper.txt"));
        EXPECT_EQ(0755u, modeOf(dir / "tool"));
        EXPECT_EQ(0755u, modeOf(dir / "lib"));
        EXPECT_EQ(0755u, modeOf(dir / "lib/helper.txt"));
    }
    umask(old);
}

// Sizes around the per-thread buffer: written through it, or through a
// mapping of the output file; stored entries too.
TEST(ZipExtract, EntriesAroundTheBufferSize)
{
    Builder b;
    for (uint64_t size : {uint64_t{ZIP_DECODE_BUFFER} - 1, uint64_t{ZIP_DECODE_BUFFER},
                          uint64_t{ZIP_DECODE_BUFFER} + 1}) {
        for (uint16_t method : {ZIP_METHOD_DEFLATED, ZIP_METHOD_STORED}) {
            Entry e;
            e.name = std::to_string(size) + (method == ZIP_METHOD_STORED ? ".stored" : "");
            e.content = std::string(size, 'x');
            e.content[size - 1] = 'y';
            e.method = method;
            b.entries.push_back(e);
        }
    }
    TempDir dir;
    Reports r;
    EXPECT_EQ(0, extract(b.build(), dir.path(), 2, r));
    for (const Entry &e : b.entries)
        EXPECT_TRUE(readFile(dir / e.name) == e.content) << e.name;
}

TEST(ZipExtract, ReplacesPlantedLinksWithoutFollowingThem)
{
    TempDir dir;
    TempDir outside;
    writeFile(outside / "victim", "keep");
    ASSERT_EQ(0, symlink((outside / "victim").c_str(), (dir / "tool").c_str()));
    ASSERT_EQ(0, symlink(outside.path().c_str(), (dir / "lib").c_str()));
    Reports r;
    EXPECT_EQ(0, extract(twoFiles().build(), dir.path(), 2, r));
    EXPECT_EQ("keep", readFile(outside / "victim"));
    EXPECT_EQ((std::set<std::string>{"victim"}), listing(outside.path()));
    struct stat st;
    ASSERT_EQ(0, lstat((dir / "lib").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(0, lstat((dir / "tool").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(ZipExtract, ReportsEachFailedEntryOnceAndWritesTheOthers)
{
    TempDir dir;
    writeFile(dir / "lib", "a file where a folder belongs");
    ASSERT_EQ(0, mkdir((dir / "tool").c_str(), 0755)); // a folder where a file belongs
    Reports r;
    Builder b = twoFiles();
    Entry extra;
    extra.name = "other";
    extra.content = "other";
    b.entries.push_back(extra);
    EXPECT_EQ(3, extract(b.build(), dir.path(), 2, r));
    std::set<std::string> lines(r.lines.begin(), r.lines.end());
    EXPECT_EQ((std::set<std::string>{"tool: a folder is in the way: Is a directory",
                                     "lib/: a file is in the way of a folder: Not a directory",
                                     "lib/helper.txt: a file is in the way of a folder: Not a "
                                     "directory"}),
              lines);
    EXPECT_EQ("other", readFile(dir / "other"));
    EXPECT_EQ((std::set<std::string>{"tool", "lib", "other"}), listing(dir.path()));
}

// Reports and progress calls in the order they came, as "report NAME" and
// "done NAME".
void reportEvent(void *context, const ZipEntry *e, const char *, int)
{
    static_cast<Reports *>(context)->lines.push_back(
        "report " + nameOf(*e));
}

void doneEvent(void *context, const ZipEntry *e)
{
    static_cast<Reports *>(context)->lines.push_back(
        "done " + nameOf(*e));
}

TEST(ZipExtract, ProgressOnceForEachEntryWrittenOrFailed)
{
    Builder b = twoFiles();
    Entry extra;
    extra.name = "other";
    extra.content = "other";
    b.entries.push_back(extra);
    const Bytes z = b.build();
    for (int threads = 1; threads <= 2; threads++) {
        TempDir dir;
        writeFile(dir / "lib", "a file where a folder belongs");
        ZipArchive a;
        ZipProblem p;
        ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p));
        const int root = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        Reports events;
        EXPECT_EQ(2, zipExtractAllProgress(&a, root, threads, reportEvent, doneEvent, &events));
        close(root);
        std::multiset<std::string> done;
        for (size_t i = 0; i < events.lines.size(); i++) {
            const std::string &line = events.lines[i];
            if (line.rfind("done ", 0) == 0) {
                done.insert(line.substr(5));
            } else {
                // A failed entry is reported before it is done.
                const std::string name = line.substr(7);
                bool later = false;
                for (size_t k = i + 1; k < events.lines.size(); k++)
                    later = later || events.lines[k] == "done " + name;
                EXPECT_TRUE(later) << name;
            }
        }
        EXPECT_EQ((std::multiset<std::string>{"tool", "lib/", "lib/helper.txt", "other"}), done);
        EXPECT_EQ(6u, events.lines.size());
    }
}

TEST(ZipExtract, ABadCrcLeavesTheOldFileAndNoTemporaryOne)
{
    TempDir dir;
    writeFile(dir / "tool", "previous");
    Builder b = twoFiles();
    b.entries[0].crcDelta = 1;
    b.entries[2].crcDelta = 1;
    Reports r;
    EXPECT_EQ(2, extract(b.build(), dir.path(), 2, r));
    EXPECT_EQ("previous", readFile(dir / "tool"));
    EXPECT_EQ((std::set<std::string>{"tool", "lib"}), listing(dir.path()));
    EXPECT_TRUE(listing(dir / "lib").empty());
    std::set<std::string> lines(r.lines.begin(), r.lines.end());
    EXPECT_EQ((std::set<std::string>{"tool: CRC-32 mismatch", "lib/helper.txt: CRC-32 mismatch"}),
              lines);
}

// Names from a DOS host land as UTF-8 paths: CP437 converted, backslashes
// separators; a Unicode Path field's name over the header's.
TEST(ZipExtract, WritesNamesAsTheirMakersMeantThem)
{
    Builder b;
    Entry cp437, unicode;
    cp437.name = "Dir\\\x99lf\x84sser.txt";
    cp437.host = 0;
    cp437.mode = 0;
    cp437.content = "oil";
    unicode.name = "Dir\\_.txt";
    unicode.host = 11;
    unicode.mode = 0;
    unicode.content = "bread";
    unicode.centralExtra = unicodePathField(unicode.name, "Dir\\Br\xC3\xB6t.txt");
    b.entries = {cp437, unicode};
    TempDir dir;
    Reports r;
    EXPECT_EQ(0, extract(b.build(), dir.path(), 2, r));
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ((std::set<std::string>{"Dir"}), listing(dir.path()));
    EXPECT_EQ((std::set<std::string>{"\xC3\x96lf\xC3\xA4sser.txt", "Br\xC3\xB6t.txt"}),
              listing(dir / "Dir"));
    EXPECT_EQ("oil", readFile(dir / "Dir/\xC3\x96lf\xC3\xA4sser.txt"));
    EXPECT_EQ("bread", readFile(dir / "Dir/Br\xC3\xB6t.txt"));
}

// Folders another user made, or may write to, are never adopted (as root,
// who can make them).
TEST(ZipExtract, UsesExistingFoldersOnlyWhenTrusted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making another user's folder needs root";
    const struct {
        uid_t owner;
        mode_t mode;
        const char *refusal; // NULL: used
    } cases[] = {
        {65534, 0777, "an existing folder on its path belongs to another user"},
        {65534, 0755, "an existing folder on its path belongs to another user"},
        {0, 0775, "others may write to an existing folder on its path"},
        {0, 0757, "others may write to an existing folder on its path"},
        {0, 01777, "others may write to an existing folder on its path"},
        {0, 0755, nullptr},
        {0, 0700, nullptr},
    };
    const Bytes z = twoFiles().build();
    for (const auto &c : cases) {
        TempDir dir;
        ASSERT_EQ(0, mkdir((dir / "lib").c_str(), 0700));
        ASSERT_EQ(0, chown((dir / "lib").c_str(), c.owner, c.owner));
        ASSERT_EQ(0, chmod((dir / "lib").c_str(), c.mode));
        Reports r;
        const long failed = extract(z, dir.path(), 2, r);
        std::set<std::string> lines(r.lines.begin(), r.lines.end());
        if (c.refusal == nullptr) {
            EXPECT_EQ(0, failed) << std::oct << c.mode;
            EXPECT_EQ("stored text", readFile(dir / "lib/helper.txt"));
            continue;
        }
        EXPECT_EQ(2, failed) << std::oct << c.mode;
        EXPECT_EQ((std::set<std::string>{std::string("lib/: ") + c.refusal,
                                         std::string("lib/helper.txt: ") + c.refusal}),
                  lines);
        EXPECT_TRUE(listing(dir / "lib").empty());
        EXPECT_EQ(twoFiles().entries[0].content, readFile(dir / "tool"));
    }
}

TEST(ZipExtract, OpensATargetOnlyWhenTrusted)
{
    TempDir dir;
    const struct {
        const char *name;
        uid_t owner;
        mode_t mode;
        const char *refusal;
    } cases[] = {
        {"own", 0, 0755, nullptr},
        {"private", 0, 0700, nullptr},
        {"group", 0, 0775, nullptr},
        {"sticky", 0, 01777, nullptr},
        {"open", 0, 0777, "others may write to it, and it is not sticky"},
        {"theirs", 65534, 0755, "it belongs to another user"},
        {"theirs-open", 65534, 0777, "it belongs to another user"},
    };
    for (const auto &c : cases) {
        if (c.owner != geteuid() && geteuid() != 0)
            continue;
        const std::string path = dir / c.name;
        ASSERT_EQ(0, mkdir(path.c_str(), 0700));
        ASSERT_EQ(0, chown(path.c_str(), c.owner, c.owner));
        ASSERT_EQ(0, chmod(path.c_str(), c.mode));
        for (const std::string &given : {path, path + "/", path + "//"}) {
            const char *refusal = "unset";
            const int fd = zipOpenTarget(given.c_str(), &refusal);
            EXPECT_EQ(c.refusal == nullptr, fd >= 0) << given;
            EXPECT_STREQ(c.refusal, refusal) << given;
            if (fd >= 0)
                close(fd);
        }
    }
    // A link at the target, with or without a trailing slash, is refused.
    ASSERT_EQ(0, symlink((dir / "own").c_str(), (dir / "link").c_str()));
    for (const std::string &given : {dir / "link", dir / "link/"}) {
        const char *refusal = nullptr;
        EXPECT_EQ(-1, zipOpenTarget(given.c_str(), &refusal));
        EXPECT_STREQ("it is a symbolic link", refusal) << given;
    }
    // What cannot be opened at all says so through errno.
    writeFile(dir / "file", "x");
    for (const auto &[name, error] : {std::pair<std::string, int>{"missing", ENOENT},
                                      std::pair<std::string, int>{"file", ENOTDIR}}) {
        const char *refusal = "unset";
        errno = 0;
        EXPECT_EQ(-1, zipOpenTarget((dir / name).c_str(), &refusal));
        EXPECT_EQ(nullptr, refusal);
        EXPECT_EQ(error, errno) << name;
    }
    const std::string tooLong(PATH_MAX + 10, 'x');
    const char *refusal = "unset";
    EXPECT_EQ(-1, zipOpenTarget(tooLong.c_str(), &refusal));
    EXPECT_EQ(ENAMETOOLONG, errno);
}

// The count comes from the affinity of the calling thread, as taskset or a
// cpuset gives it: one CPU, one thread; all of them, up to the bound.
TEST(ZipExtract, ThreadsFollowTheAffinity)
{
    cpu_set_t all, one;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof all, &all));
    int first = 0;
    while (!CPU_ISSET(first, &all))
        first++;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(0, sched_setaffinity(0, sizeof one, &one));
    EXPECT_EQ(1, zipExtractThreads());
    ASSERT_EQ(0, sched_setaffinity(0, sizeof all, &all));
    EXPECT_EQ(std::min(CPU_COUNT(&all), int{ZIP_EXTRACT_MAX_THREADS}), zipExtractThreads());
}

// More threads asked for than the bound, or than there are entries: each
// entry is written once and whole, and no temporary file is left.
TEST(ZipExtract, ManyThreadsWriteEachEntryOnce)
{
    Builder many;
    std::set<std::string> top;
    for (int i = 0; i < 60; i++) {
        Entry e;
        e.name = "d" + std::to_string(i % 6) + "/f" + std::to_string(i);
        e.content = std::string(1000 + 97 * i, static_cast<char>('a' + i % 26));
        many.entries.push_back(e);
        top.insert("d" + std::to_string(i % 6));
    }
    Builder two = twoFiles();
    for (int threads : {int{ZIP_EXTRACT_MAX_THREADS}, int{ZIP_EXTRACT_MAX_THREADS} + 5}) {
        for (Builder *b : {&many, &two}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, " +
                         std::to_string(b->entries.size()) + " entries");
            TempDir dir;
            Reports r;
            EXPECT_EQ(0, extract(b->build(), dir.path(), threads, r));
            EXPECT_TRUE(r.lines.empty());
            for (const Entry &e : b->entries) {
                if (e.name.back() != '/') {
                    EXPECT_TRUE(readFile(dir / e.name) == e.content) << e.name;
                }
            }
            if (b == &many) {
                EXPECT_EQ(top, listing(dir.path()));
                for (const std::string &d : top)
                    EXPECT_EQ(10u, listing(dir / d).size()) << d;
            }
        }
    }
}

} // namespace
