#include "command_line.h"

#include <cstdio>
#include <cstring>

namespace pkgtool {

int usageError(const std::string &message)
{
    std::fprintf(stderr, "pkgtool: %s\nTry 'pkgtool --help'.\n", message.c_str());
    return 2;
}

std::vector<char *> takeValueOptions(int argc, char **argv,
                                     std::initializer_list<ValueOption> options)
{
    std::vector<char *> rest;
    for (int i = 0; i < argc; i++) {
        const ValueOption *taken = nullptr;
        for (const ValueOption &o : options)
            if (taken == nullptr && std::strcmp(argv[i], o.name) == 0 && i + 1 < argc)
                taken = &o;
        if (taken != nullptr)
            taken->values->push_back(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    return rest;
}

bool parseArgs(int argc, char **argv, std::vector<std::string> &positional,
               std::string *arch, bool *json, std::string &error)
{
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        if (arch != nullptr && a == "--arch" && i + 1 < argc) {
            *arch = argv[++i];
        } else if (json != nullptr && a == "--json") {
            *json = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unexpected or incomplete option '" + a + "'";
            return false;
        } else {
            positional.push_back(a);
        }
    }
    return true;
}

void reportLines(const std::string &path, const std::vector<std::string> &lines,
                 const char *kind)
{
    for (const std::string &line : lines)
        std::fprintf(stderr, "pkgtool: %s: %s%s\n", path.c_str(), kind, line.c_str());
}

bool chooseImages(const std::string &command, int argc, char **argv, size_t count,
                  const std::string &takes, std::vector<std::string> &args,
                  std::vector<ImagePart> &parts, int &status)
{
    std::string arch, error;
    if (!parseArgs(argc, argv, args, &arch, nullptr, error)) {
        status = usageError(command + ": " + error);
        return false;
    }
    if (args.size() != count) {
        status = usageError(command + " takes " + takes);
        return false;
    }
    const std::string &path = args[0];
    Package pkg;
    std::vector<std::string> problems;
    if (!readPackage(path, pkg, problems)) {
        reportLines(path, problems);
        status = 1;
        return false;
    }
    parts = imageParts(pkg);
    if (arch.empty() || parts.size() == 1)
        return true;
    auto code = architectureCode(arch);
    if (!code) {
        status = usageError("unknown architecture '" + arch + "'");
        return false;
    }
    for (const ImagePart &part : parts) {
        if (part.architecture == *code) {
            parts = {part};
            return true;
        }
    }
    reportLines(path, {std::string("the image pair holds no image for ") +
                       pkgArchitectureName(*code)});
    status = 1;
    return false;
}

bool loadPart(const std::string &path, const ImagePart &part, std::vector<unsigned char> &zip)
{
    std::string error;
    if (readPackageBytes(path, part.offset, part.size, zip, error))
        return true;
    reportLines(path, {error});
    return false;
}

} // namespace pkgtool
