// pkgtool list: the entries of a package's image archives, nothing run.
#include "commands.h"

#include <cstdio>

#include "command_line.h"
#include "printable.h"
#include "zipcheck.h"

namespace pkgtool {

int commandList(int argc, char **argv)
{
    std::vector<std::string> args;
    std::vector<ImagePart> parts;
    int status = 0;
    if (!chooseImages("list", argc, argv, 1, "one package", args, parts, status))
        return status;
    const std::string &path = args[0];
    for (size_t i = 0; i < parts.size(); i++) {
        std::vector<unsigned char> zip;
        std::vector<ZipEntry> entries;
        std::string error;
        if (!loadPart(path, parts[i], zip))
            return 1;
        if (!listZip(zip, entries, error)) {
            reportLines(path, {parts[i].label + ": " + error});
            return 1;
        }
        std::printf("%s%s: %zu entries\n", i > 0 ? "\n" : "", parts[i].label.c_str(),
                    entries.size());
        for (const ZipEntry &e : entries)
            std::printf("%12llu  %s\n", static_cast<unsigned long long>(e.size),
                        printableName(e.name).c_str());
    }
    return 0;
}

} // namespace pkgtool
