// pkgtool: builds and inspects launcher packages.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "build.h"
#include "package_file.h"

using namespace pkgtool;

static const char usage[] =
    "Usage:\n"
    "  pkgtool build -o PACKAGE --record DIST RELEASE ARCH MODE COMMAND ARGS [--record ...]\n"
    "                (--image ZIP | --image-pair X86_ZIP X86_64_ZIP)\n"
    "                [--strict] [--stub LAUNCHER] [--unzip UNZIP]\n"
    "  pkgtool info PACKAGE\n"
    "  pkgtool --help\n"
    "\n"
    "build writes a package: the launcher stub, the unzip utility, the global info,\n"
    "the command records and the image, closed by the package directory.\n"
    "  -o PACKAGE        the package to write (replaced whole, or left untouched on error)\n"
    "  --record ...      one command record; give one per platform, the first is the\n"
    "                    fall-back.  Six values:\n"
    "      DIST          windows, suse, redhat, novell, or the code 1 to 4\n"
    "      RELEASE       the distribution's major release, a number\n"
    "      ARCH          x86, x86-64, ppc, or the code 1 to 3\n"
    "      MODE          0: the user's arguments replace ARGS; 1: they follow ARGS;\n"
    "                    2: they are dropped\n"
    "      COMMAND       the tool inside the image, beginning with \"./\" (at most 127 bytes)\n"
    "      ARGS          the tool's default arguments, possibly \"\" (at most 255 bytes)\n"
    "  --image ZIP       the image, a zip archive\n"
    "  --image-pair X86_ZIP X86_64_ZIP\n"
    "                    two images; the launcher unpacks the one that fits the host\n"
    "  --strict          refuse to run on a host that no record matches\n"
    "  --stub LAUNCHER   the launcher executable (default: launcher beside pkgtool)\n"
    "  --unzip UNZIP     the unzip utility (default: miniunzip on PATH)\n"
    "\n"
    "info prints the package directory, each element's offset and size, the global\n"
    "info and the command records, or what makes the file no valid package.\n"
    "\n"
    "Exit status: 0 on success, 1 on a bad package or failed build, 2 on bad usage.\n";

static int usageError(const std::string &message)
{
    std::fprintf(stderr, "pkgtool: %s\nTry 'pkgtool --help'.\n", message.c_str());
    return 2;
}

static std::string besideSelf(const char *name)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    self[n] = '\0';
    std::string dir(self);
    size_t slash = dir.rfind('/');
    return (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/" + name;
}

static std::string onPath(const char *name)
{
    const char *path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos)
            end = p.size();
        std::string dir = p.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

static bool parseInt32(const std::string &text, int32_t &out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

static int commandBuild(int argc, char **argv)
{
    BuildSpec spec;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        auto need = [&](int n) { return i + n < argc; };
        if (a == "-o" && need(1)) {
            spec.output = argv[++i];
        } else if (a == "--stub" && need(1)) {
            spec.stub = argv[++i];
        } else if (a == "--unzip" && need(1)) {
            spec.unzip = argv[++i];
        } else if (a == "--strict") {
            spec.strict = true;
        } else if (a == "--image" && need(1)) {
            if (!spec.images.empty())
                return usageError("give --image or --image-pair once");
            spec.images.push_back(argv[++i]);
        } else if (a == "--image-pair" && need(2)) {
            if (!spec.images.empty())
                return usageError("give --image or --image-pair once");
            spec.images.push_back(argv[++i]);
            spec.images.push_back(argv[++i]);
        } else if (a == "--record" && need(6)) {
            Record r;
            const int n = static_cast<int>(spec.records.size()) + 1;
            auto dist = distributionCode(argv[i + 1]);
            auto arch = architectureCode(argv[i + 3]);
            if (!dist)
                return usageError("record " + std::to_string(n) + ": unknown distribution '" +
                                  argv[i + 1] + "'");
            if (!parseInt32(argv[i + 2], r.release))
                return usageError("record " + std::to_string(n) + ": release '" + argv[i + 2] +
                                  "' is not a number");
            if (!arch)
                return usageError("record " + std::to_string(n) + ": unknown architecture '" +
                                  argv[i + 3] + "'");
            if (!parseInt32(argv[i + 4], r.mode))
                return usageError("record " + std::to_string(n) + ": argument mode '" +
                                  argv[i + 4] + "' is not a number");
            r.distribution = *dist;
            r.architecture = *arch;
            r.command = argv[i + 5];
            r.arguments = argv[i + 6];
            spec.records.push_back(r);
            i += 6;
        } else {
            return usageError("build: unexpected or incomplete option '" + a + "'");
        }
    }
    if (spec.output.empty())
        return usageError("build: -o PACKAGE is needed");
    if (spec.stub.empty())
        spec.stub = besideSelf("launcher");
    if (spec.unzip.empty()) {
        spec.unzip = onPath("miniunzip");
        if (spec.unzip.empty()) {
            std::fprintf(stderr, "pkgtool: no miniunzip on PATH (install Debian's minizip) "
                                 "and no --unzip given\n");
            return 1;
        }
    }
    std::string error = buildPackage(spec);
    if (!error.empty()) {
        std::fprintf(stderr, "pkgtool: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

static int commandInfo(const std::string &path)
{
    Package pkg;
    std::vector<std::string> problems;
    bool ok = readPackage(path, pkg, problems);
    if (pkg.fileSize >= PKG_TRAILER_SIZE && (ok || pkg.sizes[0] != 0 || pkg.sizes[4] != 0)) {
        static const char *const names[PKG_ELEMENT_COUNT] = {"launcher", "unzip utility",
                                                             "global info", "command table",
                                                             "image"};
        std::printf("Package %s, %llu bytes\n", path.c_str(),
                    static_cast<unsigned long long>(pkg.fileSize));
        std::printf("Directory at offset %llu\n",
                    static_cast<unsigned long long>(pkg.fileSize - PKG_TRAILER_SIZE));
        for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
            std::printf("  element %d %-14s offset %11lld  size %11d\n", i, names[i],
                        static_cast<long long>(pkg.offset(i)), pkg.sizes[i]);
        std::printf("  image sizes: first %d, second %d (%s)\n", pkg.firstImageSize,
                    pkg.secondImageSize, pkg.isImagePair() ? "image pair" : "single image");
    }
    if (ok || !pkg.records.empty() || pkg.recordCount != 0) {
        std::printf("Global info: %d record(s), strict %d\n", pkg.recordCount, pkg.strict);
        for (size_t i = 0; i < pkg.records.size(); i++) {
            const Record &r = pkg.records[i];
            std::printf("Record %zu: distribution %s (%d), release %d, architecture %s (%d), "
                        "argument mode %d\n",
                        i + 1, distributionName(r.distribution).c_str(), r.distribution, r.release,
                        architectureName(r.architecture).c_str(), r.architecture, r.mode);
            std::printf("  command:   %s\n  arguments: %s\n", r.command.c_str(),
                        r.arguments.c_str());
        }
    }
    for (const auto &p : problems)
        std::fprintf(stderr, "pkgtool: %s: %s\n", path.c_str(), p.c_str());
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usageError("no command given");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "build")
        return commandBuild(argc - 2, argv + 2);
    if (command == "info") {
        if (argc != 3)
            return usageError("info takes one package");
        return commandInfo(argv[2]);
    }
    return usageError("unknown command '" + command + "'");
}
