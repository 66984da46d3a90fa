#include "os/osspecific.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/test_util.h"

TEST(ExecuteProcess, ReportsExitStatusAndSignals)
{
    EXPECT_EQ(0, executeProcess("true"));
    EXPECT_EQ(3, executeProcess("exit 3"));
    EXPECT_EQ(44, executeProcess("exit 300")); // the shell keeps the low byte
    EXPECT_EQ(127, executeProcess("no_such_command_anywhere_x 2>/dev/null"));
    // A command ended by a signal is a failure: 128 + the signal number.
    EXPECT_EQ(128 + SIGKILL, executeProcess("kill -KILL $$"));
    EXPECT_EQ(128 + SIGSEGV, executeProcess("kill -SEGV $$"));
}

TEST(ShellCommands, CopyMakeDeleteAndConvert)
{
    TempDir dir;
    writeFile(dir / "a b", "data");
    // Unquoted, the shell splits the name; quoting is the caller's business.
    EXPECT_EQ(0, copyFile((dir / "a b").c_str(), (dir / "c").c_str()));
    std::string quoted = "\"" + (dir / "a b") + "\"";
    EXPECT_EQ(1, copyFile(quoted.c_str(), (dir / "c").c_str()));
    EXPECT_EQ("data", readFile(dir / "c"));

    EXPECT_EQ(1, makeDir((dir / "x/y/z").c_str()));
    EXPECT_EQ(1, makeDir((dir / "x/y/z").c_str())); // existing: success
    EXPECT_EQ(0, makeDir((dir / "c/below").c_str()));
    writeFile(dir / "x/y/z/f", "1");
    EXPECT_EQ(1, copyTree((dir / "x").c_str(), (dir / "x2").c_str()));
    EXPECT_EQ("1", readFile(dir / "x2/y/z/f"));
    deleteTree((dir / "x").c_str());
    EXPECT_EQ(0, dirExists((dir / "x").c_str()));

    writeFile(dir / "dos.txt", "a\r\nb\r\n");
    if (system("command -v dos2unix >/dev/null") == 0) {
        EXPECT_EQ(1, calldos2unix((dir / "dos.txt").c_str()));
        EXPECT_EQ("a\nb\n", readFile(dir / "dos.txt"));
    }
    EXPECT_EQ(0, calldos2unix((dir / "missing.txt").c_str()));
}

TEST(ShellCommands, RefuseArgumentsThatDoNotFitTheBuffer)
{
    TempDir dir;
    // "mkdir -p " leaves 502 characters of argument in 512 bytes.
    std::string base = dir.path() + "/";
    std::string fits = base + std::string(502 - base.size(), 'a');
    std::string over = base + std::string(503 - base.size(), 'b');
    // Each name component is limited to 255 by the file system, so build
    // the path from several components of the same total length.
    auto split = [&](std::string p) {
        for (size_t i = base.size() + 200; i < p.size(); i += 200)
            p[i] = '/';
        return p;
    };
    EXPECT_EQ(1, makeDir(split(fits).c_str()));
    EXPECT_EQ(1, dirExists(split(fits).c_str()));
    EXPECT_EQ(0, makeDir(split(over).c_str()));
    EXPECT_EQ(0, dirExists(split(over).c_str()));
}

TEST(FileDescriptors, CreateReadSeekWrite)
{
    TempDir dir;
    mode_t old = umask(022);
    int fd = fd_create((dir / "new").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(5, fd_write(fd, "hello", 5));
    fd_close(fd);
    struct stat st;
    ASSERT_EQ(0, stat((dir / "new").c_str(), &st));
    EXPECT_EQ(0200u, st.st_mode & 0777u);

    writeFile(dir / "old", "previous content");
    chmod((dir / "old").c_str(), 0644);
    fd = fd_create((dir / "old").c_str());
    ASSERT_GE(fd, 0);
    fd_close(fd);
    ASSERT_EQ(0, stat((dir / "old").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777u);
    EXPECT_EQ(0, st.st_size);
    umask(old);

    writeFile(dir / "r", std::string(1000, 'x') + "tail");
    fd = fd_open((dir / "r").c_str());
    ASSERT_GE(fd, 0);
    char buf[16];
    EXPECT_EQ(0, fd_read(fd, buf, 0));
    EXPECT_EQ(1004 - 549, fd_seek(fd, -549, SEEK_END));
    EXPECT_EQ(-1, fd_seek(fd, -2000, SEEK_END));
    EXPECT_EQ(1000, fd_seek(fd, 1000, SEEK_SET));
    EXPECT_EQ(4, fd_read(fd, buf, sizeof buf));
    EXPECT_EQ(0, fd_read(fd, buf, sizeof buf)); // end of file
    fd_close(fd);
    EXPECT_EQ(-1, fd_open((dir / "missing").c_str()));
    EXPECT_EQ(-1, fd_create((dir / "missing/x").c_str()));
}

TEST(FileSystem, QueriesFollowLinks)
{
    TempDir dir;
    EXPECT_EQ(1, isAbsolutePath("/"));
    EXPECT_EQ(1, isAbsolutePath("/a/b"));
    EXPECT_EQ(0, isAbsolutePath("./a"));
    EXPECT_EQ(0, isAbsolutePath("a"));
    EXPECT_EQ(0, isAbsolutePath(""));

    writeFile(dir / "f", "");
    ASSERT_EQ(0, mkdir((dir / "d").c_str(), 0755));
    ASSERT_EQ(0, symlink((dir / "d").c_str(), (dir / "ld").c_str()));
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()));
    EXPECT_EQ(1, dirExists((dir / "d").c_str()));
    EXPECT_EQ(0, fileExists((dir / "d").c_str()));
    EXPECT_EQ(1, dirExists((dir / "ld").c_str()));
    EXPECT_EQ(0, fileExists((dir / "ld").c_str()));
    EXPECT_EQ(0, dirExists((dir / "dangling").c_str()));
    EXPECT_EQ(0, fileExists((dir / "dangling").c_str()));
    EXPECT_EQ(1, fileExists((dir / "f").c_str()));
    EXPECT_EQ(1, fileExists("/dev/null"));
    // Executable: a regular file with an execute bit, also through a link.
    EXPECT_EQ(0, isExecutableFile((dir / "f").c_str()));
    EXPECT_EQ(0, isExecutableFile((dir / "d").c_str()));
    EXPECT_EQ(0, isExecutableFile("/dev/null"));
    EXPECT_EQ(0, isExecutableFile((dir / "dangling").c_str()));
    ASSERT_EQ(0, chmod((dir / "f").c_str(), 0100));
    ASSERT_EQ(0, symlink((dir / "f").c_str(), (dir / "lf").c_str()));
    EXPECT_EQ(1, isExecutableFile((dir / "f").c_str()));
    EXPECT_EQ(1, isExecutableFile((dir / "lf").c_str()));
    ASSERT_EQ(0, chmod((dir / "d").c_str(), 0755));
    EXPECT_EQ(0, isExecutableFile((dir / "d").c_str()));

    EXPECT_EQ(0, makeFileReadable((dir / "f").c_str()));
    struct stat st;
    ASSERT_EQ(0, stat((dir / "f").c_str(), &st));
    EXPECT_EQ(0777u, st.st_mode & 0777u);
    EXPECT_EQ(-1, makeFileExecutable((dir / "missing").c_str()));

    makeSymLink("target text", (dir / "link").c_str());
    char text[64] = {};
    ASSERT_EQ(11, readlink((dir / "link").c_str(), text, sizeof text - 1));
    EXPECT_STREQ("target text", text);

    char tmp[8];
    memset(tmp, 'x', sizeof tmp);
    getTempDir(tmp);
    EXPECT_STREQ("/tmp", tmp);
    EXPECT_EQ('x', tmp[5]);

    char cwd[4096];
    ASSERT_EQ(0, changeDir(dir.path().c_str()));
    getCurrentDir(cwd, sizeof cwd);
    EXPECT_EQ(dir.path(), cwd);
    getCurrentDir(cwd, 3); // too small: empty, never past the buffer
    EXPECT_STREQ("", cwd);
    EXPECT_EQ(-1, changeDir((dir / "missing").c_str()));
    ASSERT_EQ(0, changeDir("/"));
}

TEST(FileSystem, PrivateDirIsExclusive)
{
    TempDir dir;
    int at = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(at, 0);
    mode_t old = umask(0);
    EXPECT_EQ(0, makePrivateDirAt(at, "w"));
    umask(old);
    struct stat st;
    ASSERT_EQ(0, stat((dir / "w").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    // Taken names are never adopted: a directory, a file, a dangling link.
    EXPECT_EQ(1, makePrivateDirAt(at, "w"));
    writeFile(dir / "f", "");
    EXPECT_EQ(1, makePrivateDirAt(at, "f"));
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()));
    EXPECT_EQ(1, makePrivateDirAt(at, "dangling"));
    EXPECT_EQ(0, dirExists((dir / "nowhere").c_str()));
    EXPECT_EQ(-1, makePrivateDirAt(at, "missing/w"));
    close(at);
}

TEST(FileSystem, SignalSafeDeleteRemovesTreeButNotLinkTargets)
{
    TempDir dir;
    ASSERT_EQ(1, makeDir((dir / "keep").c_str()));
    writeFile(dir / "keep/precious", "x");
    ASSERT_EQ(1, makeDir((dir / "t/a/b").c_str()));
    writeFile(dir / "t/a/b/f", "x");
    ASSERT_EQ(0, symlink((dir / "keep").c_str(), (dir / "t/link").c_str()));
    chmod((dir / "t/a/b/f").c_str(), 0);
    // Removed inside the folder's descriptor: the folder's path, here moved
    // away and replaced by a link to keep, is never taken.
    int at = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(at, 0);
    const std::string moved = dir.path() + ".moved";
    ASSERT_EQ(0, rename(dir.path().c_str(), moved.c_str()));
    ASSERT_EQ(0, symlink((moved + "/keep").c_str(), dir.path().c_str()));
    deleteTreeAt(at, "t");
    EXPECT_EQ(0, dirExists((moved + "/t").c_str()));
    EXPECT_EQ("x", readFile(moved + "/keep/precious"));
    ASSERT_EQ(0, unlink(dir.path().c_str()));
    ASSERT_EQ(0, rename(moved.c_str(), dir.path().c_str()));
    // A name that begins with '-' is a name, never an option.
    ASSERT_EQ(1, makeDir((dir / "-rf").c_str()));
    deleteTreeAt(at, "-rf");
    EXPECT_EQ(0, dirExists((dir / "-rf").c_str()));
    close(at);
}

TEST(ProcessAndEnvironment, EnvironmentReachesChildren)
{
    setInheritedEnv("TRELL_TEST_VAR", "one");
    EXPECT_EQ(0, executeProcess("test \"$TRELL_TEST_VAR\" = one"));
    setInheritedEnv("TRELL_TEST_VAR", "two");
    EXPECT_EQ(0, executeProcess("test \"$TRELL_TEST_VAR\" = two"));
    EXPECT_EQ(getpid(), getPid());
    EXPECT_EQ(0, getSignatureSize("/proc/self/exe"));
    EXPECT_STREQ("", EXE_EXT);
    EXPECT_STREQ("/dev/null", DEV_NULL);
    EXPECT_EQ('/', FILE_SEPARATOR);
}
