// pkgtool info: a package's directory, elements, executables, package
// record, signature, global info and records, or what makes the file no
// valid package; as text, or as one JSON object (--json).
#include "commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "command_line.h"
#include "hostneeds.h"
#include "package_file.h"
#include "package_record.h"
#include "printable.h"
#include "signing.h"

namespace pkgtool {

namespace {

// Members keep the order they are added in, as documented.
using Json = nlohmann::ordered_json;

// An element's name without its article: "unzip utility".
std::string elementName(int index)
{
    return std::string(pkgElementName(index)).substr(4);
}

// The package record, as text.
void printPackageRecord(const Package &pkg)
{
    const PackageRecord rec = readPackageRecord(pkg.directory);
    if (rec.state == 0) {
        std::puts("Package record: none (built by an older pkgtool)");
        return;
    }
    if (rec.state < 0) {
        std::puts("Package record: damaged (the reserved bytes hold neither zeros nor a record)");
        return;
    }
    std::printf("Package record: version %u, %u bytes\n", rec.version, rec.size);
    const std::vector<ImagePart> parts = imageParts(pkg);
    for (int slot = 0; slot < PKG_REC_IMAGE_SLOTS; slot++) {
        const PkgImageFacts &f = rec.images[slot];
        if (slot > 0 && f.entries == 0 && f.unpackedBytes == 0 && f.archiveBytes == 0)
            continue;
        std::printf("  %-13s %u entries, %llu bytes unpacked, archive %u bytes\n",
                    (slot < static_cast<int>(parts.size()) ? parts[slot].label : "image 2").c_str(),
                    f.entries, static_cast<unsigned long long>(f.unpackedBytes), f.archiveBytes);
    }
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        std::printf("  SHA-256 of element %d: %s\n", i, hexDigest(rec.digests[i]).c_str());
    std::printf("  checksums of elements 1, 2, 3 and the directory: %08x %08x %08x %08x\n",
                rec.checksums[0], rec.checksums[1], rec.checksums[2], rec.checksums[3]);
    if (rec.hasZipDirectory)
        std::printf("  checksums of element 0 and the zip directories: %08x %08x (%u and %u "
                    "bytes)\n",
                    rec.launcherChecksum, rec.zipDirectoryChecksum, rec.zipDirectoryBytes[0],
                    rec.zipDirectoryBytes[1]);
}

// The signature, as text (without checking it: verify --trust does).
void printSignature(const std::string &path, const Package &pkg)
{
    std::string error;
    const SignatureState sig = checkSignature(path, pkg, {}, error);
    if (!sig.signedPackage)
        std::puts("Signature: none");
    else if (!sig.sound || !error.empty())
        std::printf("Signature: damaged (%u bytes)\n", pkg.signatureSize);
    else
        std::printf("Signature: key ID %s, %u bytes, trusted comment: %s\n", sig.keyId.c_str(),
                    pkg.signatureSize, printableName(sig.trustedComment).c_str());
}

// What readPackage found (ok: without a problem), as text.
void printPackage(const std::string &path, const Package &pkg, bool ok,
                  const std::vector<ExecutableFacts> &executables)
{
    if (pkg.fileSize >= PKG_TRAILER_SIZE && (ok || pkg.sizes[0] != 0 || pkg.sizes[4] != 0)) {
        std::printf("Package %s, %llu bytes\n", path.c_str(),
                    static_cast<unsigned long long>(pkg.fileSize));
        std::printf("Directory at offset %llu\n",
                    static_cast<unsigned long long>(pkg.signedSize - PKG_TRAILER_SIZE));
        for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
            std::printf("  element %d %-14s offset %11lld  size %11d\n", i, elementName(i).c_str(),
                        static_cast<long long>(pkg.offset(i)), pkg.sizes[i]);
        std::printf("  image sizes: first %d, second %d (%s)\n", pkg.firstImageSize,
                    pkg.secondImageSize, pkg.isImagePair() ? "image pair" : "single image");
        for (const ExecutableFacts &f : executables)
            std::printf("  %s: %s\n    version: %s\n", executableName(f.element).c_str(),
                        describeExecutable(f).c_str(),
                        f.version.empty() ? "none found" : f.version.c_str());
    }
    if (pkg.located) {
        printPackageRecord(pkg);
        printSignature(path, pkg);
    }
    if (ok || !pkg.records.empty() || pkg.recordCount != 0) {
        std::printf("Global info: %d record(s), strict %d\n", pkg.recordCount, pkg.strict);
        for (size_t i = 0; i < pkg.records.size(); i++) {
            const Record &r = pkg.records[i];
            std::printf("Record %zu: distribution %s (%d), release %d, architecture %s (%d), "
                        "argument mode %d\n",
                        i + 1, pkgDistributionName(r.distribution), r.distribution, r.release,
                        pkgArchitectureName(r.architecture), r.architecture, r.mode);
            std::printf("  command:   %s\n  arguments: %s\n", printableName(r.command).c_str(),
                        printableName(r.arguments).c_str());
        }
    }
}

// One executable's facts as a JSON object (always with "static" for a
// readable ELF file).
Json executableJson(const ExecutableFacts &f)
{
    Json j;
    j["element"] = f.element;
    j["elf"] = f.elf;
    j["version"] = f.version.empty() ? Json() : Json(f.version);
    if (!f.problem.empty()) {
        j["problem"] = f.problem;
        return j;
    }
    const ElfInfo &i = f.info;
    j["class"] = i.elfClass;
    j["byte_order"] = i.bigEndian ? "big" : "little";
    j["machine"] = elfMachineName(i.machine, i.bigEndian);
    j["machine_code"] = i.machine;
    j["static"] = i.isStatic();
    j["interpreter"] = i.interpreter.empty() ? Json() : Json(i.interpreter);
    j["needed"] = i.needed;
    j["glibc"] = i.glibc.empty() ? Json() : Json(i.glibc);
    return j;
}

// The package record as a JSON value: null for none, {"valid": false} for
// a damaged one.
Json packageRecordJson(const Package &pkg)
{
    const PackageRecord rec = readPackageRecord(pkg.directory);
    if (rec.state == 0)
        return nullptr;
    if (rec.state < 0)
        return {{"valid", false}};
    Json images = Json::array();
    for (const PkgImageFacts &f : rec.images)
        images.push_back({{"entries", f.entries},
                          {"unpacked_bytes", f.unpackedBytes},
                          {"archive_bytes", f.archiveBytes}});
    Json digests = Json::array();
    for (const Sha256 &d : rec.digests)
        digests.push_back(hexDigest(d));
    Json j = {{"valid", true},    {"version", rec.version}, {"size", rec.size},
              {"images", images}, {"sha256", digests},      {"checksums", rec.checksums}};
    if (rec.hasZipDirectory) {
        j["launcher_checksum"] = rec.launcherChecksum;
        j["zip_directory_checksum"] = rec.zipDirectoryChecksum;
        j["zip_directory_bytes"] = rec.zipDirectoryBytes;
    }
    return j;
}

// The package's directory, elements, global info, records, package record,
// signature and (once located) executables as one JSON object, with the
// problems found (an empty list for a sound package).
Json packageJson(const std::string &path, const Package &pkg,
                 const std::vector<std::string> &problems,
                 const std::vector<ExecutableFacts> &executables)
{
    Json j;
    j["file"] = path;
    j["file_size"] = pkg.fileSize;
    j["valid"] = problems.empty();
    if (pkg.located) {
        j["directory_offset"] = pkg.signedSize - PKG_TRAILER_SIZE;
        Json elements = Json::array();
        for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
            elements.push_back({{"index", i},
                                {"name", elementName(i)},
                                {"offset", pkg.offset(i)},
                                {"size", pkg.sizes[i]}});
        j["elements"] = elements;
        j["first_image_size"] = pkg.firstImageSize;
        j["second_image_size"] = pkg.secondImageSize;
        j["image_pair"] = pkg.isImagePair();
        j["record_count"] = pkg.recordCount;
        j["strict"] = pkg.strict;
        Json records = Json::array();
        for (const Record &r : pkg.records)
            records.push_back({{"distribution", r.distribution},
                               {"distribution_name", pkgDistributionName(r.distribution)},
                               {"release", r.release},
                               {"architecture", r.architecture},
                               {"architecture_name", pkgArchitectureName(r.architecture)},
                               {"mode", r.mode},
                               {"command", r.command},
                               {"arguments", r.arguments}});
        j["records"] = records;
        j["package_record"] = packageRecordJson(pkg);
        std::string error;
        const SignatureState sig = checkSignature(path, pkg, {}, error);
        if (!sig.signedPackage)
            j["signature"] = nullptr;
        else
            j["signature"] = {{"size", pkg.signatureSize},
                              {"valid", sig.sound && error.empty()},
                              {"key_id", sig.keyId},
                              {"trusted_comment", sig.trustedComment}};
        Json facts = Json::array();
        for (const ExecutableFacts &f : executables)
            facts.push_back(executableJson(f));
        j["executables"] = facts;
    }
    j["problems"] = problems;
    return j;
}

} // namespace

int commandInfo(int argc, char **argv)
{
    std::vector<std::string> args;
    std::string error;
    bool json = false;
    if (!parseArgs(argc, argv, args, nullptr, &json, error))
        return usageError("info: " + error);
    if (args.size() != 1)
        return usageError("info takes one package");
    const std::string &path = args[0];
    Package pkg;
    std::vector<std::string> problems;
    const bool ok = readPackage(path, pkg, problems);
    std::vector<ExecutableFacts> executables;
    std::vector<std::string> warnings;
    if (pkg.located) {
        executables = packageExecutables(path, pkg);
        reportHostNeeds(executables, nullptr, warnings);
    }
    reportLines(path, warnings, "warning: ");
    if (json) {
        // Texts that are not UTF-8 (names come from files and command
        // lines) have each invalid byte sequence replaced by U+FFFD.
        const Json j = packageJson(path, pkg, problems, executables);
        std::fputs((j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n").c_str(),
                   stdout);
    } else {
        printPackage(path, pkg, ok, executables);
    }
    reportLines(path, problems);
    return ok ? 0 : 1;
}

} // namespace pkgtool
