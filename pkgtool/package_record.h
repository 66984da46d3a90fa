// The package record in the directory's reserved bytes: what pkgtool
// knows of a package when it builds it (each image's sizes, each element's
// SHA-256, the launcher's checksums), and the check of a package against it.
#ifndef PKGTOOL_PACKAGE_RECORD_H
#define PKGTOOL_PACKAGE_RECORD_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "../common/pkglayout.h"
#include "zipcheck.h"

namespace pkgtool {

using Sha256 = std::array<unsigned char, PKG_REC_DIGEST_SIZE>;

// An element's bytes, in one or more pieces (element 4 of an image pair is
// two archives).
using Pieces = std::vector<std::pair<const unsigned char *, size_t>>;

// The record's facts of one image archive.
PkgImageFacts imageFacts(const std::vector<unsigned char> &zip,
                         const std::vector<ZipEntry> &entries);

// The launcher's checksum of element 4's zip directories: the last
// zipDirBytes[i] bytes of each archive (at most as many as it holds).
uint32_t zipDirectoryChecksum(const Pieces &archives, const std::vector<uint32_t> &zipDirBytes);

// Writes the record into a directory (548 bytes) whose sizes are already
// filled: the images' facts (one, or two for a pair), every element's
// SHA-256, the checksums, and how many bytes each archive's zip directory
// takes (zipDirBytes, one per archive).
void writePackageRecord(unsigned char *directory, const std::vector<PkgImageFacts> &images,
                        const std::vector<uint32_t> &zipDirBytes,
                        const std::array<Pieces, PKG_ELEMENT_COUNT> &elements);

// The record as it stands in a package's directory.
struct PackageRecord {
    int state = 0; // pkgRecordState: 0 none, 1 a record, -1 damaged
    unsigned version = 0, size = 0;
    PkgImageFacts images[PKG_REC_IMAGE_SLOTS] = {};
    Sha256 digests[PKG_ELEMENT_COUNT] = {};
    uint32_t checksums[PKG_REC_CHECKSUM_COUNT] = {}; // elements 1, 2, 3, the directory
    // Records of PKG_REC_ZIPDIR_SIZE bytes on: element 0's checksum, and
    // element 4's zip directories', with each archive's zip directory size.
    bool hasZipDirectory = false;
    uint32_t launcherChecksum = 0, zipDirectoryChecksum = 0;
    std::vector<uint32_t> zipDirectoryBytes; // one per image slot
};
PackageRecord readPackageRecord(const unsigned char *directory);

// What a package file's parts hash to, read through a fixed buffer.
struct FileDigests {
    Sha256 digests[PKG_ELEMENT_COUNT];
    uint32_t checksums[PKG_REC_CHECKSUM_COUNT];
    uint32_t launcherChecksum; // element 0's
};
// Result: true, or false with the problem in error.
bool packageFileDigests(const std::string &path, const int32_t *sizes,
                        const unsigned char *directory, FileDigests &out, std::string &error);

std::string hexDigest(const Sha256 &digest);

} // namespace pkgtool

#endif
