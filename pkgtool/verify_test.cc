// pkgtool verify on packages built on this build's stubs, then changed
// byte by byte: each kind of problem it reports, and nothing more.
#include "verify.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "package_record.h"
#include "test_packages.h"
#include "tests/zip_builder.h"
#include "trell_version.h"

using namespace pkgtool;
using namespace pkgtest;

namespace {

const std::string kTool = "#!/bin/sh\necho tool \"$@\"\n";

// The image: a zip with the tool stored, so that its bytes can be found in
// the package.
Bytes storedImage()
{
    ziptest::Builder b;
    ziptest::Entry tool;
    tool.name = "tool";
    tool.content = kTool;
    tool.method = ZIP_METHOD_STORED;
    tool.mode = 0100755;
    ziptest::Entry data;
    data.name = "data";
    data.content = std::string(3000, 'x');
    b.entries = {tool, data};
    return b.build();
}

std::string digestProblem(int element)
{
    return "element " + std::to_string(element) + " (" + pkgElementName(element) +
           ") is not what was built: its SHA-256 differs from the package record's";
}

std::string checksumProblem(const std::string &part)
{
    return "the launcher's checksum of " + part + " does not match: the launcher refuses the "
           "package";
}

class VerifyDamage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        writeBytes(*dir_ / "image.zip", storedImage());
        BuildSpec plan = planFor(*dir_ / "sound.pkg",
                                 {record(PKG_DIST_REDHAT, 8, PKG_ARCH_X86_64, 0, "./tool", "-v"),
                                  record(PKG_DIST_SUSE, 15, PKG_ARCH_X86_64, 1, "./tool")},
                                 {*dir_ / "image.zip"});
        build(plan);
        sound_ = new Bytes(bytesOf(plan.output));
        std::vector<std::string> problems;
        package_ = new Package;
        if (!readPackage(plan.output, *package_, problems))
            throw std::runtime_error("the sound package does not read");
    }
    static void TearDownTestSuite()
    {
        delete package_;
        delete sound_;
        delete dir_;
    }

    // Where the directory starts in the sound package.
    static size_t directory() { return sound_->size() - PKG_TRAILER_SIZE; }
    static size_t element(int i) { return static_cast<size_t>(package_->offset(i)); }

    // Verifies a copy of the sound package changed by edit.
    static Verification verifyChanged(const std::string &name,
                                      const std::function<void(Bytes &)> &edit)
    {
        Bytes bytes = *sound_;
        edit(bytes);
        writeBytes(*dir_ / name, bytes);
        Verification v = verifyPackage(*dir_ / name);
        v.warnings = withoutHostNeeds(v.warnings);
        return v;
    }

    // A change of the sound package and the problems verify reports for it,
    // with no warning.
    struct DamageCase {
        const char *name;
        std::function<void(Bytes &)> edit;
        std::vector<std::string> problems;
    };
    static void expectProblems(const std::string &name, const std::vector<DamageCase> &cases)
    {
        for (const DamageCase &c : cases) {
            SCOPED_TRACE(c.name);
            const Verification v = verifyChanged(name, c.edit);
            EXPECT_EQ(c.problems, v.problems);
            EXPECT_EQ(std::vector<std::string>{}, v.warnings);
        }
    }

    static TempDir *dir_;
    static Bytes *sound_;
    static Package *package_;
};

TempDir *VerifyDamage::dir_;
Bytes *VerifyDamage::sound_;
Package *VerifyDamage::package_;

TEST_F(VerifyDamage, TheSoundPackagePassesWithItsExecutablesFacts)
{
    const Verification v = verifyChanged("same.pkg", [](Bytes &) {});
    EXPECT_EQ(std::vector<std::string>{}, v.problems);
    EXPECT_EQ(std::vector<std::string>{}, v.warnings);
    ASSERT_TRUE(v.package.located);
    ASSERT_EQ(2u, v.executables.size());
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(i, v.executables[i].element);
        EXPECT_TRUE(v.executables[i].elf);
        EXPECT_EQ("", v.executables[i].problem);
        EXPECT_EQ(TRELL_VERSION, v.executables[i].version);
    }
}

TEST_F(VerifyDamage, EachChangedElementAgainstThePackageRecord)
{
    const std::string launcherMark = TRELL_LAUNCHER_VERSION_MARK;
    const std::string unzipMark = TRELL_UNZIP_VERSION_MARK;
    const size_t launcherVersion = find(*sound_, launcherMark) + launcherMark.size();
    const size_t unzipVersion = find(*sound_, unzipMark, element(1)) + unzipMark.size();
    ASSERT_LT(launcherVersion, element(1));
    ASSERT_LT(unzipVersion, element(2));
    const size_t toolData = find(*sound_, kTool, element(4));
    const std::vector<DamageCase> cases = {
        // Element 0 runs before any check: it checks itself.
        {"launcher", [&](Bytes &b) { b[launcherVersion] ^= 0x08; },
         {digestProblem(0), checksumProblem("element 0")}},
        {"unzip utility", [&](Bytes &b) { b[unzipVersion] ^= 0x08; },
         {digestProblem(1), checksumProblem("element 1")}},
        {"strict flag", [&](Bytes &b) { b[element(2) + PKG_GI_STRICT_OFFSET] = 1; },
         {digestProblem(2), checksumProblem("element 2")}},
        {"record release",
         [&](Bytes &b) { b[element(3) + PKG_RECORD_SIZE + PKG_REC_RELEASE_OFFSET] ^= 1; },
         {digestProblem(3), checksumProblem("element 3")}},
        {"image data", [&](Bytes &b) { b[toolData + 3] ^= 0x20; },
         {"image: entry 'tool' is damaged: CRC-32 mismatch", digestProblem(4)}},
        // The unzip utility may be a script, as long as the launcher's checks hold.
        {"unzip script", [&](Bytes &b) { std::memcpy(&b[element(1)], "#!/b", 4); },
         {digestProblem(1), checksumProblem("element 1")}},
        {"launcher no ELF", [&](Bytes &b) { b[0] = 0; },
         {"element 0 (the launcher) is not an ELF executable", digestProblem(0),
          checksumProblem("element 0")}},
    };
    expectProblems("element.pkg", cases);

    // What the zip directory says of an entry, which decides what is
    // written and with which mode, without touching its data or CRC: its
    // time, its owner-execute bit, "version made by".
    const size_t central = find(*sound_, "PK\x01\x02", element(4));
    const std::vector<std::string> zipDirectory = {
        digestProblem(4), checksumProblem("the image's zip directory")};
    const std::vector<DamageCase> entries = {
        {"time", [&](Bytes &b) { b[central + 12] ^= 0x01; }, zipDirectory},
        {"owner execute", [&](Bytes &b) { b[central + 40] ^= 0x40; }, zipDirectory},
        {"made by", [&](Bytes &b) { b[central + 4] ^= 0x01; }, zipDirectory},
    };
    expectProblems("zipdir.pkg", entries);
}

TEST_F(VerifyDamage, EachChangeOfTheDirectory)
{
    const size_t record = directory() + PKG_REC_AREA_OFFSET;
    const PkgImageFacts facts = readPackageRecord(package_->directory).images[0];
    ASSERT_EQ(2u, facts.entries);
    ASSERT_EQ(kTool.size() + 3000, facts.unpackedBytes);
    const std::string describe = "2 entries, " + std::to_string(facts.unpackedBytes) +
                                 " bytes unpacked, in an archive of " +
                                 std::to_string(facts.archiveBytes) + " bytes";
    const std::string image = std::to_string(package_->sizes[PKG_ELEM_IMAGE]);
    const std::vector<DamageCase> cases = {
        {"image facts", [&](Bytes &b) { b[record + PKG_REC_IMAGE_OFFSET + 8] = 3; },
         {"the package record says the image has 3" + describe.substr(1) + "; it has " +
              describe,
          checksumProblem("the directory")}},
        {"second image",
         [&](Bytes &b) { b[record + PKG_REC_IMAGE_OFFSET + PKG_REC_IMAGE_SLOT_SIZE + 8] = 1; },
         {"the package record names a second image (1 entries, 0 bytes unpacked, in an archive "
          "of 0 bytes), but element 4 holds one",
          checksumProblem("the directory")}},
        {"digest", [&](Bytes &b) { b[record + PKG_REC_DIGEST_OFFSET + 2 * 32] ^= 1; },
         {digestProblem(2), checksumProblem("the directory")}},
        {"checksum", [&](Bytes &b) { b[record + PKG_REC_CHECKSUM_OFFSET + 4] ^= 1; },
         {checksumProblem("element 2")}},
        {"magic", [&](Bytes &b) { b[record] = 'X'; },
         {"the directory's reserved bytes hold neither zeros nor a package record: the "
          "package is damaged"}},
        {"image sizes",
         [&](Bytes &b) {
             pkgPutI32(&b[directory() + 4 * PKG_DIR_FIRST_IMAGE_ENTRY], 10);
             pkgPutI32(&b[directory() + 4 * PKG_DIR_SECOND_IMAGE_ENTRY], 20);
         },
         {"the image sizes 10 and 20 make no image pair of element 4's " + image +
              " bytes: the launcher takes element 4 as one image",
          checksumProblem("the directory")}},
        // Older packages carry no record: nothing to hold them to.
        {"no record",
         [&](Bytes &b) { std::memset(&b[record], 0, PKG_REC_AREA_SIZE); },
         {}},
    };
    expectProblems("directory.pkg", cases);
}

TEST_F(VerifyDamage, WarningsThatDoNotFailThePackage)
{
    Verification v = verifyChanged("zero.pkg", [&](Bytes &b) {
        pkgPutI32(&b[element(2) + PKG_GI_COUNT_OFFSET], 0);
    });
    EXPECT_EQ((std::vector<std::string>{digestProblem(2), checksumProblem("element 2")}),
              v.problems);
    EXPECT_EQ(std::vector<std::string>{"the record count is 0: no record matches any host, the "
                                       "launcher always falls back to the first"},
              v.warnings);
    EXPECT_TRUE(v.package.records.empty());

    writeBytes(*dir_ / "plain.pkg", *sound_);
    chmod((*dir_ / "plain.pkg").c_str(), 0644);
    v = verifyPackage(*dir_ / "plain.pkg");
    EXPECT_EQ(std::vector<std::string>{}, v.problems);
    EXPECT_EQ(std::vector<std::string>{"the file is not executable (chmod +x makes it so)"},
              withoutHostNeeds(v.warnings));
}

TEST(Verify, ACommandWithoutItsFileFailsForTheArchiveItRunsWith)
{
    TempDir dir;
    makeTree(dir / "x86", {{"tool", kTool}, {"only32", kTool}});
    makeTree(dir / "x86_64", {{"tool", kTool}, {"lib/only64", kTool}});
    // The fall-back is checked against both archives, the others against
    // their own.
    const BuildSpec plan =
        planFor(dir / "pair.pkg",
                {record(PKG_DIST_DEBIAN, 12, PKG_ARCH_X86_64, 0, "./only32"),
                 record(PKG_DIST_DEBIAN, 12, PKG_ARCH_X86, 0, "./only32"),
                 record(PKG_DIST_UBUNTU, 22, PKG_ARCH_X86_64, 0, "./lib/only64"),
                 record(PKG_DIST_UBUNTU, 22, PKG_ARCH_X86, 0, "./lib/only64")},
                {dir / "x86", dir / "x86_64"});
    build(plan);
    const Verification v = verifyPackage(plan.output);
    EXPECT_EQ((std::vector<std::string>{
                  "record 4: command './lib/only64' names no file in the image (x86 image)",
                  "record 1: command './only32' names no file in the image (x86-64 image)"}),
              v.problems);
    const std::vector<std::string> warnings = withoutHostNeeds(v.warnings);
    EXPECT_NE(warnings.end(),
              std::find(warnings.begin(), warnings.end(),
                        "record 3: command './lib/only64' lies below the folder 'lib/': the "
                        "launcher makes only the image's top-level entries executable (chmod "
                        "777 *) and the unzip utility sets no modes (x86-64 image)"));
}

} // namespace
