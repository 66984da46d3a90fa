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
    EXPECT_EQ("tool", nameOf(e[0]));
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
        libdeflate_decompressor *d = libdeflate_alloc_decompressor();
        for (size_t i = 0; i < 3; i++) {
            const Entry &made = b.entries[order[i]];
            EXPECT_EQ(made.name, nameOf(e[i]));
            std::string out(e[i].size, '\0');
            EXPECT_EQ(0, zipInflate(&a, &e[i], d, reinterpret_cast<unsigned char *>(&out[0])));
            EXPECT_EQ(made.content, out);
        }
        libdeflate_free_decompressor(d);
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
        {0120777, 0, ZIP_METHOD_STORED, ZIP_LINK},
        {0010600, 0, ZIP_METHOD_STORED, ZIP_FIFO},           // zip's "-" from a pipe
        {0060644, 0, ZIP_METHOD_STORED, ZIP_SPECIAL_FILE},   // block device
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

// Bytes after the end of a deflate stream, inside the compressed size, are
// unused: CRC and size decide.
TEST(ZipRead, UnusedBytesAfterADeflateStream)
{
    for (const std::string &trailing : {std::string(1, '\0'), std::string("junk junk junk")}) {
        Builder b = twoFiles();
        b.entries[0].trailing = trailing;
        const Bytes z = b.build();
        ZipArchive a;
        ZipProblem p;
        ASSERT_EQ(0, zipOpen(&a, z.data(), z.size(), &p)) << zipProblemText(p.code);
        const ZipEntry e = entriesOf(a)[0];
        libdeflate_decompressor *d = libdeflate_alloc_decompressor();
        std::string out(e.size, '\0');
        EXPECT_EQ(0, zipInflate(&a, &e, d, reinterpret_cast<unsigned char *>(&out[0])));
        EXPECT_EQ(b.entries[0].content, out);
        // The stream must still fill the entry exactly, and its CRC match.
        ZipEntry longer = e;
        longer.size++;
        std::string more(longer.size, '\0');
        EXPECT_EQ(ZIP_DAMAGED_DATA,
                  zipInflate(&a, &longer, d, reinterpret_cast<unsigned char *>(&more[0])));
        ZipEntry shorter = e;
        shorter.size--;
        EXPECT_EQ(ZIP_DAMAGED_DATA,
                  zipInflate(&a, &shorter, d, reinterpret_cast<unsigned char *>(&more[0])));
        ZipEntry wrong = e;
        wrong.crc ^= 1;
        EXPECT_EQ(ZIP_BAD_CRC, zipInflate(&a, &wrong, d, reinterpret_cast<unsigned char *>(&out[0])));
        libdeflate_free_decompressor(d);
    }
}

TEST(ZipRead, RefusesTwoEntriesForOnePathAndFilesOnAFolderPath)
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

TEST(ZipRead, NamesFromTheUnicodePathField)
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

TEST(ZipRead, NamesFromDosAndWindowsHosts)
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

TEST(ZipRead, ConvertedNamesGoThroughTheSameChecks)
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

TEST(ZipRead, BoundsTheDepthOfPaths)
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

TEST(ZipRead, BoundsTheFoldersPathsImply)
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

TEST(ZipRead, EveryProblemHasWords)
{
    for (int code = 0; code < ZIP_PROBLEM_COUNT; code++)
        EXPECT_NE(nullptr, zipProblemText(code));
    EXPECT_STREQ("unknown problem", zipProblemText(ZIP_PROBLEM_COUNT));
    EXPECT_STREQ("unknown problem", zipProblemText(-1));
}

} // namespace
