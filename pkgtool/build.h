#ifndef PKGTOOL_BUILD_H
#define PKGTOOL_BUILD_H

#include <string>
#include <vector>

#include "package_file.h"

namespace pkgtool {

struct BuildSpec {
    std::string output;
    std::string stub;
    std::string unzip;
    bool strict = false;
    std::vector<Record> records;
    // One image, or two (x86, x86-64) for a pair; each a zip archive, or a
    // folder that is zipped (reproducibly) on the way.
    std::vector<std::string> images;
};

// Writes the package.  Result: empty on success, else the problem; the
// output file is then untouched.  warnings receives what may keep the
// package from running as meant (a command not found in the image, ...).
std::string buildPackage(const BuildSpec &spec, std::vector<std::string> &warnings);

} // namespace pkgtool

#endif
