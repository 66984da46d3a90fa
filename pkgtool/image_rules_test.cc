// What an image must hold for a record's command to run from it.
#include "image_rules.h"

#include <gtest/gtest.h>

using namespace pkgtool;

namespace {

std::vector<ZipEntry> entries(std::initializer_list<const char *> names)
{
    std::vector<ZipEntry> out;
    for (const char *n : names) {
        ZipEntry e;
        e.name = n;
        e.folder = e.name.back() == '/';
        out.push_back(e);
    }
    return out;
}

CommandFit fit(const std::string &command, const std::vector<ZipEntry> &image)
{
    Record r;
    r.command = command;
    return commandFit(r, image);
}

} // namespace

TEST(CommandFit, FoundAtTheTopAndBelowAFolder)
{
    const auto image = entries({"tool", "lib/", "lib/helper.sh", "deep/x/y"});
    for (const char *command : {"./tool", "./tool --flag", "./tool\targ", "././tool", ".//tool"}) {
        const CommandFit f = fit(command, image);
        EXPECT_TRUE(f.found) << command;
        EXPECT_EQ("", f.note) << command;
    }
    const CommandFit below = fit("./lib/helper.sh", image);
    EXPECT_TRUE(below.found);
    EXPECT_NE(std::string::npos, below.note.find("lies below the folder 'lib/'")) << below.note;
    // A file whose folders have no entries of their own is still found.
    EXPECT_TRUE(fit("./deep/x/y", image).found);
}

TEST(CommandFit, NotFound)
{
    const auto image = entries({"tool", "lib/", "lib/helper.sh"});
    const struct {
        const char *command;
        const char *note;
    } cases[] = {
        {"./missing", "command './missing' names no file in the image"},
        {"./tool2", "command './tool2' names no file in the image"},
        {"./too", "command './too' names no file in the image"},
        {"./lib", "command './lib' names a folder of the image, not a file"},
        {"./lib/", "command './lib/' names a folder of the image, not a file"},
        {"./../tool", "command './../tool' leaves the image"},
        {"./lib/../../tool", "command './lib/../../tool' leaves the image"},
        {"./", "command './' names no file"},
        {"./ tool", "command './' names no file"},
        {"./to\x1bol", "command './to\\x1Bol' names no file in the image"},
    };
    for (const auto &c : cases) {
        const CommandFit f = fit(c.command, image);
        EXPECT_FALSE(f.found) << c.command;
        EXPECT_EQ(c.note, f.note) << c.command;
    }
    EXPECT_FALSE(fit("./tool", {}).found);
}

TEST(ImageProblems, EmptyImageAndTopLevelDashes)
{
    std::vector<std::string> problems;
    imageProblems({}, problems);
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ("it holds no entries: there is nothing to run", problems[0]);

    problems.clear();
    imageProblems(entries({"tool", "a-b", "sub/-x", "sub/", "x-"}), problems);
    EXPECT_EQ(std::vector<std::string>{}, problems);

    // Each top-level name once, also when only deeper entries bring it.
    problems.clear();
    imageProblems(entries({"tool", "-x", "--r/a", "--r/b", "-\x07/"}), problems);
    ASSERT_EQ(3u, problems.size());
    // In byte order of the names.
    EXPECT_EQ(0u, problems[0].find("entry '-\\x07' begins with \"-\"")) << problems[0];
    EXPECT_EQ(0u, problems[1].find("entry '--r' begins with \"-\": the launcher's "
                                   "\"chmod 777 *\" would take it for an option"))
        << problems[1];
    EXPECT_EQ(0u, problems[2].find("entry '-x' begins with \"-\"")) << problems[2];
}

TEST(ImageProblems, WhichRecordsRunWithWhichArchive)
{
    Record x86, x64, ppc;
    x86.architecture = PKG_ARCH_X86;
    x64.architecture = PKG_ARCH_X86_64;
    ppc.architecture = PKG_ARCH_PPC;
    // A single image serves every record.
    for (size_t i = 0; i < 3; i++) {
        EXPECT_TRUE(recordRunsWith(i, x86, 0));
        EXPECT_TRUE(recordRunsWith(i, ppc, 0));
    }
    // The first record is the fall-back with either archive of a pair.
    EXPECT_TRUE(recordRunsWith(0, ppc, PKG_ARCH_X86));
    EXPECT_TRUE(recordRunsWith(0, x86, PKG_ARCH_X86_64));
    EXPECT_TRUE(recordRunsWith(1, x86, PKG_ARCH_X86));
    EXPECT_FALSE(recordRunsWith(1, x86, PKG_ARCH_X86_64));
    EXPECT_TRUE(recordRunsWith(2, x64, PKG_ARCH_X86_64));
    EXPECT_FALSE(recordRunsWith(2, x64, PKG_ARCH_X86));
    EXPECT_FALSE(recordRunsWith(1, ppc, PKG_ARCH_X86));
    EXPECT_FALSE(recordRunsWith(1, ppc, PKG_ARCH_X86_64));
}
