#include "stub_path.h"

#include <climits>
#include <unistd.h>

#include "file_checks.h"

namespace pkgtool {

#ifndef TRELL_STUB_DIR_FROM_BIN
#error "TRELL_STUB_DIR_FROM_BIN: the build sets the stub folder relative to bin"
#endif
const char *const STUB_DIR_FROM_BIN = TRELL_STUB_DIR_FROM_BIN;

std::string findStubFrom(const std::string &self, const std::string &name)
{
    const size_t slash = self.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    for (const std::string &candidate :
         {dir + "/" + name, dir + "/" + STUB_DIR_FROM_BIN + "/" + name}) {
        if (notRegularFile(candidate).empty())
            return candidate;
    }
    return "";
}

std::string findStub(const std::string &name)
{
    // The executable itself, links resolved: a link to pkgtool on the PATH
    // still finds the stubs of the tree pkgtool belongs to.
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    return findStubFrom(self, name);
}

} // namespace pkgtool
