#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>

#include "os/osspecific.h"
#include "os/platform_parse.h"
#include "tests/child_sandbox.h"
#include "tests/test_util.h"

namespace {

std::string msg(const char *r) { return r ? r : "(null)"; }

struct Outcome {
    std::string message;
    int distribution;
    int release;
    bool operator==(const Outcome &o) const
    {
        return message == o.message && distribution == o.distribution && release == o.release;
    }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
    return os << "{" << o.message << ", " << o.distribution << ", " << o.release << "}";
}

// The text fed in pieces of `piece` bytes (0: at once), then completed.
Outcome parse(const std::string &text, size_t piece = 0)
{
    static PfmOsRelease s;
    memset(&s, 0, sizeof s);
    if (piece == 0)
        piece = text.size() + 1;
    for (size_t at = 0; at < text.size(); at += piece)
        pfmOsReleaseFeed(&s, text.data() + at, (int)std::min(piece, text.size() - at));
    pfmOsReleaseFeed(&s, "\n", 1);
    PfmInfo info = {0, -1, 9};
    const char *r = pfmOsReleaseResult(&info, &s);
    EXPECT_EQ(9, info.architecture);
    return {msg(r), info.distribution, info.release};
}

const Outcome kUnknown = {"Unknown distribution.", 0, -1};

const std::string kSles155 = "NAME=\"SLES\"\nVERSION=\"15-SP5\"\nVERSION_ID=\"15.5\"\n"
                             "PRETTY_NAME=\"SUSE Linux Enterprise Server 15 SP5\"\nID=\"sles\"\n"
                             "ID_LIKE=\"suse\"\nANSI_COLOR=\"0;32\"\n"
                             "CPE_NAME=\"cpe:/o:suse:sles:15:sp5\"\n";
const std::string kRocky93 = "NAME=\"Rocky Linux\"\nVERSION=\"9.3 (Blue Onyx)\"\nID=\"rocky\"\n"
                             "ID_LIKE=\"rhel centos fedora\"\nVERSION_ID=\"9.3\"\n"
                             "PLATFORM_ID=\"platform:el9\"\n";
const std::string kUbuntu2204 = "PRETTY_NAME=\"Ubuntu 22.04.4 LTS\"\nNAME=\"Ubuntu\"\n"
                                "VERSION_ID=\"22.04\"\nVERSION=\"22.04.4 LTS (Jammy Jellyfish)\"\n"
                                "VERSION_CODENAME=jammy\nID=ubuntu\nID_LIKE=debian\n"
                                "UBUNTU_CODENAME=jammy\n";
const std::string kDebian12 = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian "
                              "GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n"
                              "VERSION_CODENAME=bookworm\nID=debian\n";

} // namespace

TEST(OsRelease, SystemsOfToday)
{
    struct {
        const char *text;
        Outcome want;
    } cases[] = {
        {"ID=opensuse-leap\nID_LIKE=\"suse opensuse\"\nVERSION_ID=\"15.5\"\n", {"(null)", 2, 15}},
        {"ID=\"opensuse-tumbleweed\"\nVERSION_ID=\"20240101\"\n", {"(null)", 2, 20240101}},
        {"ID=sled\nVERSION_ID=\"12.5\"\n", {"(null)", 2, 12}},
        {"ID=\"rhel\"\nVERSION_ID=\"9.3\"\n", {"(null)", 3, 9}},
        {"ID=\"almalinux\"\nID_LIKE=\"rhel centos\"\nVERSION_ID=\"8.9\"\n", {"(null)", 3, 8}},
        {"ID=\"ol\"\nID_LIKE=\"fedora\"\nVERSION_ID=\"7.9\"\n", {"(null)", 3, 7}},
        {"ID=fedora\nVERSION_ID=39\n", {"(null)", 3, 39}},
        {"ID=\"centos\"\nVERSION_ID=\"9\"\n", {"(null)", 3, 9}},
        // ID first, then the first known word of ID_LIKE.
        {"ID=myos\nID_LIKE=\"arch suse rhel\"\nVERSION_ID=2\n", {"(null)", 2, 2}},
        {"ID=rhel\nID_LIKE=suse\nVERSION_ID=8\n", {"(null)", 3, 8}},
        // Ubuntu names Debian in ID_LIKE, its derivatives name Ubuntu first.
        {"ID=debian\nVERSION_ID=\"11\"\n", {"(null)", 5, 11}},
        {"ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"22.04\"\n", {"(null)", 6, 22}},
        {"ID=linuxmint\nID_LIKE=\"ubuntu debian\"\nVERSION_ID=\"21.3\"\n", {"(null)", 6, 21}},
        {"ID=raspbian\nID_LIKE=\"debian ubuntu\"\nVERSION_ID=\"12\"\n", {"(null)", 5, 12}},
        {"ID=Ubuntu\nID_LIKE=\"Debian ubuntux\"\nVERSION_ID=1\n", kUnknown},
        // Debian testing has no VERSION_ID.
        {"ID=debian\nVERSION_CODENAME=trixie\n", {"Failed locating release token.", 5, -1}},
        // Names match whole and case-sensitively; "opensuse-" starts a family.
        {"ID=rhelx\nID_LIKE=\"xrhel centOS SLES olx\"\nVERSION_ID=1\n", kUnknown},
        {"ID=opensuse-\nVERSION_ID=1\n", {"(null)", 2, 1}},
        {"ID=opensuse_leap\nVERSION_ID=1\n", kUnknown},
        {"VERSION_ID=15\n", kUnknown},
        // The release: the leading integer; none gives 0; no VERSION_ID at all
        // is a missing release token.
        {"ID=sles\nVERSION_ID=\"15-SP5\"\n", {"(null)", 2, 15}},
        {"ID=sles\nVERSION_ID=\"SP5\"\n", {"(null)", 2, 0}},
        {"ID=sles\n", {"Failed locating release token.", 2, -1}},
        {"ID=sles\nVERSION_ID=\"\"\n", {"Failed locating release token.", 2, -1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.want, parse(c.text));
    }
    EXPECT_EQ((Outcome{"(null)", 2, 15}), parse(kSles155));
    EXPECT_EQ((Outcome{"(null)", 3, 9}), parse(kRocky93));
    EXPECT_EQ((Outcome{"(null)", 5, 12}), parse(kDebian12));
    EXPECT_EQ((Outcome{"(null)", 6, 22}), parse(kUbuntu2204));
}

TEST(OsRelease, ShellQuotingCommentsAndDamage)
{
    struct {
        const char *text;
        Outcome want;
    } cases[] = {
        {"ID='sles'\nVERSION_ID='15'\n", {"(null)", 2, 15}},
        {"ID=s'l'\"es\"\nVERSION_ID=15\n", {"(null)", 2, 15}}, // one shell word
        {"ID=\"sl\\es\"\nVERSION_ID=15\n", kUnknown},           // the backslash stays
        {"ID=\"sl\\\"es\"\nVERSION_ID=15\n", kUnknown},         // sl"es
        {"ID=s\\les\nVERSION_ID=15\n", {"(null)", 2, 15}},      // unquoted: \l is l
        {"ID_LIKE=\"a \\\"b\\\" \\$x rhel\"\nVERSION_ID=7\n", {"(null)", 3, 7}},
        {"  \tID=rhel # a comment\nVERSION_ID=7 trailing words\n", {"(null)", 3, 7}},
        {"# ID=rhel\n\n\nVERSION_ID=7\n", kUnknown},
        {"ID =rhel\nVERSION_ID=7\n", kUnknown},
        {"ID=sles\r\nVERSION_ID=15\r\n", {"(null)", 2, 15}},
        {"ID=\"sles\nVERSION_ID=15\n", kUnknown},                  // unterminated quote
        {"ID=rhel\nID=\"sles\nVERSION_ID=15\n", {"(null)", 3, 15}}, // keeps the good value
        {"ID=debian\nID=rhel\nVERSION_ID=8\n", {"(null)", 3, 8}},   // the last one counts
        {"ID=rhel\nVERSION_ID=8", {"(null)", 3, 8}},                 // no final line end
        {"\xff\xfe\x01ID=rhel\n\x80\x90=\x7f\nID=rhel\x80\nVERSION_ID=8\n", kUnknown},
        {"ID=\xc3\xa9rhel\nID_LIKE=\"\xff rhel\"\nVERSION_ID=8\n", {"(null)", 3, 8}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.want, parse(c.text));
    }
    // A NUL ends its line and drops the rest of it: nothing hides behind it.
    EXPECT_EQ(kUnknown, parse(std::string("ID=rh\0el\nVERSION_ID=8\n", 22)));
    EXPECT_EQ((Outcome{"(null)", 2, 15}),
              parse(std::string("ID=rhel\0ID=debian\nID=sles\nVERSION_ID=15\n", 40)));
    // The same text in any pieces gives the same answer.
    for (size_t piece : {1u, 2u, 7u, 64u})
        EXPECT_EQ((Outcome{"(null)", 3, 9}), parse(kRocky93, piece)) << piece;
}

TEST(OsRelease, BoundsOfLinesAndFields)
{
    // A line keeps 2,047 bytes; a longer one is dropped whole, and the lines
    // after it are read as ever (a 200 KB line too).
    auto padded = [](size_t length) { return std::string(length - 7, ' ') + "ID=rhel\n"; };
    EXPECT_EQ((Outcome{"(null)", 3, 5}), parse(padded(2047) + "VERSION_ID=5\n"));
    EXPECT_EQ(kUnknown, parse(padded(2048) + "VERSION_ID=5\n"));
    EXPECT_EQ(kUnknown, parse(padded(2049) + "VERSION_ID=5\n", 100));
    EXPECT_EQ((Outcome{"(null)", 2, 15}),
              parse("NAME=" + std::string(200 * 1024, 'n') + "\n" + kSles155, 2048));
    EXPECT_EQ((Outcome{"(null)", 2, 15}),
              parse("ID=\"" + std::string(200 * 1024, 'x') + "\n" + kSles155, 4096));
    // A value that does not fit its field is not taken, so that a cut name
    // cannot name another system.
    std::string like = "ID_LIKE=\"" + std::string(250, 'x') + " rhel\"\nVERSION_ID=1\n";
    EXPECT_EQ((Outcome{"(null)", 3, 1}), parse(like)); // 255 bytes
    like.insert(9, "y");
    EXPECT_EQ(kUnknown, parse(like)); // 256 bytes
    std::string id = "opensuse-" + std::string(54, 'z');
    EXPECT_EQ((Outcome{"(null)", 2, 1}), parse("ID=" + id + "\nVERSION_ID=1\n")); // 63
    EXPECT_EQ(kUnknown, parse("ID=" + id + "z\nVERSION_ID=1\n"));                 // 64
    std::string version(63, '9');
    version[0] = '4';
    version[1] = '.';
    EXPECT_EQ((Outcome{"(null)", 3, 4}), parse("ID=ol\nVERSION_ID=" + version + "\n"));
    EXPECT_EQ((Outcome{"Failed locating release token.", 3, -1}),
              parse("ID=ol\nVERSION_ID=" + version + "9\n"));
}

namespace {

class OsReleaseHost : public ::testing::Test {
protected:
    // Identifies with "uname -i" printing output; the old-style release files
    // are absent; os-release texts as given (nullptr: no such file).
    const char *identify(const char *etc, const char *usrLib, const std::string &output = "x86_64")
    {
        if (etc != nullptr)
            writeFile(dir / "etc-os-release", etc);
        if (usrLib != nullptr)
            writeFile(dir / "usr-os-release", usrLib);
        command = "echo '" + output + "'";
        info = {7, 7, 7};
        return identifyWith((dir / "etc-os-release").c_str());
    }
    const char *identifyWith(const char *etcPath)
    {
        return getPfmInfoFrom(&info, command.c_str(), (dir / "none").c_str(),
                              (dir / "none").c_str(), etcPath, (dir / "usr-os-release").c_str());
    }
    // The record's distribution, release and architecture.
    std::tuple<int, int, int> fields() const
    {
        return {info.distribution, info.release, info.architecture};
    }
    TempDir dir;
    std::string command;
    PfmInfo info;
};

} // namespace

TEST_F(OsReleaseHost, WhichFileIsRead)
{
    // /etc wins; /usr/lib serves when /etc has none; neither: unknown.
    EXPECT_EQ("(null)", msg(identify(kSles155.c_str(), kRocky93.c_str())));
    EXPECT_EQ(std::make_tuple(2, 15, 2), fields());
    unlink((dir / "etc-os-release").c_str());
    EXPECT_EQ("(null)", msg(identify(nullptr, kRocky93.c_str(), "i386")));
    EXPECT_EQ(std::make_tuple(3, 9, 1), fields());
    unlink((dir / "usr-os-release").c_str());
    EXPECT_EQ("Unknown distribution.", msg(identify(nullptr, nullptr)));
    EXPECT_EQ(std::make_tuple(0, -1, 2), fields());
    // A dangling link or a folder at /etc's place counts as absent.
    ASSERT_EQ(0, symlink("nowhere", (dir / "etc-os-release").c_str()));
    EXPECT_EQ("(null)", msg(identify(nullptr, kRocky93.c_str())));
    EXPECT_EQ(std::make_tuple(3, 9, 2), fields());
    unlink((dir / "etc-os-release").c_str());
    ASSERT_EQ(0, mkdir((dir / "etc-os-release").c_str(), 0755));
    EXPECT_EQ("(null)", msg(identify(nullptr, kSles155.c_str())));
    EXPECT_EQ(std::make_tuple(2, 15, 2), fields());
    // The architecture's message comes through once the distribution is known.
    EXPECT_EQ("Unknown processor architecture (sparc)",
              msg(identify(nullptr, kSles155.c_str(), "sparc")));
    EXPECT_EQ(std::make_tuple(2, 15, 0), fields());
    // The old-style files still win over os-release.
    writeFile(dir / "rh", "Red Hat Enterprise Linux release 8.2 (Ootpa)\n");
    EXPECT_EQ("Unknown processor architecture (sparc)",
              msg(getPfmInfoFrom(&info, command.c_str(), (dir / "rh").c_str(),
                                           (dir / "none").c_str(), (dir / "none").c_str(),
                                           (dir / "usr-os-release").c_str())));
    EXPECT_EQ(std::make_tuple(3, 8, 0), fields());
}

TEST_F(OsReleaseHost, FilesOfAnySizeOrKindNeverHang)
{
    // A FIFO nobody writes to: refused at once, not waited on.
    std::string fifo = dir / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    command = "echo x86_64";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("Failed reading release file.", msg(identifyWith(fifo.c_str())));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(std::make_tuple(0, -1, 2), fields());
    // A character device that never ends.
    EXPECT_EQ("Failed reading release file.", msg(identifyWith("/dev/zero")));
    // A large file is read to 1 MiB and no further.
    std::string filler = "# " + std::string(1000, '#') + "\n";
    std::string within;
    while (within.size() + filler.size() + kSles155.size() <= 1024 * 1024)
        within += filler;
    std::string beyond = within + filler;
    EXPECT_EQ("(null)", msg(identify((within + kSles155).c_str(), nullptr)));
    EXPECT_EQ(std::make_tuple(2, 15, 2), fields());
    EXPECT_EQ("Unknown distribution.", msg(identify((beyond + kSles155).c_str(), nullptr)));
    // A line cut at the limit is not taken, though what was read looks whole.
    const size_t limit = 1024 * 1024;
    for (std::string tail : {"\nVERSION_ID=15\nID=rhel", "\nVERSION_ID=15\nID=rhel\n"}) {
        std::string text = std::string(limit - tail.size(), '#') + tail + "x\n";
        bool cut = tail.back() != '\n';
        EXPECT_EQ(cut ? "Unknown distribution." : "(null)", msg(identify(text.c_str(), nullptr)));
    }
    // A file the process may not read, for root too (see platform_test.cc).
    writeFile(dir / "locked", kSles155);
    chmod((dir / "locked").c_str(), 0);
    const ChildReport locked = runInChild([&](Observations &o) {
        dropFileModeOverride();
        o["message"] = msg(identifyWith((dir / "locked").c_str()));
    });
    ASSERT_EQ("", locked.failure);
    EXPECT_EQ("Failed opening release file.", locked.values.at("message"));
}

TEST(MachineNames, WhenTheHardwarePlatformIsUnknown)
{
    struct {
        const char *machine;
        int arch;
    } cases[] = {{"i386", 1},  {"i486", 1},    {"i586", 1},    {"i686", 1},  {"x86_64", 2},
                 {"ppc", 3},   {"ppc64", 3},   {"ppc64le", 3}, {"X86_64", 0}, {"i786", 0},
                 {"ppcx", 0},  {"powerpc", 0}, {"aarch64", 4}, {"arm64", 4},  {"s390x", 5},
                 {"s390", 0},  {"armv7l", 0},  {"aarch64_be", 0}, {"AArch64", 0}, {"", 0},
                 {"i68", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.machine);
        PfmInfo info = {7, 7, 0};
        const char *r = pfmClassifyMachine(&info, c.machine);
        EXPECT_EQ(c.arch, info.architecture);
        EXPECT_EQ(c.arch != 0 ? "(null)"
                              : "Unknown processor architecture (" + std::string(c.machine) + ")",
                  msg(r));
        EXPECT_EQ(7, info.distribution);
    }
    // "uname -i" saying exactly "unknown" hands over to this host's kernel.
    struct utsname self;
    ASSERT_EQ(0, uname(&self));
    PfmInfo want = {0, -1, 0};
    std::string wantMessage = msg(pfmClassifyMachine(&want, self.machine));
    for (const char *output : {"unknown", "unknown\n", "unknown extra\n"}) {
        char buf[PFM_BUFFER_SIZE];
        PfmInfo info = {0, -1, 0};
        memcpy(buf, output, strlen(output));
        EXPECT_EQ(wantMessage, msg(pfmClassifyArchitecture(&info, buf, (int)strlen(output))));
        EXPECT_EQ(want.architecture, info.architecture);
    }
    // Anything else keeps the old rule and names itself.
    for (const char *output : {"Unknown", "unknownx", " unknown"}) {
        char buf[PFM_BUFFER_SIZE];
        PfmInfo info = {0, -1, 0};
        memcpy(buf, output, strlen(output));
        EXPECT_NE(nullptr, pfmClassifyArchitecture(&info, buf, (int)strlen(output)));
        EXPECT_EQ(0, info.architecture);
    }
}
