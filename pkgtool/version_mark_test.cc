#include "version_mark.h"

#include <gtest/gtest.h>
#include <string>

#include "../common/pkglayout.h"
#include "trell_version.h"

namespace pkgtool {
namespace {

std::string find(const std::string &bytes, const char *mark = TRELL_LAUNCHER_VERSION_MARK)
{
    return findVersion(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), mark);
}

const std::string kMark = TRELL_LAUNCHER_VERSION_MARK;
const std::string kNul(1, '\0');

TEST(VersionMark, MarksOfTheStubs)
{
    EXPECT_STREQ(TRELL_LAUNCHER_VERSION_MARK, versionMarkOf(PKG_ELEM_LAUNCHER));
    EXPECT_STREQ(TRELL_UNZIP_VERSION_MARK, versionMarkOf(PKG_ELEM_UNZIP));
    EXPECT_EQ(nullptr, versionMarkOf(PKG_ELEM_IMAGE));
    EXPECT_STRNE(versionMarkOf(PKG_ELEM_LAUNCHER), versionMarkOf(PKG_ELEM_UNZIP));
}

TEST(VersionMark, FoundAmongOtherBytes)
{
    const std::string before("\x7f" "ELF\0\0\x01junk", 12);
    EXPECT_EQ("2.17.4", find(before + kMark + "2.17.4" + kNul + "after"));
    EXPECT_EQ("1.0.0-rc1", find(kMark + "1.0.0-rc1" + kNul));
    // The other stub's mark is no match.
    EXPECT_EQ("", find(std::string(TRELL_UNZIP_VERSION_MARK) + "1.0" + kNul));
    EXPECT_EQ("1.0", find(std::string(TRELL_UNZIP_VERSION_MARK) + "1.0" + kNul,
                          TRELL_UNZIP_VERSION_MARK));
}

TEST(VersionMark, TextBounds)
{
    const std::string longest(VERSION_TEXT_MAX, '7');
    EXPECT_EQ(longest, find(kMark + longest + kNul));
    EXPECT_EQ("", find(kMark + longest + "7" + kNul));
    EXPECT_EQ(longest.substr(1), find(kMark + longest.substr(1) + kNul));
    EXPECT_EQ("", find(kMark + kNul));
    // Cut before its NUL, or with the mark itself cut short.
    EXPECT_EQ("", find(kMark + "1.0"));
    EXPECT_EQ("", find(kMark));
    EXPECT_EQ("", find(kMark.substr(0, kMark.size() - 1)));
    EXPECT_EQ("", find(""));
    // A blank or a control character ends no version.
    EXPECT_EQ("", find(kMark + "1.0 beta" + kNul));
    EXPECT_EQ("", find(kMark + "1.0\n" + kNul));
}

TEST(VersionMark, FirstSoundOccurrenceWins)
{
    EXPECT_EQ("3.1", find(kMark + "\x01" + kMark + "3.1" + kNul + kMark + "4.0" + kNul));
    EXPECT_EQ("2.0", find(kMark + "2.0" + kNul + kMark + "3.0" + kNul));
    // A mark whose text is a second mark (ended by its blank).
    EXPECT_EQ("5", find(kMark + kMark + "5" + kNul));
}

// The list a stub carries is input like any other bytes of a package: what
// is not a list of five-field entries records nothing.
TEST(LibraryMark, ReadBackOrNone)
{
    const std::string mark = TRELL_LIBRARIES_MARK;
    auto libraries = [](const std::string &bytes) {
        std::vector<StubLibrary> out;
        const bool found = findLibraries(reinterpret_cast<const unsigned char *>(bytes.data()),
                                         bytes.size(), out);
        std::vector<std::string> flat;
        for (const StubLibrary &l : out)
            flat.push_back(l.name + "|" + l.version + "|" + l.debPackage + "|" + l.debVersion +
                           "|" + l.debArchitecture);
        EXPECT_EQ(found, !out.empty()) << bytes;
        return flat;
    };
    EXPECT_EQ((std::vector<std::string>{"musl|1.2.3|musl-dev|1.2.3-1|amd64",
                                        "libsodium|1.0.18|libsodium|1:1.0.18-1+b1|source"}),
              libraries("\x7f" "ELF" + mark +
                        "musl 1.2.3 musl-dev 1.2.3-1 amd64;"
                        "libsodium 1.0.18 libsodium 1:1.0.18-1+b1 source" + kNul + "after"));
    // "-" for what the build could not tell; a name is always needed.
    EXPECT_EQ(std::vector<std::string>{"zlib||||"}, libraries(mark + "zlib - - - -" + kNul));
    EXPECT_EQ(std::vector<std::string>{}, libraries(mark + "- 1 a 1 b" + kNul));
    // Four or six fields, an empty field or entry, no NUL, a control
    // character, a list past its limit: none.
    for (const std::string &bad :
         {mark + "musl 1 a 1" + kNul, mark + "musl 1 a 1 b c" + kNul, mark + "musl  1 a 1" + kNul,
          mark + "musl 1 a 1 b;" + kNul, mark + "musl 1 a 1 b", mark + "musl 1 a\t1 b" + kNul,
          mark + "musl 1 a 1 " + std::string(LIBRARIES_TEXT_MAX, 'b') + kNul, mark + kNul})
        EXPECT_EQ(std::vector<std::string>{}, libraries(bad)) << bad;
    // A damaged occurrence before a sound one does not hide it.
    EXPECT_EQ(std::vector<std::string>{"musl|1|a|1|b"},
              libraries(mark + "x" + kNul + mark + "musl 1 a 1 b" + kNul));
}

} // namespace
} // namespace pkgtool
