// pkgtool verify: everything a launcher relies on, checked without running it.
#ifndef PKGTOOL_VERIFY_H
#define PKGTOOL_VERIFY_H

#include <string>
#include <vector>

#include "hostneeds.h"
#include "package_file.h"
#include "zipcheck.h"

namespace pkgtool {

struct Verification {
    Package package;
    std::vector<std::string> problems; // the package will not run as built
    std::vector<std::string> warnings; // it runs, but maybe not as meant
    std::vector<ExecutableFacts> executables; // the launcher's and unzip utility's, once located
};

// Checks the package file at path, signature aside (checkSignature).
// Result: what was found; the package passes when problems is empty.
Verification verifyPackage(const std::string &path);

} // namespace pkgtool

#endif
