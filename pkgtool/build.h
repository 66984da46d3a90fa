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
    std::vector<std::string> images; // one zip, or two (x86, x86-64) for a pair
};

// Writes the package.  Result: empty on success, else the problem; the
// output file is then untouched.
std::string buildPackage(const BuildSpec &spec);

} // namespace pkgtool

#endif
