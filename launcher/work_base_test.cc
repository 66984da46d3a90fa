#include "launcher/installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "os/osspecific.h"
#include "tests/test_util.h"

namespace {

// The variables the choice reads, restored after each test.
class WorkBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"TRELL_PORTABLE_TMPDIR", "TMPDIR", "HOME"}) {
            const char *value = getenv(v);
            saved.push_back({v, value != nullptr, value ? value : ""});
        }
        unsetenv("TRELL_PORTABLE_TMPDIR");
        setenv("TMPDIR", other.path().c_str(), 1);
    }
    void TearDown() override
    {
        for (const auto &s : saved) {
            if (s.set)
                setenv(s.name, s.value.c_str(), 1);
            else
                unsetenv(s.name);
        }
    }
    // Chooses with the user's folder set to path; the result and what was
    // said on standard error.
    int choose(const std::string &path, std::string &said)
    {
        setenv("TRELL_PORTABLE_TMPDIR", path.c_str(), 1);
        testing::internal::CaptureStderr();
        int r = chooseWorkBase(&sizes);
        said = testing::internal::GetCapturedStderr();
        return r;
    }
    struct Saved {
        const char *name;
        bool set;
        std::string value;
    };
    std::vector<Saved> saved;
    RunSizes sizes = {};
    TempDir named, other;
};

} // namespace

TEST_F(WorkBase, TmpServesSilently)
{
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, chooseWorkBase(&sizes));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_STREQ("/tmp", wrkBase);
    // An empty user's folder counts as unset.
    std::string said;
    ASSERT_EQ(0, choose("", said));
    EXPECT_EQ("", said);
    EXPECT_STREQ("/tmp", wrkBase);
}

TEST_F(WorkBase, TheUsersFolderAndNothingElse)
{
    std::string said;
    ASSERT_EQ(0, choose(named.path(), said));
    EXPECT_EQ(named.path(), wrkBase);
    EXPECT_EQ("Unpacking in " + named.path() + ": TRELL_PORTABLE_TMPDIR names it\n", said);

    // Each refusal is one line naming the folder; /tmp is never taken instead.
    const std::string prefix = "Failed using TRELL_PORTABLE_TMPDIR: ";
    EXPECT_EQ(-1, choose("relative/dir", said));
    EXPECT_EQ(prefix + "relative/dir is not an absolute path\n", said);
    EXPECT_EQ(-1, choose(named / "missing", said));
    EXPECT_EQ(prefix + named / "missing" + " does not exist\n", said);
    writeFile(named / "file", "");
    EXPECT_EQ(-1, choose(named / "file", said));
    EXPECT_EQ(prefix + named / "file" + " is not a folder\n", said);
    EXPECT_NE(std::string("/tmp"), wrkBase);
}

TEST_F(WorkBase, FoldersOthersCouldTamperWithAreRefused)
{
    std::string said;
    const std::string open = named / "open";
    ASSERT_EQ(0, mkdir(open.c_str(), 0700));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    EXPECT_EQ(-1, choose(open, said));
    EXPECT_EQ("Failed using TRELL_PORTABLE_TMPDIR: " + open +
                  " may be written by others and is not sticky\n", said);
    ASSERT_EQ(0, chmod(open.c_str(), 0770));
    EXPECT_EQ(-1, choose(open, said));
    // Sticky, as /tmp is: others cannot rename our entries away.
    ASSERT_EQ(0, chmod(open.c_str(), 01777));
    EXPECT_EQ(0, choose(open, said));
    if (geteuid() == 0) {
        ASSERT_EQ(0, chmod(open.c_str(), 0700));
        ASSERT_EQ(0, chown(open.c_str(), 65534, 65534));
        EXPECT_EQ(-1, choose(open, said));
        EXPECT_EQ("Failed using TRELL_PORTABLE_TMPDIR: " + open + " belongs to another user\n",
                  said);
    }
}

TEST_F(WorkBase, RoomForTheRunIsCheckedWhereThePackageRecordsIt)
{
    std::string said;
    sizes.known = 1;
    sizes.archive = 1000;
    sizes.unzip = 1000;
    sizes.entries = 10;
    sizes.unpacked = UINT64_MAX / 2; // more than any file system holds
    EXPECT_EQ(-1, choose(named.path(), said));
    EXPECT_EQ(0u, said.find("Failed using TRELL_PORTABLE_TMPDIR: " + named.path() + " has "));
    EXPECT_NE(std::string::npos, said.find(" MiB free, the package needs "));
    sizes.unpacked = 1000;
    EXPECT_EQ(0, choose(named.path(), said));
}

TEST_F(WorkBase, PathLengthBound)
{
    // The work directory's name, 26 characters, must fit behind the base
    // in 512 bytes: 485 characters fit, 486 do not.
    std::string path = named.path();
    auto grow = [&](size_t length) {
        while (path.size() < length) {
            size_t part = std::min<size_t>(200, length - path.size() - 1);
            if (part == 0)
                part = 1, path.pop_back(); // never end on a bare separator
            path += "/" + std::string(part, 'd');
            mkdir(path.c_str(), 0700);
        }
        return path;
    };
    std::string said;
    const std::string fits = grow(485);
    ASSERT_EQ(485u, fits.size());
    ASSERT_EQ(1, dirExists(fits.c_str()));
    EXPECT_EQ(0, choose(fits, said)) << said;
    ASSERT_EQ(0, makeWorkDir(wrkBase, 1));
    cleanup();
    wrkDirOwned = 0;
    changeDir("/");
    const std::string over = fits + "e";
    ASSERT_EQ(0, mkdir(over.c_str(), 0700));
    EXPECT_EQ(-1, choose(over, said));
    EXPECT_NE(std::string::npos, said.find(" is too long a path\n")) << said;
}

TEST_F(WorkBase, AfterARefusalToRunProgramsTheNextCandidate)
{
    ASSERT_EQ(0, chooseWorkBase(&sizes));
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, chooseNextWorkBase(&sizes));
    EXPECT_EQ("Unpacking in " + other.path() + ": /tmp does not let programs run\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(other.path(), wrkBase);

    // Never after the user's own folder: the run fails, naming it.
    std::string said;
    ASSERT_EQ(0, choose(named.path(), said));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, chooseNextWorkBase(&sizes));
    reportWorkBaseRefusals();
    EXPECT_EQ("Failed using TRELL_PORTABLE_TMPDIR: " + named.path() +
                  " does not let programs run\n",
              testing::internal::GetCapturedStderr());
}

TEST(RunRoom, EachFileTakesWholeBlocksAndNothingOverflows)
{
    RunSizes s = {1, 4097, 1, 10000, 3};
    // Work directory: the archive in 2 blocks, the utility in 1, 4 more.
    const uint64_t margin = 1u << 20;
    uint64_t work = 2 * 4096 + 4096 + 4 * 4096;
    EXPECT_EQ(work + work / 64 + margin, runBytesNeeded(&s, 4096, 1, 0));
    // Unpacked: the bytes, and a block for each entry and implied folder.
    uint64_t unpacked = 10000 + (3 + 0 + 1) * 4096;
    EXPECT_EQ(unpacked + unpacked / 64 + margin, runBytesNeeded(&s, 4096, 0, 1));
    EXPECT_EQ(4u, runInodesNeeded(&s, 1, 0));
    EXPECT_EQ(4u, runInodesNeeded(&s, 0, 1));
    EXPECT_EQ(8u, runInodesNeeded(&s, 1, 1));
    s.entries = 400;
    EXPECT_EQ(400u + 100 + 1, runInodesNeeded(&s, 0, 1));
    // A hostile record saturates instead of wrapping to a small need.
    s.unpacked = UINT64_MAX - 5;
    EXPECT_EQ(UINT64_MAX, runBytesNeeded(&s, 4096, 1, 1));
    s = {1, UINT64_MAX, UINT64_MAX, 0, UINT64_MAX};
    EXPECT_EQ(UINT64_MAX, runBytesNeeded(&s, 4096, 1, 0));
    EXPECT_EQ(UINT64_MAX, runInodesNeeded(&s, 1, 1));
}

TEST(RunRoom, SizesComeFromThePackageRecordOnly)
{
    int32_t directory[PKG_DIR_ENTRIES] = {};
    directory[PKG_ELEM_UNZIP] = 5000;
    RunSizes s;
    runSizesFromPackage(directory, &s);
    EXPECT_EQ(0, s.known); // an older package: zeros

    unsigned char bytes[PKG_DIR_SIZE];
    pkgEncodeDirectory(directory, bytes);
    pkgPutRecordHeader(bytes);
    pkgPutRecordImage(bytes, 0, PkgImageFacts{3000000000ull, 7, 900});
    pkgPutRecordImage(bytes, 1, PkgImageFacts{100, 9, 1200});
    pkgDecodeDirectory(bytes, directory);
    runSizesFromPackage(directory, &s);
    EXPECT_EQ(1, s.known);
    EXPECT_EQ(5000u, s.unzip);
    // Of a pair, the larger of each.
    EXPECT_EQ(3000000000ull, s.unpacked);
    EXPECT_EQ(9u, s.entries);
    EXPECT_EQ(1200u, s.archive);

    bytes[PKG_REC_AREA_OFFSET] ^= 1; // the magic damaged
    pkgDecodeDirectory(bytes, directory);
    runSizesFromPackage(directory, &s);
    EXPECT_EQ(0, s.known);
}
