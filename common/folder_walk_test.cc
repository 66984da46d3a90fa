#include "common/folder_walk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/test_util.h"

namespace {

const uid_t kNobody = 65534;

struct Walked {
    int fd;
    FolderWalkFault fault;
    std::string said;
};

Walked walk(const std::string &path, int flags = 0)
{
    Walked w;
    w.fd = folderWalkOpen(path.c_str(), flags, &w.fault);
    char out[FOLDER_WALK_WHERE_SIZE + 64];
    if (w.fd < 0)
        w.said = folderWalkDescribe(&w.fault, out, sizeof out);
    else
        close(w.fd);
    return w;
}

void folder(const std::string &path, uid_t owner, mode_t mode)
{
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    ASSERT_EQ(0, chown(path.c_str(), owner, owner));
    ASSERT_EQ(0, chmod(path.c_str(), mode));
}

class FolderWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "making another user's folders and links needs root";
    }
    TempDir dir;
};

} // namespace

// Each part on the way is judged: another user's, or writable by others
// without the sticky bit, is refused and named; the target itself may be
// writable by its group, a folder on the way may not.
TEST_F(FolderWalk, EveryPartOnThePathIsJudged)
{
    folder(dir / "theirs", kNobody, 0755);
    folder(dir / "theirs/in", 0, 0755);
    folder(dir / "open", 0, 0777);
    folder(dir / "open/in", 0, 0755);
    folder(dir / "group", 0, 0775);
    folder(dir / "group/in", 0, 0755);
    folder(dir / "sticky", 0, 01777);
    folder(dir / "sticky/in", 0, 0755);
    struct {
        std::string path;
        int code;
        std::string said;
    } cases[] = {
        {dir / "theirs/in", FOLDER_WALK_FOREIGN,
         dir / "theirs on its path belongs to another user"},
        {dir / "open/in", FOLDER_WALK_SHARED,
         dir / "open on its path may be written by others and is not sticky"},
        {dir / "group/in", FOLDER_WALK_SHARED,
         dir / "group on its path may be written by others and is not sticky"},
        {dir / "theirs", FOLDER_WALK_FOREIGN, "it belongs to another user"},
        {dir / "sticky/in", FOLDER_WALK_OK, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Walked w = walk(c.path, FOLDER_WALK_TARGET);
        EXPECT_EQ(c.code == FOLDER_WALK_OK, w.fd >= 0);
        EXPECT_EQ(c.code, w.fault.code);
        EXPECT_EQ(c.said, w.said);
    }
    EXPECT_EQ(FOLDER_WALK_OK, walk(dir / "group", FOLDER_WALK_TARGET).fault.code);
    EXPECT_EQ(FOLDER_WALK_SHARED, walk(dir / "group").fault.code);
    // A relative path is walked from "/" through the current folder.
    ASSERT_EQ(0, chdir((dir / "sticky").c_str()));
    EXPECT_EQ(FOLDER_WALK_OK, walk("in/.").fault.code);
    EXPECT_EQ(FOLDER_WALK_FOREIGN, walk("../theirs/in").fault.code);
    ASSERT_EQ(0, chdir("/"));
}

// A link another user owns is refused wherever it stands; root's (or the
// user's) are followed, relative or absolute; the target may not be one.
TEST_F(FolderWalk, OnlyTrustedLinksAreFollowed)
{
    folder(dir / "real", 0, 0755);
    folder(dir / "real/in", 0, 0755);
    ASSERT_EQ(0, symlink((dir / "real").c_str(), (dir / "theirs").c_str()));
    ASSERT_EQ(0, lchown((dir / "theirs").c_str(), kNobody, kNobody));
    ASSERT_EQ(0, symlink("real", (dir / "relative").c_str()));
    ASSERT_EQ(0, symlink((dir / "relative/in").c_str(), (dir / "absolute").c_str()));
    Walked w = walk(dir / "theirs/in");
    EXPECT_EQ(FOLDER_WALK_FOREIGN_LINK, w.fault.code);
    EXPECT_EQ(dir / "theirs on its path is a symbolic link that another user owns", w.said);
    EXPECT_EQ(FOLDER_WALK_FOREIGN_LINK, walk(dir / "theirs").fault.code);
    EXPECT_EQ(FOLDER_WALK_OK, walk(dir / "relative/in", FOLDER_WALK_TARGET).fault.code);
    EXPECT_EQ(FOLDER_WALK_OK, walk(dir / "absolute").fault.code);
    w = walk(dir / "absolute", FOLDER_WALK_TARGET);
    EXPECT_EQ(FOLDER_WALK_LAST_LINK, w.fault.code);
    EXPECT_EQ("it is a symbolic link", w.said);
    // A loop ends.
    ASSERT_EQ(0, symlink("loop", (dir / "loop").c_str()));
    EXPECT_EQ(ELOOP, walk(dir / "loop/x").fault.error);
}

// What is done below the descriptor stays there when a folder on the path
// is swapped for a link afterwards.
TEST_F(FolderWalk, TheDescriptorOutlivesASwap)
{
    folder(dir / "a", 0, 0755);
    folder(dir / "a/target", 0, 0755);
    folder(dir / "elsewhere", 0, 0755);
    FolderWalkFault fault;
    int fd = folderWalkOpen((dir / "a/target").c_str(), FOLDER_WALK_TARGET, &fault);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, rename((dir / "a").c_str(), (dir / "moved").c_str()));
    ASSERT_EQ(0, symlink((dir / "elsewhere").c_str(), (dir / "a").c_str()));
    int file = openat(fd, "written", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(fd);
    EXPECT_EQ(0, access((dir / "moved/target/written").c_str(), F_OK));
    EXPECT_NE(0, access((dir / "elsewhere/target").c_str(), F_OK));
}

TEST_F(FolderWalk, MakingFolders)
{
    mode_t old = umask(0);
    Walked w = walk(dir / "new/deeper/last", FOLDER_WALK_MAKE | FOLDER_WALK_TARGET);
    umask(old);
    ASSERT_GE(w.fd, 0) << w.said;
    struct stat st;
    ASSERT_EQ(0, stat((dir / "new/deeper").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777); // never more open than that
    // Only the last part, when asked so; a part that cannot hold a folder.
    w = walk(dir / "none/last", FOLDER_WALK_MAKE_LAST);
    EXPECT_EQ(FOLDER_WALK_MAKE_FAILED, w.fault.code);
    EXPECT_EQ(ENOENT, w.fault.error);
    EXPECT_EQ(0, walk(dir / "new/other", FOLDER_WALK_MAKE_LAST).fault.code);
    writeFile(dir / "file", "x");
    w = walk(dir / "file/sub", FOLDER_WALK_MAKE);
    EXPECT_EQ(FOLDER_WALK_MAKE_FAILED, w.fault.code);
    EXPECT_EQ(dir / "file: Not a directory", w.said);
    EXPECT_EQ(FOLDER_WALK_NOT_FOLDER, walk(dir / "file").fault.code);
}

TEST(FolderWalkDescribe, WhereThatDoesNotFitIsLeftOut)
{
    FolderWalkFault f = {};
    f.code = FOLDER_WALK_FOREIGN;
    snprintf(f.where, sizeof f.where, "/srv/u2");
    char out[64];
    EXPECT_STREQ("/srv/u2 on its path belongs to another user",
                 folderWalkDescribe(&f, out, sizeof out));
    // 43 characters and the NUL fit 44 bytes; 43 do not.
    EXPECT_EQ(43u, strlen(folderWalkDescribe(&f, out, 44)));
    EXPECT_STREQ("a folder on its path cannot be trusted", folderWalkDescribe(&f, out, 43));
    f.last = 1;
    EXPECT_STREQ("it belongs to another user", folderWalkDescribe(&f, out, sizeof out));
}
