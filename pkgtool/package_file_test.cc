// The package reader on real package files, built and signed by pkgtool or
// laid out byte by byte, at the exact bounds of what it accepts.
#include "package_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "signing.h"
#include "test_packages.h"

using namespace pkgtool;
using namespace pkgtest;

namespace {

struct Read {
    bool ok = false;
    Package pkg;
    std::vector<std::string> problems;
};

Read readBytes(const TempDir &dir, const Bytes &bytes)
{
    writeBytes(dir / "read.pkg", bytes);
    Read r;
    r.ok = readPackage(dir / "read.pkg", r.pkg, r.problems);
    return r;
}

// A package laid out from its five elements, with the pair sizes given.
Bytes layOut(const std::vector<Bytes> &elements, int32_t first = 0, int32_t second = 0)
{
    Bytes out;
    unsigned char directory[PKG_DIR_SIZE] = {};
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        out.insert(out.end(), elements[i].begin(), elements[i].end());
        pkgPutI32(directory + 4 * i, static_cast<int32_t>(elements[i].size()));
    }
    pkgPutI32(directory + 4 * PKG_DIR_FIRST_IMAGE_ENTRY, first);
    pkgPutI32(directory + 4 * PKG_DIR_SECOND_IMAGE_ENTRY, second);
    out.insert(out.end(), directory, directory + PKG_DIR_SIZE);
    out.push_back(PKG_END_MARKER);
    return out;
}

Bytes globalInfo(int32_t count, int32_t strict = 0)
{
    Bytes info(PKG_GLOBAL_INFO_SIZE);
    pkgPutI32(&info[PKG_GI_COUNT_OFFSET], count);
    pkgPutI32(&info[PKG_GI_STRICT_OFFSET], strict);
    return info;
}

Bytes commandTable(const std::vector<Record> &records, size_t extra = 0)
{
    Bytes table(records.size() * PKG_RECORD_SIZE + extra);
    for (size_t i = 0; i < records.size(); i++)
        encodeRecord(records[i], &table[i * PKG_RECORD_SIZE]);
    return table;
}

const Bytes kStub = {0x7F, 'E', 'L', 'F', 1, 2, 3};
const Bytes kImage(100, 'z');
const Record kRecord = record(PKG_DIST_REDHAT, 9, PKG_ARCH_X86_64, 1, "./tool", "-a");

// A sparse file that ends in a directory of these sizes, whose global info
// and command table hold zeros.
void writeSparse(const std::string &path, const std::vector<int32_t> &sizes)
{
    unsigned char directory[PKG_TRAILER_SIZE] = {};
    int64_t sum = 0;
    for (size_t i = 0; i < sizes.size(); i++) {
        pkgPutI32(directory + 4 * i, sizes[i]);
        sum += sizes[i];
    }
    directory[PKG_DIR_SIZE] = PKG_END_MARKER;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(sizeof directory),
              pwrite(fd, directory, sizeof directory, static_cast<off_t>(sum)));
    close(fd);
}

TEST(PackageReader, CutAndPaddedFilesAtTheExactBounds)
{
    TempDir dir;
    const Bytes sound = layOut({kStub, kStub, globalInfo(1), commandTable({kRecord}), kImage});
    const std::string before = std::to_string(sound.size() - PKG_TRAILER_SIZE);
    Read r = readBytes(dir, sound);
    ASSERT_TRUE(r.ok) << r.problems[0];
    EXPECT_TRUE(r.pkg.located);
    EXPECT_EQ(sound.size(), r.pkg.fileSize);

    r = readBytes(dir, Bytes(sound.end() - (PKG_TRAILER_SIZE - 1), sound.end()));
    EXPECT_EQ(std::vector<std::string>{"not a package: the file holds 548 bytes, fewer than the "
                                       "549 of a package directory and end marker"},
              r.problems);
    r = readBytes(dir, Bytes(sound.end() - PKG_TRAILER_SIZE, sound.end()));
    EXPECT_EQ(std::vector<std::string>{"the element sizes add up to " + before +
                                       " bytes, but the file holds 0 bytes before the directory"},
              r.problems);

    // A byte less or more in front of the directory.
    Bytes cut = sound;
    cut.erase(cut.begin() + 10);
    r = readBytes(dir, cut);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.pkg.located);
    EXPECT_EQ(std::vector<std::string>{"the element sizes add up to " + before +
                                       " bytes, but the file holds " +
                                       std::to_string(sound.size() - PKG_TRAILER_SIZE - 1) +
                                       " bytes before the directory"},
              r.problems);
    Bytes padded = sound;
    padded.insert(padded.begin() + 10, 0);
    r = readBytes(dir, padded);
    EXPECT_FALSE(r.pkg.located);
    EXPECT_EQ(std::vector<std::string>{"the element sizes add up to " + before +
                                       " bytes, but the file holds " +
                                       std::to_string(sound.size() - PKG_TRAILER_SIZE + 1) +
                                       " bytes before the directory"},
              r.problems);
    // A byte behind the end marker.
    padded = sound;
    padded.push_back(0);
    r = readBytes(dir, padded);
    EXPECT_EQ(std::vector<std::string>{"not a package: the last byte is 0x00, not the end "
                                       "marker 0xFF"},
              r.problems);
}

TEST(PackageReader, ElementSizesBelowAndAt2To31)
{
    TempDir dir;
    Bytes sound = layOut({kStub, kStub, globalInfo(1), commandTable({kRecord}), kImage});
    const size_t directory = sound.size() - PKG_TRAILER_SIZE;
    Bytes negative = sound;
    pkgPutI32(&negative[directory + 4], -1);
    Read r = readBytes(dir, negative);
    EXPECT_FALSE(r.pkg.located);
    EXPECT_EQ(std::vector<std::string>{"element 1's size 4294967295 is at or over 2^31"},
              r.problems);

    // Sizes that match the file's length, adding up to the most a package
    // may hold, and to one byte more: sparse files, nothing read of them
    // but the directory, the global info and the command table.
    const int32_t first = static_cast<int32_t>(PKG_MAX_OFFSET - PKG_GLOBAL_INFO_SIZE -
                                               PKG_RECORD_SIZE);
    writeSparse(dir / "largest.pkg", {first, 0, PKG_GLOBAL_INFO_SIZE, PKG_RECORD_SIZE, 0});
    r = Read();
    r.ok = readPackage(dir / "largest.pkg", r.pkg, r.problems);
    EXPECT_EQ(std::vector<std::string>{}, r.problems);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.pkg.located);
    EXPECT_EQ(static_cast<uint64_t>(PKG_MAX_OFFSET + PKG_TRAILER_SIZE), r.pkg.fileSize);

    writeSparse(dir / "over.pkg", {first, 1, PKG_GLOBAL_INFO_SIZE, PKG_RECORD_SIZE, 0});
    r = Read();
    r.ok = readPackage(dir / "over.pkg", r.pkg, r.problems);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.pkg.located);
    EXPECT_EQ(std::vector<std::string>{"the element sizes add up to 2147483648, at or over 2^31"},
              r.problems);
}

TEST(PackageReader, GlobalInfoRecordCountAndImageSizes)
{
    TempDir dir;
    const Bytes table = commandTable({kRecord}, PKG_RECORD_SIZE - 1); // one whole record
    const struct {
        Bytes bytes;
        std::vector<std::string> problems;
        size_t records;
    } cases[] = {
        {layOut({kStub, kStub, globalInfo(1), table, kImage}), {}, 1},
        {layOut({kStub, kStub, globalInfo(0), table, kImage}), {}, 0},
        {layOut({kStub, kStub, globalInfo(2), table, kImage}),
         {"the record count is 2, but the command table holds 1"}, 1},
        {layOut({kStub, kStub, globalInfo(-1), table, kImage}),
         {"the record count is negative (-1)"}, 0},
        {layOut({kStub, kStub, globalInfo(1), Bytes(PKG_RECORD_SIZE - 1), kImage}),
         {"the record count is 1, but the command table holds 0",
          "the command table holds no record"},
         0},
        {layOut({kStub, kStub, Bytes(PKG_GLOBAL_INFO_SIZE + 1), table, kImage}),
         {"the global info is 9 bytes, not 8"}, 0},
        {layOut({kStub, kStub, globalInfo(1), table, kImage}, -1, 101),
         {"the first image size -1 is negative: the launcher refuses the package"}, 1},
        {layOut({kStub, kStub, globalInfo(1), table, kImage}, 40, INT32_MIN),
         {"the second image size -2147483648 is negative: the launcher refuses the package"}, 1},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        const Read r = readBytes(dir, cases[i].bytes);
        EXPECT_EQ(cases[i].problems, r.problems);
        EXPECT_EQ(cases[i].problems.empty(), r.ok);
        EXPECT_TRUE(r.pkg.located);
        ASSERT_EQ(cases[i].records, r.pkg.records.size());
        if (cases[i].records == 1) {
            EXPECT_EQ(kRecord.command, r.pkg.records[0].command);
            EXPECT_EQ(kRecord.arguments, r.pkg.records[0].arguments);
            EXPECT_EQ(kRecord.mode, r.pkg.records[0].mode);
        }
    }

    // Image sizes that fill element 4 make a pair; one byte off, one image.
    Read r = readBytes(dir, layOut({kStub, kStub, globalInfo(1), table, kImage}, 40, 60));
    EXPECT_TRUE(r.pkg.isImagePair());
    EXPECT_EQ(2u, imageParts(r.pkg).size());
    r = readBytes(dir, layOut({kStub, kStub, globalInfo(1), table, kImage}, 40, 61));
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.pkg.isImagePair());
    ASSERT_EQ(1u, imageParts(r.pkg).size());
    EXPECT_EQ(100, imageParts(r.pkg)[0].size);
}

TEST(PackageReader, RecordTextsAtTheirLimits)
{
    TempDir dir;
    Record longest = kRecord;
    longest.command = "./" + std::string(PKG_REC_COMMAND_SIZE - 3, 'c');
    longest.arguments = std::string(PKG_REC_ARGS_SIZE - 1, 'a');
    EXPECT_EQ("", checkRecord(longest));
    Bytes table = commandTable({longest, longest});
    Read r = readBytes(dir, layOut({kStub, kStub, globalInfo(2), table, kImage}));
    ASSERT_TRUE(r.ok) << r.problems[0];
    EXPECT_EQ(longest.command, r.pkg.records[1].command);
    EXPECT_EQ(longest.arguments, r.pkg.records[1].arguments);

    // Without their NULs: the fault, and what fits before the last byte.
    table[PKG_RECORD_SIZE + PKG_REC_COMMAND_OFFSET + PKG_REC_COMMAND_SIZE - 1] = 'x';
    table[PKG_REC_ARGS_OFFSET + PKG_REC_ARGS_SIZE - 1] = 'y';
    r = readBytes(dir, layOut({kStub, kStub, globalInfo(2), table, kImage}));
    EXPECT_EQ((std::vector<std::string>{
                  "record 1: arguments is not NUL-terminated within 256 bytes",
                  "record 2: command is not NUL-terminated within 128 bytes"}),
              r.problems);
    ASSERT_EQ(2u, r.pkg.records.size());
    EXPECT_EQ(longest.arguments, r.pkg.records[0].arguments);
    EXPECT_EQ(longest.command, r.pkg.records[1].command);
}

TEST(PackageReader, FindsTheSignatureBehindTheEndMarker)
{
    TempDir dir;
    makeTree(dir / "image", {{"tool", "#!/bin/sh\n"}});
    build(planFor(dir / "p.pkg", {kRecord}, {dir / "image"}));
    const Bytes unsigned_ = bytesOf(dir / "p.pkg");
    ASSERT_EQ("", generateKeys(dir / "k.sec", dir / "k.pub"));
    ASSERT_EQ("", signPackage(SignOptions{dir / "p.pkg", dir / "k.sec", "", "made in a test"}));
    const Bytes signed_ = bytesOf(dir / "p.pkg");
    Read r = readBytes(dir, signed_);
    ASSERT_TRUE(r.ok) << r.problems[0];
    EXPECT_EQ(unsigned_.size(), r.pkg.signedSize);
    const size_t align = (8 - unsigned_.size() % 8) % 8;
    EXPECT_EQ(signed_.size() - unsigned_.size() - align, r.pkg.signatureSize);
    EXPECT_EQ(0u, (signed_.size() - r.pkg.signatureSize) % 8);
    EXPECT_TRUE(std::equal(unsigned_.begin(), unsigned_.end(), signed_.begin()));

    // A trailer that gives a size out of a block's bounds finds no block:
    // the file then ends in the trailer's magic, not in the end marker.
    for (uint32_t size : {uint32_t{PKG_SIG_MIN_SIZE - 1}, uint32_t{PKG_SIG_MAX_SIZE + 1}}) {
        SCOPED_TRACE(size);
        Bytes off = signed_;
        pkgPutU32(&off[off.size() - PKG_SIG_TRAILER_SIZE], size);
        r = readBytes(dir, off);
        EXPECT_EQ(0u, r.pkg.signatureSize);
        EXPECT_EQ(std::vector<std::string>{"not a package: the last byte is 0x44, not the end "
                                           "marker 0xFF"},
                  r.problems);
    }
}

TEST(PackageReader, BytesOnlyWithinTheFile)
{
    TempDir dir;
    writeFile(dir / "f", "0123456789");
    const std::string path = dir / "f";
    Bytes data;
    std::string error;
    EXPECT_TRUE(readPackageBytes(path, 0, 10, data, error)) << error;
    EXPECT_EQ(Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}), data);
    EXPECT_TRUE(readPackageBytes(path, 10, 0, data, error)) << error;
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(readPackageBytes(path, 7, 3, data, error)) << error;
    EXPECT_EQ(Bytes({'7', '8', '9'}), data);
    const struct {
        int64_t offset;
        int32_t size;
    } beyond[] = {{1, 10}, {10, 1}, {-1, 1}, {0, -1}};
    for (const auto &b : beyond) {
        SCOPED_TRACE(b.offset);
        EXPECT_FALSE(readPackageBytes(path, b.offset, b.size, data, error));
        EXPECT_EQ(std::to_string(b.size) + " bytes at offset " + std::to_string(b.offset) +
                      " lie beyond the end of " + path,
                  error);
    }
}

TEST(RecordCodes, NamesAndDigitsWithinTheirRanges)
{
    const struct {
        const char *text;
        std::optional<int32_t> code;
    } distributions[] = {{"windows", 1}, {"SuSE", 2}, {"Red-Hat", 3}, {"redhat", 3},
                         {"novell", 4},  {"DEBIAN", 5}, {"ubuntu", 6}, {"1", 1},
                         {"6", 6},       {"0", {}},     {"7", {}},     {"06", {}},
                         {"", {}},       {"fedora", {}}, {" suse", {}}},
      architectures[] = {{"x86", 1},     {"i386", 1},   {"x86-64", 2}, {"X86_64", 2},
                         {"ppc", 3},     {"ARM64", 4},  {"aarch64", 4}, {"s390x", 5},
                         {"1", 1},       {"5", 5},      {"0", {}},     {"6", {}},
                         {"amd64", {}},  {"-1", {}},    {"", {}}};
    for (const auto &d : distributions)
        EXPECT_EQ(d.code, distributionCode(d.text)) << d.text;
    for (const auto &a : architectures)
        EXPECT_EQ(a.code, architectureCode(a.text)) << a.text;
}

} // namespace
