#include "launcher/installer.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "os/osspecific.h"
#include "launcher/work_dir_fixture.h"
#include "tests/test_util.h"

namespace {

std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.insert(e->d_name);
    if (d != nullptr)
        closedir(d);
    return names;
}

std::string folder(const TempDir &base, const std::string &name, mode_t mode = 0700)
{
    const std::string path = base / name;
    EXPECT_EQ(0, mkdir(path.c_str(), 0700));
    EXPECT_EQ(0, chmod(path.c_str(), mode));
    return path;
}

using Sweep = WorkDirFixture;

} // namespace

TEST_F(Sweep, AWorkDirectoryAppearsWithItsMarkAndNothingElseIsLeft)
{
    ASSERT_EQ(0, makeWorkDir(base.path().c_str(), 0x42));
    EXPECT_EQ(std::set<std::string>{"portable_install_00000042"}, listing(base.path()));
    EXPECT_EQ(std::set<std::string>{LIVE_MARK}, listing(wrkDir));
    // While its owner lives, no sweep takes it.
    EXPECT_EQ(0, sweepDeadWorkDirs(base.path().c_str()));
    EXPECT_EQ(1, dirExists(wrkDir));
    cleanup();
}

TEST_F(Sweep, TemporaryFoldersOfDeadRunsGoOthersStay)
{
    folder(base, WORK_TEMP_PREFIX "aaaaaa");                  // empty: a run killed at once
    const std::string first = folder(base, WORK_TEMP_PREFIX "bbbbbb");
    writeFile(first + "/" LIVE_MARK "-new", "");               // killed before the mark had its name
    const std::string marked = folder(base, WORK_TEMP_PREFIX "cccccc");
    writeFile(marked + "/" LIVE_MARK, "");                     // killed before the rename
    const std::string live = folder(base, WORK_TEMP_PREFIX "dddddd");
    int held = markLiveAt(AT_FDCWD, live.c_str(), LIVE_MARK);  // a live run's
    ASSERT_GE(held, 0);
    folder(base, WORK_TEMP_PREFIX "eeeeee", 0755);              // not one of ours
    folder(base, WORK_TEMP_PREFIX "fffffff");                  // a name off the pattern
    EXPECT_EQ(2, sweepDeadWorkDirs(base.path().c_str()));      // the two marked ones
    EXPECT_EQ((std::set<std::string>{WORK_TEMP_PREFIX "dddddd", WORK_TEMP_PREFIX "eeeeee",
                                     WORK_TEMP_PREFIX "fffffff"}),
              listing(base.path()));
    close(held);
    EXPECT_EQ(1, sweepDeadWorkDirs(base.path().c_str()));
    EXPECT_EQ(0, dirExists(live.c_str()));
}
