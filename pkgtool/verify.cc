#include "verify.h"

#include "hostneeds.h"
#include "image_rules.h"
#include "stubs.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace pkgtool {

static bool startsWith(const std::vector<unsigned char> &data, const char *magic)
{
    const size_t n = std::strlen(magic);
    return data.size() >= n && std::memcmp(data.data(), magic, n) == 0;
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

    for (const ImagePart &part : imageParts(pkg)) {
        std::vector<unsigned char> zip;
        if (!readPackageBytes(path, part.offset, part.size, zip, error)) {
            v.problems.push_back(part.label + ": " + error);
            continue;
        }
        std::vector<ZipEntry> entries;
        std::vector<std::string> problems;
        checkImage(zip, entries, problems);
        for (const std::string &p : problems)
            v.problems.push_back(part.label + ": " + p);
        if (problems.empty())
            recordNotes(pkg.records, entries, part.architecture,
                        part.architecture != 0 ? " (" + part.label + ")" : "", v.problems,
                        v.warnings);
    }

    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0)
        v.warnings.push_back("the file is not executable (chmod +x makes it so)");
    return v;
}

} // namespace pkgtool
