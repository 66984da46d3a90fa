// The strict zip reader on archives made byte by byte, each with one fault.
#include "common/zipread.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include "tests/zip_builder.h"

#include <string>
#include <vector>

namespace {

using namespace ziptest;

// The problem code zipOpen gives (ZIP_FINE when the archive is accepted).
int openCode(const Bytes &z)
{
    ZipArchive a;
    ZipProblem p;
    return zipOpen(&a, z.data(), z.size(), &p) == 0 ? ZIP_FINE : p.code;
}

std::vector<ZipEntry> entriesOf(const ZipArchive &a)
{
    std::vector<ZipEntry> out;
    ZipCursor c;
    ZipEntry e;
    ZipProblem p;
    zipFirst(&a, &c);
    while (zipNext(&a, &c, &e, &p) == 1)
        out.push_back(e);
    return out;
}

TEST(ZipRead, ReadsEntriesAndTheirData)
{
    Builder b = twoFiles();
    const Bytes z = b.build();
    ZipArchive a;
    ZipProblem p;
    ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
    ASSERT_EQ(3u, a.count);
    const std::vector<ZipEntry> e = entriesOf(a);
    ASSERT_EQ(3u, e.size());
    EXPECT_EQ("tool", std::string(reinterpret_cast<const char *>(e[0].name), e[0].nameLength));
    EXPECT_TRUE(e[0].executable);
    EXPECT_FALSE(e[0].folder);
    EXPECT_TRUE(e[1].folder);
    EXPECT_FALSE(e[2].executable);
    EXPECT_EQ(b.directoryOffset, e[2].end);
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    for (size_t i = 0; i < e.size(); i++) {
        std::string out(e[i].size, '\0');
        EXPECT_EQ(0, zipInflate(&a, &e[i], d, reinterpret_cast<unsigned char *>(&out[0])));
        EXPECT_EQ(b.entries[i].content, out);
    }
    libdeflate_free_decompressor(d);
}

TEST(ZipRead, AcceptsAnEmptyArchiveZip64EndsAndDescriptors)
{
    Builder empty;
    EXPECT_EQ(ZIP_FINE, openCode(empty.build()));
    Builder zip64 = twoFiles();
    zip64.zip64End = true;
    EXPECT_EQ(ZIP_FINE, openCode(zip64.build()));
    Builder described = twoFiles();
    described.entries[0].descriptor = true;
    described.entries[2].descriptor = true;
    described.entries[2].descriptorSigned = false;
    EXPECT_EQ(ZIP_FINE, openCode(described.build()));
    // A descriptor that disagrees with the directory.
    described.entries[0].localSizeDelta = 1;
    EXPECT_EQ(ZIP_BAD_DESCRIPTOR, openCode(described.build()));
    Builder commented = twoFiles();
    commented.comment = "a comment";
    EXPECT_EQ(ZIP_FINE, openCode(commented.build()));
}

// The fault two readers disagree on: a first end record whose comment holds
// a second directory (naming another tool) and a second end record.
TEST(ZipRead, RefusesASecondDirectoryInTheComment)
{
    Builder inner;
    Entry other;
    other.name = "tool";
    other.content = "#!/bin/sh\necho other tool\n";
    inner.entries = {other};
    Bytes innerZip = inner.build();
    Builder outer = twoFiles();
    Bytes plain = outer.build();
    // The inner directory and end record, pointing back into the outer data.
    Bytes tail(innerZip.begin() + inner.directoryOffset, innerZip.end());
    outer.comment = std::string(tail.begin(), tail.end());
    EXPECT_EQ(ZIP_TWO_END_RECORDS, openCode(outer.build()));
    // The same bytes as a plain comment text are fine without a signature.
    outer.comment = std::string(tail.begin() + 4, tail.end() - 22);
    EXPECT_EQ(ZIP_FINE, openCode(outer.build()));
}

TEST(ZipRead, TheEndRecordMustEndTheFileExactly)
{
    Builder b = twoFiles();
    b.comment = "abc";
    Bytes z = b.build();
    EXPECT_EQ(ZIP_FINE, openCode(z));
    Bytes longer = z;
    longer.push_back('x'); // one byte after the comment
    EXPECT_EQ(ZIP_BAD_END_RECORD, openCode(longer));
    Bytes shorter(z.begin(), z.end() - 1); // the comment one byte short
    EXPECT_EQ(ZIP_BAD_END_RECORD, openCode(shorter));
    EXPECT_EQ(ZIP_NO_END_RECORD, openCode(Bytes(21, 0)));
    EXPECT_EQ(ZIP_NO_END_RECORD, openCode(Bytes()));
}

TEST(ZipRead, EveryShorterPrefixIsRefused)
{
    Builder b = twoFiles();
    b.entries[0].descriptor = true;
    const Bytes z = b.build();
    for (size_t n = 0; n < z.size(); n++) {
        // Copied, so that a read past the prefix is an error for the sanitizer.
        Bytes prefix(z.begin(), z.begin() + n);
        EXPECT_NE(ZIP_FINE, openCode(prefix)) << n;
    }
}

TEST(ZipRead, RefusesDataInFrontGapsAndOverlaps)
{
    Builder front = twoFiles();
    front.front = {'M', 'Z', 0, 0};
    EXPECT_EQ(ZIP_DATA_IN_FRONT, openCode(front.build()));
    Builder gap = twoFiles();
    gap.gapAfterEntry = 1;
    EXPECT_EQ(ZIP_GAP_OR_OVERLAP, openCode(gap.build()));
    Builder beforeDirectory = twoFiles();
    beforeDirectory.gapBeforeDirectory = 1;
    EXPECT_EQ(ZIP_GAP_OR_OVERLAP, openCode(beforeDirectory.build()));
    // Two directory entries naming the same local header.
    Builder overlap = twoFiles();
    Bytes z = overlap.build();
    const size_t second = overlap.directoryOffset + 46 + 4; // after entry 0's name "tool"
    set32(z, second + 42, 0);
    EXPECT_EQ(ZIP_GAP_OR_OVERLAP, openCode(z));
}

TEST(ZipRead, RefusesOffsetsAndSizesBeyondTheArchive)
{
    Builder b = twoFiles();
    Bytes z = b.build();
    Bytes outside = z;
    set32(outside, b.endOffset + 16, static_cast<uint32_t>(z.size())); // directory offset
    EXPECT_EQ(ZIP_DIRECTORY_OUTSIDE, openCode(outside));
    Bytes big = z;
    set32(big, b.directoryOffset + 20, 0x7FFFFFF0); // entry 0's compressed size
    EXPECT_NE(ZIP_FINE, openCode(big));
    // More unpacked bytes than deflate can make of the compressed ones.
    Bytes bomb = z;
    set32(bomb, b.directoryOffset + 24, 0x7FFFFFF0);
    EXPECT_EQ(ZIP_DAMAGED_DATA, openCode(bomb));
    Bytes count = z;
    count[b.endOffset + 8] = count[b.endOffset + 10] = 4; // one entry more than there is
    EXPECT_EQ(ZIP_COUNT_MISMATCH, openCode(count));
    Bytes fewer = z;
    fewer[b.endOffset + 8] = fewer[b.endOffset + 10] = 2;
    EXPECT_EQ(ZIP_COUNT_MISMATCH, openCode(fewer));
}

TEST(ZipRead, RefusesLocalHeadersThatDisagree)
{
    Builder name = twoFiles();
    name.entries[0].localName = "tooL";
    EXPECT_EQ(ZIP_LOCAL_DISAGREES, openCode(name.build()));
    Builder method = twoFiles();
    method.entries[2].localMethod = ZIP_METHOD_DEFLATED;
    EXPECT_EQ(ZIP_LOCAL_DISAGREES, openCode(method.build()));
    Builder size = twoFiles();
    size.entries[0].localSizeDelta = -1;
    EXPECT_EQ(ZIP_LOCAL_DISAGREES, openCode(size.build()));
}

TEST(ZipRead, RefusesUnsafeNames)
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

TEST(ZipRead, RefusesLinksSpecialFilesEncryptionAndOtherMethods)
{
    const struct {
        uint32_t mode;
        uint16_t flags;
        uint16_t method;
        int code;
    } cases[] = {
        {0120777, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // symbolic link
        {0010644, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // fifo
        {0060644, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // block device
        {0040755, 0, ZIP_METHOD_STORED, ZIP_BAD_FOLDER},     // a folder mode, a file name
        {0100644, 0x0001, ZIP_METHOD_STORED, ZIP_ENCRYPTED},
        {0100644, 0x0040, ZIP_METHOD_STORED, ZIP_ENCRYPTED},
        {0100644, 0, 12, ZIP_BAD_METHOD},                    // bzip2
        {0100644, 0, 99, ZIP_BAD_METHOD},                    // AES
        {0004755, 0, ZIP_METHOD_STORED, ZIP_FINE},           // setuid bit, no type: a file
    };
    for (const auto &c : cases) {
        Builder b;
        Entry e;
        e.name = "x";
        e.content = "data";
        e.mode = c.mode;
        e.flags = c.flags;
        e.method = c.method;
        b.entries = {e};
        EXPECT_EQ(c.code, openCode(b.build())) << std::oct << c.mode << " " << c.method;
    }
}

TEST(ZipRead, ChecksCrcAndCompressedData)
{
    Builder b = twoFiles();
    b.entries[0].crcDelta = 1;
    b.entries[2].crcDelta = 1;
    Bytes z = b.build();
    ZipArchive a;
    ZipProblem p;
    ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p));
    std::vector<ZipEntry> e = entriesOf(a);
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    std::string out(e[0].size, '\0');
    EXPECT_EQ(ZIP_BAD_CRC, zipInflate(&a, &e[0], d, reinterpret_cast<unsigned char *>(&out[0])));
    EXPECT_EQ(ZIP_BAD_CRC, zipCheckStored(&a, &e[2]));
    // Damaged deflate data: the first block's type bits made invalid.
    Builder damaged = twoFiles();
    z = damaged.build();
    ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p));
    e = entriesOf(a);
    z[e[0].dataOffset] |= 0x06;
    EXPECT_EQ(ZIP_DAMAGED_DATA, zipInflate(&a, &e[0], d, reinterpret_cast<unsigned char *>(&out[0])));
    libdeflate_free_decompressor(d);
}

TEST(ZipRead, RefusesTwoEntriesForOnePath)
{
    const struct {
        const char *first;
        const char *second;
        bool refused;
    } cases[] = {
        {"tool", "tool", true},
        {"lib/", "lib", true}, // a folder and a file at one path
        {"lib/", "lib/", true},
        {"lib", "lib2", false},
        {"lib/", "lib/x", false},
        {"a", "A", false},
    };
    for (const auto &c : cases) {
        Builder b;
        Entry x, y;
        x.name = c.first;
        y.name = c.second;
        x.mode = y.mode = 0; // no type: the name says folder or file
        b.entries = {x, y};
        const Bytes z = b.build();
        ZipArchive a;
        ZipProblem p;
        ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << c.first << " " << c.second;
        std::vector<ZipEntry> e = entriesOf(a);
        EXPECT_EQ(c.refused ? -1 : 0, zipCheckNames(e.data(), e.size(), &p))
            << c.first << " " << c.second;
        EXPECT_EQ(c.refused ? ZIP_DUPLICATE_NAME : ZIP_FINE, p.code);
    }
}

TEST(ZipRead, EveryProblemHasWords)
{
    for (int code = 0; code < ZIP_PROBLEM_COUNT; code++)
        EXPECT_NE(nullptr, zipProblemText(code));
    EXPECT_STREQ("unknown problem", zipProblemText(ZIP_PROBLEM_COUNT));
    EXPECT_STREQ("unknown problem", zipProblemText(-1));
}

} // namespace
