// pkgtool sbom PACKAGE [-o FILE]: the package's bill of materials.
#include "sbom.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/io_loops.h"
#include "bom_document.h"
#include "command_line.h"
#include "commands.h"
#include "file_checks.h"
#include "temp_output.h"

namespace pkgtool {

namespace {

// Whether a and b name one existing file.
bool sameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

std::string writeBomFile(const std::string &path, const std::string &output)
{
    if (sameFile(path, output))
        return "cannot write " + output + ": it is the package itself";
    std::string error = outputProblem(output);
    BomTime time;
    if (!error.empty() || !bomTimeFromEnvironment(time, error))
        return error;
    // Written beside the output, renamed over it when whole; a signal that
    // ends pkgtool meanwhile removes it.
    const int fd = tempOutputCreate(output);
    if (fd < 0)
        return "cannot write " + output + ": " + std::strerror(errno);
    int writeErrno = 0;
    error = writeBom(path, time, [&](const std::string &text) {
        if (ioWriteAll(fd, text.data(), text.size()) == 0)
            return true;
        writeErrno = errno;
        return false;
    });
    if (error.empty() && fchmod(fd, 0644) != 0)
        writeErrno = errno;
    if (close(fd) != 0 && error.empty() && writeErrno == 0)
        writeErrno = errno;
    if (writeErrno != 0)
        error = "cannot write " + output + ": " + std::strerror(writeErrno);
    if (!error.empty()) {
        tempOutputDiscard();
        return error;
    }
    if (tempOutputCommit(output) != 0)
        return "cannot write " + output + ": " + std::strerror(errno);
    return "";
}

int commandSbom(int argc, char **argv)
{
    std::vector<std::string> outputs, args;
    std::vector<char *> rest = takeValueOptions(argc, argv, {{"-o", &outputs}});
    std::string error;
    if (!parseArgs(static_cast<int>(rest.size()), rest.data(), args, nullptr, nullptr, error))
        return usageError("sbom: " + error);
    if (args.size() != 1 || outputs.size() > 1)
        return usageError("sbom takes one package, and -o FILE at most once");
    const std::string &path = args[0];
    const std::string output = outputs.empty() ? "" : outputs[0];
    if (!output.empty()) {
        error = writeBomFile(path, output);
    } else {
        BomTime time;
        int writeErrno = 0;
        if (bomTimeFromEnvironment(time, error))
            error = writeBom(path, time, [&](const std::string &text) {
                if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size())
                    return true;
                writeErrno = errno;
                return false;
            });
        if (error.empty() && std::fflush(stdout) != 0)
            writeErrno = errno;
        if (writeErrno != 0)
            error = std::string("cannot write to standard output: ") + std::strerror(writeErrno);
    }
    if (!error.empty()) {
        reportLines(path, {error});
        return 1;
    }
    return 0;
}

} // namespace pkgtool
