#include "launcher/installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os/osspecific.h"
#include "launcher/work_dir_fixture.h"
#include "tests/test_util.h"

namespace {

using WorkDir = WorkDirFixture;

} // namespace

TEST_F(WorkDir, NameSearchSkipsEveryTakenName)
{
    ASSERT_EQ(0, mkdir((base / "portable_install_00001234").c_str(), 0755));
    writeFile(base / "portable_install_00001235", "");
    ASSERT_EQ(0, symlink((base / "nowhere").c_str(), (base / "portable_install_00001236").c_str()));
    ASSERT_EQ(0, makeWorkDir(base.path().c_str(), 0x1234));
    EXPECT_EQ(base / "portable_install_00001237", wrkDir);
    EXPECT_EQ(1, wrkDirOwned);
    char cwd[512];
    getCurrentDir(cwd, sizeof cwd);
    EXPECT_EQ(base / "portable_install_00001237", cwd);
    struct stat st;
    ASSERT_EQ(0, lstat(wrkDir, &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    // The dangling link was skipped, not followed.
    EXPECT_EQ(0, dirExists((base / "nowhere").c_str()));
}

TEST_F(WorkDir, NameIsEightHexDigitsAndWraps)
{
    ASSERT_EQ(0, makeWorkDir(base.path().c_str(), 0xFFFFFFFFu));
    EXPECT_EQ(base / "portable_install_ffffffff", wrkDir);
    wrkDirOwned = 0;
    writeFile(base / "portable_install_00000000", "");
    ASSERT_EQ(0, makeWorkDir(base.path().c_str(), 0));
    EXPECT_EQ(base / "portable_install_00000001", wrkDir);
}

TEST_F(WorkDir, FailuresAreReported)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, makeWorkDir((base / "missing").c_str(), 1));
    EXPECT_EQ("Failed creating " + (base / "missing/portable_install_00000001") + "\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(0, wrkDirOwned);
    std::string longBase = "/" + std::string(500, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, makeWorkDir(longBase.c_str(), 1));
    EXPECT_EQ("Failed creating " + longBase + "\n", testing::internal::GetCapturedStderr());
}

TEST_F(WorkDir, CleanupRemovesOnlyWhatThisRunMade)
{
    // Not yet owned: a name that belongs to someone else stays.
    ASSERT_EQ(0, mkdir((base / "other").c_str(), 0755));
    snprintf(wrkDir, sizeof wrkDir, "%s", (base / "other").c_str());
    cleanup();
    EXPECT_EQ(1, dirExists((base / "other").c_str()));

    ASSERT_EQ(0, makeWorkDir(base.path().c_str(), 7));
    writeFile(std::string(wrkDir) + "/image.zip", "x");
    ASSERT_EQ(1, makeDir((std::string(wrkDir) + "/a/b").c_str()));
    cleanup();
    EXPECT_EQ(0, dirExists(wrkDir));
    EXPECT_EQ(1, dirExists(base.path().c_str()));
    // Out into the base, not into the tree that went.
    char cwd[512];
    getCurrentDir(cwd, sizeof cwd);
    EXPECT_EQ(base.path(), cwd);
    cleanup(); // nothing left: nothing happens
}
