// Inputs and outputs that must be regular files, on real files, folders,
// FIFOs, devices and links.
#include "file_checks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../tests/test_util.h"

using namespace pkgtool;

TEST(FileChecks, OnlyRegularFilesAreInputs)
{
    TempDir dir;
    writeFile(dir / "file", "abc");
    ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink("file", (dir / "link").c_str()));
    EXPECT_EQ("", notRegularFile(dir / "file"));
    EXPECT_EQ("", notRegularFile(dir / "link")); // an input is read through a link
    // The FIFO has no writer: opening it must not block.
    EXPECT_EQ(dir / "fifo" + ": it is a FIFO, not a regular file", notRegularFile(dir / "fifo"));
    EXPECT_EQ(dir.path() + ": it is a folder, not a regular file", notRegularFile(dir.path()));
    EXPECT_EQ("/dev/zero: it is a device, not a regular file", notRegularFile("/dev/zero"));
    EXPECT_EQ(dir / "none" + ": No such file or directory", notRegularFile(dir / "none"));
}

TEST(FileChecks, ReadWholeUpToTheBound)
{
    TempDir dir;
    writeFile(dir / "file", std::string(1000, 'x'));
    std::vector<unsigned char> data;
    std::string error;
    ASSERT_TRUE(readRegularFile(dir / "file", "image", 1000, data, error)) << error;
    EXPECT_EQ(std::vector<unsigned char>(1000, 'x'), data);
    EXPECT_FALSE(readRegularFile(dir / "file", "image", 999, data, error));
    EXPECT_EQ("the image " + dir / "file" + " is over 999 bytes", error);
    EXPECT_FALSE(readRegularFile("/dev/zero", "launcher stub", 1 << 20, data, error));
    EXPECT_EQ("cannot read the launcher stub /dev/zero: it is a device, not a regular file",
              error);
    // /proc files tell a size of 0 and hold more.
    ASSERT_TRUE(readRegularFile("/proc/self/status", "unzip utility", 1 << 20, data, error));
    EXPECT_NE(0u, data.size());
    // A regular file whose reading fails.
    EXPECT_FALSE(readRegularFile("/proc/self/mem", "unzip utility", 1 << 20, data, error));
    EXPECT_EQ(0u, error.find("cannot read the unzip utility /proc/self/mem: ")) << error;
}

TEST(FileChecks, OutputsMayOnlyReplaceRegularFiles)
{
    TempDir dir;
    writeFile(dir / "file", "abc");
    ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink("file", (dir / "link").c_str()));
    ASSERT_EQ(0, symlink("nowhere", (dir / "dangling").c_str()));
    EXPECT_EQ("", outputProblem(dir / "file"));
    EXPECT_EQ("", outputProblem(dir / "new"));
    EXPECT_EQ("cannot write " + dir / "fifo" + ": it is a FIFO, not a regular file",
              outputProblem(dir / "fifo"));
    EXPECT_EQ("cannot write " + dir.path() + ": it is a folder, not a regular file",
              outputProblem(dir.path()));
    EXPECT_EQ("cannot write /dev/null: it is a device, not a regular file",
              outputProblem("/dev/null"));
    for (const char *link : {"link", "dangling"})
        EXPECT_EQ(0u, outputProblem(dir / link)
                          .find("cannot write " + dir / link + ": it is a symbolic link"))
            << link;
}
