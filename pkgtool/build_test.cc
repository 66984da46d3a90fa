// pkgtool build on this build's launcher and unzip utility: what it writes,
// read back with the package reader, and what it refuses, all or nothing.
#include "build.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <numeric>
#include <set>

#include "package_record.h"
#include "test_packages.h"
#include "tests/zip_builder.h"
#include "zipcheck.h"

using namespace pkgtool;
using namespace pkgtest;

namespace {

const std::string kTool = "#!/bin/sh\necho tool \"$@\"\n";

// The bytes of one part of a package file.
Bytes partOf(const std::string &path, int64_t offset, int32_t size)
{
    Bytes data;
    std::string error;
    EXPECT_TRUE(readPackageBytes(path, offset, size, data, error)) << error;
    return data;
}

std::set<std::string> namesIn(const std::string &folder)
{
    std::set<std::string> names;
    DIR *d = opendir(folder.c_str());
    while (const dirent *e = d ? readdir(d) : nullptr)
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.insert(e->d_name);
    if (d)
        closedir(d);
    return names;
}

void expectSameRecord(const Record &want, const Record &got)
{
    EXPECT_EQ(want.distribution, got.distribution);
    EXPECT_EQ(want.release, got.release);
    EXPECT_EQ(want.architecture, got.architecture);
    EXPECT_EQ(want.mode, got.mode);
    EXPECT_EQ(want.command, got.command);
    EXPECT_EQ(want.arguments, got.arguments);
}

TEST(BuildReadBack, ASingleImageFillsTheFileAsTheDirectorySays)
{
    TempDir dir;
    makeTree(dir / "image", {{"tool", kTool}, {"lib/helper.sh", "echo helper\n"},
                             {"data.txt", std::string(5000, 'd')}});
    // The longest command and arguments a record holds.
    const std::string longName = std::string(125, 'c');
    makeTree(dir / "image", {{longName, kTool}});
    const std::vector<Record> records = {
        record(PKG_DIST_REDHAT, 5, PKG_ARCH_X86_64, 0, "./tool", ""),
        record(PKG_DIST_SUSE, -10, PKG_ARCH_X86_64, 1, "./tool --x", "--suse \"quoted\""),
        record(PKG_DIST_UBUNTU, 22, PKG_ARCH_X86_64, 2, "./" + longName, std::string(255, 'a'))};
    BuildSpec plan = planFor(dir / "tool.pkg", records, {dir / "image"});
    plan.strict = true;
    EXPECT_EQ(std::vector<std::string>{}, build(plan));

    const std::string path = plan.output;
    Package pkg;
    std::vector<std::string> problems;
    ASSERT_TRUE(readPackage(path, pkg, problems)) << problems[0];
    ASSERT_TRUE(pkg.located);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), pkg.fileSize);
    EXPECT_EQ(pkg.fileSize, pkg.signedSize);
    EXPECT_EQ(0u, pkg.signatureSize);
    const int64_t sum = std::accumulate(pkg.sizes, pkg.sizes + PKG_ELEMENT_COUNT, int64_t{0});
    EXPECT_EQ(static_cast<uint64_t>(sum + PKG_TRAILER_SIZE), pkg.fileSize);

    // The stubs as they are, the global info, the records as given.
    EXPECT_EQ(bytesOf(TRELL_TEST_LAUNCHER), partOf(path, 0, pkg.sizes[0]));
    EXPECT_EQ(bytesOf(TRELL_TEST_UNZIP), partOf(path, pkg.offset(1), pkg.sizes[1]));
    EXPECT_EQ(PKG_GLOBAL_INFO_SIZE, pkg.sizes[PKG_ELEM_GLOBAL_INFO]);
    EXPECT_EQ(3, pkg.recordCount);
    EXPECT_EQ(1, pkg.strict);
    EXPECT_EQ(3 * PKG_RECORD_SIZE, pkg.sizes[PKG_ELEM_COMMANDS]);
    ASSERT_EQ(records.size(), pkg.records.size());
    for (size_t i = 0; i < records.size(); i++)
        expectSameRecord(records[i], pkg.records[i]);

    // One image: element 4 whole, no pair sizes.
    EXPECT_EQ(0, pkg.firstImageSize);
    EXPECT_EQ(0, pkg.secondImageSize);
    const std::vector<ImagePart> parts = imageParts(pkg);
    ASSERT_EQ(1u, parts.size());
    EXPECT_EQ(pkg.offset(PKG_ELEM_IMAGE), parts[0].offset);
    EXPECT_EQ(pkg.sizes[PKG_ELEM_IMAGE], parts[0].size);
    const Bytes zip = partOf(path, parts[0].offset, parts[0].size);
    std::vector<pkgtool::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(listZip(zip, entries, error)) << error;
    std::vector<std::string> names;
    for (const pkgtool::ZipEntry &e : entries)
        names.push_back(e.name);
    EXPECT_EQ((std::vector<std::string>{longName, "data.txt", "lib/", "lib/helper.sh", "tool"}),
              names);
    EXPECT_EQ(5000u, entries[1].size);
    EXPECT_TRUE(entries[4].executable);
    EXPECT_FALSE(entries[1].executable);

    // The record: what was packed, and what each part hashes to.
    const PackageRecord rec = readPackageRecord(pkg.directory);
    ASSERT_EQ(1, rec.state);
    EXPECT_EQ(5u, rec.images[0].entries);
    EXPECT_EQ(2 * kTool.size() + 12 + 5000, rec.images[0].unpackedBytes);
    EXPECT_EQ(static_cast<uint32_t>(pkg.sizes[PKG_ELEM_IMAGE]), rec.images[0].archiveBytes);
    EXPECT_EQ(0u, rec.images[1].entries + rec.images[1].archiveBytes);
    EXPECT_EQ(0u, rec.images[1].unpackedBytes);
    FileDigests digests;
    ASSERT_TRUE(packageFileDigests(path, pkg.sizes, pkg.directory, digests, error)) << error;
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        EXPECT_EQ(digests.digests[i], rec.digests[i]) << "element " << i;
    for (int i = 0; i < PKG_REC_CHECKSUM_COUNT; i++)
        EXPECT_EQ(digests.checksums[i], rec.checksums[i]) << "checksum " << i;
    // Nothing but the package is left beside it.
    EXPECT_EQ((std::set<std::string>{"image", "tool.pkg"}), namesIn(dir.path()));
}

TEST(BuildReadBack, AnImagePairHoldsTheTwoArchivesBackToBack)
{
    TempDir dir;
    makeTree(dir / "x86", {{"tool", kTool}});
    // The second image a zip as made elsewhere, stored: packed byte for byte.
    ziptest::Builder b;
    ziptest::Entry tool;
    tool.name = "tool";
    tool.content = kTool + "# 64-bit\n";
    tool.method = ZIP_METHOD_STORED;
    tool.mode = 0100755;
    ziptest::Entry other;
    other.name = "other";
    other.content = "x";
    b.entries = {tool, other};
    const Bytes second = b.build();
    writeBytes(dir / "x86_64.zip", second);

    const std::vector<Record> records = {record(PKG_DIST_REDHAT, 7, PKG_ARCH_X86, 0, "./tool"),
                                         record(PKG_DIST_REDHAT, 7, PKG_ARCH_X86_64, 0,
                                                "./other")};
    const BuildSpec plan = planFor(dir / "pair.pkg", records, {dir / "x86", dir / "x86_64.zip"});
    const std::vector<std::string> warnings = build(plan);
    // On x86-64 stubs no x86 host starts the package.
    ASSERT_EQ(2u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find("the image pair's x86 image can never run")) << warnings[0];
    EXPECT_EQ("record 1: no x86 host runs element 0 (the launcher), built for x86-64: the record "
              "runs only as the fall-back on hosts that no record matches",
              warnings[1]);

    Package pkg;
    std::vector<std::string> problems;
    ASSERT_TRUE(readPackage(plan.output, pkg, problems)) << problems[0];
    ASSERT_TRUE(pkg.isImagePair());
    EXPECT_EQ(static_cast<int32_t>(second.size()), pkg.secondImageSize);
    EXPECT_EQ(pkg.sizes[PKG_ELEM_IMAGE], pkg.firstImageSize + pkg.secondImageSize);
    const std::vector<ImagePart> parts = imageParts(pkg);
    ASSERT_EQ(2u, parts.size());
    EXPECT_EQ("x86 image", parts[0].label);
    EXPECT_EQ(PKG_ARCH_X86, parts[0].architecture);
    EXPECT_EQ(pkg.offset(PKG_ELEM_IMAGE), parts[0].offset);
    EXPECT_EQ("x86-64 image", parts[1].label);
    EXPECT_EQ(PKG_ARCH_X86_64, parts[1].architecture);
    EXPECT_EQ(parts[0].offset + pkg.firstImageSize, parts[1].offset);
    EXPECT_EQ(second, partOf(plan.output, parts[1].offset, parts[1].size));
    std::vector<pkgtool::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(listZip(partOf(plan.output, parts[0].offset, parts[0].size), entries, error))
        << error;
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("tool", entries[0].name);

    const PackageRecord rec = readPackageRecord(pkg.directory);
    ASSERT_EQ(1, rec.state);
    EXPECT_EQ(1u, rec.images[0].entries);
    EXPECT_EQ(kTool.size(), rec.images[0].unpackedBytes);
    EXPECT_EQ(static_cast<uint32_t>(pkg.firstImageSize), rec.images[0].archiveBytes);
    EXPECT_EQ(2u, rec.images[1].entries);
    EXPECT_EQ(tool.content.size() + 1, rec.images[1].unpackedBytes);
    EXPECT_EQ(second.size(), rec.images[1].archiveBytes);
}

TEST(BuildReadBack, ACommandTheImageLacksIsAWarningNotARefusal)
{
    TempDir dir;
    makeTree(dir / "image", {{"sub/tool", kTool}});
    const BuildSpec plan =
        planFor(dir / "p.pkg",
                {record(PKG_DIST_DEBIAN, 12, PKG_ARCH_X86_64, 0, "./sub/tool"),
                 record(PKG_DIST_DEBIAN, 11, PKG_ARCH_X86_64, 0, "./missing -v")},
                {dir / "image"});
    const std::vector<std::string> warnings = build(plan);
    ASSERT_EQ(2u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find("record 1: command './sub/tool' lies below the folder 'sub/'"))
        << warnings[0];
    EXPECT_EQ("record 2: command './missing' names no file in the image", warnings[1]);
    Package pkg;
    std::vector<std::string> problems;
    EXPECT_TRUE(readPackage(plan.output, pkg, problems));
}

TEST(BuildRefusals, LeaveTheOutputAsItWasAndNothingBesideIt)
{
    TempDir dir;
    makeTree(dir / "image", {{"tool", kTool}});
    mkdir((dir / "empty").c_str(), 0755);
    writeFile(dir / "text", "no zip");
    writeFile(dir / "out.pkg", "previous");
    const Record good = record(PKG_DIST_SUSE, 15, PKG_ARCH_X86_64, 1, "./tool");
    auto with = [&](auto change) {
        BuildSpec plan = planFor(dir / "out.pkg", {good}, {dir / "image"});
        change(plan);
        return plan;
    };
    const std::string image = dir / "image";
    const struct {
        BuildSpec plan;
        std::string error;
    } cases[] = {
        {with([](BuildSpec &s) { s.records.clear(); }), "at least one --record is needed"},
        {with([&](BuildSpec &s) { s.records.push_back(record(7, 1, 2, 0, "./tool")); }),
         "record 2: unknown distribution code 7"},
        {with([&](BuildSpec &s) { s.records[0].architecture = 6; }),
         "record 1: unknown architecture code 6"},
        {with([&](BuildSpec &s) { s.records[0].command = "tool"; }),
         "record 1: command \"tool\" does not begin with \"./\""},
        {with([&](BuildSpec &s) { s.records[0].command = "./" + std::string(126, 'c'); }),
         "record 1: command is 128 bytes, at most 127 fit"},
        {with([&](BuildSpec &s) { s.records[0].arguments = std::string(256, 'a'); }),
         "record 1: arguments are 256 bytes, at most 255 fit"},
        {with([&](BuildSpec &s) { s.records[0].arguments = std::string("a\0b", 3); }),
         "record 1: command or arguments hold a NUL byte"},
        {with([&](BuildSpec &s) { s.records[0].mode = 3; }),
         "record 1: argument mode 3 is not 0, 1 or 2"},
        {with([&](BuildSpec &s) { s.images = {image, image, image}; }),
         "give one image zip, or two for an image pair"},
        {with([&](BuildSpec &s) { s.images = {dir / "empty"}; }),
         "the image folder " + dir / "empty" + " is empty"},
        {with([&](BuildSpec &s) { s.images = {dir / "text"}; }),
         "the image " + dir / "text" + " is not a zip archive"},
        {with([&](BuildSpec &s) { s.stub = dir / "none"; }),
         "cannot read the launcher stub " + dir / "none" + ": No such file or directory"},
        {with([&](BuildSpec &s) { s.unzip = dir.path(); }),
         "cannot read the unzip utility " + dir.path() + ": it is a folder, not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<std::string> warnings;
        EXPECT_EQ(c.error, buildPackage(c.plan, warnings));
        EXPECT_EQ("previous", readFile(dir / "out.pkg"));
        EXPECT_EQ((std::set<std::string>{"empty", "image", "out.pkg", "text"}),
                  namesIn(dir.path()));
    }

    // A write that fails half-way, at the file size limit: the temporary
    // file goes, the output stays.
    struct sigaction ignore = {}, oldAction = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &oldAction);
    struct rlimit oldLimit;
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    struct rlimit limit = oldLimit;
    limit.rlim_cur = 20000; // less than the launcher alone
    setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<std::string> warnings;
    const std::string error = buildPackage(with([](BuildSpec &) {}), warnings);
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    sigaction(SIGXFSZ, &oldAction, nullptr);
    EXPECT_EQ("cannot write " + dir / "out.pkg" + ": File too large", error);
    EXPECT_EQ("previous", readFile(dir / "out.pkg"));
    EXPECT_EQ((std::set<std::string>{"empty", "image", "out.pkg", "text"}), namesIn(dir.path()));

    // A link is not written through, nor replaced.
    ASSERT_EQ(0, symlink("out.pkg", (dir / "link.pkg").c_str()));
    BuildSpec plan = with([&](BuildSpec &s) { s.output = dir / "link.pkg"; });
    EXPECT_EQ(0u, buildPackage(plan, warnings).find("cannot write " + dir / "link.pkg" +
                                                   ": it is a symbolic link"));
    EXPECT_EQ("previous", readFile(dir / "out.pkg"));
    struct stat st;
    ASSERT_EQ(0, lstat((dir / "link.pkg").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

} // namespace
