#include "os/osspecific.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <string>

#include "os/platform_parse.h"
#include "tests/child_sandbox.h"
#include "tests/test_util.h"

namespace {

class Identification : public ::testing::Test {
protected:
    // Identifies with a command that prints output (printf-escaped) and the
    // given release files; an empty text means the file does not exist.
    const char *identify(const std::string &output, const std::string &redhat,
                         const std::string &suse = "")
    {
        writeFile(dir / "uname.out", output);
        if (!redhat.empty())
            writeFile(dir / "redhat-release", redhat);
        if (!suse.empty())
            writeFile(dir / "SuSE-release", suse);
        command = "cat '" + (dir / "uname.out") + "'";
        info = {7, 7, 7};
        const char *r = getPfmInfoFrom(&info, command.c_str(), (dir / "redhat-release").c_str(),
                                       (dir / "SuSE-release").c_str(), "/none", "/none");
        unlink((dir / "redhat-release").c_str());
        unlink((dir / "SuSE-release").c_str());
        return r;
    }
    std::string msg(const char *r) { return r ? r : "(null)"; }
    void expectInfo(int dist, int release, int arch)
    {
        EXPECT_EQ(dist, info.distribution);
        EXPECT_EQ(release, info.release);
        EXPECT_EQ(arch, info.architecture);
    }
    TempDir dir;
    std::string command;
    PfmInfo info;
};

const std::string kRedHat5 = "Red Hat Enterprise Linux Server release 5.4 (Tikanga)\n";

} // namespace

TEST_F(Identification, ArchitectureNames)
{
    struct {
        const char *output;
        int arch;
        const char *message;
    } cases[] = {
        {"x86_64\n", 2, nullptr},
        {"X86_64\n", 2, nullptr},
        {"i386\n", 1, nullptr},
        {"ppc64\n", 3, nullptr},
        {"xppcx", 3, nullptr},
        {"x86_64 extra words\n", 2, nullptr},
        {"x86_64\tTAB", 2, nullptr},
        {"x86_64\x80", 2, nullptr}, // bytes 0x80-0xFF end the token too
        {"aarch64\n", 4, nullptr},
        {"arm64\n", 4, nullptr},
        {"s390x\n", 5, nullptr},
        {"aarch64x\n", 0, "Unknown processor architecture (aarch64x)"},
        {"s390\n", 0, "Unknown processor architecture (s390)"},
        {"ARM64\n", 0, "Unknown processor architecture (ARM64)"},
        {"i686\n", 0, "Unknown processor architecture (i686)"},
        {"i586", 0, "Unknown processor architecture (i586)"},
        {"powerpc\n", 0, "Unknown processor architecture (powerpc)"},
        {"x86_64x\n", 0, "Unknown processor architecture (x86_64x)"},
        {" x86_64\n", 0, "Unknown processor architecture ()"},
        {"\nx86_64\n", 0, "Unknown processor architecture ()"},
        {"", 0, "Failed reading uname output."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output);
        const char *r = identify(c.output, kRedHat5);
        EXPECT_EQ(c.message ? std::string(c.message) : "(null)", msg(r));
        expectInfo(3, 5, c.arch);
    }
}

TEST_F(Identification, LongTokensAreCutNeverOverflow)
{
    // The message buffer holds 127 characters: the fixed text takes 33, so 94
    // of the token fit.
    for (size_t len : {93u, 94u, 95u, 2047u, 2048u, 3000u}) {
        SCOPED_TRACE(len);
        const char *r = identify(std::string(len, 'q'), kRedHat5);
        std::string expected = "Unknown processor architecture (" +
                               std::string(std::min<size_t>(len, 94), 'q') + ")";
        EXPECT_EQ(expected, msg(r));
        EXPECT_LE(strlen(r), 127u);
    }
    // A 2,047-byte token of "ppc" at its end is still whole; at byte 2,048 it
    // is beyond what is kept.
    EXPECT_EQ("(null)", msg(identify(std::string(2044, 'a') + "ppc", kRedHat5)));
    EXPECT_EQ(3, info.architecture);
    const char *r = identify(std::string(2045, 'a') + "ppc", kRedHat5);
    EXPECT_NE(nullptr, r);
    EXPECT_EQ(0, info.architecture);
}

TEST_F(Identification, CommandFailures)
{
    info = {7, 7, 7};
    writeFile(dir / "redhat-release", kRedHat5);
    const char *r = getPfmInfoFrom(&info, "false", (dir / "redhat-release").c_str(),
                                   (dir / "none").c_str(), "/none", "/none");
    EXPECT_EQ("Failed executing uname.", msg(r));
    expectInfo(3, 5, 0);
    // Without a distribution, its message wins over the command's.
    r = getPfmInfoFrom(&info, "false", (dir / "none").c_str(), (dir / "none").c_str(), "/none",
                       "/none");
    EXPECT_EQ("Unknown distribution.", msg(r));
    expectInfo(0, -1, 0);
}

TEST_F(Identification, LeavesNoTemporaryFiles)
{
    // The command learns the name of the file its output goes to, so that
    // the test can look for exactly that file (other runs use /tmp too).
    writeFile(dir / "redhat-release", kRedHat5);
    std::string rh = dir / "redhat-release";
    std::string rec = dir / "name";
    const char *r =
        getPfmInfoFrom(&info, "readlink /proc/self/fd/1", rh.c_str(), "/none", "/none", "/none");
    std::string message = msg(r);
    ASSERT_EQ(0u, message.find("Unknown processor architecture (/tmp/trell_uname")) << message;
    std::string name = message.substr(32, message.size() - 33);
    EXPECT_NE(0, access(name.c_str(), F_OK)) << name;

    // fd 3 keeps the output file while readlink's own output goes elsewhere.
    for (const char *tail : {"; :", "; false"}) {
        SCOPED_TRACE(tail);
        std::string cmd = "{ exec 3>&1; readlink /proc/self/fd/3 >'" + rec + "'" + tail + "; }";
        r = getPfmInfoFrom(&info, cmd.c_str(), rh.c_str(), "/none", "/none", "/none");
        EXPECT_EQ(tail[2] == 'f' ? "Failed executing uname." : "Failed reading uname output.",
                  msg(r));
        name = readFile(rec);
        ASSERT_EQ(0u, name.find("/tmp/trell_uname")) << name;
        name.pop_back(); // the line end
        EXPECT_NE(0, access(name.c_str(), F_OK)) << name;
    }
}

TEST_F(Identification, ReleaseFiles)
{
    // Red Hat wins when both exist; the number's integer part is the release.
    EXPECT_EQ("(null)", msg(identify("x86_64\n", kRedHat5, "SUSE\nVERSION = 10\n")));
    expectInfo(3, 5, 2);
    EXPECT_EQ("(null)", msg(identify("x86_64\n", "", "SUSE Linux\nVERSION = 10\nPATCHLEVEL = 2\n")));
    expectInfo(2, 10, 2);
    EXPECT_EQ("(null)", msg(identify("x86_64\n", "", "Novell Linux Desktop 9\nVERSION = 9\n")));
    expectInfo(4, 9, 2);
    EXPECT_EQ("(null)", msg(identify("x86_64\n", "", "NOVELL\nVERSION = 9\n")));
    expectInfo(2, 9, 2);
    EXPECT_EQ("(null)", msg(identify("x86_64\n", "", " Novell\nVERSION = 9\n")));
    expectInfo(2, 9, 2);
    // The number runs to the next blank; strtol skips leading line ends.
    EXPECT_EQ("(null)", msg(identify("i386", "", "VERSION = 10\nNEXT LINE\n")));
    expectInfo(2, 10, 1);
    EXPECT_EQ("(null)", msg(identify("i386", "release  5")));
    expectInfo(3, 0, 1);
    EXPECT_EQ("(null)", msg(identify("i386", "release abc 5")));
    expectInfo(3, 0, 1);
    EXPECT_EQ("(null)", msg(identify("i386", "release 7")));
    expectInfo(3, 7, 1);
    EXPECT_EQ("(null)", msg(identify("i386", "release -3x")));
    expectInfo(3, -3, 1);
    EXPECT_EQ("Failed locating release token.", msg(identify("x86_64", "Release 5\n")));
    expectInfo(3, -1, 2);
    EXPECT_EQ("Failed locating release token.", msg(identify("x86_64", "", "VERSION=10\n")));
    expectInfo(2, -1, 2);
    // Only the first 2,047 bytes of the file are looked at.
    EXPECT_EQ("(null)", msg(identify("x86_64", std::string(2035, 'x') + "release 6")));
    expectInfo(3, 6, 2);
    EXPECT_EQ("Failed locating release token.",
              msg(identify("x86_64", std::string(2040, 'x') + "release 6 " + std::string(950, 'y'))));
}

TEST_F(Identification, ReleaseFileShapes)
{
    // An empty file, a directory in its place, an unreadable file.
    writeFile(dir / "redhat-release", "");
    info = {};
    std::string cmd = "echo x86_64";
    EXPECT_EQ("Failed reading release file.",
              msg(getPfmInfoFrom(&info, cmd.c_str(), (dir / "redhat-release").c_str(), "/none",
                                 "/none", "/none")));
    expectInfo(3, -1, 2);
    unlink((dir / "redhat-release").c_str());
    ASSERT_EQ(0, mkdir((dir / "redhat-release").c_str(), 0755));
    writeFile(dir / "SuSE-release", "VERSION = 11\n");
    EXPECT_EQ("(null)", msg(getPfmInfoFrom(&info, cmd.c_str(), (dir / "redhat-release").c_str(),
                                           (dir / "SuSE-release").c_str(), "/none", "/none")));
    expectInfo(2, 11, 2);
    ASSERT_EQ(0, mkdir((dir / "suse-dir").c_str(), 0755));
    EXPECT_EQ("Unknown distribution.",
              msg(getPfmInfoFrom(&info, "echo i686", (dir / "redhat-release").c_str(),
                                 (dir / "suse-dir").c_str(), "/none", "/none")));
    expectInfo(0, -1, 0);
    // A file the process may not read: root's power over file modes is
    // given up in a child, so that root meets it too.
    writeFile(dir / "locked", "release 5");
    chmod((dir / "locked").c_str(), 0);
    const ChildReport locked = runInChild([&](Observations &o) {
        dropFileModeOverride();
        o["message"] = msg(getPfmInfoFrom(&info, cmd.c_str(), (dir / "locked").c_str(), "/none",
                                          "/none", "/none"));
    });
    ASSERT_EQ("", locked.failure);
    EXPECT_EQ("Failed opening release file.", locked.values.at("message"));
}

// The parsing alone, called again and again with unknown names (as the fuzz
// target does): each new message releases the one before, so the heap does
// not grow with the calls.  The ASan build's leak check sees the same.
TEST(ArchitectureParsing, AnotherUnknownNameReleasesThePreviousMessage)
{
    char buf[PFM_BUFFER_SIZE];
    PfmInfo info = {0, -1, 0};
    const int calls = 2000;
    struct mallinfo2 before = mallinfo2();
    for (int i = 0; i < calls; i++) {
        memcpy(buf, "i686\n", 5);
        const char *m = pfmClassifyArchitecture(&info, buf, 5);
        ASSERT_STREQ("Unknown processor architecture (i686)", m);
    }
    struct mallinfo2 after = mallinfo2();
    // 2,000 kept messages would hold at least 76,000 bytes.
    EXPECT_LT((long long)after.uordblks - (long long)before.uordblks, 4096);
    // A known name after them is classified as ever.
    memcpy(buf, "ppc\n", 4);
    EXPECT_EQ(nullptr, pfmClassifyArchitecture(&info, buf, 4));
    EXPECT_EQ(3, info.architecture);
}
