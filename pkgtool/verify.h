// pkgtool verify: everything a launcher relies on, checked without running it.
#ifndef PKGTOOL_VERIFY_H
#define PKGTOOL_VERIFY_H

#include <string>
#include <vector>

#include "hostneeds.h"
#include "package_file.h"
#include "zipimage.h"

namespace pkgtool {

// What makes a record's command unlikely to run from an image with these
// entries (the file is missing, or lies below a folder, where the launcher's
// "chmod 777 *" does not make it executable), or "".
std::string commandWarning(const Record &record, const std::vector<ZipEntry> &entries);

struct Verification {
    Package package;
    std::vector<std::string> problems; // the package will not run as built
    std::vector<std::string> warnings; // it runs, but maybe not as meant
    std::vector<ExecutableFacts> executables; // the launcher's and unzip utility's, once located
};

Verification verifyPackage(const std::string &path);

} // namespace pkgtool

#endif
