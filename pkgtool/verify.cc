#include "verify.h"

#include "bom_compare.h"
#include "command_line.h"
#include "commands.h"
#include "hostneeds.h"
#include "image_rules.h"
#include "package_record.h"
#include "signing.h"
#include "stubs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace pkgtool {

static bool startsWith(const std::vector<unsigned char> &data, const char *magic)
{
    const size_t n = std::strlen(magic);
    return data.size() >= n && std::memcmp(data.data(), magic, n) == 0;
}

static std::string describe(const PkgImageFacts &f)
{
    return std::to_string(f.entries) + " entries, " + std::to_string(f.unpackedBytes) +
           " bytes unpacked, in an archive of " + std::to_string(f.archiveBytes) + " bytes";
}

// The package record against what the package holds: each image's facts,
// each element's SHA-256 and the launcher's checksum.
// What verify read of each archive for the record's zip-directory fields:
// its zip directory's size, and its bytes from where the record says the
// directory starts.
struct ZipDirectoryReading {
    std::vector<uint32_t> sizes;
    std::vector<std::vector<unsigned char>> tails;
};

static void checkRecordAgainst(const std::string &path, const Package &pkg,
                               const std::vector<ImagePart> &parts,
                               const std::vector<PkgImageFacts> &facts,
                               const ZipDirectoryReading &zipDirs, Verification &v)
{
    const PackageRecord rec = readPackageRecord(pkg.directory);
    if (rec.state == 0)
        return; // built before the record: nothing to check it against
    if (rec.state < 0) {
        v.problems.push_back("the directory's reserved bytes hold neither zeros nor a package "
                             "record: the package is damaged");
        return;
    }
    // An image that could not be read has been reported already.
    for (int slot = 0; facts.size() == parts.size() && slot < PKG_REC_IMAGE_SLOTS; slot++) {
        const PkgImageFacts want = slot < static_cast<int>(facts.size()) ? facts[slot]
                                                                         : PkgImageFacts{};
        const PkgImageFacts &got = rec.images[slot];
        if (got.entries == want.entries && got.unpackedBytes == want.unpackedBytes &&
            got.archiveBytes == want.archiveBytes)
            continue;
        if (slot >= static_cast<int>(facts.size()))
            v.problems.push_back("the package record names a second image (" + describe(got) +
                                 "), but element 4 holds one");
        else
            v.problems.push_back("the package record says the " + parts[slot].label + " has " +
                                 describe(got) + "; it has " + describe(want));
    }
    FileDigests got;
    std::string error;
    if (!packageFileDigests(path, pkg.sizes, pkg.directory, got, error)) {
        v.problems.push_back(error);
        return;
    }
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        if (got.digests[i] != rec.digests[i])
            v.problems.push_back("element " + std::to_string(i) + " (" + pkgElementName(i) +
                                 ") is not what was built: its SHA-256 differs from the "
                                 "package record's");
    // What the launcher checks, element by element, then the directory.
    for (int i = 0; i < PKG_REC_CHECKSUM_COUNT; i++)
        if (got.checksums[i] != rec.checksums[i])
            v.problems.push_back(std::string("the launcher's checksum of ") +
                                 (i < 3 ? "element " + std::to_string(i + 1)
                                        : std::string("the directory")) +
                                 " does not match: the launcher refuses the package");
    if (!rec.hasZipDirectory)
        return; // built before the launcher checked these
    if (got.launcherChecksum != rec.launcherChecksum)
        v.problems.push_back("the launcher's checksum of element 0 does not match: the launcher "
                             "refuses the package");
    if (zipDirs.sizes.size() != parts.size())
        return; // an image that could not be read has been reported already
    Pieces tails;
    for (size_t i = 0; i < zipDirs.tails.size(); i++) {
        tails.emplace_back(zipDirs.tails[i].data(), zipDirs.tails[i].size());
        if (zipDirs.sizes[i] != rec.zipDirectoryBytes[i])
            v.problems.push_back("the package record says the " + parts[i].label +
                                 "'s zip directory has " +
                                 std::to_string(rec.zipDirectoryBytes[i]) + " bytes; it has " +
                                 std::to_string(zipDirs.sizes[i]));
    }
    for (size_t slot = parts.size(); slot < rec.zipDirectoryBytes.size(); slot++)
        if (rec.zipDirectoryBytes[slot] != 0)
            v.problems.push_back("the package record names a second zip directory, but "
                                 "element 4 holds one image");
    if (zipDirectoryChecksum(tails, rec.zipDirectoryBytes) != rec.zipDirectoryChecksum)
        v.problems.push_back("the launcher's checksum of the image's zip directory does not "
                             "match: the launcher refuses the package");
}

Verification verifyPackage(const std::string &path)
{
    Verification v;
    Package &pkg = v.package;
    readPackage(path, pkg, v.problems);
    if (!pkg.located)
        return v;

    if (pkg.recordCount == 0 && pkg.sizes[PKG_ELEM_GLOBAL_INFO] == PKG_GLOBAL_INFO_SIZE)
        v.warnings.push_back("the record count is 0: no record matches any host, the launcher "
                             "always falls back to the first");
    for (size_t i = 0; i < pkg.records.size(); i++) {
        const std::string problem = checkRecord(pkg.records[i]);
        if (!problem.empty())
            v.problems.push_back("record " + std::to_string(i + 1) + ": " + problem);
    }

    std::vector<unsigned char> head;
    std::string error;
    // Element 0 is the launcher itself; element 1 is run by it as "./miniunz".
    const int64_t unzipOffset = pkg.offset(PKG_ELEM_UNZIP);
    if (!readPackageBytes(path, 0, std::min(pkg.sizes[PKG_ELEM_LAUNCHER], 4), head, error))
        v.problems.push_back(error);
    else if (!startsWith(head, "\x7F" "ELF"))
        v.problems.push_back(executableName(PKG_ELEM_LAUNCHER) + " is not an ELF executable");
    if (!readPackageBytes(path, unzipOffset, std::min(pkg.sizes[PKG_ELEM_UNZIP], 4), head, error))
        v.problems.push_back(error);
    else if (!startsWith(head, "\x7F" "ELF") && !startsWith(head, "#!"))
        v.problems.push_back(executableName(PKG_ELEM_UNZIP) +
                             " is neither an ELF executable nor a \"#!\" script");
    v.executables = packageExecutables(path, pkg);
    reportHostNeeds(v.executables, &v.problems, v.warnings);
    reportImagePairStubs(v.executables, pkg.isImagePair(), v.warnings);
    reportRecordHosts(v.executables, pkg.records, pkg.isImagePair(), v.warnings);

    // Sizes given (a negative one is reported as such) that make no pair.
    const bool anyImageSize = pkg.firstImageSize != 0 || pkg.secondImageSize != 0;
    const bool negativeImageSize = pkg.firstImageSize < 0 || pkg.secondImageSize < 0;
    if (anyImageSize && !negativeImageSize && !pkg.isImagePair())
        v.problems.push_back("the image sizes " + std::to_string(pkg.firstImageSize) + " and " +
                             std::to_string(pkg.secondImageSize) + " make no image pair of " +
                             "element 4's " + std::to_string(pkg.sizes[PKG_ELEM_IMAGE]) +
                             " bytes: the launcher takes element 4 as one image");

    const std::vector<ImagePart> parts = imageParts(pkg);
    const PackageRecord rec = readPackageRecord(pkg.directory);
    std::vector<PkgImageFacts> facts;
    ZipDirectoryReading zipDirs;
    for (const ImagePart &part : parts) {
        std::vector<unsigned char> zip;
        if (!readPackageBytes(path, part.offset, part.size, zip, error)) {
            v.problems.push_back(part.label + ": " + error);
            continue;
        }
        zipDirs.sizes.push_back(zipDirectoryBytes(zip));
        if (rec.hasZipDirectory) {
            const size_t slot = zipDirs.tails.size();
            const size_t n = std::min<size_t>(rec.zipDirectoryBytes[slot], zip.size());
            zipDirs.tails.emplace_back(zip.end() - static_cast<std::ptrdiff_t>(n), zip.end());
        }
        std::vector<ZipEntry> entries;
        std::vector<std::string> problems;
        checkImage(zip, entries, problems);
        if (problems.empty())
            facts.push_back(imageFacts(zip, entries));
        for (const std::string &p : problems)
            v.problems.push_back(part.label + ": " + p);
        if (problems.empty())
            recordNotes(pkg.records, entries, part.architecture,
                        part.architecture != 0 ? " (" + part.label + ")" : "", v.problems,
                        v.warnings);
    }

    checkRecordAgainst(path, pkg, parts, facts, zipDirs, v);

    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0)
        v.warnings.push_back("the file is not executable (chmod +x makes it so)");
    return v;
}

int commandVerify(int argc, char **argv)
{
    std::vector<std::string> trust, sboms, args;
    std::vector<char *> rest = takeValueOptions(argc, argv, {{"--trust", &trust},
                                                             {"--sbom", &sboms}});
    std::string error;
    if (!parseArgs(static_cast<int>(rest.size()), rest.data(), args, nullptr, nullptr, error))
        return usageError("verify: " + error);
    if (args.size() != 1)
        return usageError("verify takes one package");
    const std::string &path = args[0];
    std::vector<MinisignPublicKey> keys;
    for (const std::string &file : trust) {
        MinisignPublicKey key;
        const std::string problem = readPublicKey(file, key);
        if (!problem.empty()) {
            std::fprintf(stderr, "pkgtool: %s\n", problem.c_str());
            return 1;
        }
        keys.push_back(key);
    }
    Verification v = verifyPackage(path);
    for (const ExecutableFacts &f : v.executables)
        std::printf("%s: %s: %s\n", path.c_str(), executableName(f.element).c_str(),
                    describeExecutable(f).c_str());
    if (v.package.located) {
        const SignatureState sig = checkSignature(path, v.package, keys, error);
        if (!error.empty()) {
            v.problems.push_back(error);
        } else if (!sig.signedPackage) {
            if (!keys.empty()) // asked for
                std::printf("%s: signature: unsigned\n", path.c_str());
        } else if (!sig.sound) {
            v.problems.push_back("the signature block is damaged");
        } else if (sig.trusted == 0) {
            v.problems.push_back("the signature by key ID " + sig.keyId +
                                 " does not match the package: it was changed after signing");
        } else {
            std::printf("%s: signature: signed by key ID %s, %s\n", path.c_str(),
                        sig.keyId.c_str(), sig.trusted == 1 ? "trusted" : "untrusted");
        }
    }
    for (const std::string &sbom : sboms) {
        std::vector<std::string> differences;
        if (!compareBom(path, sbom, differences, error))
            v.problems.push_back(error);
        else if (differences.empty())
            std::printf("%s: bill of materials %s: matches\n", path.c_str(), sbom.c_str());
        for (const std::string &d : differences)
            v.problems.push_back("the bill of materials " + sbom + " differs: " + d);
    }
    reportLines(path, v.problems);
    reportLines(path, v.warnings, "warning: ");
    if (!v.problems.empty())
        return 1;
    std::printf("%s: OK\n", path.c_str());
    return 0;
}

} // namespace pkgtool
