// pkgtool unpack: one image archive of a package written into a folder,
// nothing run.
#include "commands.h"

#include "command_line.h"
#include "zipcheck.h"

namespace pkgtool {

int commandUnpack(int argc, char **argv)
{
    std::vector<std::string> args;
    std::vector<ImagePart> parts;
    int status = 0;
    if (!chooseImages("unpack", argc, argv, 2, "a package and a folder", args, parts, status))
        return status;
    const std::string &path = args[0];
    if (parts.size() > 1)
        return usageError("unpack: " + path +
                          " holds an image pair: give --arch x86 or --arch x86-64");
    std::vector<unsigned char> zip;
    std::string error;
    if (!loadPart(path, parts[0], zip))
        return 1;
    if (!unpackZip(zip, args[1], error)) {
        reportLines(path, {parts[0].label + ": " + error});
        return 1;
    }
    return 0;
}

} // namespace pkgtool
