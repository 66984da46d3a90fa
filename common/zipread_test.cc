// The strict zip reader on archives made byte by byte, each with one fault.
#include "common/zipread.h"

#include <gtest/gtest.h>

#include "tests/zip_builder.h"

#include <string>
#include <vector>

namespace {

using namespace ziptest;

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
    EXPECT_EQ("tool", nameOf(e[0]));
    EXPECT_TRUE(e[0].executable);
    EXPECT_FALSE(e[0].folder);
    EXPECT_TRUE(e[1].folder);
    EXPECT_FALSE(e[2].executable);
    EXPECT_EQ(b.directoryOffset, e[2].end);
    for (size_t i = 0; i < e.size(); i++)
        EXPECT_EQ(b.entries[i].content, contentOf(a, e[i]));
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
    EXPECT_EQ(ZIP_GAP, openCode(gap.build()));
    // A signing block or padding between the last entry and the directory.
    Builder beforeDirectory = twoFiles();
    beforeDirectory.gapBeforeDirectory = 1;
    EXPECT_EQ(ZIP_BYTES_BEFORE_DIRECTORY, openCode(beforeDirectory.build()));
    beforeDirectory.order = {2, 0, 1};
    EXPECT_EQ(ZIP_BYTES_BEFORE_DIRECTORY, openCode(beforeDirectory.build()));
    Builder emptyWithBytes;
    emptyWithBytes.gapBeforeDirectory = 4;
    EXPECT_EQ(ZIP_BYTES_BEFORE_DIRECTORY, openCode(emptyWithBytes.build()));
    // Two directory entries naming the same local header, in either order.
    for (const std::vector<size_t> &order :
         {std::vector<size_t>{0, 1, 2, 1}, std::vector<size_t>{1, 0, 1, 2}}) {
        Builder overlap = twoFiles();
        overlap.order = order;
        EXPECT_EQ(ZIP_OVERLAP, openCode(overlap.build()));
    }
    // An entry the directory leaves out is a gap.
    Builder missing = twoFiles();
    missing.order = {0, 2};
    EXPECT_EQ(ZIP_GAP, openCode(missing.build()));
}

// What common writers write where no two readers could disagree.
TEST(ZipRead, AcceptsEntriesInAnyDirectoryOrder)
{
    for (const std::vector<size_t> &order :
         {std::vector<size_t>{2, 1, 0}, std::vector<size_t>{1, 2, 0}, std::vector<size_t>{0, 2, 1}}) {
        Builder b = twoFiles();
        b.order = order;
        const Bytes z = b.build();
        ZipArchive a;
        ZipProblem p;
        ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
        const std::vector<ZipEntry> e = entriesOf(a);
        ASSERT_EQ(3u, e.size());
        for (size_t i = 0; i < 3; i++) {
            const Entry &made = b.entries[order[i]];
            EXPECT_EQ(made.name, nameOf(e[i]));
            EXPECT_EQ(made.content, contentOf(a, e[i]));
        }
    }
    // Out of order, data in front is still named so, and the entry too.
    Builder front = twoFiles();
    front.order = {2, 0, 1};
    front.front = {'M', 'Z', 0, 0};
    const Bytes z = front.build();
    ZipArchive a;
    ZipProblem p;
    EXPECT_EQ(-1, zipOpen(&a, z.data(), z.size(), &p));
    EXPECT_EQ(ZIP_DATA_IN_FRONT, p.code);
    EXPECT_EQ(1, p.named);
    EXPECT_STREQ("tool", p.name);
    EXPECT_EQ(1u, p.index);
}

TEST(ZipRead, AcceptsTheSegmentMarkerInFrontOnly)
{
    Builder marked = twoFiles();
    marked.front = {'P', 'K', '0', '0'};
    const Bytes z = marked.build();
    ZipArchive a;
    ZipProblem p;
    ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
    EXPECT_EQ(4u, a.start);
    EXPECT_EQ(4u, entriesOf(a)[0].localHeader);
    Builder empty;
    empty.front = {'P', 'K', '0', '0'};
    EXPECT_EQ(ZIP_FINE, openCode(empty.build()));
    // A split archive's marker, or the marker with more in front, is data in front.
    Builder split = twoFiles();
    split.front = {'P', 'K', 7, 8};
    EXPECT_EQ(ZIP_DATA_IN_FRONT, openCode(split.build()));
    Builder twice = twoFiles();
    twice.front = {'P', 'K', '0', '0', 'P', 'K', '0', '0'};
    EXPECT_EQ(ZIP_DATA_IN_FRONT, openCode(twice.build()));
}

// zip writes exactly 65,535 entries with the count 0xFFFF and no Zip64 end
// record: the count itself, when the directory holds as many.
TEST(ZipRead, TheCount0xFFFFWithoutZip64IsACount)
{
    Builder b;
    Entry e;
    e.method = ZIP_METHOD_STORED;
    for (int i = 0; i < 0xFFFF; i++) {
        e.name = std::to_string(i);
        b.entries.push_back(e);
    }
    ZipArchive a;
    ZipProblem p;
    Bytes z = b.build();
    ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
    EXPECT_EQ(0xFFFFu, a.count);
    EXPECT_EQ(0xFFFFu, entriesOf(a).size());
    // One entry fewer in the directory than the count says.
    b.order.clear();
    for (size_t i = 0; i + 1 < b.entries.size(); i++)
        b.order.push_back(i);
    b.gapBeforeDirectory = 0;
    b.countDelta = 1;
    z = b.build();
    EXPECT_EQ(-1, zipOpen(&a, z.data(), z.size(), &p));
    EXPECT_EQ(ZIP_COUNT_MISMATCH, p.code);
}

TEST(ZipRead, SaturatedDiskFieldsNeedAZip64EndRecord)
{
    Builder b = twoFiles();
    b.zip64End = true;
    b.saturatedDisks = true;
    EXPECT_EQ(ZIP_FINE, openCode(b.build()));
    Builder plain = twoFiles();
    plain.saturatedDisks = true;
    EXPECT_EQ(ZIP_SATURATED_WITHOUT_ZIP64, openCode(plain.build()));
    // A saturated size or offset without one, and a real second disk.
    Bytes z = twoFiles().build();
    Builder sizes = twoFiles();
    z = sizes.build();
    set32(z, sizes.endOffset + 12, 0xFFFFFFFF);
    EXPECT_EQ(ZIP_SATURATED_WITHOUT_ZIP64, openCode(z));
    z = sizes.build();
    set32(z, sizes.endOffset + 16, 0xFFFFFFFF);
    EXPECT_EQ(ZIP_SATURATED_WITHOUT_ZIP64, openCode(z));
    z = sizes.build();
    z[sizes.endOffset + 4] = 1;
    EXPECT_EQ(ZIP_MULTI_DISK, openCode(z));
    Builder second = twoFiles();
    second.zip64End = true;
    z = second.build();
    z[second.endOffset + 6] = 1; // beside a Zip64 record: not saturated, not 0
    EXPECT_EQ(ZIP_MULTI_DISK, openCode(z));
}

// Android's zipalign pads the local header's extra field with zero bytes.
TEST(ZipRead, ZeroPaddingOfOneToThreeBytesEndsAnExtraField)
{
    const std::string unixField = std::string("ux\x0b\x00\x01\x04\x00\x00\x00\x00\x04\x00\x00\x00\x00", 15);
    for (size_t pad = 1; pad <= 3; pad++) {
        for (const std::string &before : {std::string(), unixField}) {
            Builder local = twoFiles();
            local.entries[0].localExtra = before + std::string(pad, '\0');
            EXPECT_EQ(ZIP_FINE, openCode(local.build())) << pad;
            Builder central = twoFiles();
            central.entries[2].centralExtra = before + std::string(pad, '\0');
            EXPECT_EQ(ZIP_FINE, openCode(central.build())) << pad;
            Builder damaged = twoFiles();
            damaged.entries[0].localExtra = before + std::string(pad - 1, '\0') + "x";
            EXPECT_EQ(ZIP_BAD_EXTRA_FIELD, openCode(damaged.build())) << pad;
        }
    }
    // Four zero bytes are an empty field of id 0.
    Builder four = twoFiles();
    four.entries[0].localExtra = std::string(4, '\0');
    EXPECT_EQ(ZIP_FINE, openCode(four.build()));
    // A field whose length runs past the block.
    Builder cut = twoFiles();
    cut.entries[0].localExtra = std::string("ux\x09\x00", 4) + std::string(8, '\0');
    EXPECT_EQ(ZIP_BAD_EXTRA_FIELD, openCode(cut.build()));
}

// java.util.zip writes 64-bit sizes in the descriptor of an entry of 4 GiB
// or more, with no Zip64 field in the local header.
TEST(ZipRead, ADescriptorHasTheWidthTheSizesNeed)
{
    const uint64_t size = (uint64_t{1} << 32) + 10;
    Builder b;
    Entry big;
    big.name = "big";
    big.descriptor = true;
    big.claimedSize = size;
    big.stored = std::string(size / 1032 + 1, 'z');
    b.entries = {big};
    Bytes z = b.build();
    ZipArchive a;
    ZipProblem p;
    ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
    const ZipEntry e = entriesOf(a)[0];
    EXPECT_EQ(size, e.size);
    EXPECT_EQ(b.directoryOffset, e.end);
    EXPECT_EQ(e.dataOffset + big.stored.size() + 24, e.end);
    // Small sizes written 64 bits wide without the local Zip64 field, and
    // sizes that need 64 bits written 32 bits wide.
    Builder small = twoFiles();
    small.entries[0].descriptor = true;
    small.entries[0].descriptorWidth = 8;
    EXPECT_EQ(ZIP_BAD_DESCRIPTOR, openCode(small.build()));
    b.entries[0].descriptorWidth = 4;
    EXPECT_EQ(ZIP_BAD_DESCRIPTOR, openCode(b.build()));
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

TEST(ZipRead, RefusesLinksSpecialFilesEncryptionAndOtherMethods)
{
    const struct {
        uint32_t mode;
        uint16_t flags;
        uint16_t method;
        int code;
    } cases[] = {
        {0120777, 0, ZIP_METHOD_STORED, ZIP_LINK},
        {0010600, 0, ZIP_METHOD_STORED, ZIP_FINE},           // zip's "-" from a pipe: a file
        {0060644, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // block device
        {0020644, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // character device
        {0140644, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // socket
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
    // A FIFO's mode on a folder's name: the entry contradicts itself.
    Builder b;
    Entry folder;
    folder.name = "x/";
    folder.method = ZIP_METHOD_STORED;
    folder.mode = 0010600;
    b.entries = {folder};
    EXPECT_EQ(ZIP_BAD_FOLDER, openCode(b.build()));
}

TEST(ZipRead, EveryProblemHasWords)
{
    for (int code = 0; code < ZIP_PROBLEM_COUNT; code++)
        EXPECT_NE(nullptr, zipProblemText(code));
    EXPECT_STREQ("unknown problem", zipProblemText(ZIP_PROBLEM_COUNT));
    EXPECT_STREQ("unknown problem", zipProblemText(-1));
}

} // namespace
