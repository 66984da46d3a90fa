// Entry names on archives made byte by byte: unsafe names, names as their
// makers meant them (Unicode Path field, DOS and Windows hosts, CP437), and
// the names of an archive taken together (one path twice, a file where a
// folder is needed, depth, the folders implied).
#include "common/zipread.h"

#include <gtest/gtest.h>

#include "tests/zip_builder.h"

#include <string>
#include <vector>

namespace {

using namespace ziptest;

TEST(ZipNames, RefusesUnsafeNames)
{
    const struct {
        std::string name;
        int code;
    } cases[] = {
        {"/etc/passwd", ZIP_NAME_ABSOLUTE},
        {"../x", ZIP_NAME_DOTS},
        {"a/../../x", ZIP_NAME_DOTS},
        {"a/./x", ZIP_NAME_DOTS},
        {"a//x", ZIP_NAME_EMPTY_PART},
        {"a\\..\\x", ZIP_NAME_BAD_BYTE},
        {std::string("a\0b", 3), ZIP_NAME_BAD_BYTE},
        {"", ZIP_NAME_EMPTY},
        {"..", ZIP_NAME_DOTS},
        {"ok/..x/y..", ZIP_FINE},
        {std::string(254, 'n'), ZIP_FINE},
        {std::string(255, 'n'), ZIP_FINE},
        {std::string(256, 'n'), ZIP_NAME_TOO_LONG},
    };
    for (const auto &c : cases) {
        Builder b;
        Entry e;
        e.name = c.name;
        e.content = "x";
        b.entries = {e};
        EXPECT_EQ(c.code, openCode(b.build())) << c.name;
    }
}

TEST(ZipNames, RefusesTwoEntriesForOnePathAndFilesOnAFolderPath)
{
    const struct {
        std::vector<std::string> names;
        int code;
    } cases[] = {
        {{"tool", "tool"}, ZIP_DUPLICATE_NAME},
        {{"lib/", "lib"}, ZIP_DUPLICATE_NAME}, // a folder and a file at one path
        {{"lib", "lib/"}, ZIP_DUPLICATE_NAME},
        {{"lib/", "lib/"}, ZIP_DUPLICATE_NAME},
        {{"lib", "lib-x", "lib.d/x", "lib/"}, ZIP_DUPLICATE_NAME},
        {{"a/b/c", "a/b"}, ZIP_FILE_AS_FOLDER}, // unpacked in either order, one fails
        {{"lib", "lib-x", "lib/y"}, ZIP_FILE_AS_FOLDER},
        {{"lib", "lib2"}, ZIP_FINE},
        {{"lib/", "lib/x", "lib-x", "lib"}, ZIP_DUPLICATE_NAME},
        {{"lib/", "lib/x", "lib-x", "lib.d/x"}, ZIP_FINE},
        {{"a", "A"}, ZIP_FINE},
        {{"a/b/", "a/b/c", "a/bc"}, ZIP_FINE},
    };
    for (const auto &c : cases) {
        Builder b;
        for (const std::string &n : c.names) {
            Entry e;
            e.name = n;
            e.mode = 0; // no type: the name says folder or file
            b.entries.push_back(e);
        }
        const Bytes z = b.build();
        ZipArchive a;
        ZipProblem p;
        EXPECT_EQ(c.code, zipOpen(&a, z.data(), z.size(), &p) == 0 ? ZIP_FINE : p.code)
            << c.names[0] << " " << c.names[1];
        if (c.code == ZIP_DUPLICATE_NAME) {
            // The later entry of the pair is named.
            EXPECT_EQ(c.names.size() - 1, p.index);
            EXPECT_EQ(c.names.back(), std::string(p.name, p.nameLength));
        }
    }
}

// The name an archive of the one entry gives it, or names its problem with.
std::string onlyName(const Entry &e, int *code = nullptr)
{
    Builder b;
    b.entries = {e};
    const Bytes z = b.build();
    ZipArchive a;
    ZipProblem p;
    const int r = zipOpen(&a, z.data(), z.size(), &p);
    if (code != nullptr)
        *code = r == 0 ? ZIP_FINE : p.code;
    return r == 0 ? nameOf(entriesOf(a)[0]) : std::string(p.name, p.nameLength);
}

TEST(ZipNames, NamesFromTheUnicodePathField)
{
    const std::string name = "\xC3\x96lf\xC3\xA4sser.txt"; // Ölfässer.txt
    const struct {
        std::string field;
        std::string expected;
    } cases[] = {
        {unicodePathField("_lf_sser.txt", name), name},
        {unicodePathField("_lf_sser.txt", name, 1), "_lf_sser.txt"}, // another header name
        {unicodePathField("_lf_sser.txt", name, 0, 2), "_lf_sser.txt"}, // unknown version
        {"", "_lf_sser.txt"},
    };
    for (const auto &c : cases) {
        Entry e;
        e.name = "_lf_sser.txt";
        e.centralExtra = c.field;
        e.localExtra = c.field;
        int code = -1;
        EXPECT_EQ(c.expected, onlyName(e, &code));
        EXPECT_EQ(ZIP_FINE, code);
    }
    // The local header may leave the field out, not give another name.
    Builder b;
    Entry e;
    e.name = "_lf_sser.txt";
    e.centralExtra = unicodePathField(e.name, name);
    b.entries = {e};
    EXPECT_EQ(ZIP_FINE, openCode(b.build()));
    b.entries[0].localExtra = unicodePathField(e.name, "other.txt");
    EXPECT_EQ(ZIP_LOCAL_DISAGREES, openCode(b.build()));
    b.entries[0].centralExtra = "";
    b.entries[0].localExtra = unicodePathField(e.name, name);
    EXPECT_EQ(ZIP_LOCAL_DISAGREES, openCode(b.build()));
    b.entries[0].centralExtra = unicodePathField(e.name, name) + unicodePathField(e.name, name);
    b.entries[0].localExtra = "";
    EXPECT_EQ(ZIP_BAD_EXTRA_FIELD, openCode(b.build()));
}

TEST(ZipNames, NamesFromDosAndWindowsHosts)
{
    const struct {
        unsigned host;
        uint16_t flags;
        std::string stored;
        std::string expected;
    } cases[] = {
        // CP437 without the UTF-8 flag: 0x99 is Ö, 0x84 ä, 0xE1 ß, 0xB0 ░.
        {0, 0, "\x99lf\x84sser.txt", "\xC3\x96lf\xC3\xA4sser.txt"},
        {11, 0, "Stra\xE1" "e\xB0", "Stra\xC3\x9F" "e\xE2\x96\x91"},
        {14, 0, "\x80", "\xC3\x87"},
        // UTF-8 already, with the flag or without it.
        {0, 0, "\xC3\x96l", "\xC3\x96l"},
        {0, 0x0800, "\xC3\x96l", "\xC3\x96l"},
        // Backslashes are separators there.
        {0, 0, "dir\\sub\\file", "dir/sub/file"},
        {11, 0x0800, "dir\\f\xC3\xBC", "dir/f\xC3\xBC"},
        {0, 0, "dir\\", "dir/"},
        // From a Unix host the bytes stay, as Info-ZIP and macOS write UTF-8 there.
        {3, 0, "\x99lf", "\x99lf"},
        {3, 0, "\xC3\x96l", "\xC3\x96l"},
    };
    for (const auto &c : cases) {
        Entry e;
        e.name = c.stored;
        e.host = c.host;
        e.flags = c.flags;
        e.mode = 0;
        int code = ZIP_FINE;
        EXPECT_EQ(c.expected, onlyName(e, &code)) << c.stored;
        EXPECT_EQ(ZIP_FINE, code) << c.stored;
    }
    // WinZip's Unicode Path field, with backslashes.
    Entry winzip;
    winzip.name = "dir/_l.txt";
    winzip.host = 0;
    winzip.centralExtra = unicodePathField(winzip.name, "dir\\\xC3\x96l.txt");
    EXPECT_EQ("dir/\xC3\x96l.txt", onlyName(winzip));
    winzip.host = 3;
    int code = ZIP_FINE;
    onlyName(winzip, &code);
    EXPECT_EQ(ZIP_NAME_BAD_BYTE, code);
}

TEST(ZipNames, ConvertedNamesGoThroughTheSameChecks)
{
    const struct {
        unsigned host;
        std::string stored;
        int code;
    } cases[] = {
        {0, "..\\evil", ZIP_NAME_DOTS},
        {0, "a\\..\\..\\x", ZIP_NAME_DOTS},
        {11, "\\etc\\passwd", ZIP_NAME_ABSOLUTE},
        {0, "a\\\\b", ZIP_NAME_EMPTY_PART},
        {3, "a\\..\\x", ZIP_NAME_BAD_BYTE},
        // 0x80 becomes 2 bytes, so 127 of them 254: the name's bound is
        // on the converted name.
        {0, std::string(127, '\x80'), ZIP_FINE},
        {0, "a" + std::string(127, '\x80'), ZIP_FINE},
        {0, "ab" + std::string(127, '\x80'), ZIP_NAME_TOO_LONG},
        {0, std::string(86, '\xB0'), ZIP_NAME_TOO_LONG},
    };
    for (const auto &c : cases) {
        Entry e;
        e.name = c.stored;
        e.host = c.host;
        e.mode = 0;
        int code = ZIP_FINE;
        const std::string shown = onlyName(e, &code);
        EXPECT_EQ(c.code, code) << c.stored;
        EXPECT_LE(shown.size(), size_t{ZIP_MAX_NAME});
    }
    // A Unicode Path field's name too.
    Entry e;
    e.name = "x";
    e.centralExtra = unicodePathField("x", "../x");
    int code = ZIP_FINE;
    EXPECT_EQ("../x", onlyName(e, &code));
    EXPECT_EQ(ZIP_NAME_DOTS, code);
    // Two entries for one path once converted.
    Builder b;
    Entry dos, fromUnix, unicode;
    dos.name = "Dir\\\x99l";
    dos.host = 0;
    fromUnix.name = "Dir/\xC3\x96l";
    b.entries = {fromUnix, dos};
    EXPECT_EQ(ZIP_DUPLICATE_NAME, openCode(b.build()));
    unicode.name = "other";
    unicode.centralExtra = unicodePathField("other", "Dir/\xC3\x96l");
    b.entries = {unicode, fromUnix};
    EXPECT_EQ(ZIP_DUPLICATE_NAME, openCode(b.build()));
    dos.name = "Dir";
    b.entries = {dos, fromUnix};
    EXPECT_EQ(ZIP_FILE_AS_FOLDER, openCode(b.build()));
}

// Files on chains of folders of their own: chains[i] folders deep for
// entry i, no folder entries.
Bytes chains(const std::vector<int> &depths)
{
    Builder b;
    for (size_t i = 0; i < depths.size(); i++) {
        Entry e;
        e.name = "c" + std::to_string(i) + "/";
        for (int k = 1; k < depths[i]; k++)
            e.name += "d/";
        e.name += "f";
        e.method = ZIP_METHOD_STORED;
        b.entries.push_back(e);
    }
    return b.build();
}

TEST(ZipNames, BoundsTheDepthOfPaths)
{
    for (bool folder : {false, true}) {
        std::string name;
        for (int parts = 1; parts <= ZIP_MAX_DEPTH + 1; parts++) {
            name += parts == 1 ? "a" : "/a";
            if (parts < ZIP_MAX_DEPTH - 1)
                continue;
            Entry e;
            e.name = name + (folder ? "/" : "");
            e.mode = 0;
            int code = ZIP_FINE;
            onlyName(e, &code);
            EXPECT_EQ(parts <= ZIP_MAX_DEPTH ? ZIP_FINE : ZIP_TOO_DEEP, code) << parts;
        }
    }
    // The bomb that made 246,001 folders of a 1.16 MB zip: 2,000 files,
    // each 123 folders deep on a chain of its own.
    EXPECT_EQ(ZIP_TOO_DEEP, openCode(chains(std::vector<int>(2000, 123))));
}

TEST(ZipNames, BoundsTheFoldersPathsImply)
{
    // Four entries may imply 4 * 4 + 64 = 80 folders.
    ASSERT_EQ(80, 4 * ZIP_IMPLIED_PER_ENTRY + ZIP_IMPLIED_BESIDES);
    EXPECT_EQ(ZIP_FINE, openCode(chains({20, 20, 20, 20})));
    EXPECT_EQ(ZIP_TOO_MANY_FOLDERS, openCode(chains({20, 20, 20, 21})));
    // One deep file alone is fine.
    EXPECT_EQ(ZIP_FINE, openCode(chains({ZIP_MAX_DEPTH - 1})));
    // The bomb within the depth: 2,000 chains of 63 folders.
    EXPECT_EQ(ZIP_TOO_MANY_FOLDERS, openCode(chains(std::vector<int>(2000, 63))));
    // A folder shared by many files counts once: twenty files below one
    // chain of 62 folders imply 62, not 1,240.
    Builder shared;
    std::string chain;
    for (int k = 0; k < ZIP_MAX_DEPTH - 2; k++)
        chain += "d/";
    for (int i = 0; i < 20; i++) {
        Entry e;
        e.name = chain + "f" + std::to_string(i);
        e.method = ZIP_METHOD_STORED;
        shared.entries.push_back(e);
    }
    EXPECT_EQ(ZIP_FINE, openCode(shared.build()));
}

} // namespace
