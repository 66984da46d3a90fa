// pkgtool host: this host's record values as the launcher identifies them,
// by the launcher's own code (the OS layer's host identification), in
// --record's words: what a record for this host holds.
#include "commands.h"

#include <cstdio>

#include "../os/osspecific.h"
#include "command_line.h"
#include "package_file.h"

namespace pkgtool {

int commandHost(int argc, char **)
{
    if (argc != 0)
        return usageError("host takes no arguments");
    PfmInfo info;
    const char *message = getPfmInfo(&info);
    const std::string distribution = distributionWord(info.distribution);
    const std::string architecture = architectureWord(info.architecture);
    if (message != nullptr || distribution.empty() || architecture.empty() || info.release < 0) {
        std::fprintf(stderr, "pkgtool: this host is not one a record can name: %s\n",
                     message != nullptr ? message : "its distribution has no record word");
        return 1;
    }
    std::printf("%s %d %s\n", distribution.c_str(), static_cast<int>(info.release),
                architecture.c_str());
    return 0;
}

} // namespace pkgtool
