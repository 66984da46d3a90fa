// pkgtool's view of a package file: parsing, codes and names.
#ifndef PKGTOOL_PACKAGE_FILE_H
#define PKGTOOL_PACKAGE_FILE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../common/pkglayout.h"

namespace pkgtool {

struct Record {
    int32_t distribution = 0;
    int32_t release = 0;
    int32_t architecture = 0;
    std::string command;
    std::string arguments;
    int32_t mode = 0;
};

struct Package {
    uint64_t fileSize = 0;
    uint64_t signedSize = 0;    // through the end marker: the file less a signature
    uint32_t signatureSize = 0; // the signature block behind it, 0 when unsigned
    int32_t sizes[PKG_ELEMENT_COUNT] = {};
    int32_t firstImageSize = 0;
    int32_t secondImageSize = 0;
    int32_t recordCount = 0;
    int32_t strict = 0;
    std::vector<Record> records; // the records present, at most recordCount
    unsigned char directory[PKG_DIR_SIZE] = {}; // as read, reserved bytes included
    // The directory's sizes are sound and add up to the file's length, so
    // every element can be found (even when other problems were reported).
    bool located = false;
    int64_t offset(int index) const;
    bool isImagePair() const;
};

// Reads and checks the container of a package file.  Result: true, or false
// with every problem found in problems (one line each).
bool readPackage(const std::string &path, Package &pkg, std::vector<std::string> &problems);

// One archive of element 4: the whole element, or one half of an image pair.
struct ImagePart {
    std::string label;         // "image", "x86 image" or "x86-64 image"
    int32_t architecture = 0;  // the architecture code a pair's archive serves, 0 for one image
    int64_t offset = 0;        // from the start of the package file
    int32_t size = 0;
};
// The archives of a located package's element 4.
std::vector<ImagePart> imageParts(const Package &pkg);

// Reads size bytes at offset of the package file.  Result: true, or false
// with the problem in error.
bool readPackageBytes(const std::string &path, int64_t offset, int32_t size,
                      std::vector<unsigned char> &data, std::string &error);

// Codes from names ("redhat", "x86-64", ...) or numbers; nullopt if unknown.
// (The names of the codes are pkgDistributionName and pkgArchitectureName.)
std::optional<int32_t> distributionCode(const std::string &text);
std::optional<int32_t> architectureCode(const std::string &text);
// The first of --record's words for a code ("redhat", "x86-64"); "" for a
// code that has none.
std::string distributionWord(int32_t code);
std::string architectureWord(int32_t code);

// Encodes one record into its 400 bytes.
void encodeRecord(const Record &record, unsigned char *out);
// Checks a record as the launcher needs it.  Result: empty, or the problem.
std::string checkRecord(const Record &record);

} // namespace pkgtool

#endif
