// The latest-file search on real folders with modification times set by
// utimensat, and the device read on real files.
#include "os/osspecific.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "tests/child_sandbox.h"
#include "tests/test_util.h"

namespace {

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using Path = std::unique_ptr<char, FreeDeleter>;

std::string str(const Path &p) { return p ? std::string(p.get()) : std::string("<NULL>"); }

Path latest(const std::string &dir, const char *suffix)
{
    return Path(findLatestFile(dir.c_str(), suffix));
}

// The entry's own time when follow is false (for a link itself).
void setMtime(const std::string &path, time_t sec, long nsec = 0, bool follow = true)
{
    struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, follow ? 0 : AT_SYMLINK_NOFOLLOW))
        << path << ": " << strerror(errno);
}

void file(const std::string &path, time_t sec, long nsec = 0)
{
    writeFile(path, "x");
    setMtime(path, sec, nsec);
}

void folder(const std::string &path, time_t sec)
{
    ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path;
    setMtime(path, sec);
}

void link(const std::string &target, const std::string &path, time_t ownSec)
{
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
    setMtime(path, ownSec, 0, false);
}

} // namespace

TEST(LatestFile, NewestMatchingFileWithDirectoryJoinedUnchanged)
{
    TempDir t;
    std::string dir = t.path() + "/";
    file(t / "a.log", 1000);
    file(t / "b.log", 3000);
    file(t / "c.txt", 5000);
    folder(t / "sub.log", 9000);
    Path p = latest(dir, ".log");
    ASSERT_EQ(dir + "b.log", str(p));
    // A block of exactly the path and its terminator: nothing more is needed.
    size_t size = malloc_usable_size(p.get());
    EXPECT_GE(size, dir.size() + 6);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(dir.size() + 6, size);
#endif
    // A file made newer since wins the next call.
    setMtime(t / "a.log", 4000);
    EXPECT_EQ(dir + "a.log", str(latest(dir, ".log")));
}

TEST(LatestFile, EmptySuffixTakesTheNewestNonDirectory)
{
    TempDir t;
    std::string dir = t.path() + "/";
    file(t / "older", 100);
    file(t / "newest", 200);
    folder(t / "newer_folder", 5000);
    mkfifo((t / "pipe").c_str(), 0644);
    setMtime(t / "pipe", 150);
    // "." and ".." match the empty suffix too, and are the newest entries.
    setMtime(t.path(), 9000);
    EXPECT_EQ(dir + "newest", str(latest(dir, "")));
    // A pipe is a candidate like any other non-directory.
    setMtime(t / "pipe", 300);
    EXPECT_EQ(dir + "pipe", str(latest(dir, "")));
}

TEST(LatestFile, SuffixIsComparedBytewiseAtTheEnd)
{
    TempDir t;
    std::string dir = t.path() + "/";
    file(t / ".xml", 100);
    file(t / "xml", 900);      // shorter than the suffix
    file(t / "REPORT.XML", 800); // capitals
    file(t / "report.xml.bak", 700);
    file(t / "xmlreport", 600);
    EXPECT_EQ(dir + ".xml", str(latest(dir, ".xml")));
    EXPECT_EQ(dir + "REPORT.XML", str(latest(dir, ".XML")));
    EXPECT_EQ(nullptr, latest(dir, "a-suffix-longer-than-any-name.xml"));
    EXPECT_EQ(nullptr, latest(dir, ".json"));
}

TEST(LatestFile, TieInOneSecondGoesToTheFirstInStreamOrder)
{
    TempDir t;
    std::string dir = t.path() + "/";
    const char *names[] = {"t1.log", "t2.log", "t3.log", "t4.log", "t5.log"};
    for (const char *n : names)
        file(t / n, 5000);
    // The directory stream's own order, not the names' order.
    std::vector<std::string> order;
    DIR *d = opendir(t.path().c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent *e = readdir(d))
        if (std::string(e->d_name).find(".log") != std::string::npos)
            order.push_back(e->d_name);
    closedir(d);
    ASSERT_EQ(5u, order.size());
    // Later entries carry larger sub-second parts, which must not count.
    for (size_t i = 0; i < order.size(); i++)
        setMtime(t / order[i], 5000, (long)(i * 200000000));
    EXPECT_EQ(dir + order[0], str(latest(dir, ".log")));
    // One second more than the tie beats it wherever it stands.
    setMtime(t / order[4], 5001);
    EXPECT_EQ(dir + order[4], str(latest(dir, ".log")));
}

TEST(LatestFile, LinksCountWithTheirTargetsTime)
{
    TempDir t, elsewhere;
    ASSERT_EQ(0, mkdir((t / "d").c_str(), 0755));
    std::string dir = t.path() + "/d/";
    file(t / "d/plain.log", 3000);
    file(elsewhere / "target.txt", 8000);
    folder(elsewhere / "folder", 9500);
    file(elsewhere / "old.txt", 10);
    // The links' own times say the opposite of their targets'.
    link(elsewhere / "target.txt", t / "d/to_file.log", 1);
    link(elsewhere / "folder", t / "d/to_folder.log", 9900);
    link(elsewhere / "missing.txt", t / "d/dangling.log", 9900);
    link(elsewhere / "old.txt", t / "d/to_old.log", 9900);
    EXPECT_EQ(dir + "to_file.log", str(latest(dir, ".log")));
    ASSERT_EQ(0, unlink((t / "d/to_file.log").c_str()));
    EXPECT_EQ(dir + "plain.log", str(latest(dir, ".log")));
}

TEST(LatestFile, TimesAtOrBeforeTheEpochAreNeverChosen)
{
    TempDir t;
    std::string dir = t.path() + "/";
    file(t / "epoch.dat", 0);
    file(t / "before.dat", -86400);
    file(t / "just_before.dat", -1, 999999999);
    EXPECT_EQ(nullptr, latest(dir, ".dat"));
    file(t / "first_second.dat", 1);
    EXPECT_EQ(dir + "first_second.dat", str(latest(dir, ".dat")));
}

TEST(LatestFile, DirectoryWithoutSeparatorIsJoinedUnchanged)
{
    TempDir t;
    ASSERT_EQ(0, mkdir((t / "out").c_str(), 0755));
    file(t / "out/a.log", 2000);
    // Only "<dir>outa.log" is ever asked about.
    EXPECT_EQ(nullptr, latest(t / "out", ".log"));
    file(t / "outa.log", 1000);
    EXPECT_EQ(t / "outa.log", str(latest(t / "out", ".log")));
    EXPECT_EQ(t / "out/a.log", str(latest(t / "out/", ".log")));
}

TEST(LatestFile, NoDirectoryGivesNull)
{
    TempDir t;
    file(t / "plain", 1000);
    EXPECT_EQ(nullptr, latest(t / "missing/", ""));
    EXPECT_EQ(nullptr, latest(t / "plain", ""));
    EXPECT_EQ(nullptr, latest(t / "plain/", ""));
    // Present but empty.
    ASSERT_EQ(0, mkdir((t / "empty").c_str(), 0755));
    EXPECT_EQ(nullptr, latest(t / "empty/", ""));
}

TEST(LatestFile, PathsOver511AndNamesOver127ArePassedOver)
{
    TempDir t;
    // A directory text of 425 characters: entry names of up to 86 fit the
    // 511 characters of a joined path.
    std::string dir = t.path() + "/";
    for (char c : {'a', 'b'}) {
        dir += std::string(200, c) + "/";
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    }
    ASSERT_EQ(425u, dir.size());
    std::string fits = std::string(82, 'f') + ".log";   // 511 in all
    std::string tooLong = std::string(83, 'g') + ".log"; // 512 in all
    file(dir + fits, 1000);
    file(dir + tooLong, 2000);
    Path p = latest(dir, ".log");
    ASSERT_EQ(dir + fits, str(p));
    EXPECT_EQ(511u, strlen(p.get()));
    ASSERT_EQ(0, unlink((dir + fits).c_str()));
    EXPECT_EQ(nullptr, latest(dir, ".log"));

    // Best names: 127 characters are taken, 128 passed over.
    TempDir s;
    std::string name127 = std::string(123, 'n') + ".log";
    std::string name128 = std::string(124, 'm') + ".log";
    file(s / name127, 1000);
    file(s / name128, 2000);
    EXPECT_EQ(s / name127, str(latest(s.path() + "/", ".log")));
    ASSERT_EQ(0, unlink((s / name127).c_str()));
    EXPECT_EQ(nullptr, latest(s.path() + "/", ".log"));
}

namespace {

// A 40-byte buffer: 33 for the device read, then a guard that must stay.
struct DeviceRead {
    int result;
    std::array<char, 40> buffer;
};

DeviceRead readWith(const std::string &path)
{
    DeviceRead r;
    r.buffer.fill('#');
    r.result = readDevice(r.buffer.data(), path.c_str());
    return r;
}

void expectGuardIntact(const DeviceRead &r)
{
    for (size_t i = 33; i < r.buffer.size(); i++)
        EXPECT_EQ('#', r.buffer[i]) << "byte " << i;
}

} // namespace

TEST(DeviceRead, WordEndsAtFirstBlankOrTab)
{
    TempDir t;
    writeFile(t / "model", "PERC H730P Mini   \n");
    writeFile(t / "tabbed", "ST4000NM\tSeagate\n");
    writeFile(t / "lead_blank", " leading");
    writeFile(t / "lead_tab", "\tleading");
    writeFile(t / "newline", "abc\n");
    writeFile(t / "one", "Z");
    struct Case {
        const char *name;
        std::string word;
    } cases[] = {{"model", "PERC"},   {"tabbed", "ST4000NM"}, {"lead_blank", ""},
                 {"lead_tab", ""},     {"newline", "abc\n"},   {"one", "Z"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRead r = readWith(t / c.name);
        EXPECT_EQ(1, r.result);
        EXPECT_EQ(c.word, std::string(r.buffer.data()));
        expectGuardIntact(r);
    }
}

TEST(DeviceRead, OnlyTheFirst32BytesAreLookedAt)
{
    TempDir t;
    // The blank at byte 33 lies beyond the read.
    std::string first32 = "0123456789abcdefghijklmnopqrstuv";
    writeFile(t / "long", first32 + " wxyz");
    DeviceRead r = readWith(t / "long");
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(first32, std::string(r.buffer.data()));
    EXPECT_EQ('\0', r.buffer[32]);
    expectGuardIntact(r);

    writeFile(t / "exact", first32);
    r = readWith(t / "exact");
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(first32, std::string(r.buffer.data()));

    // A blank as the 32nd byte still cuts.
    writeFile(t / "edge", first32.substr(0, 31) + " tail");
    r = readWith(t / "edge");
    EXPECT_EQ(first32.substr(0, 31), std::string(r.buffer.data()));
}

TEST(DeviceRead, NothingReadLeavesTheBufferAlone)
{
    TempDir t;
    writeFile(t / "empty", "");
    ASSERT_EQ(0, mkdir((t / "folder").c_str(), 0755));
    for (const std::string &path : {t / "empty", t / "missing", t / "folder"}) {
        SCOPED_TRACE(path);
        DeviceRead r = readWith(path);
        EXPECT_EQ(0, r.result);
        for (char c : r.buffer)
            ASSERT_EQ('#', c);
    }
}

TEST(DeviceRead, DescriptorZeroIsAnOrdinaryDescriptor)
{
    TempDir t;
    writeFile(t / "model", "R750 rack\n");
    std::string path = t / "model";
    ChildReport r = runInChild([&path](Observations &o) {
        // With standard input closed the file gets descriptor 0.
        close(0);
        DeviceRead d = readWith(path);
        o["result"] = std::to_string(d.result);
        o["word"] = d.buffer.data();
        o["fd0"] = fcntl(0, F_GETFD) == -1 ? "closed" : "open";
    });
    ASSERT_EQ("", r.failure);
    EXPECT_EQ("1", r.values["result"]);
    EXPECT_EQ("R750", r.values["word"]);
    EXPECT_EQ("closed", r.values["fd0"]);
}
