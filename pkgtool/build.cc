// pkgtool build: its options, and the package written from its parts, all
// or nothing.
#include "build.h"

#include "../common/io_loops.h"
#include "command_line.h"
#include "commands.h"
#include "file_checks.h"
#include "hostneeds.h"
#include "image_rules.h"
#include "package_record.h"
#include "progress.h"
#include "sbom.h"
#include "stub_path.h"
#include "stubs.h"
#include "temp_output.h"
#include "verify.h"
#include "zipcheck.h"
#include "zipimage.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

namespace pkgtool {

static bool readFile(const std::string &path, const char *what, std::vector<unsigned char> &data,
                     std::string &error)
{
    return readRegularFile(path, what, static_cast<size_t>(PKG_MAX_OFFSET), data, error);
}

static bool isZip(const std::vector<unsigned char> &d)
{
    // A local file header, or the end record of an empty archive.
    return d.size() >= 4 && d[0] == 'P' && d[1] == 'K' &&
           ((d[2] == 3 && d[3] == 4) || (d[2] == 5 && d[3] == 6));
}

// Reads one image: a zip as it is, or a folder zipped.  The result must be
// a zip the unzip utility unpacks whole.
static bool loadImage(const std::string &path, std::vector<unsigned char> &zip,
                      std::vector<ZipEntry> &entries, std::string &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = "cannot read the image " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        DosTime stamp;
        if (!imageTimeStamp(stamp, error) || !zipFolder(path, stamp, zip, error))
            return false;
        if (zip.size() > static_cast<size_t>(PKG_MAX_OFFSET)) {
            error = "the zipped image of " + path + " is " + std::to_string(zip.size()) +
                    " bytes, at or over 2^31";
            return false;
        }
    } else if (!S_ISREG(st.st_mode)) {
        error = "the image " + path + " is neither a zip file nor a folder";
        return false;
    } else {
        if (!readFile(path, "image", zip, error))
            return false;
        if (!isZip(zip)) {
            error = "the image " + path + " is not a zip archive";
            return false;
        }
    }
    std::vector<std::string> problems;
    Progress checking("checking the image");
    checkImage(zip, entries, problems, &checking);
    if (!problems.empty()) {
        error = "the image " + path + ": " + problemSummary(problems);
        return false;
    }
    return true;
}

std::string buildPackage(const BuildSpec &spec, std::vector<std::string> &warnings)
{
    if (spec.records.empty())
        return "at least one --record is needed";
    for (size_t i = 0; i < spec.records.size(); i++) {
        std::string problem = checkRecord(spec.records[i]);
        if (!problem.empty())
            return "record " + std::to_string(i + 1) + ": " + problem;
    }
    if (spec.images.empty() || spec.images.size() > 2)
        return "give one image zip, or two for an image pair";
    const std::string outputRefusal = outputProblem(spec.output);
    if (!outputRefusal.empty())
        return outputRefusal;

    std::string error;
    std::vector<unsigned char> stub, unzip;
    std::vector<std::vector<unsigned char>> images(spec.images.size());
    if (!readFile(spec.stub, "launcher stub", stub, error) ||
        !readFile(spec.unzip, "unzip utility", unzip, error))
        return error;
    const std::vector<ExecutableFacts> executables = {
        executableFacts(PKG_ELEM_LAUNCHER, stub.data(), stub.size()),
        executableFacts(PKG_ELEM_UNZIP, unzip.data(), unzip.size())};
    reportHostNeeds(executables, nullptr, warnings);
    reportImagePairStubs(executables, spec.images.size() == 2, warnings);
    reportRecordHosts(executables, spec.records, spec.images.size() == 2, warnings);
    std::vector<PkgImageFacts> facts;
    std::vector<uint32_t> zipDirBytes;
    for (size_t i = 0; i < spec.images.size(); i++) {
        std::vector<ZipEntry> entries;
        if (!loadImage(spec.images[i], images[i], entries, error))
            return error;
        facts.push_back(imageFacts(images[i], entries));
        zipDirBytes.push_back(zipDirectoryBytes(images[i]));
        const bool pair = spec.images.size() == 2;
        // Warnings only: verify is the check that fails a command without its file.
        recordNotes(spec.records, entries, !pair ? 0 : i == 0 ? PKG_ARCH_X86 : PKG_ARCH_X86_64,
                    pair ? " (" + spec.images[i] + ")" : "", warnings, warnings);
    }

    std::vector<unsigned char> table(spec.records.size() * PKG_RECORD_SIZE);
    for (size_t i = 0; i < spec.records.size(); i++)
        encodeRecord(spec.records[i], table.data() + i * PKG_RECORD_SIZE);
    unsigned char info[PKG_GLOBAL_INFO_SIZE];
    pkgPutI32(info + PKG_GI_COUNT_OFFSET, static_cast<int32_t>(spec.records.size()));
    pkgPutI32(info + PKG_GI_STRICT_OFFSET, spec.strict ? 1 : 0);

    uint64_t imageSize = 0;
    for (const auto &img : images)
        imageSize += img.size();
    const uint64_t sizes[PKG_ELEMENT_COUNT] = {stub.size(), unzip.size(), sizeof info,
                                               table.size(), imageSize};
    uint64_t sum = 0;
    for (uint64_t s : sizes)
        sum += s;
    if (sum > static_cast<uint64_t>(PKG_MAX_OFFSET))
        return "the package's elements add up to " + std::to_string(sum) +
               " bytes, at or over 2^31";

    unsigned char trailer[PKG_TRAILER_SIZE] = {};
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        pkgPutI32(trailer + 4 * i, static_cast<int32_t>(sizes[i]));
    if (images.size() == 2) {
        pkgPutI32(trailer + 4 * PKG_DIR_FIRST_IMAGE_ENTRY, static_cast<int32_t>(images[0].size()));
        pkgPutI32(trailer + 4 * PKG_DIR_SECOND_IMAGE_ENTRY, static_cast<int32_t>(images[1].size()));
    }
    std::array<Pieces, PKG_ELEMENT_COUNT> elements = {
        Pieces{{stub.data(), stub.size()}}, Pieces{{unzip.data(), unzip.size()}},
        Pieces{{info, sizeof info}}, Pieces{{table.data(), table.size()}}, Pieces{}};
    for (const auto &img : images)
        elements[PKG_ELEM_IMAGE].emplace_back(img.data(), img.size());
    writePackageRecord(trailer, facts, zipDirBytes, elements);
    trailer[PKG_DIR_SIZE] = PKG_END_MARKER;

    // Written beside the output under a unique name, then renamed over it:
    // a failure never leaves a half-written package.
    // A signal that ends pkgtool meanwhile removes the temporary file.
    int fd = tempOutputCreate(spec.output);
    if (fd < 0)
        return "cannot write " + spec.output + ": " + std::strerror(errno);
    bool ok = true;
    for (const Pieces &element : elements)
        for (const auto &piece : element)
            ok = ok && ioWriteAll(fd, piece.first, piece.second) == 0;
    ok = ok && ioWriteAll(fd, trailer, sizeof trailer) == 0;
    int savedErrno = errno;
    if (ok && (fchmod(fd, 0755) != 0 || fsync(fd) != 0)) {
        savedErrno = errno;
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        savedErrno = errno;
        ok = false;
    }
    if (!ok) {
        tempOutputDiscard();
        return "cannot write " + spec.output + ": " + std::strerror(savedErrno);
    }
    if (tempOutputCommit(spec.output) != 0)
        return "cannot write " + spec.output + ": " + std::strerror(errno);
    return "";
}

// The whole text as a decimal number that fits 32 bits.  Result: true with
// the number in out, or false.
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

int commandBuild(int argc, char **argv)
{
    BuildSpec spec;
    std::string sbom;
    const StubSet *stubs = &defaultStubSet();
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        auto need = [&](int n) { return i + n < argc; };
        if (a == "-o" && need(1)) {
            spec.output = argv[++i];
        } else if (a == "--stubs" && need(1)) {
            stubs = findStubSet(argv[++i]);
            if (stubs == nullptr)
                return usageError("build: --stubs takes one of " + stubSetNames() + ", not '" +
                                  argv[i] + "'");
        } else if (a == "--stub" && need(1)) {
            spec.stub = argv[++i];
        } else if (a == "--unzip" && need(1)) {
            spec.unzip = argv[++i];
        } else if (a == "--strict") {
            spec.strict = true;
        } else if (a == "--sbom" && need(1)) {
            sbom = argv[++i];
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
    if (!sbom.empty() && sbom == spec.output)
        return usageError("build: --sbom needs a file of its own, not the package");
    // A bill of materials that cannot be written is known before the build.
    const std::string sbomRefusal = sbom.empty() ? "" : outputProblem(sbom);
    if (!sbomRefusal.empty()) {
        std::fprintf(stderr, "pkgtool: %s\n", sbomRefusal.c_str());
        return 1;
    }
    for (auto [path, name, option] : {std::tuple{&spec.stub, stubs->launcher, "--stub"},
                                      std::tuple{&spec.unzip, stubs->unzip, "--unzip"}}) {
        if (!path->empty())
            continue;
        *path = findStub(name);
        if (path->empty()) {
            std::fprintf(stderr, "pkgtool: no %s beside pkgtool nor in %s from its folder: "
                                 "give %s\n", name.c_str(), STUB_DIR_FROM_BIN, option);
            return 1;
        }
    }
    std::vector<std::string> warnings;
    std::string error = buildPackage(spec, warnings);
    if (!error.empty()) {
        std::fprintf(stderr, "pkgtool: %s\n", error.c_str());
        return 1;
    }
    for (const auto &w : warnings)
        std::fprintf(stderr, "pkgtool: warning: %s\n", w.c_str());
    error = sbom.empty() ? "" : writeBomFile(spec.output, sbom);
    if (!error.empty()) {
        std::fprintf(stderr, "pkgtool: %s was built, but not its bill of materials: %s\n",
                     spec.output.c_str(), error.c_str());
        return 1;
    }
    return 0;
}

} // namespace pkgtool
